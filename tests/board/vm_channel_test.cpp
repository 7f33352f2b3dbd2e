// The line protocol between the host's board and the guest's program,
// exercised over a socket pair as QEMU's serial port would carry it.
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <ostream>

#include "vm_channel.hpp"

using namespace board::vm;

namespace {

struct ChannelTest : ::testing::Test {
    int fds[2] = {-1, -1};
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }

    void write_raw(const std::string &bytes)
    {
        ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
};

} // namespace

TEST_F(ChannelTest, MessagesSurviveArbitrarySplitsAndEmptyLines)
{
    Channel ch(fds[0]);
    write_raw("O hel");
    write_raw("lo\n\nP\nE two words \nX 2\n");
    char kind = 0;
    std::string text;
    ASSERT_TRUE(ch.receive(&kind, &text, 1000));
    EXPECT_EQ(kind, 'O');
    EXPECT_EQ(text, "hello");
    ASSERT_TRUE(ch.receive(&kind, &text, 1000));
    EXPECT_EQ(kind, 'P');
    EXPECT_EQ(text, "");
    ASSERT_TRUE(ch.receive(&kind, &text, 1000));
    EXPECT_EQ(text, "two words ") << "text is kept as it was sent";
    ASSERT_TRUE(ch.receive(&kind, &text, 1000));
    EXPECT_EQ(kind, 'X');
    EXPECT_EQ(text, "2");
    EXPECT_FALSE(ch.receive(&kind, &text, 20)) << "nothing more within the timeout";
    ::close(fds[1]);
    EXPECT_FALSE(ch.receive(&kind, &text)) << "the other side went away";
}

TEST_F(ChannelTest, SendAndReceiveBetweenTwoEnds)
{
    Channel a(fds[0]), b(fds[1]);
    ASSERT_TRUE(a.send('L', "open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00"));
    ASSERT_TRUE(a.send('Z'));
    char kind = 0;
    std::string text;
    ASSERT_TRUE(b.receive(&kind, &text, 1000));
    EXPECT_EQ(kind, 'L');
    EXPECT_EQ(text, "open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00");
    ASSERT_TRUE(b.receive(&kind, &text, 1000));
    EXPECT_EQ(kind, 'Z');
}

TEST(ChannelEvents, RoundTripAndRefusals)
{
    using Dir = khost::SerialEvent::Dir;
    const khost::SerialEvent e{Dir::FromPeer, 123456789, {0x8a, 0x07, 0x70, 0x01, 0x07, 0x00, 0xac}};
    const std::string text = encode_event(e);
    EXPECT_EQ(text, "< 123456789 8a 07 70 01 07 00 ac");
    const auto back = decode_event(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->dir, Dir::FromPeer);
    EXPECT_EQ(back->time_ns, 123456789);
    EXPECT_EQ(back->bytes, e.bytes);
    EXPECT_EQ(decode_event("x 5")->dir, Dir::Drained);
    EXPECT_TRUE(decode_event("x 5")->bytes.empty());
    EXPECT_FALSE(decode_event("? 5 01"));
    EXPECT_FALSE(decode_event("> five 01"));
    EXPECT_FALSE(decode_event("> 5 100"));
    EXPECT_FALSE(decode_event(">"));
}

TEST_F(ChannelTest, OutputStreamSendsLinesAndFlushesTheRest)
{
    Channel guest(fds[0]), reader(fds[1]);
    ChannelBuf buf(guest, 'O');
    std::ostream out(&buf);
    out << "3\n0 01 07\npartial";
    out.flush();
    out.flush(); // nothing left: no message
    std::vector<std::pair<char, std::string>> got;
    char kind = 0;
    std::string text;
    while (reader.receive(&kind, &text, 100))
        got.emplace_back(kind, text);
    EXPECT_THAT(got, ::testing::ElementsAre(std::pair{'O', std::string("3")}, std::pair{'O', std::string("0 01 07")},
                                            std::pair{'o', std::string("partial")}));
}
