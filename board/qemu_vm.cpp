#include "qemu_vm.hpp"

#include <fcntl.h>
#include <sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>

#include "coproc.hpp"
#include "coproc/simulator.hpp"
#include "coproc_control.hpp"
#include "signals.hpp"
#include "vm_channel.hpp"

namespace board::vm {

TempDir::TempDir()
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

TempDir::~TempDir()
{
    remove_emergency_cleanup(cleanup_);
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

Fd::~Fd()
{
    if (fd >= 0)
        ::close(fd);
}

int listen_unix(const fs::path &path, int backlog, int type)
{
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string p = path.string();
    if (fd < 0 || p.size() >= sizeof addr.sun_path) {
        if (fd >= 0)
            ::close(fd);
        throw Failure("cannot make a socket at " + p);
    }
    p.copy(addr.sun_path, p.size());
    ::unlink(p.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        throw Failure("cannot listen on " + p + ": " + why);
    }
    return fd;
}

CoprocessorLine::CoprocessorLine(const std::string &uart, coproc::Simulator *sim) : sim_(sim), path_(uart)
{
    if (!path_.empty())
        return;
    if (!sim_) {
        own_ = std::make_unique<coproc::Simulator>();
        sim_ = own_.get();
    }
    socket_.fd = sim_->open_socket_line();
}

CoprocessorLine::~CoprocessorLine() = default;

std::vector<std::string> CoprocessorLine::qemu_args() const
{
    if (!path_.empty())
        return {"-serial", path_};
    return {"-chardev", "socket,id=coproc,fd=" + std::to_string(socket_.fd), "-serial", "chardev:coproc"};
}

namespace {

// Under TCG the guest's clock is the host's. A vCPU that the host preempts
// for a millisecond between the module's request and its first look at the
// line sees that millisecond go by, and the module's wait for a reply byte
// (a millisecond before it would sleep) gives the reply up: beside two busy
// processes about one i2cdump in two lost a byte so. QEMU (all its threads)
// therefore runs at the lowest real-time priority where the host allows it
// (as root): ordinary processes no longer preempt it, and the kernel's
// real-time throttling still leaves them a twentieth of each CPU while a
// busy guest runs. Where it is refused, QEMU runs as it is.
void run_before_ordinary_processes()
{
    sched_param lowest{};
    lowest.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    (void)::sched_setscheduler(0, SCHED_FIFO, &lowest);
}

} // namespace

Qemu::Qemu(const std::vector<std::string> &argv, const fs::path &log, int keep)
{
    pid_ = ::fork();
    if (pid_ < 0)
        throw Failure("cannot start QEMU");
    if (pid_ == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        unblock_signals_in_child();
        run_before_ordinary_processes();
        if (keep >= 0)
            ::fcntl(keep, F_SETFD, 0);
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

Qemu::~Qemu()
{
    remove_emergency_cleanup(cleanup_);
    if (pid_ > 0 && !wait(0)) {
        ::kill(pid_, SIGKILL);
        wait(-1);
    }
}

bool Qemu::wait(int timeout_ms)
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

int accept_from(int listener, Qemu &qemu, const char *what)
{
    const auto deadline = clock::now() + std::chrono::milliseconds(kBootTimeoutMs);
    while (clock::now() < deadline) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0)
            return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (!qemu.running())
            break;
    }
    throw Failure(std::string("QEMU did not connect ") + what);
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

std::string qemu_value(const std::string &text)
{
    std::string out;
    for (char c : text) {
        out += c;
        if (c == ',')
            out += ',';
    }
    return out;
}

std::vector<std::string> qemu_machine(const fs::path &vm, const std::string &memory)
{
    return {"qemu-system-x86_64",
            "-machine",
            "pc",
            "-accel",
            "tcg",
            "-m",
            memory,
            "-nodefaults",
            "-no-user-config",
            "-display",
            "none",
            "-no-reboot",
            "-kernel",
            (vm / (fs::exists(vm / "vmlinux") ? "vmlinux" : "vmlinuz")).string(),
            "-initrd",
            (vm / "initramfs.cpio.gz").string()};
}

Recorder::Recorder(coproc::Simulator *sim) : sim_(sim), start_(clock::now()) {}

std::vector<khost::SerialEvent> Recorder::take()
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

void serve_coproc(Channel &guest, coproc::Simulator *sim, const std::string &uart, const std::string &text)
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

void serve_trace(Channel &guest, Recorder &recorder)
{
    for (const auto &e : recorder.take())
        guest.send('D', encode_event(e));
    guest.send('A');
}

} // namespace board::vm
