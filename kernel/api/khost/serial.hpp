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

// Whether the peer answers: what a watcher of the line needs to tell a
// person that the co-processor has gone quiet, or come back.
struct SerialHealth {
    unsigned long requests = 0;     // writes to the peer, failed ones included
    unsigned long answers = 0;      // reads that brought bytes
    unsigned long unanswered = 0;   // writes since the last read that brought bytes
    unsigned long short_writes = 0; // writes the host tty refused or took only in part
    bool hung_up = false;           // a read or write found the host tty hung up (its peer gone)
    bool open = false;              // some kernel file has the line open
};
SerialHealth serial_health();

// Opens the line's host path anew for every kernel file that has it open,
// in place (the module's file stays the same), with the line settings last
// made on it: for a peer that went away and came back under the same path
// (a restarted quorvel-coproc's --link, a replugged adapter). 0, or a
// negative errno (-EBUSY: another program holds the new line).
int serial_reopen();

} // namespace khost
