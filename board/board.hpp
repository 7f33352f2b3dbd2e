#pragma once
// What the shell drives: the loaded kernel layer as one program on the board
// sees it. KernelBoard is the real one; tests put a scripted one in its place
// to check parsing and output without a kernel.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <khost/program.hpp>
#include <khost/serial.hpp>

namespace board {

// What failure injection has seen since it was last armed or cleared.
struct FaultReport {
    struct Rule {
        std::string name; // empty: any call
        unsigned nth;
        unsigned times;
    };
    std::vector<std::pair<std::string, unsigned>> calls; // by name, every name seen so far
    unsigned all_calls = 0;
    std::vector<Rule> armed;
    std::vector<std::string> forced; // names of the calls made to fail, in order
};

class Board {
public:
    virtual ~Board() = default;

    // Module control. Results are 0 or a negative errno; `why` gets the
    // loader's reason when it has one.
    virtual int insmod(const std::vector<std::string> &params, std::string *why) = 0;
    virtual int rmmod(std::string *why) = 0;
    virtual std::vector<std::string> lsmod() = 0;
    virtual std::string dmesg(bool clear) = 0;
    virtual std::vector<khost::SerialEvent> trace_take() = 0;

    // The session's program: system calls with the kernel's results.
    virtual long open(const std::string &path, int flags) = 0;
    virtual long read(int fd, void *buf, size_t count) = 0;
    virtual long write(int fd, const void *buf, size_t count) = 0;
    virtual long ioctl(int fd, unsigned cmd, unsigned long arg) = 0;
    virtual long close(int fd) = 0;
    virtual long list(const std::string &path, std::vector<khost::DirEntry> *out) = 0;
    // What a path names; with `follow` false a link describes itself.
    virtual long stat(const std::string &path, khost::DirEntry *out, bool follow) = 0;

    // An address the kernel must refuse to copy through (-EFAULT).
    virtual void *bad_pointer() = 0;

    // Whether the board's commands run on this host, so that a file they
    // write (trace -w) is the person's; not in the guest of --kernel qemu.
    virtual bool writes_host_files() const { return true; }

    // Ctrl-C while a command runs (interrupt.hpp): the program's blocking
    // call should end as on Linux. The default has no program to tell.
    virtual void interrupt_program() {}

    // Runs a command of the board's own shell (busybox under --kernel qemu),
    // its output and error output in `output`; its exit status, or a
    // negative errno when this board has no shell (the kernel layer).
    virtual long shell_command(const std::string &command, std::string *output)
    {
        (void)command;
        (void)output;
        return -38; // ENOSYS
    }

    // Joins a host pty to the board's tty at `path` (tty_bridge.hpp); the
    // host pty's path in `host_path`. 0, or a negative errno with the reason
    // in `host_path`. An empty path stops every bridge.
    virtual long tty_bridge(const std::string &path, std::string *host_path)
    {
        (void)path;
        *host_path = "this board has no host bridge";
        return -38; // ENOSYS
    }

    // Runs a `coproc` command against the simulated co-processor that serves
    // this board's line (coproc.hpp); what it printed goes to `output`. The
    // result: 0, 1 if it failed, 2 if its words did not parse.
    virtual int coproc(const std::vector<std::string> &args, std::string *output)
    {
        (void)args;
        *output = "coproc: this board has no simulated co-processor\n";
        return 1;
    }

    // Failure injection in the kernel layer (khost/fault.hpp). An empty name
    // stands for every fallible call, whatever its name. Boards on a real
    // kernel have none: it fails by name only in the kernel layer.
    virtual bool has_fault_injection() const { return true; }
    // Failure injection in the kernel layer (khost/fault.hpp). An empty name
    // stands for every fallible call, whatever its name.
    virtual void fail_nth(const std::string &name, unsigned nth, unsigned times) = 0;
    virtual void fail_clear() = 0;
    virtual FaultReport fail_report() = 0;
};

} // namespace board
