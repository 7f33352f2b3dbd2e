#include "guest_board.hpp"
#include "kernel_log.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

namespace board {

namespace {

long result(long rc) { return rc < 0 ? -errno : rc; }

// /dev/kmsg shows bytes outside printable ASCII as \xNN; the board's dmesg
// shows control characters so, but a tab as it is.
std::string unescape(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

constexpr int64_t kLongestReleaseDelayUs = 4'000'000;

std::string module_name_of(const std::string &path)
{
    std::string name = path.substr(path.find_last_of('/') + 1);
    return name.substr(0, name.find('.'));
}

} // namespace

GuestBoard::GuestBoard(vm::Channel &host, std::string module_path)
    : host_(host), module_path_(std::move(module_path)), module_name_(module_name_of(module_path_))
{
    const auto records = kernel_log(0);
    log_from_ = records.empty() ? 0 : records.back().seq + 1;
    bad_ = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

GuestBoard::~GuestBoard()
{
    close_all();
    if (bad_ != MAP_FAILED)
        ::munmap(bad_, 4096);
}

// Every record of the kernel's ring from sequence number `from` on.
std::vector<GuestBoard::Record> GuestBoard::kernel_log(uint64_t from) const
{
    std::vector<Record> out;
    const int fd = ::open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf - 1);
        if (n < 0 && errno == EPIPE) // overwritten while reading: go on
            continue;
        if (n <= 0)
            break;
        const std::string_view rec(buf, static_cast<size_t>(n));
        const size_t semi = rec.find(';');
        if (semi == std::string_view::npos)
            continue;
        unsigned prio = 0;
        unsigned long long seq = 0;
        long long ts = 0;
        char flag = '-';
        if (std::sscanf(std::string(rec.substr(0, semi)).c_str(), "%u,%llu,%lld,%c", &prio, &seq, &ts, &flag) < 3)
            continue;
        if (seq < from || (prio >> 3) != 0) // the kernel's own facility only
            continue;
        std::string_view text = rec.substr(semi + 1);
        text = text.substr(0, text.find('\n')); // dictionary lines follow
        out.push_back({seq, static_cast<int>(prio & 7), ts, unescape(text), flag == 'c'});
    }
    ::close(fd);
    return out;
}

// As the kernel layer prints it (kernel_log.hpp).
std::string GuestBoard::dmesg(bool clear)
{
    const auto records = kernel_log(log_from_);
    if (clear && !records.empty())
        log_from_ = records.back().seq + 1;
    return render_dmesg(records);
}

// The loader's reason, in the kernel layer's words, from the kernel's log.
std::string GuestBoard::load_failure(uint64_t from, int rc) const
{
    const std::string prefix = module_name_ + ": ";
    for (const auto &r : kernel_log(from)) {
        if (r.text.rfind(prefix, 0) != 0)
            continue;
        const std::string what = r.text.substr(prefix.size());
        char a[128] = {}, b[128] = {};
        if (std::sscanf(what.c_str(), "`%127[^']' invalid for parameter `%127[^']'", a, b) == 2)
            return fmt::format("'{}' invalid for parameter '{}'", a, b);
    }
    if (rc == -EEXIST)
        return fmt::format("module {} is already loaded", module_name_);
    return fmt::format("init failed with {}", rc);
}

// Before what would take a name or number again (a load, a bind), the
// last delayed release is let become due, so that the debug kernel gives
// the same names and numbers as any other. Elsewhere no release is delayed
// and this returns at once.
void GuestBoard::await_delayed_releases()
{
    int64_t latest_us = -1;
    const auto records = kernel_log(releases_from_);
    for (const auto &r : records)
        if (delayed_release(r.text))
            latest_us = r.time_us;
    if (!records.empty())
        releases_from_ = records.back().seq + 1;
    if (latest_us < 0)
        return;
    // The log's times are the kernel's clock since boot, as CLOCK_MONOTONIC
    // (both count from boot on this machine); a quarter second covers a
    // release that starts late.
    const int64_t due_us = latest_us + kLongestReleaseDelayUs + 250'000;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t now_us = static_cast<int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
    if (due_us > now_us)
        ::usleep(static_cast<useconds_t>(due_us - now_us));
}

int GuestBoard::insmod(const std::vector<std::string> &params, std::string *why)
{
    await_delayed_releases();
    std::string args;
    for (const auto &p : params)
        args += (args.empty() ? "" : " ") + p;
    const auto before = kernel_log(0);
    const uint64_t from = before.empty() ? 0 : before.back().seq + 1;
    const int fd = ::open(module_path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int rc = -errno;
        if (why)
            *why = "cannot read " + module_path_;
        return rc;
    }
    const long rc = result(::syscall(SYS_finit_module, fd, args.c_str(), 0));
    ::close(fd);
    if (rc < 0 && why)
        *why = load_failure(from, static_cast<int>(rc));
    return static_cast<int>(rc);
}

int GuestBoard::rmmod(std::string *why)
{
    const long rc = result(::syscall(SYS_delete_module, module_name_.c_str(), O_NONBLOCK));
    if (rc < 0 && why)
        *why = rc == -EBUSY    ? fmt::format("module {} is in use", module_name_)
               : rc == -ENOENT ? fmt::format("module {} is not loaded", module_name_)
                               : std::string();
    return static_cast<int>(rc);
}

std::vector<std::string> GuestBoard::lsmod()
{
    std::vector<std::string> names;
    std::ifstream modules("/proc/modules");
    std::string line;
    while (std::getline(modules, line))
        names.push_back(line.substr(0, line.find(' ')));
    return names;
}

bool GuestBoard::module_loaded()
{
    const auto names = lsmod();
    return std::find(names.begin(), names.end(), module_name_) != names.end();
}

std::vector<khost::SerialEvent> GuestBoard::trace_take()
{
    std::vector<khost::SerialEvent> events;
    if (!host_.send('T'))
        return events;
    char kind = 0;
    std::string text;
    while (host_.receive(&kind, &text) && kind != 'A') {
        if (kind != 'D')
            host_.put_back(kind, std::move(text));
        else if (auto e = vm::decode_event(text))
            events.push_back(std::move(*e));
    }
    return events;
}

int GuestBoard::coproc(const std::vector<std::string> &args, std::string *output)
{
    std::string words;
    for (const auto &a : args)
        words += (words.empty() ? "" : "\x1f") + a;
    if (args.empty())
        words = "help";
    if (!host_.send('C', words)) {
        *output = "coproc: the host has gone\n";
        return 1;
    }
    char kind = 0;
    std::string text;
    while (host_.receive(&kind, &text)) {
        if (kind == 'A')
            return std::atoi(text.c_str());
        if (kind == 'D')
            *output += text + '\n';
        else
            host_.put_back(kind, std::move(text));
    }
    *output += "coproc: the host has gone\n";
    return 1;
}

long GuestBoard::open(const std::string &path, int flags)
{
    if (path.ends_with("/bind") && (flags & O_ACCMODE) != O_RDONLY)
        await_delayed_releases();
    const long fd = result(::open(path.c_str(), flags));
    if (fd >= 0)
        fds_.push_back(static_cast<int>(fd));
    return fd;
}

long GuestBoard::read(int fd, void *buf, size_t count) { return result(::read(fd, buf, count)); }

long GuestBoard::write(int fd, const void *buf, size_t count) { return result(::write(fd, buf, count)); }

long GuestBoard::ioctl(int fd, unsigned cmd, unsigned long arg) { return result(::ioctl(fd, cmd, arg)); }

long GuestBoard::close(int fd)
{
    const long rc = result(::close(fd));
    if (rc == 0)
        fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
    return rc;
}

void GuestBoard::close_all()
{
    for (int fd : fds_)
        ::close(fd);
    fds_.clear();
}

namespace {

// An entry as the kernel layer's tree gives it; `at` is the directory the
// name is relative to (AT_FDCWD for a whole path).
khost::DirEntry entry_of(const std::string &name, const struct stat &st, int at)
{
    char type = S_ISDIR(st.st_mode) ? 'd' : S_ISCHR(st.st_mode) ? 'c' : S_ISLNK(st.st_mode) ? 'l' : 'f';
    const uint32_t rdev = S_ISCHR(st.st_mode) ? (major(st.st_rdev) << 20) | minor(st.st_rdev) : 0;
    std::string target;
    if (S_ISLNK(st.st_mode)) {
        char buf[4096];
        const ssize_t n = ::readlinkat(at, name.c_str(), buf, sizeof buf);
        if (n > 0)
            target.assign(buf, static_cast<size_t>(n));
    }
    return {name, type, st.st_mode & 07777U, rdev, target};
}

} // namespace

long GuestBoard::stat(const std::string &path, khost::DirEntry *out, bool follow)
{
    struct stat st {};
    if (::fstatat(AT_FDCWD, path.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return -errno;
    const size_t slash = path.find_last_of('/');
    khost::DirEntry e = entry_of(path, st, AT_FDCWD);
    e.name = slash == std::string::npos ? path : path.substr(slash + 1);
    *out = e;
    return 0;
}

long GuestBoard::list(const std::string &path, std::vector<khost::DirEntry> *out)
{
    DIR *dir = ::opendir(path.c_str());
    if (!dir)
        return -errno;
    std::vector<khost::DirEntry> entries;
    while (const dirent *d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        entries.push_back(entry_of(name, st, ::dirfd(dir)));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
    *out = std::move(entries);
    return 0;
}

void *GuestBoard::bad_pointer() { return bad_; }

long GuestBoard::shell_command(const std::string &command, std::string *output)
{
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0)
        return -errno;
    const pid_t pid = ::fork();
    if (pid < 0)
        return -errno;
    if (pid == 0) {
        ::dup2(pipefd[1], STDOUT_FILENO);
        ::dup2(pipefd[1], STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(pipefd[1]);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            output->append(buf, static_cast<size_t>(n));
    ::close(pipefd[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace board
