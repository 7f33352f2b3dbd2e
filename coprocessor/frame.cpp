#include "coproc/frame.hpp"

#include <algorithm>
#include <array>

#include <fmt/format.h>

namespace coproc {

uint8_t crc8(const uint8_t *data, size_t len)
{
    // Bitwise on purpose: the module computes it the same way, and a table
    // would only hide a disagreement about bit order.
    constexpr uint8_t kPoly = 0x07;
    uint8_t crc = 0;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80) ? static_cast<uint8_t>((crc << 1) ^ kPoly) : static_cast<uint8_t>(crc << 1);
    }
    return crc;
}

std::string_view type_name(uint8_t type)
{
    static constexpr std::array<std::string_view, 17> kNames = {
        "?",   "I2C",    "SPI",    "UART",    "GPIO",    "PWM",     "ADC",      "WS2812", "SR04",
        "DHT", "CONFIG", "BUZZER", "DS18B20", "IR_SEND", "IR_RECV", "ICM20689", "GP2Y",
    };
    const uint8_t t = type & 0x3F;
    return t < kNames.size() ? kNames[t] : kNames[0];
}

std::string_view command_name(uint8_t cmd)
{
    switch (cmd) {
    case CMD_OPEN:
        return "OPEN";
    case CMD_WRITE:
        return "WRITE";
    case CMD_READ:
        return "READ";
    case CMD_CLOSE:
        return "CLOSE";
    case CMD_REG_READ:
        return "REG_READ";
    case CMD_CONTROL:
        return "CONTROL";
    case CMD_REG_WRITE:
        return "REG_WRITE";
    default:
        return "?";
    }
}

std::optional<Frame> decode(std::span<const uint8_t> raw)
{
    if (raw.size() < kFrameOverhead)
        return std::nullopt;
    Frame f;
    f.head = raw[0];
    f.length = raw[1];
    f.command = raw[2] >> 4;
    f.status = raw[2] & 0x0F;
    f.payload.assign(raw.begin() + 3, raw.end() - 2);
    f.crc = raw[raw.size() - 2];
    f.tail = raw.back();
    f.crc_ok = crc8(f.payload) == f.crc;
    return f;
}

static Bytes assemble(uint8_t head, uint8_t cmd_byte, std::span<const uint8_t> payload, uint8_t tail)
{
    Bytes out;
    out.reserve(payload.size() + kFrameOverhead);
    out.push_back(head);
    out.push_back(static_cast<uint8_t>(payload.size() + kFrameOverhead));
    out.push_back(cmd_byte);
    out.insert(out.end(), payload.begin(), payload.end());
    out.push_back(crc8(payload));
    out.push_back(tail);
    return out;
}

Bytes encode_request(uint8_t type, uint8_t cmd, std::span<const uint8_t> payload, uint8_t tail)
{
    // The module's builder takes the length as an unsigned byte, and sends a
    // single byte when that byte is 252 or more (the frame would not fit).
    size_t n = payload.size() & 0xFF;
    if (n >= 252)
        n = 1;
    n = std::min(n, payload.size());
    return assemble(static_cast<uint8_t>(0x80 | (type & 0x3F)), static_cast<uint8_t>(cmd << 4), payload.first(n),
                    static_cast<uint8_t>(0x80 | (tail & 0x3F)));
}

Bytes encode_reply(uint8_t head, uint8_t command, uint8_t status, std::span<const uint8_t> payload, uint8_t tail)
{
    return assemble(head, static_cast<uint8_t>((command << 4) | (status & 0x0F)), payload, tail);
}

std::string hex(std::span<const uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ' ';
        out += fmt::format("{:02x}", bytes[i]);
    }
    return out;
}

std::string describe(const Frame &f)
{
    return fmt::format("{} {} st={:x} [{}] crc={:02x} {} tail={:02x}", type_name(f.type()), command_name(f.command),
                       f.status, hex(f.payload), f.crc, f.crc_ok ? "ok" : "BAD", f.tail);
}

void RequestSplitter::push(std::span<const uint8_t> bytes) { buf_.insert(buf_.end(), bytes.begin(), bytes.end()); }

void RequestSplitter::resync()
{
    size_t skip = 0;
    while (skip < buf_.size()) {
        if (is_request_head(buf_[skip])) {
            // A length byte of 1..4 cannot announce a frame: this head is noise.
            if (skip + 1 >= buf_.size() || buf_[skip + 1] == 0 || buf_[skip + 1] >= kFrameOverhead)
                break;
        }
        ++skip;
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(skip));
    dropped_ += skip;
}

std::optional<Bytes> RequestSplitter::next()
{
    resync();
    if (buf_.size() < 2)
        return std::nullopt;
    const size_t len = frame_length(buf_[1]);
    if (buf_.size() < len)
        return std::nullopt;
    Bytes frame(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(len));
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(len));
    return frame;
}

void RequestSplitter::abandon_partial()
{
    if (buf_.empty())
        return;
    buf_.erase(buf_.begin());
    ++dropped_;
    resync();
}

SplitResult split_requests(std::span<const uint8_t> stream)
{
    RequestSplitter s;
    s.push(stream);
    SplitResult r;
    while (auto f = s.next())
        r.frames.push_back(std::move(*f));
    r.dropped = s.dropped();
    r.rest.assign(s.pending().begin(), s.pending().end());
    return r;
}

} // namespace coproc
