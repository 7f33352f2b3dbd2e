#pragma once
// Ctrl-C while a command runs. The board's signal handling (signals.hpp)
// raises the request; commands that wait on their own (sleep, trace -f) end
// their wait at once, and the shell stops the rest of the line, as a shell
// does. Raised only between commands or while one runs; the prompt clears
// it before running the next line.
#include <chrono>

namespace board {

// Makes what request_interrupt needs, so that a signal handler may call it.
void prepare_interrupts();
// Safe in a signal handler once prepare_interrupts() has run.
void request_interrupt();
void clear_interrupt();
bool interrupted();
// Waits for `d`; false if an interrupt came first (or was already pending).
bool wait_interruptible(std::chrono::milliseconds d);

} // namespace board
