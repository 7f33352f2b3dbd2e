// Faults a test can put on the co-processor's replies, to drive the module's
// reply check and timeouts down their failure paths.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
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
    BitFlip,      // bit `value` % (8 * size) of the reply is inverted
    WrongType,    // the head's device type becomes `value` (or type ^ 0x01); its top bit stays
    LengthByte,   // byte 1 becomes `value` (0, 1 and 255 are the telling ones)
    LongReply,    // `value` bytes (default 1) of 0xA5 follow the reply
    Duplicate,    // the reply goes out twice
    Split,        // the first half goes out, `value` ms pass, then the rest
    OtherReply,   // the reply of the request before goes out instead (none before: no reply)
    Flood,        // `value` bytes (default 300) of 0x5A follow the reply, unasked
    Garbage,      // `value` bytes of noise (default the reply's length) replace the reply
    Echo,         // the request itself comes back instead of the reply
};

// Every kind, in declaration order, and its name as the board spells it.
inline constexpr FaultKind kAllFaultKinds[] = {
    FaultKind::NoReply,    FaultKind::ShortReply, FaultKind::WrongHead, FaultKind::WrongTail,  FaultKind::WrongCommand,
    FaultKind::BadCrc,     FaultKind::Status,     FaultKind::Delay,     FaultKind::StaleBytes, FaultKind::BitFlip,
    FaultKind::WrongType,  FaultKind::LengthByte, FaultKind::LongReply, FaultKind::Duplicate,  FaultKind::Split,
    FaultKind::OtherReply, FaultKind::Flood,      FaultKind::Garbage,   FaultKind::Echo,
};
[[nodiscard]] const char *fault_name(FaultKind kind);
// False for a name that is no kind.
[[nodiscard]] bool fault_from_name(std::string_view name, FaultKind *kind);

struct Fault {
    FaultKind kind = FaultKind::NoReply;
    unsigned value = 0;
    unsigned count = 1; // how many replies it spoils
    unsigned skip = 0;  // how many replies it lets through first
    Bytes data{};       // StaleBytes only
};

// A hostile co-processor: each reply is spoilt, with probability
// `percent`/100, in one way drawn from `kinds` (all when empty) with a value
// drawn to suit it. The draws come from a generator started at `start`, so a
// run repeats exactly for the same requests.
struct Hostile {
    unsigned percent = 0;
    uint64_t start = 1;
    std::vector<FaultKind> kinds{};
};

// What actually goes on the line for one reply.
struct Delivery {
    std::chrono::milliseconds delay{0};
    Bytes bytes; // stale bytes first, then the (possibly altered) reply
    std::chrono::milliseconds gap{0};
    Bytes later; // sent `gap` after `bytes` (a split reply)
};

// Every queued fault counts replies from the moment it is added; faults due
// on the same reply all apply (e.g. a delay together with a wrong tail).
class FaultQueue {
public:
    void add(Fault fault) { faults_.push_back(std::move(fault)); }
    void clear();
    [[nodiscard]] size_t pending() const { return faults_.size(); }
    void set_hostile(Hostile hostile);
    [[nodiscard]] const Hostile &hostile() const { return hostile_; }

    // Applies the faults due on this reply (and a hostile one, when drawn)
    // and counts every fault down. `request` is the frame answered.
    [[nodiscard]] Delivery apply(Bytes reply, const Bytes &request = {});

    // How many replies each kind has spoilt since the last clear.
    [[nodiscard]] const std::vector<size_t> &applied() const { return applied_; }
    [[nodiscard]] size_t spoilt() const { return spoilt_; }

private:
    void count_down();
    [[nodiscard]] uint64_t draw();
    [[nodiscard]] Fault draw_fault();
    std::vector<Fault> faults_;
    Hostile hostile_;
    uint64_t state_ = 1;
    Bytes last_reply_; // the unspoilt reply before this one
    std::vector<size_t> applied_ = std::vector<size_t>(std::size(kAllFaultKinds));
    size_t spoilt_ = 0;
};

} // namespace coproc
