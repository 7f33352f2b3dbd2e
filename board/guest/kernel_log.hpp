#pragma once
// The guest kernel's log as the board shows it: what dmesg prints, from the
// records of /dev/kmsg.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace board {

struct KernelRecord {
    uint64_t seq;
    int level;
    int64_t time_us;
    std::string text;
    // A continuation the kernel could not append to its line: another
    // record came between (/dev/kmsg's flag 'c').
    bool cont = false;
};

// The debug kernel's note of a release it delays.
bool delayed_release(std::string_view text);

std::string render_dmesg(const std::vector<KernelRecord> &records);

} // namespace board
