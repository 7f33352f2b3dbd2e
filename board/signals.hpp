#pragma once
// The board's own handling of the signals a person sends it. As a shell:
// Ctrl-C (SIGINT) interrupts the command under way and gives the prompt
// back, or clears the line at the prompt; it never ends the board. SIGTERM
// and SIGHUP end the session the way `exit` does (the module unloaded, the
// VM powered off, every temporary file removed); if that cannot happen in
// time (a program blocked for good), the cleanups registered here run and
// the board exits with 128 + the signal.
//
// One thread takes the signals (sigwaitinfo), so they must be blocked in
// every other thread: block_signals() comes first in main, before any
// thread exists, and child processes unblock them before exec.
#include <functional>

namespace board {

class Board;

void block_signals();
// Restores the signal mask a child program should start with.
void unblock_signals_in_child();
// Starts the thread that takes the signals.
void start_signal_thread();

// The session's board, told of Ctrl-C while a command runs; null: none.
void set_signal_board(Board *board);
// Also run on Ctrl-C while a command runs (under --kernel qemu: the guest is
// told); empty: nothing.
void set_interrupt_hook(std::function<void()> hook);
// Whether the person is at the prompt (Ctrl-C clears the line) or a command
// runs (Ctrl-C interrupts it).
void set_at_prompt(bool at_prompt);
// Readable when the prompt has something to do: a Ctrl-C to clear the line,
// or a request to leave. take_prompt_events() empties it.
int prompt_event_fd();
void take_prompt_events();
// The signal (SIGTERM, SIGHUP) that asked the session to end; 0 if none.
int leave_signal();
// The session has been left; a late signal needs no emergency.
void mark_left();

// Cleanups for a board that cannot leave in time; each returns its id for
// remove_emergency_cleanup. They must be safe to run from another thread
// while the main one is stuck.
int add_emergency_cleanup(std::function<void()> cleanup);
void remove_emergency_cleanup(int id);

} // namespace board
