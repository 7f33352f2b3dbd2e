#pragma once
// Turns what crossed the serial line into one line per frame:
//   -> 1234.567 CONFIG CONTROL [1e] crc ok tail a3
//   <- 1234.912 CONFIG CONTROL st 0 [01 07] crc ok tail a3
//   xx 1240.001 drained 3 bytes: aa bb cc
// Everything is decoded from the bytes alone, so any peer can be traced.
#include <string>
#include <vector>

#include <khost/serial.hpp>

namespace board {

std::vector<std::string> format_trace(const std::vector<khost::SerialEvent> &events);

} // namespace board
