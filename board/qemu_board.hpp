#pragma once
// quorvel-board --kernel qemu: the same board on a real Linux kernel. The
// module (quorvel_linux_module.ko, built by Kbuild) is loaded in a QEMU
// virtual machine whose fourth serial port, the guest's /dev/ttyS3, is the
// co-processor's line: the simulated co-processor's pseudo-terminal here, or
// the tty given with --uart. The commands run in the guest (quorvel-guest),
// on real system calls; their output comes back over the guest's ttyS1.
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace coproc {
class Simulator;
}

namespace board {

struct QemuOptions {
    std::string uart;                       // host tty of the co-processor; empty: a simulated one
    std::vector<std::string> params;        // module parameters, name=value
    std::string vm_dir;                     // holds vmlinuz and initramfs.cpio.gz (empty: the build's)
    coproc::Simulator *simulator = nullptr; // used instead of starting one (tests)
    std::string console_log;                // where the guest's console goes (empty: a temporary file)
    bool interactive = false;               // a line that does not parse is reported and skipped
    bool errexit = false;                   // stop at the first command that fails (-e)
};

// The next line of commands, or nullopt at the end of input. Called only
// when the guest is ready for it, so a prompt may be shown then.
using LineSource = std::function<std::optional<std::string>()>;

// Boots the VM, runs the lines, unloads the module, powers off. The exit
// status as quorvel-board's: 0; 1 if the board could not start (or the VM
// failed) or the module would not unload; 2 if a line did not parse.
int run_qemu_board(const QemuOptions &options, const LineSource &lines, std::ostream &out, std::ostream &err);

} // namespace board
