#pragma once
// The pieces both VM modes of the board share (the command session of
// qemu_board.cpp and the program run of qemu_run.cpp): a temporary
// directory, the QEMU process, the unix sockets QEMU connects its character
// devices to, and the co-processor's side of the trace.
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <khost/serial.hpp>

namespace coproc {
class Simulator;
}

namespace board::vm {

namespace fs = std::filesystem;
using clock = std::chrono::steady_clock;

// A TCG boot takes seconds; on a loaded machine many more.
constexpr int kBootTimeoutMs = 180'000;
constexpr int kPowerOffTimeoutMs = 60'000;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The session's directory (the guest's channel socket, QEMU's logs); gone
// when the session ends, also when it is ended by a signal it cannot wait out.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
    int cleanup_ = 0;
};

// A descriptor closed when it goes.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd();
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
};

// A listening unix socket of `type` at `path`, in place of any socket left
// there; throws Failure.
int listen_unix(const fs::path &path, int backlog = 1, int type = SOCK_STREAM);

// The co-processor's end of the guest's fourth serial port: the line at
// `uart` when one is given (an adapter, or a simulator's pseudo-terminal),
// else `sim`, or a simulated co-processor of its own, through a socket.
class CoprocessorLine {
public:
    // Throws std::exception when the simulated co-processor cannot start.
    CoprocessorLine(const std::string &uart, coproc::Simulator *sim);
    ~CoprocessorLine();
    CoprocessorLine(const CoprocessorLine &) = delete;
    CoprocessorLine &operator=(const CoprocessorLine &) = delete;
    coproc::Simulator *simulator() const { return sim_; }
    // QEMU's options for the port ("-serial ..." and its character device).
    std::vector<std::string> qemu_args() const;
    // The descriptor QEMU must inherit, or -1.
    int inherited() const { return socket_.fd; }

private:
    std::unique_ptr<coproc::Simulator> own_;
    coproc::Simulator *sim_;
    std::string path_;
    Fd socket_;
};

// The QEMU process; killed if still running when this goes.
class Qemu {
public:
    // QEMU leaves the terminal's process group, so that a ^C there reaches
    // only the board, which passes it on to the guest; it goes when the
    // board goes, however that ends. It inherits `keep` (if not -1).
    Qemu(const std::vector<std::string> &argv, const fs::path &log, int keep = -1);
    ~Qemu();
    Qemu(const Qemu &) = delete;
    Qemu &operator=(const Qemu &) = delete;
    // True once QEMU has ended (within timeout_ms; -1: no limit).
    bool wait(int timeout_ms);
    bool running() { return !wait(0); }

private:
    pid_t pid_ = 0;
    int cleanup_ = 0;
};

// The connection QEMU makes to `listener` for one of its character devices.
int accept_from(int listener, Qemu &qemu, const char *what);

// The last `lines` lines of a file, each indented.
std::string tail(const fs::path &path, size_t lines);

// A path as one value of a QEMU option (commas doubled).
std::string qemu_value(const std::string &text);

// The machine both modes boot, without the kernel's command line or the
// serial ports: append "-append", the ports and any devices.
std::vector<std::string> qemu_machine(const fs::path &vm_dir, const std::string &memory);

// The co-processor's side of the trace: each request as it came, each reply
// and restart banner as it went, timed from the start of the session.
class Recorder {
public:
    explicit Recorder(coproc::Simulator *sim);
    std::vector<khost::SerialEvent> take();

private:
    coproc::Simulator *sim_;
    clock::time_point start_;
    size_t seen_ = 0;
};

class Channel;

// A `coproc` command the guest forwarded (words split by \x1f): run against
// the host's simulator, or forwarded to the co-processor program on `uart`
// when the line is not the board's own simulator; its output sent back line
// by line as D, then its result as A.
void serve_coproc(Channel &guest, coproc::Simulator *sim, const std::string &uart, const std::string &text);
// The frames since the guest last asked, as D messages, then A.
void serve_trace(Channel &guest, Recorder &recorder);

} // namespace board::vm
