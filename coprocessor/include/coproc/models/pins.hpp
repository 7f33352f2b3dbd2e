// The co-processor's pins as the firmware models them: 48 pins with a
// direction and a level (GPIO), 32 PWM channels, and ten analog inputs.
// Each is a DeviceModel of its own device type; tests and the board set
// input levels and samples through the methods below, under the simulator's
// lock (Simulator::with_firmware).
#pragma once

#include "coproc/firmware.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>

namespace coproc {

// Refusals of the pin models, besides the firmware's own codes.
inline constexpr uint8_t STATUS_NOT_OUTPUT = 0x4; // a level set on a pin that is not an output

class GpioModel : public DeviceModel {
public:
    static constexpr size_t kPins = kPinCount;
    struct Pin {
        bool open = false;   // between CMD_OPEN and CMD_CLOSE
        bool output = false; // inputs at power-on
        uint8_t driven = 0;  // the level last driven, as sent (not made 0/1)
        uint8_t input = 0;   // the level the outside world puts on an input
    };

    uint8_t type() const override;
    Reply handle(const Frame &req) override;
    void power_on() override;
    void describe(std::ostream &out) const override;

    // The level an input reads: what a test or a person puts on the pin.
    void set_input(size_t pin, uint8_t level) { pins_.at(pin).input = level; }
    const Pin &pin(size_t pin) const { return pins_.at(pin); }
    // What a read of the pin answers: the driven level of an output, the
    // outside level of an input.
    uint8_t level(size_t pin) const;

private:
    std::array<Pin, kPins> pins_{};
};

class PwmModel : public DeviceModel {
public:
    static constexpr size_t kChannels = 32;
    static constexpr uint8_t OP_POLARITY = 0xF1, OP_CONFIG = 0xF2, OP_ENABLE = 0xF4;
    struct Channel {
        bool open = false;
        int32_t duty_ns = 0;
        int32_t period_ns = 0;
        bool inversed = false;
        bool enabled = false;
    };

    uint8_t type() const override;
    Reply handle(const Frame &req) override;
    void power_on() override;
    void describe(std::ostream &out) const override;

    const Channel &channel(size_t ch) const { return channels_.at(ch); }

private:
    Reply write(Channel &ch, const Frame &req);
    std::array<Channel, kChannels> channels_{};
};

class AdcModel : public DeviceModel {
public:
    static constexpr size_t kInputs = 10;
    static constexpr uint16_t kRampStep = 7; // per read of the input
    static constexpr uint16_t kFullScale = 4095;

    uint8_t type() const override;
    size_t reply_payload(const Frame &req) const override; // a 16-bit sample
    Reply handle(const Frame &req) override;
    void power_on() override;
    void describe(std::ostream &out) const override;

    // A fixed sample for the input; std::nullopt goes back to the ramp.
    void set_sample(size_t input, std::optional<uint16_t> value) { fixed_.at(input) = value; }
    // What the next read of the input answers.
    uint16_t sample(size_t input) const;
    unsigned reads(size_t input) const { return reads_.at(input); }

private:
    std::array<std::optional<uint16_t>, kInputs> fixed_{};
    std::array<unsigned, kInputs> reads_{};
};

// Adds the three models to the firmware.
void install_pin_models(Firmware &firmware);

} // namespace coproc
