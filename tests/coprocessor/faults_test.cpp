#include "coproc/faults.hpp"

#include <gtest/gtest.h>

using namespace coproc;
using std::chrono::milliseconds;

namespace {

// The version reply 8A 07 7x 01 07 crc A7 as the firmware sends it.
const Bytes kReply = encode_reply(0x8A, CMD_CONTROL, 0, Bytes{0x01, 0x07}, 0xA7);

Bytes with(size_t index, uint8_t value)
{
    Bytes b = kReply;
    b[index] = value;
    return b;
}

Delivery spoil(Fault f)
{
    FaultQueue q;
    q.add(std::move(f));
    return q.apply(kReply);
}

} // namespace

TEST(FaultQueue, EachKindChangesExactlyItsField)
{
    EXPECT_TRUE(spoil({FaultKind::NoReply}).bytes.empty());
    EXPECT_EQ(spoil({FaultKind::ShortReply}).bytes, Bytes(kReply.begin(), kReply.end() - 1));
    EXPECT_EQ(spoil({FaultKind::ShortReply, 2}).bytes, Bytes(kReply.begin(), kReply.end() - 2));
    EXPECT_EQ(spoil({FaultKind::WrongHead}).bytes, with(0, 0x8B));
    EXPECT_EQ(spoil({FaultKind::WrongHead, 0x83}).bytes, with(0, 0x83));
    EXPECT_EQ(spoil({FaultKind::WrongTail}).bytes, with(6, 0xA6));
    EXPECT_EQ(spoil({FaultKind::WrongCommand}).bytes, with(2, 0x60));
    EXPECT_EQ(spoil({FaultKind::WrongCommand, 3}).bytes, with(2, 0x30));
    EXPECT_EQ(spoil({FaultKind::BadCrc}).bytes, with(5, static_cast<uint8_t>(kReply[5] ^ 0xFF)));
    EXPECT_EQ(spoil({FaultKind::Status, 5}).bytes, with(2, 0x75));

    Delivery late = spoil({FaultKind::Delay, 30});
    EXPECT_EQ(late.delay, milliseconds(30));
    EXPECT_EQ(late.bytes, kReply);

    Bytes stale = kReply;
    stale.insert(stale.begin(), 3, 0x55);
    EXPECT_EQ(spoil({FaultKind::StaleBytes, 3}).bytes, stale);
    Fault custom{FaultKind::StaleBytes};
    custom.data = {0x8A, 0x07};
    EXPECT_EQ(spoil(custom).bytes.size(), kReply.size() + 2);
}

TEST(FaultQueue, CountAndSkipSelectWhichRepliesAreSpoilt)
{
    FaultQueue q;
    q.add({FaultKind::WrongTail, 0, /*count=*/2, /*skip=*/1});
    EXPECT_EQ(q.apply(kReply).bytes, kReply);
    EXPECT_NE(q.apply(kReply).bytes, kReply);
    EXPECT_NE(q.apply(kReply).bytes, kReply);
    EXPECT_EQ(q.apply(kReply).bytes, kReply);
    EXPECT_EQ(q.pending(), 0u);

    q.add({FaultKind::BadCrc, 0, /*count=*/0}); // spoils nothing
    EXPECT_EQ(q.apply(kReply).bytes, kReply);
}

TEST(FaultQueue, FaultsDueTogetherStack)
{
    FaultQueue q;
    q.add({FaultKind::Delay, 20});
    q.add({FaultKind::Status, 9});
    q.add({FaultKind::ShortReply, 1});
    Delivery d = q.apply(kReply);
    EXPECT_EQ(d.delay, milliseconds(20));
    Bytes expect = with(2, 0x79);
    expect.pop_back();
    EXPECT_EQ(d.bytes, expect);

    q.add({FaultKind::NoReply});
    q.add({FaultKind::StaleBytes, 4});
    EXPECT_TRUE(q.apply(kReply).bytes.empty()); // a lost reply takes its stale bytes along
}
