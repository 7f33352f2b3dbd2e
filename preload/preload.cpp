// The C library's file calls, interposed: a call on one of the board's
// paths or descriptors goes to the board, any other to the C library.
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "client.hpp"

using namespace qpreload;

namespace {

// An open of `path` (relative to the board's directory `dir_file` if that
// is not -1): the new descriptor, -1 with errno, or -2 if the path is not
// the board's.
int board_open(const char *path, int flags, int dir_file)
{
    Request req{};
    req.op = Op::Open;
    req.file = dir_file;
    req.a = static_cast<uint64_t>(flags);
    Answer ans;
    if (!call(req, path, std::strlen(path), &ans, (flags & O_CLOEXEC) != 0))
        return dir_file >= 0 ? -1 : -2;
    if (ans.reply.not_board)
        return -2;
    if (ans.reply.result < 0) {
        errno = static_cast<int>(-ans.reply.result);
        return -1;
    }
    if (ans.fd < 0) {
        errno = EMFILE;
        return -1;
    }
    track(ans.fd, static_cast<int>(ans.reply.result), ans.reply.node);
    return ans.fd;
}

int open_common(int dirfd, const char *path, int flags)
{
    if (path && path[0] != '/' && file_of(dirfd) >= 0)
        return board_open(path, flags, file_of(dirfd));
    if (board_path(path))
        return board_open(path, flags, -1);
    return -2;
}

mode_t mode_arg(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    const int fd = open_common(AT_FDCWD, path, flags);
    return fd != -2 ? fd : QP_NEXT(open)(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    const int fd = open_common(AT_FDCWD, path, flags);
    return fd != -2 ? fd : QP_NEXT(open64)(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    const int fd = open_common(dirfd, path, flags);
    return fd != -2 ? fd : QP_NEXT(openat)(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    const int fd = open_common(dirfd, path, flags);
    return fd != -2 ? fd : QP_NEXT(openat64)(dirfd, path, flags, mode);
}

// The fortified forms (_FORTIFY_SOURCE).
int __open_2(const char *path, int flags) { return open(path, flags); }
int __open64_2(const char *path, int flags) { return open64(path, flags); }
int __openat_2(int dirfd, const char *path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char *path, int flags) { return openat64(dirfd, path, flags); }

int close(int fd)
{
    const int file = file_of(fd);
    if (file < 0 || shared_child())
        return QP_NEXT(close)(fd);
    untrack(fd);
    const int r = QP_NEXT(close)(fd);
    if (last_of(file)) {
        Request req{};
        req.op = Op::Closed;
        req.file = file;
        Answer ans;
        (void)call(req, nullptr, 0, &ans);
    }
    return r;
}

// close_range(2) and closefrom: the board's descriptors among them are
// closed as close(2) closes them.
int close_range(unsigned first, unsigned last, int flags)
{
    if (!(flags & CLOSE_RANGE_CLOEXEC) && !shared_child())
        for (unsigned fd = first; fd <= last && fd < 65536; fd++)
            if (file_of(static_cast<int>(fd)) >= 0)
                close(static_cast<int>(fd));
    return QP_NEXT(close_range)(first, last, flags);
}

void closefrom(int lowest)
{
    for (int fd = shared_child() ? 65536 : lowest < 0 ? 0 : lowest; fd < 65536; fd++)
        if (file_of(fd) >= 0)
            close(fd);
    QP_NEXT(closefrom)(lowest);
}

ssize_t read(int fd, void *buf, size_t count)
{
    if (file_of(fd) < 0)
        return QP_NEXT(read)(fd, buf, count);
    return file_call(fd, Op::Read, reinterpret_cast<uintptr_t>(buf), count);
}

ssize_t write(int fd, const void *buf, size_t count)
{
    if (file_of(fd) < 0)
        return QP_NEXT(write)(fd, buf, count);
    return file_call(fd, Op::Write, reinterpret_cast<uintptr_t>(buf), count);
}

ssize_t pread(int fd, void *buf, size_t count, off_t pos)
{
    if (file_of(fd) < 0)
        return QP_NEXT(pread)(fd, buf, count, pos);
    return file_call(fd, Op::Pread, reinterpret_cast<uintptr_t>(buf), count, static_cast<uint64_t>(pos));
}

ssize_t pread64(int fd, void *buf, size_t count, off64_t pos) { return pread(fd, buf, count, pos); }

// The fortified forms (_FORTIFY_SOURCE), which Debian's programs call.
ssize_t __read_chk(int fd, void *buf, size_t count, size_t) { return read(fd, buf, count); }
ssize_t __pread_chk(int fd, void *buf, size_t count, off_t pos, size_t) { return pread(fd, buf, count, pos); }
ssize_t __pread64_chk(int fd, void *buf, size_t count, off64_t pos, size_t) { return pread(fd, buf, count, pos); }

ssize_t pwrite(int fd, const void *buf, size_t count, off_t pos)
{
    if (file_of(fd) < 0)
        return QP_NEXT(pwrite)(fd, buf, count, pos);
    return file_call(fd, Op::Pwrite, reinterpret_cast<uintptr_t>(buf), count, static_cast<uint64_t>(pos));
}

ssize_t pwrite64(int fd, const void *buf, size_t count, off64_t pos) { return pwrite(fd, buf, count, pos); }

off_t lseek(int fd, off_t offset, int whence)
{
    if (file_of(fd) < 0)
        return QP_NEXT(lseek)(fd, offset, whence);
    return file_call(fd, Op::Lseek, static_cast<uint64_t>(offset), static_cast<uint64_t>(whence));
}

off64_t lseek64(int fd, off64_t offset, int whence) { return lseek(fd, offset, whence); }

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (file_of(fd) < 0)
        return QP_NEXT(ioctl)(fd, request, arg);
    // The descriptor's own requests stay with the descriptor.
    if (request == FIOCLEX || request == FIONCLEX)
        return QP_NEXT(ioctl)(fd, request, arg);
    return static_cast<int>(file_call(fd, Op::Ioctl, request, reinterpret_cast<uintptr_t>(arg)));
}

int dup(int fd)
{
    if (shared_child())
        return QP_NEXT(dup)(fd);
    const int file = file_of(fd);
    const Node node = node_of(fd);
    const int r = QP_NEXT(dup)(fd);
    if (r >= 0 && file >= 0)
        track(r, file, node);
    return r;
}

int dup3(int fd, int to, int flags)
{
    if (shared_child())
        return QP_NEXT(dup3)(fd, to, flags);
    const int file = file_of(fd);
    const Node node = node_of(fd);
    const int replaced = file_of(to);
    const int r = QP_NEXT(dup3)(fd, to, flags);
    if (r < 0)
        return r;
    untrack(to);
    if (file >= 0)
        track(to, file, node);
    if (replaced >= 0 && replaced != file && last_of(replaced)) {
        Request req{};
        req.op = Op::Closed;
        req.file = replaced;
        Answer ans;
        (void)call(req, nullptr, 0, &ans);
    }
    return r;
}

int dup2(int fd, int to)
{
    if (fd == to || shared_child())
        return QP_NEXT(dup2)(fd, to);
    return dup3(fd, to, 0);
}

static int fcntl_board(int fd, int cmd, long arg)
{
    switch (cmd) {
    case F_GETFL:
        return static_cast<int>(file_call(fd, Op::GetFl, 0));
    case F_SETFL:
        return static_cast<int>(file_call(fd, Op::SetFl, static_cast<uint64_t>(arg)));
    case F_DUPFD:
    case F_DUPFD_CLOEXEC: {
        const int file = file_of(fd);
        const Node node = node_of(fd);
        const int r = QP_NEXT(fcntl)(fd, cmd, arg);
        if (r >= 0 && !shared_child())
            track(r, file, node);
        return r;
    }
    default:
        return QP_NEXT(fcntl)(fd, cmd, arg); // F_GETFD, F_SETFD...: the descriptor's own
    }
}

int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    const long arg = va_arg(ap, long);
    va_end(ap);
    if (file_of(fd) < 0)
        return QP_NEXT(fcntl)(fd, cmd, arg);
    return fcntl_board(fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    const long arg = va_arg(ap, long);
    va_end(ap);
    if (file_of(fd) < 0)
        return QP_NEXT(fcntl64)(fd, cmd, arg);
    return fcntl_board(fd, cmd, arg);
}

// ---- readiness: the board's descriptors are made exact before the wait ----

int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    std::vector<int> mine;
    for (nfds_t i = 0; i < n; i++)
        if (file_of(fds[i].fd) >= 0)
            mine.push_back(fds[i].fd);
    sync(mine);
    return QP_NEXT(poll)(fds, n, timeout);
}

int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t) { return poll(fds, n, timeout); }

int __ppoll_chk(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask, size_t)
{
    return ppoll(fds, n, timeout, mask);
}

int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask)
{
    std::vector<int> mine;
    for (nfds_t i = 0; i < n; i++)
        if (file_of(fds[i].fd) >= 0)
            mine.push_back(fds[i].fd);
    sync(mine);
    return QP_NEXT(ppoll)(fds, n, timeout, mask);
}

static void sync_set(int n, fd_set *readfds)
{
    if (!readfds)
        return;
    std::vector<int> mine;
    for (int fd = 0; fd < n && fd < FD_SETSIZE; fd++)
        if (FD_ISSET(fd, readfds) && file_of(fd) >= 0)
            mine.push_back(fd);
    sync(mine);
}

int select(int n, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, struct timeval *timeout)
{
    sync_set(n, readfds);
    return QP_NEXT(select)(n, readfds, writefds, exceptfds, timeout);
}

int pselect(int n, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, const struct timespec *timeout,
            const sigset_t *mask)
{
    sync_set(n, readfds);
    return QP_NEXT(pselect)(n, readfds, writefds, exceptfds, timeout, mask);
}

// ---- ttys: the C library's termios calls are ioctls it makes itself ----

int isatty(int fd)
{
    if (file_of(fd) < 0)
        return QP_NEXT(isatty)(fd);
    struct termios t;
    return tcgetattr(fd, &t) == 0 ? 1 : 0;
}

} // extern "C"
