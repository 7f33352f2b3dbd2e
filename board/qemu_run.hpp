#pragma once
// quorvel-board --kernel qemu [name=value...] -- PROGRAM [ARGS...]: the
// board's VM boots on the host's own files (its root read-only over virtio
// 9p under a tmpfs overlay, the working directory writable at the same
// path), loads the module with the parameters and runs PROGRAM there, its
// standard input, output and error passed through virtio serial ports. Then
// the module is unloaded and what the program left behind is reported on
// standard error ("board: ..."). While it runs, the board's commands (coproc,
// trace, dmesg...) are served on a control socket (attach.hpp), whose path
// the program finds in QUORVEL_BOARD, on the host and in the guest alike.
#include <string>
#include <vector>

namespace coproc {
class Simulator;
}

namespace board {

struct QemuRunOptions {
    std::vector<std::string> program;       // PROGRAM and its arguments
    std::vector<std::string> params;        // module parameters, name=value
    std::string uart;                       // host tty of the co-processor; empty: a simulated one
    std::string cwd;                        // empty: this process's
    std::vector<std::string> env;           // NAME=VALUE; empty: this process's environment
    std::string socket_path;                // empty: control_socket_path()'s
    std::string vm_dir;                     // holds vmlinuz and initramfs.cpio.gz (empty: the build's)
    coproc::Simulator *simulator = nullptr; // used instead of starting one (tests)
    std::string console_log;                // the guest's console (empty: a temporary file)
    int in = 0, out = 1, err = 2;           // the program's standard streams on the host
    int signal_fd = -1;                     // readable with a signal's number (one byte) to pass on to the program
    bool terminal = false;                  // in and out are a terminal: the program gets one too (raw here meanwhile)
};

// The program's exit status (128+N if signal N ended it); 1 if the board
// could not start or the VM failed.
int run_qemu_program(const QemuRunOptions &options);

// As the board program runs it: its own streams, ^C and the like passed on.
int run_on_qemu(const std::string &uart, const std::vector<std::string> &params,
                const std::vector<std::string> &program);

} // namespace board
