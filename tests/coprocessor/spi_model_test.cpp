// The co-processor's SPI buses as the firmware answers them: reply lengths
// per piece, the loopback and the flash, pieces out of order, set-ups.
#include "coproc/firmware.hpp"
#include "coproc/models/spi.hpp"

#include <gtest/gtest.h>

using namespace coproc;

namespace {

constexpr uint8_t kTail = 0x9C;

struct Spi : ::testing::Test {
    // The k bytes that came back for a piece, checked as the module checks
    // its reply.
    Bytes piece(uint8_t header, Bytes mosi, uint8_t want_status = STATUS_DONE)
    {
        Bytes payload{header};
        payload.insert(payload.end(), mosi.begin(), mosi.end());
        const Frame req = *decode(encode_request(DEV_TYPE_SPI, CMD_WRITE, payload, kTail));
        EXPECT_EQ(fw.reply_payload(req), mosi.size());
        Answer a = fw.handle(req);
        EXPECT_TRUE(a.reply);
        EXPECT_EQ(a.reply->size(), mosi.size() + 5);
        Frame f = *decode(*a.reply);
        EXPECT_TRUE(f.crc_ok);
        EXPECT_EQ(f.status, want_status);
        return f.payload;
    }
    const SpiModel &model() { return fw.model<SpiModel>(); }

    Firmware fw;
};

TEST_F(Spi, Bus3GivesBackWhatWentOutAndCountsPieces)
{
    EXPECT_EQ(piece(0x80, {1, 2, 3}), (Bytes{1, 2, 3}));
    EXPECT_EQ(piece(0x00, {4}), (Bytes{4}));
    EXPECT_EQ(model().bus(0).transfers, 0u) << "the transfer is still open";
    EXPECT_EQ(piece(0x40, {5, 6}), (Bytes{5, 6}));
    EXPECT_EQ(model().bus(0).transfers, 1u);
    EXPECT_EQ(model().bus(0).last_transfer_pieces, (std::vector<size_t>{3, 1, 2}));
    EXPECT_EQ(piece(0x00, {}), Bytes{}) << "an empty piece: a 5-byte reply";
    EXPECT_EQ(model().bus(0).transfers, 2u);
}

TEST_F(Spi, PiecesOutOfOrderAreRefused)
{
    EXPECT_EQ(piece(0x41, {1}, kSpiStatusOutOfOrder), (Bytes{0}));
    piece(0x81, {1});
    EXPECT_EQ(piece(0x81, {2}, kSpiStatusOutOfOrder), (Bytes{0})) << "a second first piece";
    EXPECT_EQ(piece(0x05, {2}, kSpiStatusNoBus), (Bytes{0}));
    EXPECT_EQ(model().bus(1).out_of_order, 2u);
}

TEST_F(Spi, Bus4IsAFlash)
{
    EXPECT_EQ(piece(0x01, {0x9F, 0, 0, 0, 0}), (Bytes{0xFF, 0x51, 0x40, 0x10, 0x00}));
    EXPECT_EQ(piece(0x01, {0x05, 0}), (Bytes{0xFF, 0x00}));
    piece(0x01, {0x02, 0x00, 0x01, 0x00, 0xAB}); // no write enable: ignored
    EXPECT_EQ(model().flash()[0x100], 0xFF);
    piece(0x01, {0x06});
    EXPECT_EQ(piece(0x01, {0x05, 0}), (Bytes{0xFF, kFlashStatusWel}));
    piece(0x81, {0x02, 0x00, 0x01, 0xFE, 0x12, 0x34}); // wraps within the page
    piece(0x41, {0x56});
    EXPECT_EQ(model().flash()[0x1FE], 0x12);
    EXPECT_EQ(model().flash()[0x1FF], 0x34);
    EXPECT_EQ(model().flash()[0x100], 0x56);
    EXPECT_EQ(piece(0x01, {0x03, 0x00, 0x01, 0xFE, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 0xFF}));
}

TEST_F(Spi, SetUpsAreRecordedPerBus)
{
    const Frame s0 = *decode(encode_request(DEV_TYPE_SPI, CMD_CONTROL, Bytes{0, 3, 16, 16, 0}, kTail));
    const Frame s1 = *decode(encode_request(DEV_TYPE_SPI, CMD_CONTROL, Bytes{1, 0x41, 64, 16}, kTail));
    EXPECT_EQ(fw.reply_payload(s0), 1u);
    ASSERT_TRUE(fw.handle(s0).reply);
    ASSERT_TRUE(fw.handle(s1).reply);
    EXPECT_EQ(model().bus(0).mode, 3);
    EXPECT_EQ(model().bus(0).speed_code, 16);
    EXPECT_EQ(model().bus(1).mode, 0x41);
    EXPECT_EQ(model().bus(1).speed_code, 64);
    EXPECT_EQ(model().bus(1).setups, 1u);
    fw.power_on();
    EXPECT_EQ(model().bus(1).setups, 0u);
}

} // namespace
