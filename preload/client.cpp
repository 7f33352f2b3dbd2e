// The connection to the board and the table of the board's descriptors.
#include "client.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qpreload {

namespace {

constexpr int kMaxFd = 65536;
// Connections sit high, out of the way of programs that expect the lowest
// free descriptor from their own opens.
constexpr int kConnFloor = 800;

struct Slot {
    std::atomic<int> file{-1};
    Node node{};
    ino_t inode = 0; // of the socket, to know the descriptor again
};

// Descriptors of this process per board file (the board numbers its files
// below 1024).
constexpr int kMaxFiles = 1024;
std::atomic<int> holders[kMaxFiles];

// Takes fd's slot to `file` (-1: none), keeping the counts.
void set_slot(Slot &slot, int file)
{
    const int old = slot.file.exchange(file, std::memory_order_acq_rel);
    if (old >= 0 && old < kMaxFiles)
        holders[old].fetch_sub(1);
    if (file >= 0 && file < kMaxFiles)
        holders[file].fetch_add(1);
}

ino_t inode_of(int fd)
{
    struct stat st {};
    return QP_NEXT(fstat)(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? st.st_ino : 0;
}
Slot *slots()
{
    static Slot *const table = new Slot[kMaxFd];
    return table;
}

const char *socket_path()
{
    static const char *const path = std::getenv(kSocketEnv);
    return path && *path ? path : nullptr;
}

// The process this library's tables belong to. A child made by vfork (or
// clone with CLONE_VM, as posix_spawn and Python's subprocess make theirs)
// runs in its parent's memory, tables included, until it execs, but has
// descriptors of its own: what it closes or duplicates is not the parent's.
std::atomic<pid_t> owner{0};

// This thread's connection, and the process it was made in: a forked child
// makes its own, so that the board reads and writes the right memory.
struct Conn {
    int fd = -1;
    pid_t pid = 0;
};
thread_local Conn conn;

// Every connection of the process, so that a forked child can close its
// copies of them (a call of the parent's must see the parent go).
std::mutex conns_lock;
std::vector<int> &all_conns()
{
    static auto *const v = new std::vector<int>;
    return *v;
}

void close_inherited()
{
    for (int fd : all_conns())
        QP_NEXT(close)(fd);
    all_conns().clear();
    conn = Conn{};
}

int connect_board()
{
    const char *path = socket_path();
    if (!path)
        return -1;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        QP_NEXT(close)(fd);
        return -1;
    }
    const int high = QP_NEXT(fcntl)(fd, F_DUPFD_CLOEXEC, kConnFloor);
    if (high >= 0) {
        QP_NEXT(close)(fd);
        fd = high;
    }
    std::lock_guard hold(conns_lock);
    all_conns().push_back(fd);
    return fd;
}

int connection()
{
    const pid_t pid = ::getpid();
    if (conn.fd >= 0 && conn.pid == pid)
        return conn.fd;
    conn.fd = connect_board();
    conn.pid = pid;
    return conn.fd;
}

void drop_connection()
{
    if (conn.fd < 0)
        return;
    {
        std::lock_guard hold(conns_lock);
        std::erase(all_conns(), conn.fd);
    }
    QP_NEXT(close)(conn.fd);
    conn = Conn{};
}

bool exchange(int fd, const Request &req, const void *extra, size_t extra_len, Answer *out, bool cloexec)
{
    struct iovec iov[2] = {{const_cast<Request *>(&req), sizeof req}, {const_cast<void *>(extra), extra_len}};
    struct msghdr msg {};
    msg.msg_iov = iov;
    msg.msg_iovlen = extra_len ? 2 : 1;
    if (::sendmsg(fd, &msg, MSG_NOSIGNAL) < 0)
        return false;
    static thread_local char *buf = static_cast<char *>(std::malloc(kMaxMessage));
    struct iovec in = {buf, kMaxMessage};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr back {};
    back.msg_iov = &in;
    back.msg_iovlen = 1;
    back.msg_control = control;
    back.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(fd, &back, cloexec ? MSG_CMSG_CLOEXEC : 0);
    } while (n < 0 && errno == EINTR);
    if (n < static_cast<ssize_t>(sizeof(Reply)))
        return false;
    std::memcpy(&out->reply, buf, sizeof(Reply));
    out->extra.assign(buf + sizeof(Reply), static_cast<size_t>(n) - sizeof(Reply));
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&back); c; c = CMSG_NXTHDR(&back, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
            std::memcpy(&out->fd, CMSG_DATA(c), sizeof(int));
    return true;
}

// After an exec the table is empty, but descriptors the board handed out
// may have come through it: they are sockets the board knows by inode.
void adopt_inherited()
{
    std::vector<int> fds;
    std::vector<uint64_t> inodes;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return;
    const int own = ::dirfd(dir);
    while (const struct dirent *e = QP_NEXT(readdir)(dir)) {
        const int fd = std::atoi(e->d_name);
        struct stat st {};
        if (e->d_name[0] == '.' || fd == own || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        fds.push_back(fd);
        inodes.push_back(st.st_ino);
    }
    ::closedir(dir);
    if (fds.empty())
        return;
    Request req{};
    req.op = Op::Which;
    Answer ans;
    if (!call(req, inodes.data(), inodes.size() * sizeof(uint64_t), &ans))
        return;
    const size_t each = sizeof(int32_t) + sizeof(Node);
    for (size_t i = 0; i < fds.size() && (i + 1) * each <= ans.extra.size(); i++) {
        int32_t file;
        Node node;
        std::memcpy(&file, ans.extra.data() + i * each, sizeof file);
        std::memcpy(&node, ans.extra.data() + i * each + sizeof file, sizeof node);
        if (file >= 0)
            track(fds[i], file, node);
    }
}

__attribute__((constructor)) void preload_start()
{
    if (!active())
        return;
    // A board not started by this program's parent may still read and
    // write its memory (the Yama LSM asks for this; elsewhere it is moot).
    ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    owner = ::getpid();
    pthread_atfork(nullptr, nullptr, [] {
        owner = ::getpid();
        close_inherited();
        ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    });
    adopt_inherited();
}

} // namespace

void *next_symbol(const char *name) { return ::dlsym(RTLD_NEXT, name); }

bool active() { return socket_path() != nullptr; }

bool shared_child()
{
    const pid_t o = owner.load(std::memory_order_relaxed);
    return o != 0 && ::getpid() != o;
}

// A descriptor the program closed where the library could not see it (the
// C library's own close inside fclose, close_range in a child) and that
// now names something else is forgotten here: the socket is known by its
// inode.
int file_of(int fd)
{
    if (fd < 0 || fd >= kMaxFd)
        return -1;
    Slot &slot = slots()[fd];
    const int file = slot.file.load(std::memory_order_acquire);
    if (file < 0 || inode_of(fd) == slot.inode)
        return file;
    set_slot(slot, -1);
    return -1;
}

void track(int fd, int file, const Node &node)
{
    if (fd < 0 || fd >= kMaxFd)
        return;
    slots()[fd].node = node;
    slots()[fd].inode = inode_of(fd);
    set_slot(slots()[fd], file);
}

void untrack(int fd)
{
    if (fd >= 0 && fd < kMaxFd)
        set_slot(slots()[fd], -1);
}

Node node_of(int fd) { return fd >= 0 && fd < kMaxFd ? slots()[fd].node : Node{}; }

bool last_of(int file) { return file < 0 || file >= kMaxFiles || holders[file].load() == 0; }

bool board_path(const char *path)
{
    if (!path || !active())
        return false;
    return std::strncmp(path, "/dev/", 5) == 0 || std::strncmp(path, "/sys/", 5) == 0 || std::strcmp(path, "/sys") == 0;
}

bool call(const Request &req, const void *extra, size_t extra_len, Answer *out, bool cloexec)
{
    const int saved = errno;
    // A connection the program closed under us (a daemon closing every
    // descriptor) is made again once.
    for (int attempt = 0; attempt < 2; attempt++) {
        const int fd = connection();
        if (fd < 0)
            break;
        if (exchange(fd, req, extra, extra_len, out, cloexec)) {
            errno = saved;
            return true;
        }
        drop_connection();
    }
    errno = ENXIO;
    return false;
}

long file_call(int fd, Op op, uint64_t a, uint64_t b, uint64_t c)
{
    Request req{};
    req.op = op;
    req.file = file_of(fd);
    req.a = a;
    req.b = b;
    req.c = c;
    Answer ans;
    if (!call(req, nullptr, 0, &ans))
        return -1;
    take_tokens(fd, ans.reply.drain);
    if (ans.reply.result < 0) {
        errno = static_cast<int>(-ans.reply.result);
        // A wait the board cut short: the call is to be made again, as the
        // kernel restarts it.
        if (errno == 512 /* ERESTARTSYS */)
            errno = EINTR;
        return -1;
    }
    return static_cast<long>(ans.reply.result);
}

void take_tokens(int fd, int count)
{
    char junk[16];
    while (count > 0) {
        const ssize_t n = ::recv(fd, junk, count < 16 ? static_cast<size_t>(count) : 16, MSG_DONTWAIT);
        if (n <= 0)
            break;
        count -= static_cast<int>(n);
    }
}

void sync(const std::vector<int> &fds)
{
    std::vector<int32_t> files;
    std::vector<int> mine;
    for (int fd : fds)
        if (int f = file_of(fd); f >= 0) {
            files.push_back(f);
            mine.push_back(fd);
        }
    if (files.empty())
        return;
    Request req{};
    req.op = Op::Sync;
    Answer ans;
    if (!call(req, files.data(), files.size() * sizeof(int32_t), &ans))
        return;
    for (size_t i = 0; i < mine.size() && (i + 1) * sizeof(int32_t) <= ans.extra.size(); i++) {
        int32_t drain;
        std::memcpy(&drain, ans.extra.data() + i * sizeof drain, sizeof drain);
        take_tokens(mine[i], drain);
    }
}

void fill_stat(const Node &node, struct stat *st)
{
    std::memset(st, 0, sizeof *st);
    mode_t type = node.type == 'c' ? S_IFCHR : node.type == 'd' ? S_IFDIR : node.type == 'l' ? S_IFLNK : S_IFREG;
    st->st_mode = type | node.mode;
    st->st_nlink = node.type == 'd' ? 2 : 1;
    // The kernel's MKDEV: 12 bits of major above 20 of minor.
    st->st_rdev = node.type == 'c' ? makedev(node.rdev >> 20, node.rdev & 0xfffff) : 0;
    st->st_dev = node.type == 'c' ? makedev(0, 6) : makedev(0, 22); // devtmpfs, sysfs
    st->st_blksize = 4096;
    st->st_size = node.type == 'f' ? 4096 : 0; // as sysfs reports an attribute
    st->st_ino = (static_cast<ino_t>(node.rdev) << 8) ^ node.mode ^ static_cast<ino_t>(node.type);
}

} // namespace qpreload
