#pragma once
// The co-processor's own serial port, seen from both of its sides: the
// board's (frames: bytes to send, line settings, the receive count and
// data reads) and the remote one (a device wired to the port's pins, which
// a test or a person plays: what it sends waits in the receive buffer, what
// the board sent is kept for it to read).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "coproc/firmware.hpp"

namespace coproc {

// What the last line-settings request said, byte for byte.
struct UartLine {
    uint8_t baud_code = 0; // 1: 9600 ... 8: 921600
    uint8_t data_bits = 0;
    uint8_t setting3 = 0; // the remaining settings, as the module sends them
    uint8_t setting4 = 0;
    uint8_t setting5 = 0;
};

class UartModel : public DeviceModel {
public:
    // What the remote side's send buffer keeps for `coproc uart show`.
    static constexpr size_t kSentKept = 65536;

    [[nodiscard]] uint8_t type() const override { return DEV_TYPE_UART; }
    [[nodiscard]] size_t reply_payload(const Frame &request) const override;
    [[nodiscard]] Reply handle(const Frame &request) override;
    void power_on() override;
    void describe(std::ostream &out) const override;

    // The remote side sends: the bytes wait in the receive buffer
    // (kUartRxCapacity bytes); how many fitted, the rest are lost.
    size_t feed(std::span<const uint8_t> bytes);
    [[nodiscard]] size_t waiting() const { return rx_.size(); }
    [[nodiscard]] size_t lost() const { return lost_; }

    // What the board sent out, oldest first (the newest kSentKept bytes),
    // and how many in all since power-on.
    [[nodiscard]] Bytes sent() const { return Bytes(sent_.begin(), sent_.end()); }
    [[nodiscard]] size_t sent_total() const { return sent_total_; }
    void clear_sent() { sent_.clear(); }
    // Also hands each write's bytes to `sink` (a host pty playing the
    // remote side); called under the simulator's lock, so it must not block.
    void set_remote_sink(std::function<void(std::span<const uint8_t>)> sink) { sink_ = std::move(sink); }

    [[nodiscard]] std::optional<UartLine> line() const { return line_; }
    [[nodiscard]] unsigned line_requests() const { return line_requests_; }
    [[nodiscard]] unsigned data_reads() const { return data_reads_; }

private:
    Reply control(const Frame &request);
    Reply read(const Frame &request);

    std::deque<uint8_t> rx_;
    size_t lost_ = 0;
    std::deque<uint8_t> sent_;
    size_t sent_total_ = 0;
    std::function<void(std::span<const uint8_t>)> sink_;
    std::optional<UartLine> line_;
    unsigned line_requests_ = 0;
    unsigned data_reads_ = 0;
};

} // namespace coproc
