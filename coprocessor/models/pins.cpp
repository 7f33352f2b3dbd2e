#include "coproc/models/pins.hpp"

#include <fmt/format.h>

namespace coproc {

namespace {

constexpr uint8_t GPIO_OP_OUTPUT = 1, GPIO_OP_INPUT = 2, GPIO_OP_SET_VALUE = 3;

int32_t le32(const Bytes &p, size_t at)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[at]) | static_cast<uint32_t>(p[at + 1]) << 8 |
                                static_cast<uint32_t>(p[at + 2]) << 16 | static_cast<uint32_t>(p[at + 3]) << 24);
}

Reply refuse(uint8_t status, size_t payload = 1) { return {status, Bytes(payload, 0x00)}; }

} // namespace

// GPIO: payload byte 0 is the pin; a write carries an operation and its level.

uint8_t GpioModel::type() const { return DEV_TYPE_GPIO; }

uint8_t GpioModel::level(size_t pin) const
{
    const Pin &p = pins_.at(pin);
    return p.output ? p.driven : p.input;
}

Reply GpioModel::handle(const Frame &req)
{
    if (req.payload.empty() || req.payload[0] >= kPins)
        return refuse(STATUS_PIN_RANGE);
    Pin &p = pins_[req.payload[0]];
    switch (req.command) {
    case CMD_OPEN:
        p.open = true;
        return {};
    case CMD_CLOSE:
        p.open = false;
        return {};
    case CMD_READ:
        return {STATUS_DONE, Bytes{level(req.payload[0])}};
    case CMD_WRITE:
        break;
    default:
        return refuse(STATUS_BAD_ARGUMENT);
    }
    if (req.payload.size() < 3)
        return refuse(STATUS_BAD_ARGUMENT);
    switch (req.payload[1]) {
    case GPIO_OP_OUTPUT:
        p.output = true;
        p.driven = req.payload[2];
        return {};
    case GPIO_OP_INPUT:
        p.output = false;
        return {};
    case GPIO_OP_SET_VALUE:
        if (!p.output)
            return refuse(STATUS_NOT_OUTPUT);
        p.driven = req.payload[2];
        return {};
    default:
        return refuse(STATUS_BAD_ARGUMENT);
    }
}

// The levels the outside world puts on the pins stay; the rest is reset.
void GpioModel::power_on()
{
    for (Pin &p : pins_)
        p = Pin{.input = p.input};
}

void GpioModel::describe(std::ostream &out) const
{
    out << "gpio: pin dir level (open pins, outputs and inputs set high)\n";
    for (size_t i = 0; i < kPins; ++i) {
        const Pin &p = pins_[i];
        if (!p.open && !p.output && !p.input)
            continue;
        out << fmt::format("  {:2} {:3} {}{}\n", i, p.output ? "out" : "in", level(i), p.open ? "" : " (closed)");
    }
}

// PWM: payload byte 0 is the channel.

uint8_t PwmModel::type() const { return DEV_TYPE_PWM; }

Reply PwmModel::handle(const Frame &req)
{
    if (req.payload.empty() || req.payload[0] >= kChannels)
        return refuse(STATUS_PIN_RANGE);
    Channel &ch = channels_[req.payload[0]];
    switch (req.command) {
    case CMD_OPEN:
        ch.open = true;
        return {};
    case CMD_CLOSE:
        ch.open = false;
        return {};
    case CMD_WRITE:
        return write(ch, req);
    default:
        return refuse(STATUS_BAD_ARGUMENT);
    }
}

// A period of 0 or below, or a duty cycle outside 0..period, cannot be made
// and is refused with nothing changed.
Reply PwmModel::write(Channel &ch, const Frame &req)
{
    const Bytes &p = req.payload;
    if (p.size() < 3)
        return refuse(STATUS_BAD_ARGUMENT);
    switch (p[1]) {
    case OP_CONFIG: {
        if (p.size() < 10)
            return refuse(STATUS_BAD_ARGUMENT);
        const int32_t duty = le32(p, 2), period = le32(p, 6);
        if (period <= 0 || duty < 0 || duty > period)
            return refuse(STATUS_BAD_ARGUMENT);
        ch.duty_ns = duty;
        ch.period_ns = period;
        return {};
    }
    case OP_POLARITY:
        if (p[2] > 1)
            return refuse(STATUS_BAD_ARGUMENT);
        ch.inversed = p[2] == 1;
        return {};
    case OP_ENABLE:
        if (p[2] > 1)
            return refuse(STATUS_BAD_ARGUMENT);
        ch.enabled = p[2] == 1;
        return {};
    default:
        return refuse(STATUS_BAD_ARGUMENT);
    }
}

void PwmModel::power_on() { channels_ = {}; }

void PwmModel::describe(std::ostream &out) const
{
    out << "pwm: channel period_ns duty_ns polarity state (channels in use)\n";
    for (size_t i = 0; i < kChannels; ++i) {
        const Channel &c = channels_[i];
        if (!c.open && !c.enabled && !c.period_ns)
            continue;
        out << fmt::format("  {:2} {} {} {} {}{}\n", i, c.period_ns, c.duty_ns, c.inversed ? "inversed" : "normal",
                           c.enabled ? "enabled" : "disabled", c.open ? "" : " (closed)");
    }
}

// ADC: payload byte 0 is the input; the reply is its sample, high byte first.

uint8_t AdcModel::type() const { return DEV_TYPE_ADC; }

size_t AdcModel::reply_payload(const Frame &) const { return 2; }

// Left alone, an input ramps by kRampStep per read, each input from its own
// start, so that two reads differ and inputs can be told apart.
uint16_t AdcModel::sample(size_t input) const
{
    if (fixed_.at(input))
        return *fixed_[input];
    return static_cast<uint16_t>((input * 400 + reads_[input] * kRampStep) % (kFullScale + 1));
}

Reply AdcModel::handle(const Frame &req)
{
    if (req.command != CMD_READ)
        return refuse(STATUS_BAD_ARGUMENT, 2);
    if (req.payload.empty() || req.payload[0] >= kInputs)
        return refuse(STATUS_PIN_RANGE, 2);
    const size_t input = req.payload[0];
    const uint16_t value = sample(input);
    ++reads_[input];
    return {STATUS_DONE, Bytes{static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}};
}

// Fixed samples are the outside world's and stay; the ramps start again.
void AdcModel::power_on() { reads_ = {}; }

void AdcModel::describe(std::ostream &out) const
{
    out << "adc: input next-sample reads\n";
    for (size_t i = 0; i < kInputs; ++i)
        out << fmt::format("  {} {}{} {}\n", i, sample(i), fixed_[i] ? " (set)" : " (ramp)", reads_[i]);
}

void install_pin_models(Firmware &firmware)
{
    firmware.add_model(std::make_unique<GpioModel>());
    firmware.add_model(std::make_unique<PwmModel>());
    firmware.add_model(std::make_unique<AdcModel>());
}

} // namespace coproc
