// Host files opened on the kernel's behalf: the board's serial line is a real
// tty of this machine (a pseudo-terminal or a serial adapter).
#include "host/host.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace host {

// The flag values of the board's kernel and of this host are the same Linux
// ABI, so they pass through; the kernel's own descriptor never leaks into
// child processes.
int open_path(const char *path, int linux_flags)
{
    int fd;
    do {
        fd = ::open(path, linux_flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? -errno : fd;
}

int close_fd(int fd) { return ::close(fd) < 0 ? -errno : 0; }

long read_fd(int fd, void *buf, size_t n)
{
    ssize_t r;
    do {
        r = ::read(fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -errno : long(r);
}

long write_fd(int fd, const void *buf, size_t n)
{
    ssize_t r;
    do {
        r = ::write(fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -errno : long(r);
}

long ioctl_fd(int fd, unsigned long request, void *arg)
{
    int r = ::ioctl(fd, request, arg);
    return r < 0 ? -errno : r;
}

bool is_tty(int fd) { return ::isatty(fd) == 1; }

unsigned poll_now(int fd)
{
    pollfd p{fd, POLLIN | POLLOUT | POLLPRI, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? unsigned(p.revents) : 0;
}

int lock_exclusive(int fd)
{
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -errno : 0;
}

int replace_fd(int from, int to)
{
    const int r = ::dup3(from, to, O_CLOEXEC);
    const int e = errno;
    ::close(from);
    return r < 0 ? -e : 0;
}

} // namespace host
