#pragma once
// Turns what crossed the serial line into one line per frame:
//   -> 1234.567 CONFIG CONTROL [1e] crc ok tail a3
//   <- 1234.912 CONFIG CONTROL st 0 [01 07] crc ok tail a3
//   xx 1240.001 drained 3 bytes: aa bb cc
// Everything is decoded from the bytes alone, so any peer can be traced.
#include <cstdint>
#include <string>
#include <vector>

#include <khost/serial.hpp>

namespace board {

// One printed line and what it stands for.
struct TraceLine {
    std::string text;
    khost::SerialEvent::Dir dir;
    int64_t time_ns = 0;
    int type = -1;              // the frame's device type; -1 for bytes that are no whole frame
    bool poll = false;          // the receive poller's count request or its reply
    std::vector<uint8_t> bytes; // as they crossed the line
};

std::vector<TraceLine> decode_trace(const std::vector<khost::SerialEvent> &events);
std::vector<std::string> format_trace(const std::vector<khost::SerialEvent> &events);

} // namespace board
