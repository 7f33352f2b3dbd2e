#include "coproc/frame.hpp"

#include <gtest/gtest.h>

#include <string_view>

using namespace coproc;

namespace {

Bytes ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

} // namespace

TEST(Crc8, PublishedCheckValues)
{
    EXPECT_EQ(crc8(ascii("123456789")), 0xF4);
    const uint8_t one = 0x11;
    EXPECT_EQ(crc8(&one, 1), 0x77);
    EXPECT_EQ(crc8(nullptr, 0), 0x00);
}

TEST(EncodeRequest, MatchesTheWorkedWireExamples)
{
    const uint8_t t = 0xA5;
    EXPECT_EQ(encode_request(DEV_TYPE_UART, CMD_CONTROL, Bytes{CTRL_RX_COUNT}, t),
              (Bytes{0x83, 0x06, 0x70, 0x11, 0x77, t}));
    EXPECT_EQ(encode_request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_VERSION}, t),
              (Bytes{0x8A, 0x06, 0x70, 0x1E, 0x5A, t}));
    EXPECT_EQ(encode_request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_RESET}, t),
              (Bytes{0x8A, 0x06, 0x70, 0x1F, 0x5D, t}));
    EXPECT_EQ(encode_request(DEV_TYPE_GPIO, CMD_WRITE, Bytes{}, 0xFF), (Bytes{0x84, 0x05, 0x20, 0x00, 0xBF}));
}

TEST(EncodeRequest, PayloadLengthRuleOfTheModule)
{
    for (size_t len : {252u, 253u, 254u, 255u}) {
        const Bytes f = encode_request(DEV_TYPE_SPI, CMD_WRITE, Bytes(len, 0x42), 0x80);
        EXPECT_EQ(f.size(), 6u) << len;
        EXPECT_EQ(f[1], 6) << len;
    }
    const Bytes wrap = encode_request(DEV_TYPE_SPI, CMD_WRITE, Bytes(251, 0x42), 0x80);
    EXPECT_EQ(wrap.size(), 256u);
    EXPECT_EQ(wrap[1], 0x00);
    EXPECT_EQ(encode_request(DEV_TYPE_SPI, CMD_WRITE, Bytes(260, 0x42), 0x80).size(), 9u);
}

TEST(Decode, SplitsFieldsAndJudgesTheCrc)
{
    const Bytes reply = encode_reply(0x8A, CMD_CONTROL, 0x5, Bytes{0x01, 0x07}, 0xB3);
    auto f = decode(reply);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->type(), DEV_TYPE_CONFIG);
    EXPECT_EQ(f->length, 7);
    EXPECT_EQ(f->command, CMD_CONTROL);
    EXPECT_EQ(f->status, 0x5);
    EXPECT_EQ(f->payload, (Bytes{0x01, 0x07}));
    EXPECT_TRUE(f->crc_ok);
    EXPECT_EQ(f->tail, 0xB3);

    Bytes broken = reply;
    broken[3] ^= 0x10;
    EXPECT_FALSE(decode(broken)->crc_ok);
    EXPECT_FALSE(decode(Bytes{0x8A, 0x05, 0x70, 0x00}));
}

TEST(Names, ShortNamesForTraces)
{
    EXPECT_EQ(type_name(DEV_TYPE_CONFIG), "CONFIG");
    EXPECT_EQ(type_name(0x8A), "CONFIG"); // a head byte works too
    EXPECT_EQ(type_name(DEV_TYPE_GP2Y), "GP2Y");
    EXPECT_EQ(type_name(17), "?");
    EXPECT_EQ(command_name(CMD_CONTROL), "CONTROL");
    EXPECT_EQ(command_name(CMD_REG_WRITE), "REG_WRITE");
    EXPECT_EQ(command_name(4), "?");
}

TEST(SplitRequests, DropsNoiseUntilAHeadAndCutsByLength)
{
    const Bytes a = encode_request(DEV_TYPE_UART, CMD_CONTROL, Bytes{CTRL_RX_COUNT}, 0x81);
    const Bytes b = encode_request(DEV_TYPE_GPIO, CMD_WRITE, Bytes{5, 1, 1}, 0x82);
    Bytes stream{0x00, 0x7F, 0xC0, 0x91}; // none of these can start a request
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), {0x84, 0x08, 0x20}); // an unfinished frame

    const SplitResult r = split_requests(stream);
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[0], a);
    EXPECT_EQ(r.frames[1], b);
    EXPECT_EQ(r.dropped, 4u);
    EXPECT_EQ(r.rest, (Bytes{0x84, 0x08, 0x20}));
}

TEST(SplitRequests, LengthByteZeroMeans256AndShortLengthsAreNoise)
{
    const Bytes big = encode_request(DEV_TYPE_SPI, CMD_WRITE, Bytes(251, 0x81), 0x80);
    Bytes stream{0x83, 0x03}; // a head whose length cannot be a frame
    stream.insert(stream.end(), big.begin(), big.end());
    const SplitResult r = split_requests(stream);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].size(), 256u);
    EXPECT_EQ(r.dropped, 2u);
    EXPECT_TRUE(r.rest.empty());
}

TEST(RequestSplitter, AbandonedPartialResyncsOntoALaterFrame)
{
    // A stray head claims 40 bytes and would swallow the real request.
    const Bytes real = encode_request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_VERSION}, 0x99);
    RequestSplitter s;
    s.push(Bytes{0x8A, 40});
    s.push(real);
    EXPECT_FALSE(s.next());
    ASSERT_TRUE(s.has_partial());
    s.abandon_partial();
    auto f = s.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, real);
    EXPECT_EQ(s.dropped(), 2u);
    EXPECT_FALSE(s.has_partial());
}
