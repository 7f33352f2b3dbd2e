#include "coproc/models/i2c.hpp"

#include <fmt/format.h>

#include <memory>

namespace coproc {

namespace {

bool well_formed(const Frame &req, size_t min_payload)
{
    return req.payload.size() >= min_payload && req.payload[0] == kI2cTag;
}

// A register read of no bytes from register 0 is the receive-byte request:
// the module sends both as 0x11, addr, 0, 0 and reads one byte for the
// receive byte, so the firmware answers the receive byte.
bool is_receive_byte(const Frame &req) { return req.payload[2] == 0 && req.payload[3] == 0; }

} // namespace

std::array<uint8_t, Eeprom24c02::kSize> Eeprom24c02::filled()
{
    std::array<uint8_t, kSize> cells;
    cells.fill(0xFF);
    return cells;
}

void Eeprom24c02::write(const uint8_t *bytes, size_t n)
{
    if (n == 0)
        return;
    pointer_ = bytes[0];
    for (size_t i = 1; i < n; ++i) {
        cells_[pointer_] = bytes[i];
        pointer_ = static_cast<uint8_t>((pointer_ & ~(kPage - 1)) | ((pointer_ + 1) & (kPage - 1)));
    }
}

uint16_t Lm75::reg(uint8_t index) const
{
    switch (index & 3) {
    case 0:
        return temp_;
    case 1:
        return config_;
    case 2:
        return thyst_;
    default:
        return tos_;
    }
}

void Lm75::write(const uint8_t *bytes, size_t n)
{
    if (n == 0)
        return;
    pointer_ = bytes[0] & 3;
    byte_ = 0;
    if (pointer_ == 1 && n >= 2)
        config_ = bytes[1];
    if ((pointer_ == 2 || pointer_ == 3) && n >= 3) {
        uint16_t value = static_cast<uint16_t>((bytes[1] << 8) | (bytes[2] & 0x80)); // nine bits kept
        (pointer_ == 2 ? thyst_ : tos_) = value;
    }
}

uint8_t Lm75::read_next()
{
    uint16_t value = reg(pointer_);
    if (pointer_ == 1)
        return static_cast<uint8_t>(value);
    uint8_t out = byte_ == 0 ? static_cast<uint8_t>(value >> 8) : static_cast<uint8_t>(value);
    byte_ ^= 1;
    return out;
}

void Lm75::power_on()
{
    pointer_ = 0;
    byte_ = 0;
    config_ = 0;
    thyst_ = 75 * 2 << 7;
    tos_ = 80 * 2 << 7;
}

I2cTarget *I2cBus::target(uint8_t addr)
{
    if (addr == kEepromAddr && eeprom_present_)
        return &eeprom_;
    if (addr == kSensorAddr && sensor_present_)
        return &sensor_;
    return nullptr;
}

void I2cBus::set_present(uint8_t addr, bool present)
{
    if (addr == kEepromAddr)
        eeprom_present_ = present;
    if (addr == kSensorAddr)
        sensor_present_ = present;
}

size_t I2cBus::reply_payload(const Frame &req) const
{
    if (req.command == CMD_READ && req.payload.size() >= 3)
        return req.payload[2];
    if (req.command == CMD_REG_READ && req.payload.size() >= 4)
        return is_receive_byte(req) ? 1 : req.payload[3];
    return 1;
}

Reply I2cBus::handle(const Frame &req)
{
    const size_t len = reply_payload(req);
    Reply r{.status = STATUS_DONE, .payload = Bytes(len, 0x00)};
    const size_t min_payload = req.command == CMD_READ ? 3 : req.command == CMD_REG_READ ? 4 : 2;
    if (!well_formed(req, min_payload)) {
        r.status = STATUS_BAD_ARGUMENT;
        return r;
    }
    I2cTarget *dev = target(req.payload[1]);
    ++transactions_;
    if (!dev) {
        r.status = STATUS_I2C_NACK;
        return r;
    }
    const uint8_t *p = req.payload.data();
    switch (req.command) {
    case CMD_READ:
        break;
    case CMD_WRITE:
        if (req.payload.size() >= 3)
            dev->write(p + 3, req.payload.size() - 3);
        return r;
    case CMD_REG_READ:
        if (!is_receive_byte(req))
            dev->write(p + 2, 1);
        break;
    case CMD_REG_WRITE:
        dev->write(p + 2, req.payload.size() - 2);
        return r;
    case CMD_CONTROL:
        return r;
    default:
        r.status = STATUS_BAD_ARGUMENT;
        return r;
    }
    for (auto &b : r.payload)
        b = dev->read_next();
    return r;
}

void I2cBus::power_on()
{
    eeprom_.power_on();
    sensor_.power_on();
}

void I2cBus::describe(std::ostream &out) const
{
    out << fmt::format("i2c: eeprom 0x{:02x} {} pointer 0x{:02x}; sensor 0x{:02x} {} temp 0x{:04x} config 0x{:02x}; "
                       "{} transactions\n",
                       kEepromAddr, eeprom_present_ ? "present" : "absent", eeprom_.pointer(), kSensorAddr,
                       sensor_present_ ? "present" : "absent", sensor_.reg(0), sensor_.reg(1), transactions_);
}

void install_i2c_models(Firmware &firmware) { firmware.add_model(std::make_unique<I2cBus>()); }

} // namespace coproc
