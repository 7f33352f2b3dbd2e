// The I2C bus model: the EEPROM's pointer, page writes and rollover, the
// sensor's registers, the receive-byte request, reply lengths, and what an
// address nobody answers at or a malformed request gets.
#include <gtest/gtest.h>

#include "coproc/frame.hpp"
#include "coproc/models/i2c.hpp"

namespace coproc {
namespace {

Frame request(uint8_t cmd, Bytes payload)
{
    auto raw = encode_request(DEV_TYPE_I2C, cmd, payload, 0x80);
    return *decode(raw);
}

TEST(I2cModel, EepromPagesWrapAndReadsRollOver)
{
    I2cBus bus;
    auto r = bus.handle(request(CMD_WRITE, {kI2cTag, kEepromAddr, 0, 0x06, 1, 2, 3, 4}));
    EXPECT_EQ(r.status, STATUS_DONE);
    auto &cells = bus.eeprom().cells();
    EXPECT_EQ(cells[0x06], 1);
    EXPECT_EQ(cells[0x07], 2);
    EXPECT_EQ(cells[0x00], 3) << "the page buffer wraps within its 8 bytes";
    EXPECT_EQ(cells[0x08], 0xFF);
    cells[0xFF] = 0x42;
    cells[0x00] = 0x43;
    EXPECT_EQ(bus.handle(request(CMD_WRITE, {kI2cTag, kEepromAddr, 1, 0xFF})).status, STATUS_DONE);
    auto read = request(CMD_READ, {kI2cTag, kEepromAddr, 2});
    EXPECT_EQ(bus.reply_payload(read), 2u);
    EXPECT_EQ(bus.handle(read).payload, (Bytes{0x42, 0x43})) << "sequential reads roll over to 0";
    auto rx = request(CMD_REG_READ, {kI2cTag, kEepromAddr, 0, 0});
    EXPECT_EQ(bus.reply_payload(rx), 1u) << "register 0, no bytes: the receive byte";
    EXPECT_EQ(bus.handle(rx).payload, (Bytes{4})) << "from where the read left the pointer";
    auto block = request(CMD_REG_READ, {kI2cTag, kEepromAddr, 0x06, 3});
    EXPECT_EQ(bus.handle(block).payload, (Bytes{1, 2, 0xFF}));
}

TEST(I2cModel, SensorRegisters)
{
    I2cBus bus;
    auto word = request(CMD_REG_READ, {kI2cTag, kSensorAddr, 0, 2});
    EXPECT_EQ(bus.handle(word).payload, (Bytes{0x19, 0x00}));
    bus.sensor().set_temperature_half_degrees(-51);
    EXPECT_EQ(bus.handle(word).payload, (Bytes{0xE6, 0x80}));
    EXPECT_EQ(bus.handle(request(CMD_REG_WRITE, {kI2cTag, kSensorAddr, 0x01, 0x60})).status, STATUS_DONE);
    EXPECT_EQ(bus.sensor().reg(1), 0x60);
    EXPECT_EQ(bus.handle(request(CMD_REG_WRITE, {kI2cTag, kSensorAddr, 0x03, 0x55, 0xFF})).status, STATUS_DONE);
    EXPECT_EQ(bus.sensor().reg(3), 0x5580) << "nine bits kept";
    EXPECT_EQ(bus.handle(request(CMD_REG_READ, {kI2cTag, kSensorAddr, 0x03, 3})).payload, (Bytes{0x55, 0x80, 0x55}))
        << "a read past the register starts it again";
    bus.power_on();
    EXPECT_EQ(bus.sensor().reg(1), 0);
}

TEST(I2cModel, NobodyAtTheAddressAndMalformedRequests)
{
    I2cBus bus;
    auto nack = bus.handle(request(CMD_READ, {kI2cTag, 0x51, 4}));
    EXPECT_EQ(nack.status, STATUS_I2C_NACK);
    EXPECT_EQ(nack.payload.size(), 4u) << "the length the module waits for, zeros";
    EXPECT_EQ(bus.handle(request(CMD_CONTROL, {kI2cTag, kSensorAddr})).status, STATUS_DONE);
    bus.set_present(kSensorAddr, false);
    EXPECT_EQ(bus.handle(request(CMD_CONTROL, {kI2cTag, kSensorAddr})).status, STATUS_I2C_NACK);
    EXPECT_EQ(bus.handle(request(CMD_CONTROL, {0x12, kEepromAddr})).status, STATUS_BAD_ARGUMENT);
    EXPECT_EQ(bus.handle(request(CMD_READ, {kI2cTag, kEepromAddr})).status, STATUS_BAD_ARGUMENT);
    EXPECT_EQ(bus.handle(request(CMD_OPEN, {kI2cTag, kEepromAddr})).status, STATUS_BAD_ARGUMENT);
}

} // namespace
} // namespace coproc
