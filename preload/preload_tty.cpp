// termios calls on the board's ttys, the stat family on its paths and
// descriptors, and stdio's fopen of its files.
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client.hpp"

using namespace qpreload;

namespace {

// The kernel's struct termios, which TCGETS and TCSETS carry; the C
// library's has more control characters and the speeds.
struct kernel_termios {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
};

constexpr tcflag_t kIBaud0 = 020000000000; // the C library's own flag, never the kernel's

int board_ioctl(int fd, unsigned long request, void *arg)
{
    return static_cast<int>(file_call(fd, Op::Ioctl, request, reinterpret_cast<uintptr_t>(arg)));
}

// A path's Node: 0, -1 with errno, or -2 if the board does not have it.
int board_stat(const char *path, bool follow, Node *node)
{
    if (!board_path(path))
        return -2;
    Request req{};
    req.op = Op::Stat;
    req.a = follow ? 1 : 0;
    Answer ans;
    if (!call(req, path, std::strlen(path), &ans) || ans.reply.not_board)
        return -2;
    if (ans.reply.result < 0) {
        errno = static_cast<int>(-ans.reply.result);
        return -1;
    }
    *node = ans.reply.node;
    return 0;
}

int stat_path(const char *path, bool follow, struct stat *st)
{
    Node node;
    const int r = board_stat(path, follow, &node);
    if (r == 0)
        fill_stat(node, st);
    return r;
}

// stdio on a board file: its reads and writes are the board's calls.
ssize_t cookie_read(void *c, char *buf, size_t n)
{
    return read(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n);
}
ssize_t cookie_write(void *c, const char *buf, size_t n)
{
    return write(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n);
}
int cookie_seek(void *c, off64_t *pos, int whence)
{
    const off_t r = lseek(static_cast<int>(reinterpret_cast<intptr_t>(c)), *pos, whence);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}
int cookie_close(void *c) { return close(static_cast<int>(reinterpret_cast<intptr_t>(c))); }

int fopen_flags(const char *mode)
{
    int flags = 0;
    switch (mode[0]) {
    case 'r':
        flags = O_RDONLY;
        break;
    case 'w':
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        return -1;
    }
    for (const char *m = mode + 1; *m; m++) {
        if (*m == '+')
            flags = (flags & ~O_ACCMODE) | O_RDWR;
        else if (*m == 'e')
            flags |= O_CLOEXEC;
    }
    return flags;
}

FILE *board_fopen(const char *path, const char *mode)
{
    const int flags = fopen_flags(mode);
    if (flags < 0 || !board_path(path))
        return nullptr;
    Node node;
    if (board_stat(path, true, &node) != 0)
        return nullptr;
    const int fd = open(path, flags);
    if (fd < 0)
        return reinterpret_cast<FILE *>(-1);
    cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
    FILE *f = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
    if (!f)
        close(fd);
    return f;
}

} // namespace

extern "C" {

int tcgetattr(int fd, struct termios *t)
{
    if (file_of(fd) < 0)
        return QP_NEXT(tcgetattr)(fd, t);
    kernel_termios k;
    if (board_ioctl(fd, TCGETS, &k) != 0)
        return -1;
    std::memset(t, 0, sizeof *t);
    t->c_iflag = k.c_iflag;
    t->c_oflag = k.c_oflag;
    t->c_cflag = k.c_cflag;
    t->c_lflag = k.c_lflag;
    t->c_line = k.c_line;
    std::memcpy(t->c_cc, k.c_cc, sizeof k.c_cc);
    t->c_ispeed = t->c_ospeed = k.c_cflag & (CBAUD | CBAUDEX);
    return 0;
}

int tcsetattr(int fd, int action, const struct termios *t)
{
    if (file_of(fd) < 0)
        return QP_NEXT(tcsetattr)(fd, action, t);
    const unsigned long request = action == TCSANOW ? TCSETS : action == TCSADRAIN ? TCSETSW : TCSETSF;
    if (action != TCSANOW && action != TCSADRAIN && action != TCSAFLUSH) {
        errno = EINVAL;
        return -1;
    }
    kernel_termios k;
    k.c_iflag = t->c_iflag & ~kIBaud0;
    k.c_oflag = t->c_oflag;
    k.c_cflag = t->c_cflag;
    k.c_lflag = t->c_lflag;
    k.c_line = t->c_line;
    std::memcpy(k.c_cc, t->c_cc, sizeof k.c_cc);
    return board_ioctl(fd, request, &k);
}

int tcflush(int fd, int queue)
{
    if (file_of(fd) < 0)
        return QP_NEXT(tcflush)(fd, queue);
    return board_ioctl(fd, TCFLSH, reinterpret_cast<void *>(static_cast<intptr_t>(queue)));
}

int tcdrain(int fd)
{
    if (file_of(fd) < 0)
        return QP_NEXT(tcdrain)(fd);
    return board_ioctl(fd, TCSBRK, reinterpret_cast<void *>(1));
}

int tcsendbreak(int fd, int duration)
{
    if (file_of(fd) < 0)
        return QP_NEXT(tcsendbreak)(fd, duration);
    return board_ioctl(fd, TCSBRK, nullptr);
}

int tcflow(int fd, int action)
{
    if (file_of(fd) < 0)
        return QP_NEXT(tcflow)(fd, action);
    return board_ioctl(fd, TCXONC, reinterpret_cast<void *>(static_cast<intptr_t>(action)));
}

// ---- the stat family ----

int stat(const char *path, struct stat *st)
{
    const int r = stat_path(path, true, st);
    return r != -2 ? r : QP_NEXT(stat)(path, st);
}

int lstat(const char *path, struct stat *st)
{
    const int r = stat_path(path, false, st);
    return r != -2 ? r : QP_NEXT(lstat)(path, st);
}

int fstat(int fd, struct stat *st)
{
    if (file_of(fd) < 0)
        return QP_NEXT(fstat)(fd, st);
    fill_stat(node_of(fd), st);
    return 0;
}

int fstatat(int dirfd, const char *path, struct stat *st, int flags)
{
    if ((flags & AT_EMPTY_PATH) && !*path && file_of(dirfd) >= 0)
        return fstat(dirfd, st);
    if (path[0] == '/') {
        const int r = stat_path(path, !(flags & AT_SYMLINK_NOFOLLOW), st);
        if (r != -2)
            return r;
    }
    return QP_NEXT(fstatat)(dirfd, path, st, flags);
}

int stat64(const char *path, struct stat64 *st) { return stat(path, reinterpret_cast<struct stat *>(st)); }
int lstat64(const char *path, struct stat64 *st) { return lstat(path, reinterpret_cast<struct stat *>(st)); }
int fstat64(int fd, struct stat64 *st) { return fstat(fd, reinterpret_cast<struct stat *>(st)); }
int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags)
{
    return fstatat(dirfd, path, reinterpret_cast<struct stat *>(st), flags);
}

// statx (coreutils' ls and stat): the same answers in its own layout.
int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *out)
{
    struct stat st;
    int r = -2;
    if ((flags & AT_EMPTY_PATH) && !*path && file_of(dirfd) >= 0)
        r = fstat(dirfd, &st);
    else if (path[0] == '/')
        r = stat_path(path, !(flags & AT_SYMLINK_NOFOLLOW), &st);
    if (r == -2)
        return QP_NEXT(statx)(dirfd, path, flags, mask, out);
    if (r < 0)
        return r;
    std::memset(out, 0, sizeof *out);
    out->stx_mask = STATX_BASIC_STATS;
    out->stx_blksize = static_cast<uint32_t>(st.st_blksize);
    out->stx_nlink = static_cast<uint32_t>(st.st_nlink);
    out->stx_mode = static_cast<uint16_t>(st.st_mode);
    out->stx_ino = st.st_ino;
    out->stx_size = static_cast<uint64_t>(st.st_size);
    out->stx_rdev_major = major(st.st_rdev);
    out->stx_rdev_minor = minor(st.st_rdev);
    out->stx_dev_major = major(st.st_dev);
    out->stx_dev_minor = minor(st.st_dev);
    return 0;
}

int access(const char *path, int how)
{
    Node node;
    const int r = board_stat(path, true, &node);
    if (r == -2)
        return QP_NEXT(access)(path, how);
    if (r < 0)
        return r;
    // As root, which the board's programs are to its files: only an
    // attribute without the bit is refused (sysfs checks its modes even
    // for root).
    if (node.type == 'f' && (((how & W_OK) && !(node.mode & 0222)) || ((how & R_OK) && !(node.mode & 0444)))) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

int faccessat(int dirfd, const char *path, int how, int flags)
{
    if (path[0] == '/' && board_path(path))
        return access(path, how);
    return QP_NEXT(faccessat)(dirfd, path, how, flags);
}

// Extended attributes: the board's files have none (ls -l asks for ACLs).
static ssize_t no_xattrs(const char *path)
{
    Node node;
    const int r = board_stat(path, false, &node);
    if (r == -2)
        return -2;
    if (r == 0)
        errno = ENOTSUP;
    return -1;
}

ssize_t getxattr(const char *path, const char *name, void *value, size_t size)
{
    const ssize_t r = no_xattrs(path);
    return r != -2 ? r : QP_NEXT(getxattr)(path, name, value, size);
}

ssize_t lgetxattr(const char *path, const char *name, void *value, size_t size)
{
    const ssize_t r = no_xattrs(path);
    return r != -2 ? r : QP_NEXT(lgetxattr)(path, name, value, size);
}

ssize_t listxattr(const char *path, char *list, size_t size)
{
    const ssize_t r = no_xattrs(path);
    return r != -2 ? r : QP_NEXT(listxattr)(path, list, size);
}

ssize_t llistxattr(const char *path, char *list, size_t size)
{
    const ssize_t r = no_xattrs(path);
    return r != -2 ? r : QP_NEXT(llistxattr)(path, list, size);
}

// ---- stdio ----

FILE *fopen(const char *path, const char *mode)
{
    FILE *f = board_fopen(path, mode);
    if (f == reinterpret_cast<FILE *>(-1))
        return nullptr;
    return f ? f : QP_NEXT(fopen)(path, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    FILE *f = board_fopen(path, mode);
    if (f == reinterpret_cast<FILE *>(-1))
        return nullptr;
    return f ? f : QP_NEXT(fopen64)(path, mode);
}

} // extern "C"
