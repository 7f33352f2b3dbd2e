#include "qemu_board.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "coproc.hpp"
#include "coproc_control.hpp"
#include "coproc/simulator.hpp"
#include "signals.hpp"
#include "vm_channel.hpp"

#ifndef QUORVEL_VM_DIR
#define QUORVEL_VM_DIR ""
#endif

namespace board {

namespace {

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
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "quorvel-vm-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw Failure("cannot make a temporary directory");
        path_ = pattern;
        cleanup_ = add_emergency_cleanup([p = path_] {
            std::error_code ignored;
            fs::remove_all(p, ignored);
        });
    }
    ~TempDir()
    {
        remove_emergency_cleanup(cleanup_);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
    int cleanup_ = 0;
};

// A descriptor closed when it goes.
struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

int listen_unix(const fs::path &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string p = path.string();
    if (fd < 0 || p.size() >= sizeof addr.sun_path)
        throw Failure("cannot make the guest's channel socket");
    p.copy(addr.sun_path, p.size());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        throw Failure("cannot listen on " + p);
    }
    return fd;
}

// The QEMU process; killed if still running when this goes.
class Qemu {
public:
    Qemu(const std::vector<std::string> &argv, const fs::path &log)
    {
        pid_ = ::fork();
        if (pid_ < 0)
            throw Failure("cannot start QEMU");
        if (pid_ == 0) {
            // Not in the terminal's process group, so a Ctrl-C meant for the
            // board does not reach it; and it goes when the board goes, however.
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            unblock_signals_in_child();
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, STDIN_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            std::vector<char *> args;
            for (const auto &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        cleanup_ = add_emergency_cleanup([pid = pid_] { ::kill(pid, SIGKILL); });
    }
    ~Qemu()
    {
        remove_emergency_cleanup(cleanup_);
        if (pid_ > 0 && !wait(0)) {
            ::kill(pid_, SIGKILL);
            wait(-1);
        }
    }
    // True once QEMU has ended (within timeout_ms; -1: no limit).
    bool wait(int timeout_ms)
    {
        const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (pid_ <= 0)
                return true;
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, timeout_ms < 0 ? 0 : WNOHANG);
            if (r == pid_) {
                pid_ = 0;
                return true;
            }
            if (timeout_ms >= 0 && clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    bool running() { return !wait(0); }

private:
    pid_t pid_ = 0;
    int cleanup_ = 0;
};

int accept_guest(int listener, Qemu &qemu)
{
    const auto deadline = clock::now() + std::chrono::milliseconds(kBootTimeoutMs);
    while (clock::now() < deadline) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0)
            return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (!qemu.running())
            break;
    }
    throw Failure("QEMU did not connect the guest's channel");
}

std::string tail(const fs::path &path, size_t lines)
{
    std::ifstream in(path);
    std::deque<std::string> last;
    std::string line;
    while (std::getline(in, line)) {
        last.push_back(line);
        if (last.size() > lines)
            last.pop_front();
    }
    std::string out;
    for (const auto &l : last)
        out += "  " + l + "\n";
    return out;
}

// The co-processor's side of the trace: each request as it came, each reply
// and restart banner as it went, timed from the start of the session.
class Recorder {
public:
    explicit Recorder(coproc::Simulator *sim) : sim_(sim), start_(clock::now()) {}

    std::vector<khost::SerialEvent> take()
    {
        std::vector<khost::SerialEvent> events;
        if (!sim_)
            return events;
        const auto records = sim_->requests();
        for (size_t i = seen_; i < records.size(); i++) {
            const auto &r = records[i];
            const int64_t t = std::chrono::duration_cast<std::chrono::nanoseconds>(r.at - start_).count();
            events.push_back({khost::SerialEvent::Dir::ToPeer, t, r.raw});
            if (!r.reply_sent.empty())
                events.push_back({khost::SerialEvent::Dir::FromPeer, t, r.reply_sent});
            if (!r.boot_bytes.empty())
                events.push_back({khost::SerialEvent::Dir::FromPeer, t, r.boot_bytes});
        }
        seen_ = records.size();
        return events;
    }

private:
    coproc::Simulator *sim_;
    clock::time_point start_;
    size_t seen_ = 0;
};

std::vector<std::string> qemu_argv(const fs::path &vm, const fs::path &console, const fs::path &channel,
                                   const std::string &line)
{
    return {"qemu-system-x86_64",
            "-machine",
            "pc",
            "-accel",
            "tcg",
            "-m",
            "256",
            "-nodefaults",
            "-no-user-config",
            "-display",
            "none",
            "-no-reboot",
            "-kernel",
            (vm / "vmlinuz").string(),
            "-initrd",
            (vm / "initramfs.cpio.gz").string(),
            "-append",
            "console=ttyS0 panic=-1 quiet",
            "-chardev",
            "file,id=console,path=" + console.string(),
            "-chardev",
            "socket,id=channel,path=" + channel.string(),
            "-serial",
            "chardev:console",
            "-serial",
            "chardev:channel",
            "-serial",
            "null",
            "-serial",
            line};
}

// A `coproc` command the guest forwarded: run against the host's simulator,
// its output sent back line by line, then its result.
void run_coproc_for_guest(vm::Channel &guest, coproc::Simulator *sim, const std::string &uart, const std::string &text)
{
    std::vector<std::string> args;
    size_t from = 0;
    for (size_t at; (at = text.find('\x1f', from)) != std::string::npos; from = at + 1)
        args.push_back(text.substr(from, at - from));
    args.push_back(text.substr(from));
    std::string output;
    int status = !sim && !uart.empty() ? forward_coproc(uart, args, &output) : -1;
    if (status < 0)
        status = run_coproc(sim, args, &output);
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        guest.send('D', line);
    guest.send('A', std::to_string(status));
}

} // namespace

int run_qemu_board(const QemuOptions &options, const LineSource &lines, std::ostream &out, std::ostream &err)
{
    const fs::path vm = options.vm_dir.empty() ? fs::path(QUORVEL_VM_DIR) : fs::path(options.vm_dir);
    for (const char *name : {"vmlinuz", "initramfs.cpio.gz"}) {
        if (!fs::exists(vm / name)) {
            err << fmt::format("quorvel-board: no {} in {}: run ./quorvel vm-setup\n", name, vm.string());
            return 1;
        }
    }
    std::unique_ptr<coproc::Simulator> own_sim;
    coproc::Simulator *sim = options.simulator;
    std::string line = options.uart;
    try {
        if (line.empty()) {
            if (!sim) {
                own_sim = std::make_unique<coproc::Simulator>();
                sim = own_sim.get();
            }
            line = sim->tty_path();
        }
    } catch (const std::exception &e) {
        err << "quorvel-board: cannot start the simulated co-processor: " << e.what() << '\n';
        return 1;
    }

    TempDir tmp;
    const fs::path console = options.console_log.empty() ? tmp.path() / "console.log" : fs::path(options.console_log);
    const fs::path socket = tmp.path() / "channel";
    Recorder recorder(sim);
    int status = -1;
    try {
        const Fd listener{listen_unix(socket)};
        Qemu qemu(qemu_argv(vm, console, socket, line), tmp.path() / "qemu.log");
        vm::Channel guest(accept_guest(listener.fd, qemu));
        // Ctrl-C during a command reaches the guest as its channel's
        // interrupt character: its kernel signals the guest program, whose
        // blocking call returns -EINTR, as on the board.
        set_interrupt_hook([fd = guest.fd()] {
            const char intr = vm::kInterrupt;
            (void)!::send(fd, &intr, 1, MSG_NOSIGNAL);
        });
        struct Unhook {
            ~Unhook() { set_interrupt_hook(nullptr); }
        } unhook;
        char kind = 0;
        std::string text;
        if (!guest.receive(&kind, &text, kBootTimeoutMs) || kind != 'H')
            throw Failure("the guest did not start");
        std::string start = options.interactive ? "i" : "s";
        if (options.errexit)
            start += 'e';
        for (const auto &p : options.params)
            start += " '" + p + "'";
        guest.send('I', start);
        while (status < 0 && guest.receive(&kind, &text)) {
            switch (kind) {
            case 'O':
                out << text << '\n';
                break;
            case 'o':
                out << text << std::flush;
                break;
            case 'E':
                out.flush();
                err << text << '\n';
                break;
            case 'P':
                out.flush();
                if (auto next = lines()) {
                    std::string l = *next;
                    for (char &c : l)
                        if (c == '\n')
                            c = ';';
                    guest.send('L', l);
                } else {
                    guest.send('Z');
                }
                break;
            case 'T':
                for (const auto &e : recorder.take())
                    guest.send('D', vm::encode_event(e));
                guest.send('A');
                break;
            case 'C':
                run_coproc_for_guest(guest, sim, options.uart, text);
                break;
            case 'X':
                status = std::atoi(text.c_str());
                break;
            default:
                break;
            }
        }
        if (status < 0)
            throw Failure("the guest stopped before it had finished");
        if (!qemu.wait(kPowerOffTimeoutMs))
            throw Failure("the guest did not power off");
    } catch (const Failure &f) {
        out.flush();
        err << "quorvel-board: " << f.what() << "; the guest's console ends:\n" << tail(console, 30);
        const auto qemu_log = tail(tmp.path() / "qemu.log", 10);
        if (!qemu_log.empty())
            err << "QEMU said:\n" << qemu_log;
        return 1;
    }
    out.flush();
    return status;
}

} // namespace board
