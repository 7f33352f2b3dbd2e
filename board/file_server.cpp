#include "file_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>
#include <khost/program.hpp>

#include "protocol.hpp"
#include "qemu_vm.hpp"
#include "served_file.hpp"

namespace board {

using qpreload::Op;
using qpreload::Reply;
using qpreload::Request;

namespace {

qpreload::Node node_of(const khost::DirEntry &e)
{
    qpreload::Node n{};
    n.type = e.type;
    n.mode = e.mode;
    n.rdev = e.rdev;
    return n;
}

// The flags of an open that reach the file; the rest (O_CLOEXEC, O_CREAT,
// O_LARGEFILE...) are the descriptor's or mean nothing on the board.
int file_flags(uint64_t flags) { return static_cast<int>(flags & (O_ACCMODE | O_NONBLOCK | O_APPEND | O_NOCTTY)); }

// `path` made absolute against the directory `dir`, with "." and empty
// components gone.
std::string join_path(const std::string &dir, const std::string &path)
{
    std::string whole = path.starts_with('/') ? path : dir + "/" + path;
    std::string out;
    size_t at = 0;
    while (at <= whole.size()) {
        size_t end = whole.find('/', at);
        if (end == std::string::npos)
            end = whole.size();
        const std::string part = whole.substr(at, end - at);
        if (!part.empty() && part != ".")
            out += "/" + part;
        at = end + 1;
    }
    return out.empty() ? "/" : out;
}

// The name of process pid, as its task is named.
std::string process_name(int pid)
{
    std::ifstream in(fmt::format("/proc/{}/comm", pid));
    std::string name;
    std::getline(in, name);
    return name;
}

struct Conn {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
    // The thread serving the connection, set before the connection is
    // watched: a signal to it ends a call of a program thread that has gone.
    std::optional<khost::SignalTarget> target;
    std::promise<void> started;
    bool signalled = false; // by the accept loop, which alone reads it
};

} // namespace

struct FileServer::Impl {
    std::string path;
    int listen_fd = -1;
    int stop_fd = -1;
    khost::Program program{"served"};
    std::mutex lock; // guards files, conns
    std::map<int, std::shared_ptr<ServedFile>> files;
    std::vector<std::unique_ptr<Conn>> conns;
    std::thread acceptor;
    bool stopped = false;

    std::shared_ptr<ServedFile> file(int id)
    {
        std::lock_guard hold(lock);
        auto it = files.find(id);
        return it == files.end() ? nullptr : it->second;
    }

    void forget(const std::shared_ptr<ServedFile> &f)
    {
        f->release();
        std::lock_guard hold(lock);
        // The number may already be another file's.
        if (auto it = files.find(f->id); it != files.end() && it->second == f)
            files.erase(it);
    }

    void accept_loop();
    void accept_one();
    void finish_gone_connections();
    void reap();
    void serve(Conn *conn);
    void handle(int fd, const Request &req, const char *extra, size_t extra_len);
    void open_file(int fd, const Request &req, const std::string &name);
    void stat_path(int fd, const Request &req, const std::string &name);
    void list_dir(int fd, const Request &req, const std::string &name);
    void sync(int fd, const char *extra, size_t extra_len);
    void which(int fd, const char *extra, size_t extra_len);
    void file_call(int fd, const Request &req);
};

namespace {

void send_reply(int fd, const Reply &reply, const void *extra = nullptr, size_t extra_len = 0, int pass_fd = -1)
{
    struct iovec iov[2] = {{const_cast<Reply *>(&reply), sizeof reply}, {const_cast<void *>(extra), extra_len}};
    struct msghdr msg {};
    msg.msg_iov = iov;
    msg.msg_iovlen = extra_len ? 2 : 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (pass_fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &pass_fd, sizeof(int));
    }
    // A program that has gone is no error of the board's.
    (void)::sendmsg(fd, &msg, MSG_NOSIGNAL);
}

void send_result(int fd, long result, int drain = 0)
{
    Reply reply{};
    reply.result = result;
    reply.drain = drain;
    send_reply(fd, reply);
}

} // namespace

// Takes new connections, and watches those there are: a program thread
// that goes (killed, or its process ended) while a call of its waits in the
// kernel has that call ended by a signal, as the kernel ends a dying
// process's calls.
void FileServer::Impl::accept_loop()
{
    for (;;) {
        std::vector<struct pollfd> p = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        // Only this thread adds or removes connections: these stay valid.
        std::vector<Conn *> watched;
        {
            std::lock_guard hold(lock);
            reap();
            for (const auto &c : conns)
                if (!c->signalled) {
                    p.push_back({c->fd, POLLRDHUP, 0});
                    watched.push_back(c.get());
                }
        }
        if (::poll(p.data(), p.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents)
            return;
        for (size_t i = 0; i < watched.size(); i++)
            if (p[i + 2].revents & (POLLRDHUP | POLLHUP | POLLERR)) {
                watched[i]->target->send();
                watched[i]->signalled = true;
            }
        if (p[0].revents & POLLIN)
            accept_one();
    }
}

void FileServer::Impl::accept_one()
{
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    auto conn = std::make_unique<Conn>();
    conn->fd = fd;
    Conn *raw = conn.get();
    conn->thread = std::thread([this, raw] {
        raw->target = khost::SignalTarget::current_thread();
        raw->started.set_value();
        serve(raw);
    });
    raw->started.get_future().wait();
    std::lock_guard hold(lock);
    conns.push_back(std::move(conn));
}

// Joins the connections whose program thread has gone. Under `lock`.
void FileServer::Impl::reap()
{
    std::erase_if(conns, [](const std::unique_ptr<Conn> &c) {
        if (!c->done)
            return false;
        c->thread.join();
        ::close(c->fd);
        return true;
    });
}

// Waits for the threads serving connections whose program has hung up.
// Such a thread may still hold the board's copy of a descriptor it has just
// passed (an open's reply closes it after sending), which would keep the
// file open after the program has gone.
void FileServer::Impl::finish_gone_connections()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        bool serving = false;
        {
            // reap() frees a connection once it is done, under this lock.
            std::lock_guard hold(lock);
            for (const auto &c : conns) {
                struct pollfd p = {c->fd, POLLRDHUP, 0};
                const bool gone = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR));
                serving = serving || (gone && !c->done);
            }
        }
        if (!serving || std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// One thread of a program: its calls, one at a time, made as from its
// process.
void FileServer::Impl::serve(Conn *conn)
{
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(conn->fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.pid > 0) {
        khost::act_for_process(cred.pid, process_name(cred.pid));
        std::vector<char> buf(qpreload::kMaxMessage);
        for (;;) {
            const ssize_t n = ::recv(conn->fd, buf.data(), buf.size(), 0);
            if (n < static_cast<ssize_t>(sizeof(Request)))
                break; // the thread, or its process, has gone
            Request req;
            std::memcpy(&req, buf.data(), sizeof req);
            handle(conn->fd, req, buf.data() + sizeof req, static_cast<size_t>(n) - sizeof req);
        }
        khost::act_for_process(0);
    }
    conn->done = true;
}

void FileServer::Impl::handle(int fd, const Request &req, const char *extra, size_t extra_len)
{
    const std::string name(extra, extra_len);
    switch (req.op) {
    case Op::Open:
        return open_file(fd, req, name);
    case Op::Stat:
        return stat_path(fd, req, name);
    case Op::List:
        return list_dir(fd, req, name);
    case Op::Sync:
        return sync(fd, extra, extra_len);
    case Op::Which:
        return which(fd, extra, extra_len);
    case Op::Closed: {
        // Every descriptor of the process is closed; if no other process
        // holds one, the file is released before close(2) returns, as the
        // kernel's last fput is.
        if (auto f = file(req.file); f && f->hung_up())
            forget(f);
        return send_result(fd, 0);
    }
    default:
        return file_call(fd, req);
    }
}

void FileServer::Impl::file_call(int fd, const Request &req)
{
    auto f = file(req.file);
    if (!f)
        return send_result(fd, -EBADF);
    auto *buf = reinterpret_cast<void *>(req.a);
    long r = -EINVAL;
    switch (req.op) {
    case Op::Read:
        r = program.read(f->id, buf, req.b);
        break;
    case Op::Write:
        r = program.write(f->id, buf, req.b);
        break;
    case Op::Pread:
        r = program.pread(f->id, buf, req.b, static_cast<long>(req.c));
        break;
    case Op::Pwrite:
        r = program.pwrite(f->id, buf, req.b, static_cast<long>(req.c));
        break;
    case Op::Ioctl:
        r = program.ioctl(f->id, static_cast<unsigned>(req.a), req.b);
        break;
    case Op::Lseek:
        return send_result(fd, program.lseek(f->id, static_cast<long>(req.a), static_cast<int>(req.b)));
    case Op::GetFl:
        return send_result(fd, program.get_flags(f->id));
    case Op::SetFl:
        return send_result(fd, program.set_flags(f->id, static_cast<int>(req.a)));
    default:
        break;
    }
    // Linux restarts a call a signal cut short; here the caller is gone.
    send_result(fd, r, f->after_call());
}

void FileServer::Impl::open_file(int fd, const Request &req, const std::string &name)
{
    std::string path = name;
    if (req.file >= 0) {
        auto dir = file(req.file);
        if (!dir)
            return send_result(fd, -EBADF);
        path = join_path(dir->path, name);
    }
    path = join_path("/", path);
    Reply reply{};
    khost::DirEntry entry;
    long err = program.stat(path, &entry, true);
    if (err == -ENOENT && req.file < 0) {
        reply.not_board = 1;
        reply.result = err;
        return send_reply(fd, reply);
    }
    if (err < 0)
        return send_result(fd, err);
    const long id = program.open(path, file_flags(req.a));
    if (id < 0)
        return send_result(fd, id);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        const int e = errno;
        program.close(static_cast<int>(id));
        return send_result(fd, -e);
    }
    auto f = std::make_shared<ServedFile>(program, static_cast<int>(id), path, pair[1], pair[0]);
    {
        std::lock_guard hold(lock);
        files[f->id] = f;
    }
    f->start();
    reply.result = id;
    reply.node = node_of(entry);
    send_reply(fd, reply, nullptr, 0, pair[0]);
    ::close(pair[0]); // the program's now; its last close is the file's
}

void FileServer::Impl::stat_path(int fd, const Request &req, const std::string &name)
{
    Reply reply{};
    khost::DirEntry entry;
    reply.result = program.stat(join_path("/", name), &entry, req.a != 0);
    reply.not_board = reply.result == -ENOENT;
    if (reply.result == 0)
        reply.node = node_of(entry);
    // A link's target follows, for readlink.
    send_reply(fd, reply, entry.target.data(), reply.result == 0 ? entry.target.size() : 0);
}

void FileServer::Impl::list_dir(int fd, const Request &req, const std::string &name)
{
    std::string path = join_path("/", name);
    if (req.file >= 0) {
        auto dir = file(req.file);
        if (!dir)
            return send_result(fd, -EBADF);
        path = dir->path;
    }
    std::vector<khost::DirEntry> entries;
    Reply reply{};
    reply.result = program.list(path, &entries);
    reply.not_board = reply.result == -ENOENT;
    std::string out;
    for (const auto &e : entries) {
        const qpreload::Node n = node_of(e);
        if (out.size() + sizeof n + e.name.size() + 1 > qpreload::kMaxMessage - sizeof reply)
            break;
        out.append(reinterpret_cast<const char *>(&n), sizeof n);
        out.append(e.name);
        out.push_back('\0');
    }
    send_reply(fd, reply, out.data(), out.size());
}

void FileServer::Impl::sync(int fd, const char *extra, size_t extra_len)
{
    std::vector<int32_t> drains(extra_len / sizeof(int32_t));
    for (size_t i = 0; i < drains.size(); i++) {
        int32_t id;
        std::memcpy(&id, extra + i * sizeof id, sizeof id);
        auto f = file(id);
        drains[i] = f ? f->after_call() : 0;
    }
    Reply reply{};
    send_reply(fd, reply, drains.data(), drains.size() * sizeof(int32_t));
}

void FileServer::Impl::which(int fd, const char *extra, size_t extra_len)
{
    std::string out;
    for (size_t at = 0; at + sizeof(uint64_t) <= extra_len; at += sizeof(uint64_t)) {
        uint64_t inode;
        std::memcpy(&inode, extra + at, sizeof inode);
        int32_t id = -1;
        qpreload::Node n{};
        {
            std::lock_guard hold(lock);
            for (const auto &[fid, f] : files)
                if (f->inode == inode) {
                    id = fid;
                    khost::DirEntry e;
                    if (program.stat(f->path, &e, true) == 0)
                        n = node_of(e);
                }
        }
        out.append(reinterpret_cast<const char *>(&id), sizeof id);
        out.append(reinterpret_cast<const char *>(&n), sizeof n);
    }
    Reply reply{};
    send_reply(fd, reply, out.data(), out.size());
}

FileServer::FileServer(std::string socket_path) : impl_(std::make_unique<Impl>())
{
    impl_->path = std::move(socket_path);
    impl_->listen_fd = vm::listen_unix(impl_->path, 64, SOCK_SEQPACKET);
    impl_->stop_fd = ::eventfd(0, EFD_CLOEXEC);
    impl_->acceptor = std::thread([this] { impl_->accept_loop(); });
}

FileServer::~FileServer() { stop(); }

const std::string &FileServer::path() const { return impl_->path; }

std::vector<std::string> FileServer::settle()
{
    impl_->finish_gone_connections();
    std::vector<std::shared_ptr<ServedFile>> all;
    {
        std::lock_guard hold(impl_->lock);
        for (const auto &[id, f] : impl_->files)
            all.push_back(f);
    }
    std::vector<std::string> held;
    for (const auto &f : all) {
        if (f->hung_up())
            impl_->forget(f);
        else
            held.push_back(f->path);
    }
    return held;
}

void FileServer::stop()
{
    if (impl_->stopped)
        return;
    impl_->stopped = true;
    const uint64_t one = 1;
    (void)::write(impl_->stop_fd, &one, sizeof one);
    impl_->acceptor.join();
    ::close(impl_->listen_fd);
    ::unlink(impl_->path.c_str());
    std::vector<std::unique_ptr<Conn>> conns;
    {
        std::lock_guard hold(impl_->lock);
        conns.swap(impl_->conns);
    }
    // A call under way is ended by a signal; the thread then reads the end
    // of its connection.
    for (auto &c : conns) {
        ::shutdown(c->fd, SHUT_RDWR);
        c->target->send();
    }
    for (auto &c : conns) {
        c->thread.join();
        ::close(c->fd);
    }
    std::map<int, std::shared_ptr<ServedFile>> files;
    {
        std::lock_guard hold(impl_->lock);
        files.swap(impl_->files);
    }
    for (auto &[id, f] : files)
        f->release();
    ::close(impl_->stop_fd);
}

std::string default_files_socket()
{
    const char *dir = std::getenv("XDG_RUNTIME_DIR");
    return fmt::format("{}/quorvel-files-{}.sock", dir && *dir ? dir : "/tmp", ::getpid());
}

} // namespace board
