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

TEST(FaultQueue, HostileKindsReshapeTheReply)
{
    EXPECT_EQ(spoil({FaultKind::BitFlip, 9}).bytes, with(1, kReply[1] ^ 0x02));
    EXPECT_EQ(spoil({FaultKind::WrongType, 3}).bytes, with(0, 0x83));
    EXPECT_EQ(spoil({FaultKind::WrongType}).bytes, with(0, 0x8B)) << "the top bit stays";
    for (unsigned len : {0u, 1u, 255u})
        EXPECT_EQ(spoil({FaultKind::LengthByte, len}).bytes, with(1, static_cast<uint8_t>(len)));

    Bytes longer = kReply;
    longer.insert(longer.end(), 3, 0xA5);
    EXPECT_EQ(spoil({FaultKind::LongReply, 3}).bytes, longer);
    Bytes twice = kReply;
    twice.insert(twice.end(), kReply.begin(), kReply.end());
    EXPECT_EQ(spoil({FaultKind::Duplicate}).bytes, twice);
    EXPECT_EQ(spoil({FaultKind::Flood, 60}).bytes.size(), kReply.size() + 60);
    EXPECT_EQ(spoil({FaultKind::Garbage, 4}).bytes.size(), 4u);

    Delivery split = spoil({FaultKind::Split, 40});
    EXPECT_EQ(split.gap, milliseconds(40));
    Bytes joined = split.bytes;
    joined.insert(joined.end(), split.later.begin(), split.later.end());
    EXPECT_EQ(joined, kReply);
    EXPECT_FALSE(split.bytes.empty());
    EXPECT_FALSE(split.later.empty());

    const Bytes request{0x8A, 0x06, 0x70, 0x1E, 0x5A, 0xA7};
    FaultQueue q;
    q.add({FaultKind::Echo});
    EXPECT_EQ(q.apply(kReply, request).bytes, request);
}

TEST(FaultQueue, OtherReplySendsTheOneBefore)
{
    FaultQueue q;
    q.add({FaultKind::OtherReply});
    EXPECT_TRUE(q.apply(kReply).bytes.empty()) << "nothing came before";
    const Bytes second = with(6, 0x81);
    EXPECT_EQ(q.apply(second).bytes, second);
    q.add({FaultKind::OtherReply});
    EXPECT_EQ(q.apply(with(6, 0x82)).bytes, second);
}

TEST(FaultQueue, HostileModeRepeatsForTheSameStart)
{
    auto run = [](uint64_t start) {
        FaultQueue q;
        q.set_hostile({.percent = 100, .start = start});
        std::vector<Bytes> out;
        for (int i = 0; i < 200; i++) {
            Delivery d = q.apply(kReply);
            out.push_back(d.bytes);
            out.back().insert(out.back().end(), d.later.begin(), d.later.end());
        }
        EXPECT_EQ(q.spoilt(), 200u);
        return std::pair(out, q.applied());
    };
    const auto a = run(7), b = run(7), c = run(8);
    EXPECT_EQ(a.first, b.first);
    EXPECT_NE(a.first, c.first);
    for (size_t i = 0; i < a.second.size(); i++)
        EXPECT_GT(a.second[i], 0u) << "kind " << fault_name(kAllFaultKinds[i]) << " never drawn in 200";

    FaultQueue only;
    only.set_hostile({.percent = 100, .start = 1, .kinds = {FaultKind::BadCrc}});
    EXPECT_EQ(only.apply(kReply).bytes, with(5, static_cast<uint8_t>(kReply[5] ^ 0xFF)));
    FaultQueue never;
    never.set_hostile({.percent = 0});
    EXPECT_EQ(never.apply(kReply).bytes, kReply);
}

TEST(FaultQueue, NamesRoundTrip)
{
    for (FaultKind kind : kAllFaultKinds) {
        FaultKind back{};
        ASSERT_TRUE(fault_from_name(fault_name(kind), &back));
        EXPECT_EQ(back, kind);
    }
    FaultKind none{};
    EXPECT_FALSE(fault_from_name("nosuch", &none));
}
