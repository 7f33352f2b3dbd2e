#pragma once
// What crossed the board's serial line, as the host side saw it.
#include <cstdint>
#include <vector>

namespace khost {

struct SerialEvent {
    enum class Dir { ToPeer, FromPeer, Drained };
    Dir dir;
    int64_t time_ns; // since boot
    std::vector<uint8_t> bytes;
};

// The events since the last call (or since boot), oldest first.
std::vector<SerialEvent> serial_trace_take();

} // namespace khost
