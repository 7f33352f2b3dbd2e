#include "guest_run.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <stdexcept>

#include "guest_board.hpp"
#include "leave_pins.hpp"
#include "shell.hpp"

extern char **environ;

namespace board {

namespace {

constexpr const char *kRoot = "/newroot";
// The largest message QEMU's 9p server takes: fewer round trips per file.
constexpr const char *k9p = "trans=virtio,version=9p2000.L,msize=512000";

struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void must(int rc, const std::string &what)
{
    if (rc != 0)
        throw SetupError(what + ": " + std::strerror(errno));
}

void make_dirs(const std::string &path)
{
    for (size_t at = 1; at != std::string::npos;) {
        at = path.find('/', at + 1);
        ::mkdir(path.substr(0, at).c_str(), 0755);
    }
}

void mount_at(const char *source, const std::string &target, const char *type, unsigned long flags,
              const std::string &options, const std::string &what)
{
    make_dirs(target);
    must(::mount(source, target.c_str(), type, flags, options.empty() ? nullptr : options.c_str()), what);
}

// The host's root read-only, cached (it does not change under the run),
// under a tmpfs that takes the program's writes; the guest's own /proc,
// /sys and /dev; the host's working directory writable and uncached, so
// that what the program writes there is on the host when it ends.
void mount_root(const std::string &cwd)
{
    mount_at("devpts", "/dev/pts", "devpts", 0, "gid=5,mode=620,ptmxmode=666", "mount /dev/pts");
    mount_at("shm", "/dev/shm", "tmpfs", 0, "mode=1777", "mount /dev/shm");
    mount_at("host", "/host", "9p", MS_RDONLY, std::string(k9p) + ",cache=loose", "mount the host's root");
    mount_at("rw", "/rw", "tmpfs", 0, "mode=0755", "mount the overlay's tmpfs");
    make_dirs("/rw/upper");
    make_dirs("/rw/work");
    mount_at("overlay", kRoot, "overlay", 0, "lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work", "mount the overlay");
    const std::string root = kRoot;
    mount_at("proc", root + "/proc", "proc", 0, "", "mount /proc");
    mount_at("sysfs", root + "/sys", "sysfs", 0, "", "mount /sys");
    mount_at("/dev", root + "/dev", nullptr, MS_BIND | MS_REC, "", "bind /dev");
    if (cwd != "/")
        mount_at("cwd", root + cwd, "9p", 0, k9p, "mount the working directory " + cwd);
}

// The device of the virtio serial port QEMU named `name`.
std::string port_path(const std::string &name)
{
    DIR *dir = ::opendir("/sys/class/virtio-ports");
    std::string found;
    while (dir && found.empty()) {
        const dirent *d = ::readdir(dir);
        if (!d)
            break;
        std::ifstream in(std::string("/sys/class/virtio-ports/") + d->d_name + "/name");
        std::string n;
        if (std::getline(in, n) && n == name)
            found = std::string("/dev/") + d->d_name;
    }
    if (dir)
        ::closedir(dir);
    if (found.empty())
        throw SetupError("no virtio serial port " + name);
    return found;
}

int open_port(const std::string &name, int flags)
{
    const std::string path = port_path(name);
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    must(fd < 0 ? -1 : 0, "open " + path);
    return fd;
}

int listen_at(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw SetupError("control socket path too long: " + path);
    make_dirs(path.substr(0, path.find_last_of('/')));
    ::unlink(path.c_str()); // the host's own socket, seen through the 9p root
    path.copy(addr.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    must(fd < 0 ? -1 : 0, "socket");
    must(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), "bind " + path);
    must(::listen(fd, 8), "listen " + path);
    return fd;
}

[[noreturn]] void exec_program(const GuestRun &run)
{
    std::vector<char *> argv, envp;
    for (const auto &a : run.argv)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto &e : run.env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    if (::chdir(kRoot) != 0 || ::chroot(".") != 0) {
        ::dprintf(2, "board: cannot enter the host's root: %s\n", std::strerror(errno));
        ::_exit(126);
    }
    if (::chdir(run.cwd.c_str()) != 0)
        ::dprintf(2, "board: cannot enter %s: %s\n", run.cwd.c_str(), std::strerror(errno));
    environ = envp.data(); // execvp searches the program's own PATH
    ::execvp(argv[0], argv.data());
    const int e = errno;
    ::dprintf(2, "board: cannot run %s: %s\n", argv[0], std::strerror(e));
    ::_exit(e == ENOENT ? 127 : 126);
}

// With a terminal on the host's side, `in` is a pseudo-terminal's slave
// (`out` and `err` ignored), made the program's controlling terminal.
pid_t start_program(const GuestRun &run, int in, int out, int err)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::setsid(); // its own group, for the signals the host passes on
    if (run.terminal) {
        ::ioctl(in, TIOCSCTTY, 0);
        out = err = in;
    }
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    exec_program(run);
}

// The control socket inside the guest: at the host's path, so that
// QUORVEL_BOARD means the same on both sides, unless that directory is the
// working directory's 9p mount, where no socket can be made; then in /run,
// and the program's QUORVEL_BOARD says so.
int control_socket(GuestRun &run)
{
    try {
        return listen_at(std::string(kRoot) + run.socket_path);
    } catch (const SetupError &) {
        run.socket_path = "/run/quorvel-board.sock";
        for (auto &e : run.env)
            if (e.starts_with("QUORVEL_BOARD="))
                e = "QUORVEL_BOARD=" + run.socket_path;
        return listen_at(std::string(kRoot) + run.socket_path);
    }
}

int outcome_status(Outcome o) { return o == Outcome::Failed ? 1 : o == Outcome::Usage ? 2 : 0; }

// One line of commands for a control client, its output as `line` and
// `partial` messages and its errors as `errors` on `to`.
int run_commands(GuestBoard &b, vm::Channel &to, const std::string &text, const char kinds[4])
{
    vm::ChannelBuf out_buf(to, kinds[0], kinds[1]), err_buf(to, kinds[2], kinds[2]);
    std::ostream out(&out_buf), err(&err_buf);
    Shell shell(b, out, err);
    const Outcome o = shell.run_text(text, false);
    out.flush();
    err.flush();
    return outcome_status(o);
}

// Copies what one of the program's pipes holds to its port; false at its end.
bool pass_on(int from, int to, size_t *count)
{
    char buf[16384];
    const ssize_t n = ::read(from, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    for (ssize_t done = 0; done < n;) {
        const ssize_t w = ::write(to, buf + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return true; // the host has gone: the bytes are lost, the count says so
        done += w;
        *count += static_cast<size_t>(w);
    }
    return true;
}

// What the program left running: named, killed, reaped.
void kill_leftovers(std::ostream &err)
{
    DIR *proc = ::opendir("/proc");
    while (proc) {
        const dirent *d = ::readdir(proc);
        if (!d)
            break;
        const int pid = std::atoi(d->d_name);
        if (pid <= 1 || pid == ::getpid())
            continue;
        std::ifstream cmdline(std::string("/proc/") + d->d_name + "/cmdline");
        std::string name;
        if (!std::getline(cmdline, name, '\0') || name.empty())
            continue; // a kernel thread, or a process already gone
        err << "board: killed " << name.substr(name.find_last_of('/') + 1) << " (pid " << pid
            << "), left running by the program\n";
    }
    if (proc)
        ::closedir(proc);
    ::kill(-1, SIGKILL);
    while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {}
}

class Runner {
public:
    Runner(vm::Channel &host, GuestBoard &b, const GuestRun &run) : host_(host), b_(b), run_(run) {}
    int go(std::ostream &err);

private:
    void host_message(char kind, const std::string &text);
    void client_message(size_t i);
    void drain(std::ostream &err);

    vm::Channel &host_;
    GuestBoard &b_;
    GuestRun run_; // its environment's QUORVEL_BOARD may change (control_socket)
    pid_t pid_ = -1;
    int out_pipe_ = -1, err_pipe_ = -1, out_port_ = -1, err_port_ = -1;
    int pty_ = -1, in_port_ = -1; // with a terminal: the master, fed from the stdin port
    size_t out_count_ = 0, err_count_ = 0;
    std::vector<std::unique_ptr<vm::Channel>> clients_;
};

void Runner::host_message(char kind, const std::string &text)
{
    if (kind == 'R') {
        const int status = run_commands(b_, host_, text, "UuV");
        host_.send('Q', std::to_string(status));
    } else if (kind == 'K') {
        ::kill(-pid_, std::atoi(text.c_str()));
    } else if (kind == 'W' && pty_ >= 0) {
        winsize w{};
        if (std::sscanf(text.c_str(), "%hu %hu", &w.ws_row, &w.ws_col) == 2)
            ::ioctl(pty_, TIOCSWINSZ, &w); // the program's group gets SIGWINCH
    }
}

void Runner::client_message(size_t i)
{
    char kind = 0;
    std::string text;
    vm::Channel &c = *clients_[i];
    if (!c.receive(&kind, &text, 0)) {
        clients_.erase(clients_.begin() + static_cast<long>(i));
        return;
    }
    if (kind == 'L')
        c.send('X', std::to_string(run_commands(b_, c, text, "OoE")));
}

int Runner::go(std::ostream &err)
{
    int in_port = open_port("quorvel.stdin", O_RDONLY);
    out_port_ = open_port("quorvel.stdout", O_WRONLY);
    err_port_ = open_port("quorvel.stderr", O_WRONLY);
    int out[2], errp[2];
    must(::pipe2(out, O_CLOEXEC) | ::pipe2(errp, O_CLOEXEC), "pipe");
    if (run_.terminal) {
        // The program's side is the slave; what the host types goes into
        // the master, what the program writes comes out of it.
        pty_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        must(pty_ < 0 || ::grantpt(pty_) != 0 || ::unlockpt(pty_) != 0 ? -1 : 0, "open a pseudo-terminal");
        winsize w{};
        w.ws_row = static_cast<unsigned short>(run_.rows);
        w.ws_col = static_cast<unsigned short>(run_.cols);
        ::ioctl(pty_, TIOCSWINSZ, &w);
        in_port_ = in_port;
        in_port = ::open(::ptsname(pty_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        must(in_port < 0 ? -1 : 0, "open the pseudo-terminal's slave");
        ::close(out[0]);
        out[0] = ::dup(pty_); // the master's output takes the stdout pipe's place
    }
    const int listener = control_socket(run_);
    pid_ = start_program(run_, in_port, out[1], errp[1]);
    must(pid_ < 0 ? -1 : 0, "fork");
    host_.send('S');
    ::close(in_port);
    ::close(out[1]);
    ::close(errp[1]);
    out_pipe_ = out[0];
    err_pipe_ = errp[0];
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    int status = 0;
    for (bool running = true; running;) {
        while (host_.ready()) {
            char kind = 0;
            std::string text;
            host_.next(&kind, &text);
            host_message(kind, text);
        }
        std::vector<pollfd> fds = {{host_.fd(), POLLIN, 0}, {pidfd, POLLIN, 0},     {listener, POLLIN, 0},
                                   {out_pipe_, POLLIN, 0},  {err_pipe_, POLLIN, 0}, {in_port_, POLLIN, 0}};
        for (const auto &c : clients_)
            fds.push_back({c->fd(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        // At a pipe's end its descriptor goes to -1, which poll skips.
        if (fds[3].revents && !pass_on(out_pipe_, out_port_, &out_count_))
            out_pipe_ = (::close(out_pipe_), -1);
        if (fds[4].revents && !pass_on(err_pipe_, err_port_, &err_count_))
            err_pipe_ = (::close(err_pipe_), -1);
        if (fds[0].revents) {
            char kind = 0;
            std::string text;
            if (host_.next(&kind, &text, 0))
                host_message(kind, text);
        }
        if (fds[2].revents) {
            const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                clients_.push_back(std::make_unique<vm::Channel>(c));
        }
        size_t sent = 0;
        if (fds[5].revents && !pass_on(in_port_, pty_, &sent))
            in_port_ = (::close(in_port_), -1); // the host's input ended: the terminal stays
        for (size_t i = fds.size(); i-- > 6;)
            if (fds[i].revents)
                client_message(i - 6);
        // Orphans come to init. The program itself may be among them when
        // it ends after the poll: its status is kept, not thrown away.
        bool ended = false;
        for (int st = 0, who; (who = ::waitpid(-1, &st, WNOHANG)) > 0;)
            if (who == pid_)
                status = st, ended = true;
        if (fds[1].revents && !ended)
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
        running = !(ended || fds[1].revents);
    }
    ::close(pidfd);
    ::close(listener);
    clients_.clear();
    kill_leftovers(err);
    drain(err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The program's last output, then how much there was, so that the host
// knows when it has all of it.
void Runner::drain(std::ostream &err)
{
    while (out_pipe_ >= 0 && pass_on(out_pipe_, out_port_, &out_count_)) {}
    while (err_pipe_ >= 0 && pass_on(err_pipe_, err_port_, &err_count_)) {}
    host_.send('F', std::to_string(out_count_) + " " + std::to_string(err_count_));
    (void)err;
}

} // namespace

int run_guest_program(vm::Channel &host, const GuestRun &run, const char *module_path)
{
    vm::ChannelBuf err_buf(host, 'E');
    std::ostream err(&err_buf);
    try {
        mount_root(run.cwd);
    } catch (const SetupError &e) {
        err << "quorvel-board: cannot give the guest the host's files: " << e.what() << std::endl;
        return 1;
    }
    GuestBoard b(host, module_path);
    std::string why;
    const int rc = b.insmod(run.params, &why);
    if (rc < 0) {
        err << "quorvel-board: insmod: " << (why.empty() ? "refused" : why) << " (" << rc << ")" << std::endl;
        return 1;
    }
    int status = 1;
    try {
        Runner runner(host, b, run);
        status = runner.go(err);
    } catch (const SetupError &e) {
        err << "quorvel-board: " << e.what() << std::endl;
        host.send('F', "0 0");
    }
    b.close_all();
    for (const auto &name : unexport_pins(b))
        err << "board: " << name << " was left exported; unexported\n";
    if (b.module_loaded()) {
        const int r = b.rmmod(&why);
        if (r < 0)
            err << "board: rmmod: " << (why.empty() ? "refused" : why) << " (" << r << ")\n";
    }
    err.flush();
    return status;
}

} // namespace board
