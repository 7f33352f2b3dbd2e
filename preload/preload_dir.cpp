// Directories of the board (opendir and readdir on its /sys and /dev), its
// links (readlink), and epoll's waits on its descriptors.
#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "client.hpp"

using namespace qpreload;

namespace {

// A directory stream over the board's entries. The C library's DIR is
// opaque; ours are told apart by address.
struct BoardDir {
    int fd = -1; // the directory, open on the board
    std::vector<struct dirent> entries;
    size_t next = 0;
};

std::mutex dirs_lock;
std::set<BoardDir *> &dirs()
{
    static auto *const s = new std::set<BoardDir *>;
    return *s;
}

BoardDir *board_dir(DIR *d)
{
    std::lock_guard hold(dirs_lock);
    auto *b = reinterpret_cast<BoardDir *>(d);
    return dirs().count(b) ? b : nullptr;
}

unsigned char dirent_type(char type)
{
    switch (type) {
    case 'd':
        return DT_DIR;
    case 'c':
        return DT_CHR;
    case 'l':
        return DT_LNK;
    default:
        return DT_REG;
    }
}

// The entries of the board directory open as fd: ".", ".." and the rest.
bool list_entries(int fd, BoardDir *dir)
{
    Request req{};
    req.op = Op::List;
    req.file = file_of(fd);
    Answer ans;
    if (!call(req, nullptr, 0, &ans))
        return false;
    if (ans.reply.result < 0) {
        errno = static_cast<int>(-ans.reply.result);
        return false;
    }
    auto add = [&](const char *name, unsigned char type) {
        struct dirent e {};
        e.d_ino = dir->entries.size() + 1;
        e.d_off = static_cast<off_t>(dir->entries.size() + 1);
        e.d_reclen = sizeof e;
        e.d_type = type;
        std::strncpy(e.d_name, name, sizeof e.d_name - 1);
        dir->entries.push_back(e);
    };
    add(".", DT_DIR);
    add("..", DT_DIR);
    size_t at = 0;
    while (at + sizeof(Node) < ans.extra.size()) {
        Node node;
        std::memcpy(&node, ans.extra.data() + at, sizeof node);
        const char *name = ans.extra.data() + at + sizeof node;
        add(name, dirent_type(node.type));
        at += sizeof node + std::strlen(name) + 1;
    }
    return true;
}

DIR *open_board_dir(int fd)
{
    auto *dir = new BoardDir;
    dir->fd = fd;
    if (!list_entries(fd, dir)) {
        const int e = errno;
        delete dir;
        errno = e;
        return nullptr;
    }
    std::lock_guard hold(dirs_lock);
    dirs().insert(dir);
    return reinterpret_cast<DIR *>(dir);
}

// /dev itself: the host's nodes and the board's together, so that a
// program looking for a port (pyserial's list_ports) finds the board's.
DIR *open_dev()
{
    DIR *host = QP_NEXT(opendir)("/dev");
    if (!host)
        return nullptr;
    auto *dir = new BoardDir;
    std::set<std::string> names;
    while (struct dirent *e = QP_NEXT(readdir)(host)) {
        names.insert(e->d_name);
        dir->entries.push_back(*e);
    }
    QP_NEXT(closedir)(host);
    Request req{};
    req.op = Op::List;
    req.file = -1;
    Answer ans;
    if (call(req, "/dev", 4, &ans) && ans.reply.result == 0) {
        size_t at = 0;
        while (at + sizeof(Node) < ans.extra.size()) {
            Node node;
            std::memcpy(&node, ans.extra.data() + at, sizeof node);
            const std::string name = ans.extra.data() + at + sizeof node;
            at += sizeof node + name.size() + 1;
            if (!names.insert(name).second)
                continue;
            struct dirent e {};
            e.d_ino = dir->entries.size() + 1;
            e.d_reclen = sizeof e;
            e.d_type = dirent_type(node.type);
            std::strncpy(e.d_name, name.c_str(), sizeof e.d_name - 1);
            dir->entries.push_back(e);
        }
    }
    dir->fd = QP_NEXT(open)("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::lock_guard hold(dirs_lock);
    dirs().insert(dir);
    return reinterpret_cast<DIR *>(dir);
}

// epoll sets and the board's descriptors in them, so that a wait can make
// their readiness exact first.
std::mutex epoll_lock;
std::map<int, std::set<int>> &epoll_sets()
{
    static auto *const m = new std::map<int, std::set<int>>;
    return *m;
}

void sync_epoll(int epfd)
{
    std::vector<int> fds;
    {
        std::lock_guard hold(epoll_lock);
        auto it = epoll_sets().find(epfd);
        if (it == epoll_sets().end())
            return;
        fds.assign(it->second.begin(), it->second.end());
    }
    sync(fds);
}

} // namespace

extern "C" {

DIR *opendir(const char *path)
{
    if (active() && (std::strcmp(path, "/dev") == 0 || std::strcmp(path, "/dev/") == 0))
        return open_dev();
    if (!board_path(path))
        return QP_NEXT(opendir)(path);
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || file_of(fd) < 0) {
        if (fd >= 0)
            close(fd);
        return fd < 0 && errno != ENOENT ? nullptr : QP_NEXT(opendir)(path);
    }
    if (node_of(fd).type != 'd') {
        close(fd);
        errno = ENOTDIR;
        return nullptr;
    }
    DIR *d = open_board_dir(fd);
    if (!d)
        close(fd);
    return d;
}

DIR *fdopendir(int fd)
{
    if (file_of(fd) < 0)
        return QP_NEXT(fdopendir)(fd);
    return open_board_dir(fd);
}

struct dirent *readdir(DIR *d)
{
    BoardDir *b = board_dir(d);
    if (!b)
        return QP_NEXT(readdir)(d);
    return b->next < b->entries.size() ? &b->entries[b->next++] : nullptr;
}

struct dirent64 *readdir64(DIR *d)
{
    if (!board_dir(d))
        return QP_NEXT(readdir64)(d);
    return reinterpret_cast<struct dirent64 *>(readdir(d));
}

void rewinddir(DIR *d)
{
    if (BoardDir *b = board_dir(d))
        b->next = 0;
    else
        QP_NEXT(rewinddir)(d);
}

int dirfd(DIR *d)
{
    BoardDir *b = board_dir(d);
    return b ? b->fd : QP_NEXT(dirfd)(d);
}

int closedir(DIR *d)
{
    BoardDir *b = board_dir(d);
    if (!b)
        return QP_NEXT(closedir)(d);
    {
        std::lock_guard hold(dirs_lock);
        dirs().erase(b);
    }
    const int r = close(b->fd);
    delete b;
    return r;
}

ssize_t readlink(const char *path, char *buf, size_t size)
{
    if (!board_path(path))
        return QP_NEXT(readlink)(path, buf, size);
    Request req{};
    req.op = Op::Stat;
    req.a = 0; // the link itself
    Answer ans;
    if (!call(req, path, std::strlen(path), &ans) || ans.reply.not_board)
        return QP_NEXT(readlink)(path, buf, size);
    if (ans.reply.result < 0) {
        errno = static_cast<int>(-ans.reply.result);
        return -1;
    }
    if (ans.reply.node.type != 'l') {
        errno = EINVAL;
        return -1;
    }
    // The Stat reply of a link carries where it points.
    const size_t n = std::min(size, ans.extra.size());
    std::memcpy(buf, ans.extra.data(), n);
    return static_cast<ssize_t>(n);
}

ssize_t __readlink_chk(const char *path, char *buf, size_t size, size_t) { return readlink(path, buf, size); }

int epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev)
{
    const int r = QP_NEXT(epoll_ctl)(epfd, op, fd, ev);
    if (r == 0 && file_of(fd) >= 0) {
        std::lock_guard hold(epoll_lock);
        if (op == EPOLL_CTL_ADD)
            epoll_sets()[epfd].insert(fd);
        else if (op == EPOLL_CTL_DEL)
            epoll_sets()[epfd].erase(fd);
    }
    return r;
}

int epoll_wait(int epfd, struct epoll_event *events, int max, int timeout)
{
    sync_epoll(epfd);
    return QP_NEXT(epoll_wait)(epfd, events, max, timeout);
}

int epoll_pwait(int epfd, struct epoll_event *events, int max, int timeout, const sigset_t *mask)
{
    sync_epoll(epfd);
    return QP_NEXT(epoll_pwait)(epfd, events, max, timeout, mask);
}

} // extern "C"
