// The co-processor's I2C bus and the two devices on it: a 256-byte EEPROM at
// 0x50 (24C02-like) and a temperature sensor at 0x48 (LM75-like). Requests
// of type I2C carry 0x11 and the target's address first; an address nothing
// answers at is not acknowledged, which the reply's status says
// (STATUS_I2C_NACK) with the payload length the module waits for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>

#include "coproc/firmware.hpp"
#include "coproc/frame.hpp"

namespace coproc {

inline constexpr uint8_t STATUS_I2C_NACK = 0x5; // no device acknowledged the address
inline constexpr uint8_t kI2cTag = 0x11;        // first payload byte of every I2C request
inline constexpr uint8_t kEepromAddr = 0x50;
inline constexpr uint8_t kSensorAddr = 0x48;

// A device on the bus: a transaction is the bytes written after the
// address (with a repeated start or a stop after them), or a read of n bytes.
class I2cTarget {
public:
    virtual ~I2cTarget() = default;
    virtual void write(const uint8_t *bytes, size_t n) = 0;
    virtual uint8_t read_next() = 0;
    virtual void power_on() = 0;
};

// 24C02: the first byte written sets the address pointer; the bytes after it
// are written from there within the 8-byte page (the low three bits wrap, as
// the chip's page buffer does). Reads go on from the pointer and roll over
// from 0xFF to 0x00. Erased cells read 0xFF.
class Eeprom24c02 : public I2cTarget {
public:
    static constexpr size_t kSize = 256;
    static constexpr size_t kPage = 8;

    void write(const uint8_t *bytes, size_t n) override;
    uint8_t read_next() override { return cells_[pointer_++]; }
    void power_on() override { pointer_ = 0; }

    std::array<uint8_t, kSize> &cells() { return cells_; }
    [[nodiscard]] uint8_t pointer() const { return pointer_; }

private:
    std::array<uint8_t, kSize> cells_ = filled();
    uint8_t pointer_ = 0;
    static std::array<uint8_t, kSize> filled();
};

// LM75: a pointer register (its low two bits) chooses temperature (0,
// read-only), configuration (1, one byte), THYST (2) or TOS (3); 16-bit
// registers go most significant byte first, and a read past a register's
// end starts it again. Temperatures are in half degrees, left-aligned.
class Lm75 : public I2cTarget {
public:
    void write(const uint8_t *bytes, size_t n) override;
    uint8_t read_next() override;
    void power_on() override;

    void set_temperature_half_degrees(int16_t half) { temp_ = static_cast<uint16_t>(half << 7); }
    [[nodiscard]] uint16_t reg(uint8_t index) const;
    [[nodiscard]] uint8_t pointer() const { return pointer_; }

private:
    uint8_t pointer_ = 0;
    uint8_t byte_ = 0; // the next byte of the register, 0 or 1
    uint16_t temp_ = 25 * 2 << 7;
    uint8_t config_ = 0;
    uint16_t thyst_ = 75 * 2 << 7;
    uint16_t tos_ = 80 * 2 << 7;
};

// The firmware's I2C requests (payload after 0x11 and the address):
//   CMD_READ      L           read L bytes                   reply L bytes
//   CMD_WRITE     stop, data  write the bytes                reply 1 byte
//   CMD_REG_READ  reg, n      write reg, read n bytes        reply n bytes
//                 0, 0        receive one byte (no register) reply 1 byte
//   CMD_REG_WRITE reg, data   write reg and the bytes        reply 1 byte
//   CMD_CONTROL               the address alone (quick)      reply 1 byte
class I2cBus : public DeviceModel {
public:
    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_I2C; }
    [[nodiscard]] size_t reply_payload(const Frame &req) const override;
    [[nodiscard]] Reply handle(const Frame &req) override;
    void power_on() override;
    void describe(std::ostream &out) const override;

    Eeprom24c02 &eeprom() { return eeprom_; }
    Lm75 &sensor() { return sensor_; }
    // Takes a device off the bus (it no longer acknowledges) or puts it back.
    void set_present(uint8_t addr, bool present);
    [[nodiscard]] unsigned transactions() const { return transactions_; }

private:
    I2cTarget *target(uint8_t addr);

    Eeprom24c02 eeprom_;
    Lm75 sensor_;
    bool eeprom_present_ = true;
    bool sensor_present_ = true;
    unsigned transactions_ = 0;
};

void install_i2c_models(Firmware &firmware);

} // namespace coproc
