// Faults a test can put on the co-processor's replies, to drive the module's
// reply check and timeouts down their failure paths.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "coproc/frame.hpp"

namespace coproc {

enum class FaultKind {
    NoReply,      // the request is carried out, its reply is lost
    ShortReply,   // the last `value` bytes (default 1) are not sent
    WrongHead,    // byte 0 becomes `value`, or head ^ 0x01 when value is 0
    WrongTail,    // last byte becomes `value`, or tail ^ 0x01 when value is 0
    WrongCommand, // command nibble becomes `value`, or command ^ 0x1 when value is 0
    BadCrc,       // the CRC byte is inverted
    Status,       // the status nibble becomes `value`; the CRC stays right
    Delay,        // `value` ms pass before the first byte
    StaleBytes,   // `data`, or `value` bytes of 0x55, go out before the reply
};

struct Fault {
    FaultKind kind = FaultKind::NoReply;
    unsigned value = 0;
    unsigned count = 1; // how many replies it spoils
    unsigned skip = 0;  // how many replies it lets through first
    Bytes data{};       // StaleBytes only
};

// What actually goes on the line for one reply.
struct Delivery {
    std::chrono::milliseconds delay{0};
    Bytes bytes; // stale bytes first, then the (possibly altered) reply
};

// Every queued fault counts replies from the moment it is added; faults due
// on the same reply all apply (e.g. a delay together with a wrong tail).
class FaultQueue {
public:
    void add(Fault fault) { faults_.push_back(std::move(fault)); }
    void clear() { faults_.clear(); }
    [[nodiscard]] size_t pending() const { return faults_.size(); }

    // Applies the faults due on this reply and counts every fault down.
    [[nodiscard]] Delivery apply(Bytes reply);

private:
    void count_down();
    std::vector<Fault> faults_;
};

} // namespace coproc
