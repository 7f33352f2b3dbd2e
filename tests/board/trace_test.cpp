#include <gmock/gmock.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "coproc/frame.hpp"
#include "trace.hpp"

using board::format_trace;
using khost::SerialEvent;
using ::testing::ElementsAre;
using Dir = SerialEvent::Dir;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int64_t kMs = 1'000'000;

const Bytes kVersionRequest = {0x8A, 0x06, 0x70, 0x1E, 0x5A, 0xA3};

Bytes version_reply(uint8_t tail = 0xA3, uint8_t status = 0)
{
    return coproc::encode_reply(0x8A, 7, status, Bytes{0x01, 0x07}, tail);
}

// The module reads a reply one byte at a time: one event per byte.
void add_bytewise(std::vector<SerialEvent> &ev, const Bytes &bytes, int64_t t)
{
    for (uint8_t b : bytes)
        ev.push_back({Dir::FromPeer, t++, {b}});
}

std::vector<SerialEvent> exchange(const Bytes &reply)
{
    std::vector<SerialEvent> ev{{Dir::ToPeer, 12 * kMs + 345'678, kVersionRequest}};
    add_bytewise(ev, reply, 12 * kMs + 900'000);
    return ev;
}

} // namespace

TEST(Trace, GoodExchangeOneLinePerFrame)
{
    EXPECT_THAT(format_trace(exchange(version_reply())),
                ElementsAre("->    12.346 CONFIG CONTROL [1e] crc ok tail a3 | 8a 06 70 1e 5a a3",
                            ::testing::StartsWith(
                                "<-    12.900 CONFIG CONTROL st 0 [01 07] crc ok tail a3 | 8a 07 70 01 07 ")));
}

TEST(Trace, BadCrcNamesTheExpectedValue)
{
    Bytes reply = version_reply();
    const uint8_t want = reply[5];
    reply[5] ^= 0xFF;
    const auto lines = format_trace(exchange(reply));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[1], ::testing::HasSubstr(fmt::format("[01 07] crc BAD (want {:02x}) tail a3 |", want)));
}

TEST(Trace, ReplyNotMatchingItsRequestIsFlagged)
{
    const auto wrong_tail = format_trace(exchange(version_reply(0x9F)));
    EXPECT_THAT(wrong_tail[1], ::testing::HasSubstr("crc ok tail 9f (want a3) |"));

    Bytes other = coproc::encode_reply(0x83, 3, 5, Bytes{0x00}, 0xA3);
    const auto wrong_head = format_trace(exchange(other));
    EXPECT_THAT(wrong_head[1], ::testing::HasSubstr("UART READ head 83 (want 8a) cmd 3 (want 7) st 5 [00]"));
}

TEST(Trace, ShortReplyAndLeftoverBytesShownRaw)
{
    const Bytes reply = version_reply();
    const auto short_lines = format_trace(exchange(Bytes(reply.begin(), reply.begin() + 4)));
    EXPECT_EQ(short_lines[1], "<-    12.900 short frame, 4 of 7 bytes: 8a 07 70 01");

    // A peer whose length byte claims less than the module read.
    Bytes padded = coproc::encode_reply(0x8A, 7, 0, Bytes{0x01}, 0xA3);
    padded.push_back(0x00);
    const auto long_lines = format_trace(exchange(padded));
    ASSERT_EQ(long_lines.size(), 3u);
    EXPECT_THAT(long_lines[1], ::testing::HasSubstr("CONFIG CONTROL st 0 [01] crc"));
    EXPECT_EQ(long_lines[2], "<-    12.900 leftover 1 bytes: 00");

    EXPECT_THAT(format_trace(exchange(Bytes{0x8A, 0x02, 0x70})),
                ElementsAre(::testing::_, "<-    12.900 raw 3 bytes: 8a 02 70"));
}

TEST(Trace, DrainedBytesAndBackToBackRequests)
{
    // A reset gets no reply; whatever the peer says afterwards is drained
    // before the next request goes out.
    const Bytes reset = {0x8A, 0x06, 0x70, 0x1F, 0x5D, 0x81};
    const Bytes count = {0x83, 0x06, 0x70, 0x11, 0x77, 0x82};
    Bytes both = reset;
    both.insert(both.end(), count.begin(), count.end());
    const std::vector<SerialEvent> ev = {
        {Dir::ToPeer, 1 * kMs, both},
        {Dir::Drained, 2 * kMs, {0xAA, 0xBB}},
        {Dir::Drained, 2 * kMs + 10, {0xCC}},
        {Dir::ToPeer, 3 * kMs, {0x8A, 0x06}},
    };
    EXPECT_THAT(format_trace(ev),
                ElementsAre("->     1.000 CONFIG CONTROL [1f] crc ok tail 81 | 8a 06 70 1f 5d 81",
                            "->     1.000 UART CONTROL [11] crc ok tail 82 | 83 06 70 11 77 82",
                            "xx     2.000 drained 3 bytes: aa bb cc", "->     3.000 short frame, 2 of 6 bytes: 8a 06"));
}

TEST(Trace, UnknownCodesAndLongFrames)
{
    // Length byte 0 stands for a 256-byte frame (251 payload bytes).
    const Bytes big = coproc::encode_request(coproc::DEV_TYPE_SPI, coproc::CMD_WRITE, Bytes(251, 0x5A), 0x90);
    ASSERT_EQ(big[1], 0x00);
    const auto lines = format_trace({{Dir::ToPeer, 0, big}, {Dir::ToPeer, 0, {0xBF, 0x05, 0xF0, 0x00, 0x80}}});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], ::testing::StartsWith("->     0.000 SPI WRITE [5a 5a"));
    EXPECT_EQ(lines[1], "->     0.000 type3f cmdf [] crc ok tail 80 | bf 05 f0 00 80");
    EXPECT_TRUE(format_trace({}).empty());
}

TEST(Trace, StrayBytesBeforeAReplyAreSetApart)
{
    // Output the peer sent on its own (a start-up banner) that the module
    // took as the beginning of its reply.
    const Bytes banner = {0x0D, 0x0A, 0x62, 0x6F, 0x6F, 0x74, 0x0D, 0x0A};
    Bytes read = banner;
    const Bytes reply = version_reply();
    read.insert(read.end(), reply.begin(), reply.begin() + 4);
    EXPECT_THAT(format_trace(exchange(read)),
                ElementsAre(::testing::_, "<-    12.900 raw 8 bytes: 0d 0a 62 6f 6f 74 0d 0a",
                            "<-    12.900 short frame, 4 of 7 bytes: 8a 07 70 01"));

    read.insert(read.end(), reply.begin() + 4, reply.end());
    EXPECT_THAT(format_trace(exchange(read)).back(),
                ::testing::HasSubstr("CONFIG CONTROL st 0 [01 07] crc ok tail a3"));
}
