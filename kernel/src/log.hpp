#pragma once
namespace kern::log {
// Mirrors each finished log line to standard error as well.
void set_console(bool on);
} // namespace kern::log
