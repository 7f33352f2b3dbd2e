#include "qemu_run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "attach.hpp"
#include "coproc/simulator.hpp"
#include "qemu_vm.hpp"
#include "vm_channel.hpp"

extern char **environ;

#ifndef QUORVEL_VM_DIR
#define QUORVEL_VM_DIR ""
#endif

namespace board {

namespace {

using namespace vm;

// How long the host waits, once the guest has counted the program's output,
// for the last of it to come through QEMU.
constexpr int kOutputTimeoutMs = 60'000;

// Copies one stream to another on a thread of its own, counting, until the
// source ends or stop() is called. At the source's end, `shut` (a socket) is
// shut for writing, which is how the guest's port learns of the end.
class Pump {
public:
    Pump(int from, int to, bool shut) : from_(from), to_(to), shut_(shut)
    {
        if (::pipe2(stop_, O_CLOEXEC) != 0)
            throw Failure("cannot make a pipe");
        thread_ = std::thread([this] { loop(); });
    }
    ~Pump()
    {
        stop();
        thread_.join();
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    void stop() { (void)!::write(stop_[1], "", 1); }
    // True once `n` bytes have come, within timeout_ms.
    bool wait_for(size_t n, int timeout_ms)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return count_ >= n || ended_; }) &&
               count_ >= n;
    }

private:
    // False once told to stop.
    bool wait(int fd, short events)
    {
        pollfd p[2] = {{fd, events, 0}, {stop_[0], POLLIN, 0}};
        while (::poll(p, 2, -1) < 0 && errno == EINTR) {}
        return !p[1].revents;
    }
    void loop()
    {
        char buf[16384];
        bool broken = false; // the destination refused: the rest is counted, not written
        while (wait(from_, POLLIN)) {
            const ssize_t n = ::read(from_, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                break;
            for (ssize_t done = 0; done < n && !broken;) {
                if (!wait(to_, POLLOUT))
                    return;
                const ssize_t w = ::write(to_, buf + done, static_cast<size_t>(n - done));
                if (w < 0 && (errno == EINTR || errno == EAGAIN))
                    continue;
                if (w <= 0)
                    broken = true;
                else
                    done += w;
            }
            std::lock_guard lock(mutex_);
            count_ += static_cast<size_t>(n);
            cv_.notify_all();
        }
        if (shut_)
            ::shutdown(to_, SHUT_WR);
        std::lock_guard lock(mutex_);
        ended_ = true;
        cv_.notify_all();
    }

    int from_, to_;
    bool shut_;
    int stop_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable cv_;
    size_t count_ = 0;
    bool ended_ = false;
    std::thread thread_;
};

std::vector<std::string> qemu_argv(const fs::path &vm, const fs::path &dir, const fs::path &console,
                                   const CoprocessorLine &line, const std::string &cwd)
{
    auto argv = qemu_machine(vm, "512");
    auto add = [&](std::initializer_list<std::string> words) { argv.insert(argv.end(), words); };
    auto socket = [&](const char *name) { return qemu_value((dir / name).string()); };
    add({"-append", "console=ttyS0 panic=-1 quiet no_timer_check quorvel.run"});
    add({"-chardev", "file,id=console,path=" + qemu_value(console.string()), "-chardev",
         "socket,id=channel,path=" + socket("channel")});
    add({"-serial", "chardev:console", "-serial", "chardev:channel", "-serial", "null"});
    for (const std::string &a : line.qemu_args())
        argv.push_back(a);
    // The host's root, read-only: the guest never writes to the host's files
    // but in the working directory. Inode numbers from the several file
    // systems under / are remapped so that they cannot collide.
    add({"-fsdev", "local,id=host,path=/,security_model=none,readonly=on,multidevs=remap", "-device",
         "virtio-9p-pci,fsdev=host,mount_tag=host"});
    if (cwd != "/")
        add({"-fsdev", "local,id=cwd,path=" + qemu_value(cwd) + ",security_model=none,multidevs=remap", "-device",
             "virtio-9p-pci,fsdev=cwd,mount_tag=cwd"});
    add({"-device", "virtio-serial-pci"});
    for (const char *name : {"stdin", "stdout", "stderr"})
        add({"-chardev", fmt::format("socket,id={},path={}", name, socket(name)), "-device",
             fmt::format("virtserialport,chardev={0},name=quorvel.{0}", name)});
    return argv;
}

std::vector<std::string> environment(const QemuRunOptions &o, const std::string &socket)
{
    std::vector<std::string> env;
    if (!o.env.empty())
        env = o.env;
    else
        for (char **e = environ; *e; e++)
            env.emplace_back(*e);
    std::erase_if(env, [](const std::string &e) { return e.starts_with("QUORVEL_BOARD="); });
    env.push_back("QUORVEL_BOARD=" + socket);
    return env;
}

// The control socket's clients, and the commands they sent, run in the
// guest one at a time.
class Control {
public:
    Control(const std::string &path) : path_(path), listener_(listen_unix(path, 8)) {}
    ~Control() { ::unlink(path_.c_str()); }

    void add_fds(std::vector<pollfd> &fds) const
    {
        fds.push_back({listener_.fd, POLLIN, 0});
        for (const auto &c : clients_)
            fds.push_back({c->fd(), POLLIN, 0});
    }
    // After poll, from fds[first] on, as add_fds put them.
    void serve(const std::vector<pollfd> &fds, size_t first, Channel &guest)
    {
        for (size_t i = clients_.size(); i-- > 0;) {
            if (!fds[first + 1 + i].revents)
                continue;
            char kind = 0;
            std::string text;
            auto client = clients_[i];
            if (!client->receive(&kind, &text, 0))
                clients_.erase(clients_.begin() + static_cast<long>(i));
            else if (kind == 'L')
                queue_.push_back({client, text});
        }
        if (fds[first].revents) {
            const int c = ::accept4(listener_.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                clients_.push_back(std::make_shared<Channel>(c));
        }
        if (!busy_ && !queue_.empty()) {
            guest.send('R', queue_.front().second);
            busy_ = true;
        }
    }
    // A guest's answer to the command in progress.
    void answer(char kind, const std::string &text, Channel &guest)
    {
        if (!busy_)
            return;
        Channel &client = *queue_.front().first;
        if (kind != 'Q') {
            client.send(kind == 'U' ? 'O' : kind == 'u' ? 'o' : 'E', text);
            return;
        }
        client.send('X', text);
        queue_.pop_front();
        busy_ = !queue_.empty() && guest.send('R', queue_.front().second);
    }

private:
    std::string path_;
    Fd listener_;
    std::vector<std::shared_ptr<Channel>> clients_;
    std::deque<std::pair<std::shared_ptr<Channel>, std::string>> queue_;
    bool busy_ = false;
};

struct Streams {
    std::unique_ptr<Pump> in, out, err;
};

// When each stage of the run began, for QUORVEL_BOARD_TIMES.
struct Stages {
    clock::time_point qemu, booted, started, done, left;
    std::string line() const
    {
        auto s = [](clock::time_point a, clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
        return fmt::format("board: boot {:.1f} s, host's files and insmod {:.1f} s, program {:.1f} s, "
                           "rmmod and power-off {:.1f} s\n",
                           s(qemu, booted), s(booted, started), s(started, done), s(done, left));
    }
};

// "ROWS COLS" of the terminal on `fd`.
std::string window_size(int fd)
{
    winsize w{};
    ::ioctl(fd, TIOCGWINSZ, &w);
    return std::to_string(w.ws_row) + " " + std::to_string(w.ws_col);
}

// The host's terminal raw while the program has the guest's: its keys (^C
// included) go to the program as they are typed.
class RawTerminal {
public:
    explicit RawTerminal(int fd) : fd_(fd), saved_(::tcgetattr(fd, &old_) == 0)
    {
        termios raw = old_;
        ::cfmakeraw(&raw);
        if (saved_)
            ::tcsetattr(fd_, TCSANOW, &raw);
    }
    ~RawTerminal()
    {
        if (saved_)
            ::tcsetattr(fd_, TCSANOW, &old_);
    }

private:
    int fd_;
    termios old_{};
    bool saved_;
};

void start(Channel &guest, const QemuRunOptions &o, const std::string &cwd, const std::string &socket)
{
    if (o.terminal)
        guest.send('t', hex_encode(window_size(o.out)));
    for (const auto &a : o.program)
        guest.send('a', hex_encode(a));
    for (const auto &e : environment(o, socket))
        guest.send('n', hex_encode(e));
    guest.send('w', hex_encode(cwd));
    guest.send('b', hex_encode(socket));
    std::string start = "r";
    for (const auto &p : o.params)
        start += " '" + p + "'";
    guest.send('I', start);
}

// The guest's messages until it reports its status.
int serve(Channel &guest, Qemu &qemu, Control &control, Streams &streams, Recorder &recorder, coproc::Simulator *sim,
          const QemuRunOptions &o, Stages &stages)
{
    const int err_fd = o.err;
    int signals = 0;
    for (;;) {
        std::vector<pollfd> fds = {{guest.fd(), POLLIN, 0}, {o.signal_fd, POLLIN, 0}};
        control.add_fds(fds);
        if (!guest.ready() && ::poll(fds.data(), fds.size(), 500) <= 0) {
            if (!qemu.running())
                throw Failure("QEMU stopped before the program had finished");
            continue;
        }
        if (fds[1].revents) {
            unsigned char sig = 0;
            const bool got = ::read(o.signal_fd, &sig, 1) == 1;
            if (got && sig == SIGWINCH)
                guest.send('W', window_size(o.out));
            else if (got && ++signals <= 2)
                guest.send('K', std::to_string(sig));
            else if (got)
                throw Failure("stopped by signal");
        }
        control.serve(fds, 2, guest);
        char kind = 0;
        std::string text;
        if (!(guest.ready() || fds[0].revents))
            continue;
        if (!guest.next(&kind, &text, 0))
            continue;
        switch (kind) {
        case 'E': {
            const std::string line = text + "\n";
            (void)!::write(err_fd, line.data(), line.size());
            break;
        }
        case 'T':
            serve_trace(guest, recorder);
            break;
        case 'C':
            serve_coproc(guest, sim, o.uart, text);
            break;
        case 'U':
        case 'u':
        case 'V':
        case 'Q':
            control.answer(kind, text, guest);
            break;
        case 'S':
            stages.started = clock::now();
            break;
        case 'F': {
            stages.done = clock::now();
            size_t out = 0, err = 0;
            std::sscanf(text.c_str(), "%zu %zu", &out, &err);
            if (!streams.out->wait_for(out, kOutputTimeoutMs) || !streams.err->wait_for(err, kOutputTimeoutMs))
                throw Failure("the program's output did not all come through");
            break;
        }
        case 'X':
            return std::atoi(text.c_str());
        default:
            break;
        }
    }
}

} // namespace

int run_qemu_program(const QemuRunOptions &o)
{
    const fs::path vm = o.vm_dir.empty() ? fs::path(QUORVEL_VM_DIR) : fs::path(o.vm_dir);
    auto say = [&](const std::string &text) { (void)!::write(o.err, text.data(), text.size()); };
    for (const char *name : {"vmlinuz", "initramfs.cpio.gz"}) {
        if (!fs::exists(vm / name)) {
            say(fmt::format("quorvel-board: no {} in {}: run ./quorvel vm-setup\n", name, vm.string()));
            return 1;
        }
    }
    std::unique_ptr<CoprocessorLine> line;
    try {
        line = std::make_unique<CoprocessorLine>(o.uart, o.simulator);
    } catch (const std::exception &e) {
        say(std::string("quorvel-board: cannot start the simulated co-processor: ") + e.what() + "\n");
        return 1;
    }
    coproc::Simulator *sim = line->simulator();
    const std::string cwd = o.cwd.empty() ? fs::current_path().string() : o.cwd;
    const std::string socket = o.socket_path.empty() ? control_socket_path() : o.socket_path;
    TempDir tmp;
    const fs::path console = o.console_log.empty() ? tmp.path() / "console.log" : fs::path(o.console_log);
    Recorder recorder(sim);
    try {
        const Fd channel_l{listen_unix(tmp.path() / "channel")};
        const Fd in_l{listen_unix(tmp.path() / "stdin")}, out_l{listen_unix(tmp.path() / "stdout")},
            err_l{listen_unix(tmp.path() / "stderr")};
        ::unlink(socket.c_str());
        Control control(socket);
        Stages stages;
        stages.qemu = clock::now();
        Qemu qemu(qemu_argv(vm, tmp.path(), console, *line, cwd), tmp.path() / "qemu.log", line->inherited());
        Channel guest(accept_from(channel_l.fd, qemu, "the guest's channel"));
        const Fd in{accept_from(in_l.fd, qemu, "the program's standard input")};
        const Fd out{accept_from(out_l.fd, qemu, "the program's standard output")};
        const Fd err{accept_from(err_l.fd, qemu, "the program's standard error")};
        ::fcntl(in.fd, F_SETFL, O_NONBLOCK);
        Streams streams;
        streams.in = std::make_unique<Pump>(o.in, in.fd, true);
        streams.out = std::make_unique<Pump>(out.fd, o.out, false);
        streams.err = std::make_unique<Pump>(err.fd, o.err, false);
        char kind = 0;
        std::string text;
        if (!guest.receive(&kind, &text, kBootTimeoutMs) || kind != 'H')
            throw Failure("the guest did not start");
        stages.booted = stages.started = stages.done = clock::now();
        std::optional<RawTerminal> raw;
        if (o.terminal)
            raw.emplace(o.in);
        start(guest, o, cwd, socket);
        const int status = serve(guest, qemu, control, streams, recorder, sim, o, stages);
        if (!qemu.wait(kPowerOffTimeoutMs))
            throw Failure("the guest did not power off");
        stages.left = clock::now();
        if (const char *times = std::getenv("QUORVEL_BOARD_TIMES"); times && *times)
            say(stages.line());
        return status;
    } catch (const Failure &f) {
        say(fmt::format("quorvel-board: {}; the guest's console ends:\n{}", f.what(), tail(console, 30)));
        const auto qemu_log = tail(tmp.path() / "qemu.log", 10);
        if (!qemu_log.empty())
            say("QEMU said:\n" + qemu_log);
        return 1;
    }
}

namespace {

int signal_pipe[2] = {-1, -1};

void pass_on(int sig)
{
    const unsigned char s = static_cast<unsigned char>(sig);
    (void)!::write(signal_pipe[1], &s, 1);
}

} // namespace

int run_on_qemu(const std::string &uart, const std::vector<std::string> &params,
                const std::vector<std::string> &program)
{
    QemuRunOptions o;
    o.uart = uart;
    o.params = params;
    o.program = program;
    o.terminal = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
    if (::pipe2(signal_pipe, O_CLOEXEC) == 0) {
        o.signal_fd = signal_pipe[0];
        struct sigaction sa {};
        sa.sa_handler = pass_on;
        sa.sa_flags = SA_RESTART;
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH})
            ::sigaction(sig, &sa, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN); // a reader gone is the pump's to notice
    std::cout.flush();
    return run_qemu_program(o);
}

} // namespace board
