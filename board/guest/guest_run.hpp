#pragma once
// quorvel-guest's run mode (quorvel-board -- PROGRAM under --kernel qemu):
// the host's root file system, read-only over virtio 9p, under a writable
// tmpfs overlay; the host's working directory writable at the same path;
// the module loaded; then the program, chrooted there, with its standard
// input, output and error on the virtio serial ports the host reads and
// writes. While it runs, control clients (quorvel-board --attach) reach the
// board's commands through a socket at the board's path inside the guest,
// and the host's clients through the channel.
#include <string>
#include <vector>

#include "vm_channel.hpp"

namespace board {

struct GuestRun {
    std::vector<std::string> argv;
    std::vector<std::string> env; // NAME=VALUE
    std::string cwd;
    std::string socket_path;
    std::vector<std::string> params;
    bool terminal = false;       // the host's side is a terminal: the program gets a pty
    unsigned rows = 0, cols = 0; // its window size
};

// Runs it all and leaves the board as quorvel-board does; the program's exit
// status (128+N if signal N ended it), or 1 if the board could not start.
int run_guest_program(vm::Channel &host, const GuestRun &run, const char *module_path);

} // namespace board
