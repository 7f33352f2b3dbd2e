// Host-side codec for the control-line frames exchanged with the co-processor.
//
// Frame layout (n = payload length):
//   [0] head    0x80 | device type
//   [1] length  (n + 5) mod 256, the length of the whole frame
//   [2] command high nibble, status low nibble (0 in requests)
//   [3..n+2]    payload, never escaped
//   [n+3] crc   CRC-8 (poly 0x07, init 0, MSB first) over the payload only
//   [n+4] tail  0x80 | 6 random bits; a reply echoes its request's tail
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace coproc {

using Bytes = std::vector<uint8_t>;

enum DevType : uint8_t {
    DEV_TYPE_I2C = 1,
    DEV_TYPE_SPI = 2,
    DEV_TYPE_UART = 3,
    DEV_TYPE_GPIO = 4,
    DEV_TYPE_PWM = 5,
    DEV_TYPE_ADC = 6,
    DEV_TYPE_WS2812 = 7,
    DEV_TYPE_SR04 = 8,
    DEV_TYPE_DHT = 9,
    DEV_TYPE_CONFIG = 10,
    DEV_TYPE_BUZZER = 11,
    DEV_TYPE_DS18B20 = 12,
    DEV_TYPE_IR_SEND = 13,
    DEV_TYPE_IR_RECV = 14,
    DEV_TYPE_ICM20689 = 15,
    DEV_TYPE_GP2Y = 16,
};

enum Command : uint8_t {
    CMD_OPEN = 1,
    CMD_WRITE = 2,
    CMD_READ = 3,
    CMD_CLOSE = 5,
    CMD_REG_READ = 6,
    CMD_CONTROL = 7,
    CMD_REG_WRITE = 8,
};

// First payload byte of CMD_CONTROL requests to UART and CONFIG.
inline constexpr uint8_t CTRL_SET_LINE = 0x10;
inline constexpr uint8_t CTRL_RX_COUNT = 0x11;
inline constexpr uint8_t CTRL_VERSION = 0x1E;
inline constexpr uint8_t CTRL_RESET = 0x1F;

inline constexpr size_t kFrameOverhead = 5; // head, length, command, crc, tail
inline constexpr size_t kMaxFrame = 256;    // a length byte of 0 stands for 256

[[nodiscard]] uint8_t crc8(const uint8_t *data, size_t len);
[[nodiscard]] inline uint8_t crc8(std::span<const uint8_t> data) { return crc8(data.data(), data.size()); }

// Short names for trace output ("CONFIG", "CONTROL"); "?" for unused codes.
// type_name() masks with 0x3F, so a head byte works as well as a type code.
[[nodiscard]] std::string_view type_name(uint8_t type);
[[nodiscard]] std::string_view command_name(uint8_t cmd);

// A request head names one of the sixteen device types: 0x81..0x90.
[[nodiscard]] constexpr bool is_request_head(uint8_t b) { return b >= 0x81 && b <= 0x90; }

// Whole-frame length announced by a length byte (0 means 256).
[[nodiscard]] constexpr size_t frame_length(uint8_t length_byte) { return length_byte == 0 ? kMaxFrame : length_byte; }

struct Frame {
    uint8_t head = 0;
    uint8_t length = 0;  // the length byte as carried, not re-derived
    uint8_t command = 0; // high nibble of byte 2
    uint8_t status = 0;  // low nibble of byte 2
    Bytes payload;
    uint8_t crc = 0;
    bool crc_ok = false;
    uint8_t tail = 0;

    [[nodiscard]] uint8_t type() const { return head & 0x3F; }
};

// Decodes one whole frame; its size, not its length byte, fixes the payload
// length (the module never reads a reply's length byte either). nullopt when
// fewer than five bytes are given.
[[nodiscard]] std::optional<Frame> decode(std::span<const uint8_t> raw);

// Builds a request exactly as the module does, including its length quirk:
// the payload length is taken modulo 256 and a value of 252..255 sends only
// the first payload byte with a length byte of 6.
[[nodiscard]] Bytes encode_request(uint8_t type, uint8_t cmd, std::span<const uint8_t> payload, uint8_t tail);

// Builds a reply to a request with the given head/command byte/tail.
// The length byte is (n + 5) mod 256; no truncation rule applies to replies.
[[nodiscard]] Bytes encode_reply(uint8_t head, uint8_t command, uint8_t status, std::span<const uint8_t> payload,
                                 uint8_t tail);

// One-line summaries for traces, e.g. "CONFIG CONTROL st=0 [1e] crc=5a ok tail=a3".
[[nodiscard]] std::string describe(const Frame &f);
[[nodiscard]] std::string hex(std::span<const uint8_t> bytes);

// Cuts a byte stream of requests into frames. Bytes that cannot start a
// request are dropped until a head 0x81..0x90 appears; the length byte then
// gives the frame length. A length byte of 1..4 cannot be a frame, so its
// head is dropped and the search goes on from the next byte.
class RequestSplitter {
public:
    void push(std::span<const uint8_t> bytes);
    [[nodiscard]] std::optional<Bytes> next();
    // True while an incomplete frame waits for more bytes.
    [[nodiscard]] bool has_partial() const { return !buf_.empty(); }
    // Gives up on the incomplete frame: drops its head so the search resumes.
    void abandon_partial();
    [[nodiscard]] size_t dropped() const { return dropped_; }
    [[nodiscard]] std::span<const uint8_t> pending() const { return buf_; }

private:
    void resync();
    Bytes buf_;
    size_t dropped_ = 0;
};

struct SplitResult {
    std::vector<Bytes> frames;
    size_t dropped = 0; // bytes skipped while looking for a head
    Bytes rest;         // an incomplete frame at the end of the stream
};

[[nodiscard]] SplitResult split_requests(std::span<const uint8_t> stream);

} // namespace coproc
