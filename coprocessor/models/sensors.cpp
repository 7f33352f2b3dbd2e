#include "coproc/models/sensors.hpp"

#include <algorithm>
#include <cmath>
#include <ostream>

#include <fmt/format.h>
#include <fmt/ostream.h>

namespace coproc {

namespace {

uint8_t first_byte(const Frame &req) { return req.payload.empty() ? 0 : req.payload[0]; }

void put_le16(Bytes &out, int value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

int16_t clamp16(double v) { return static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L)); }

// Whole part and tenths of a value's magnitude, rounded to tenths, and
// whether it is below zero.
struct Tenths {
    int whole, tenths;
    bool negative;
};
Tenths tenths(double v)
{
    const long t = std::labs(std::lround(v * 10));
    return {static_cast<int>(t / 10), static_cast<int>(t % 10), std::lround(v * 10) < 0};
}

// n bytes of a code, zero-padded: the infrared CMD_READ answer.
Bytes code_bytes(const IrLink::Code &code, size_t n)
{
    Bytes out(n, 0x00);
    std::copy_n(code.begin(), std::min(n, code.size()), out.begin());
    return out;
}

} // namespace

double Drifting::read()
{
    const double v = value();
    last_ = v;
    if (!held_ && step_ > 0) {
        if (std::abs(offset_ + direction_ * step_) > amplitude_ + 1e-9)
            direction_ = -direction_;
        offset_ += direction_ * step_;
    }
    return v;
}

size_t TriggeredSensor::reply_payload(const Frame &req) const { return req.command == CMD_CONTROL ? reading_len() : 1; }

Reply TriggeredSensor::handle(const Frame &req)
{
    if (req.command != CMD_CONTROL)
        return other(req);
    if (req.payload.size() != 4)
        return {STATUS_BAD_ARGUMENT, Bytes(reading_len(), 0x00)};
    ++readings_;
    last_pin_ = req.payload[0];
    return {STATUS_DONE, measure()};
}

Reply TriggeredSensor::other(const Frame &req)
{
    (void)req;
    return {};
}

Bytes DhtModel::measure()
{
    const auto h = tenths(humidity.read());
    const auto t = tenths(temperature.read());
    return {static_cast<uint8_t>(std::min(h.whole, 100)), static_cast<uint8_t>(h.tenths),
            static_cast<uint8_t>((t.negative ? 0x80 : 0) | std::min(t.whole, 0x7f)), static_cast<uint8_t>(t.tenths)};
}

Reply DhtModel::other(const Frame &req)
{
    if (req.command == CMD_WRITE)
        written_ = req.payload;
    return {};
}

namespace {

// The value a program reads next, and, when it differs, the one the last
// reading handed out: a drifting sensor has moved a step since.
std::string last_given(const Drifting &d, const char *format)
{
    const auto last = d.last();
    if (!last || fmt::format(fmt::runtime(format), *last) == fmt::format(fmt::runtime(format), d.value()))
        return "";
    return fmt::format(fmt::runtime(std::string(", the last reading gave ") + format), *last);
}

} // namespace

void DhtModel::describe(std::ostream &out) const
{
    std::string last;
    if (temperature.last() && humidity.last()) {
        const auto was = fmt::format("{:.1f} C, {:.1f} %", *temperature.last(), *humidity.last());
        if (was != fmt::format("{:.1f} C, {:.1f} %", temperature.value(), humidity.value()))
            last = ", the last reading gave " + was;
    }
    fmt::print(out, "dht: {:.1f} C, {:.1f} %{} ({} readings{}){}\n", temperature.value(), humidity.value(),
               temperature.held() ? "" : ", drifting", readings(), last,
               written_.empty() ? "" : fmt::format(", last written {}", hex(written_)));
}

Bytes Ds18b20Model::measure()
{
    Bytes out;
    put_le16(out, clamp16(temperature.read() * 16));
    out.push_back(0x4B); // TH, as the sensor leaves the factory
    out.push_back(0x7F); // configuration: 12-bit resolution
    return out;
}

void Ds18b20Model::describe(std::ostream &out) const
{
    fmt::print(out, "ds18b20: {:.4f} C{} ({} readings{})\n", temperature.value(),
               temperature.held() ? "" : ", drifting", readings(), last_given(temperature, "{:.4f} C"));
}

Bytes Sr04Model::measure()
{
    Bytes out;
    put_le16(out, static_cast<int>(std::clamp(std::lround(distance.read()), 0L, 65535L)));
    return out;
}

void Sr04Model::describe(std::ostream &out) const
{
    fmt::print(out, "sr04: {:.0f} mm{} ({} readings{})\n", distance.value(), distance.held() ? "" : ", drifting",
               readings(), last_given(distance, "{:.0f} mm"));
}

Bytes Gp2yModel::measure()
{
    Bytes out;
    put_le16(out, static_cast<int>(std::clamp(std::lround(density.read()), 0L, 65535L)));
    return out;
}

void Gp2yModel::describe(std::ostream &out) const
{
    fmt::print(out, "gp2y1010au: {:.0f} ug/m3{} ({} readings{})\n", density.value(), density.held() ? "" : ", drifting",
               readings(), last_given(density, "{:.0f} ug/m3"));
}

Reply Ws2812Model::handle(const Frame &req)
{
    if (req.command != CMD_WRITE)
        return {STATUS_BAD_ARGUMENT};
    if (req.payload.empty())
        return {};
    if (req.payload.size() < 2 || (req.payload.size() - 2) % 3 != 0)
        return {STATUS_BAD_ARGUMENT};
    const size_t first = req.payload[1];
    const size_t count = (req.payload.size() - 2) / 3;
    if (first + count > kMaxLeds)
        return {STATUS_BAD_ARGUMENT};
    pin_ = req.payload[0];
    if (leds_.size() < first + count)
        leds_.resize(first + count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *grb = &req.payload[2 + 3 * i];
        leds_[first + i] = {.r = grb[1], .g = grb[0], .b = grb[2]};
    }
    ++writes_;
    return {};
}

void Ws2812Model::power_on() { leds_.clear(); }

void Ws2812Model::describe(std::ostream &out) const
{
    fmt::print(out, "ws2812: pin {}, {} LEDs", pin_, leds_.size());
    for (const auto &c : leds_)
        fmt::print(out, " #{:02x}{:02x}{:02x}", c.r, c.g, c.b);
    fmt::print(out, "\n");
}

Reply BuzzerModel::handle(const Frame &req)
{
    switch (req.command) {
    case CMD_OPEN:
        ++claims_;
        return {};
    case CMD_CLOSE:
        if (claims_ == 0)
            return {STATUS_NOT_CLAIMED};
        if (--claims_ == 0)
            sounding_ = false;
        return {};
    case CMD_WRITE:
        if (claims_ == 0)
            return {STATUS_NOT_CLAIMED};
        told_ = req.payload;
        sounding_ = !told_.empty() && told_[0] != 0;
        until_ = told_.size() >= 5 && (told_[3] | told_[4] << 8) != 0
                     ? clock_() + std::chrono::milliseconds(told_[3] | told_[4] << 8)
                     : std::chrono::steady_clock::time_point::max();
        return {};
    case CMD_READ:
        if (claims_ == 0)
            return {STATUS_NOT_CLAIMED};
        return {STATUS_DONE, Bytes{read_byte_ >= 0 ? static_cast<uint8_t>(read_byte_) : uint8_t{sounding()}}};
    default:
        return {STATUS_BAD_ARGUMENT};
    }
}

bool BuzzerModel::sounding() const { return sounding_ && clock_() < until_; }

void BuzzerModel::power_on()
{
    claims_ = 0;
    sounding_ = false;
}

void BuzzerModel::describe(std::ostream &out) const
{
    std::string what = "nothing yet";
    if (told_.size() >= 5)
        what = fmt::format("{} at {} Hz {}", told_[0] ? "on" : "off", told_[1] | told_[2] << 8,
                           (told_[3] | told_[4] << 8) ? fmt::format("for {} ms", told_[3] | told_[4] << 8)
                                                      : std::string("until told off"));
    else if (!told_.empty())
        what = hex(told_);
    fmt::print(out, "buzzer: {} ({} claims), {}, told {}\n", claims_ ? "claimed" : "free", claims_,
               sounding() ? "sounding" : "silent", what);
}

size_t Icm20689Model::reply_payload(const Frame &req) const { return req.command == CMD_READ ? first_byte(req) : 1; }

std::array<uint8_t, 14> Icm20689Model::registers() const
{
    const int16_t words[7] = {clamp16(accel_g_[0] * 16384), clamp16(accel_g_[1] * 16384),
                              clamp16(accel_g_[2] * 16384), clamp16((celsius_ - 25.0) * 326.8),
                              clamp16(gyro_dps_[0] * 131),  clamp16(gyro_dps_[1] * 131),
                              clamp16(gyro_dps_[2] * 131)};
    std::array<uint8_t, 14> out{};
    for (size_t i = 0; i < 7; ++i) {
        out[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(words[i]) >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(words[i] & 0xFF);
    }
    return out;
}

Reply Icm20689Model::handle(const Frame &req)
{
    if (req.command != CMD_READ)
        return {STATUS_BAD_ARGUMENT};
    const auto regs = registers();
    Bytes out(first_byte(req), 0x00);
    std::copy_n(regs.begin(), std::min(out.size(), regs.size()), out.begin());
    return {STATUS_DONE, std::move(out)};
}

void Icm20689Model::describe(std::ostream &out) const
{
    fmt::print(out, "icm20689: accel {:.3f} {:.3f} {:.3f} g, gyro {:.1f} {:.1f} {:.1f} dps, {:.1f} C\n", accel_g_[0],
               accel_g_[1], accel_g_[2], gyro_dps_[0], gyro_dps_[1], gyro_dps_[2], celsius_);
}

void IrLink::arrive(const Code &code)
{
    if (waiting.size() >= kCapacity) {
        ++lost;
        return;
    }
    waiting.push_back(code);
}

size_t IrSendModel::reply_payload(const Frame &req) const { return req.command == CMD_READ ? first_byte(req) : 1; }

Reply IrSendModel::handle(const Frame &req)
{
    switch (req.command) {
    case CMD_CONTROL: {
        if (req.payload.size() < 4)
            return {STATUS_BAD_ARGUMENT};
        IrLink::Code code;
        std::copy_n(req.payload.begin(), 4, code.begin());
        link_->sent.push_back(code);
        link_->arrive(code);
        return {};
    }
    case CMD_READ:
        return {STATUS_DONE, code_bytes(link_->sent.empty() ? IrLink::Code{} : link_->sent.back(), first_byte(req))};
    case CMD_WRITE:
        link_->settings = req.payload;
        return {};
    default:
        return {STATUS_BAD_ARGUMENT};
    }
}

void IrSendModel::power_on()
{
    link_->waiting.clear();
    link_->last_received = {};
}

void IrSendModel::describe(std::ostream &out) const
{
    fmt::print(out, "ir_send: {} codes sent{}\n", link_->sent.size(),
               link_->sent.empty() ? "" : ", last " + hex(Bytes(link_->sent.back().begin(), link_->sent.back().end())));
}

size_t IrRecvModel::reply_payload(const Frame &req) const
{
    if (req.command == CMD_CONTROL)
        return first_byte(req) < kTakeCode ? 1 : 4;
    return req.command == CMD_READ ? first_byte(req) : 1;
}

Reply IrRecvModel::handle(const Frame &req)
{
    switch (req.command) {
    case CMD_CONTROL:
        if (first_byte(req) < kTakeCode)
            return {STATUS_DONE, Bytes{static_cast<uint8_t>(link_->waiting.size())}};
        if (link_->waiting.empty())
            return {STATUS_DONE, Bytes(4, 0x00)};
        link_->last_received = link_->waiting.front();
        link_->waiting.pop_front();
        return {STATUS_DONE, Bytes(link_->last_received.begin(), link_->last_received.end())};
    case CMD_READ:
        return {STATUS_DONE, code_bytes(link_->last_received, first_byte(req))};
    case CMD_WRITE:
        link_->settings = req.payload;
        return {};
    default:
        return {STATUS_BAD_ARGUMENT};
    }
}

void IrRecvModel::describe(std::ostream &out) const
{
    fmt::print(out, "ir_recv: {} codes waiting", link_->waiting.size());
    for (const auto &c : link_->waiting)
        fmt::print(out, " [{}]", hex(Bytes(c.begin(), c.end())));
    fmt::print(out, "{}\n", link_->lost ? fmt::format(", {} lost", link_->lost) : "");
}

void install_sensor_models(Firmware &firmware)
{
    firmware.add_model(std::make_unique<DhtModel>());
    firmware.add_model(std::make_unique<Ds18b20Model>());
    firmware.add_model(std::make_unique<Sr04Model>());
    firmware.add_model(std::make_unique<Gp2yModel>());
    firmware.add_model(std::make_unique<Ws2812Model>());
    firmware.add_model(std::make_unique<BuzzerModel>());
    firmware.add_model(std::make_unique<Icm20689Model>());
    auto link = std::make_shared<IrLink>();
    firmware.add_model(std::make_unique<IrSendModel>(link));
    firmware.add_model(std::make_unique<IrRecvModel>(link));
}

} // namespace coproc
