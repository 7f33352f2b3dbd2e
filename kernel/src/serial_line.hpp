#pragma once
// The board's serial line "/dev/ttyS3": a real tty of the host (the
// simulated co-processor's pseudo-terminal, or a serial adapter). Every byte
// that crosses it is kept for the trace.
#include <string>

struct file;

namespace kern::serial {

constexpr const char *board_path = "/dev/ttyS3";

void set_path(const std::string &host_path);
std::string path();
// Opens the line; a struct file, or an error pointer.
struct file *open(int flags);
void trace_reset();

} // namespace kern::serial
