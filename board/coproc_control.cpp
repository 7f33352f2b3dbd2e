#include "coproc_control.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

#include "coproc.hpp"
#include "coproc/simulator.hpp"

namespace board {

namespace {

constexpr char kSeparator = '\x1f';
constexpr int kAnswerTimeoutMs = 10'000;

// The abstract name for the tty at `path` (links followed); false if the
// path names nothing.
bool address_for(const std::string &path, sockaddr_un *addr, socklen_t *len)
{
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real))
        return false;
    const std::string name = std::string("quorvel-coproc:") + real;
    if (name.size() + 1 > sizeof addr->sun_path)
        return false;
    *addr = {};
    addr->sun_family = AF_UNIX;
    name.copy(addr->sun_path + 1, name.size()); // sun_path[0] = 0: abstract
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

bool send_all(int fd, const std::string &text)
{
    for (size_t at = 0; at < text.size();) {
        const ssize_t n = ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// Up to the end of the connection (or the first newline with `line`).
bool receive(int fd, std::string *out, bool line)
{
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kAnswerTimeoutMs) <= 0)
            return false;
        const ssize_t n = ::recv(fd, buf, line ? 1 : sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return !line;
        if (line && buf[0] == '\n')
            return true;
        out->append(buf, static_cast<size_t>(n));
    }
}

} // namespace

CoprocControl::CoprocControl(coproc::Simulator &sim) : sim_(sim)
{
    sockaddr_un addr;
    socklen_t len;
    if (!address_for(sim.tty_path(), &addr, &len))
        throw std::system_error(ENOENT, std::generic_category(), "control socket for " + sim.tty_path());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        ::listen(listener_, 4) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0) {
        const int e = errno;
        if (listener_ >= 0)
            ::close(listener_);
        throw std::system_error(e, std::generic_category(), "control socket");
    }
    thread_ = std::thread([this] { serve(); });
}

CoprocControl::~CoprocControl()
{
    const char c = 0;
    (void)!::write(stop_[1], &c, 1);
    thread_.join();
    ::close(listener_);
    ::close(stop_[0]);
    ::close(stop_[1]);
}

void CoprocControl::serve()
{
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        const int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            continue;
        answer(conn);
        ::close(conn);
    }
}

// One command at a time: the board's commands come one after another.
void CoprocControl::answer(int conn)
{
    std::string request;
    if (!receive(conn, &request, true))
        return;
    std::vector<std::string> args;
    size_t from = 0;
    for (size_t at; (at = request.find(kSeparator, from)) != std::string::npos; from = at + 1)
        args.push_back(request.substr(from, at - from));
    if (!request.empty())
        args.push_back(request.substr(from));
    std::string output;
    const int status = run_coproc(&sim_, args, &output);
    send_all(conn, std::to_string(status) + "\n" + output);
}

int forward_coproc(const std::string &line, const std::vector<std::string> &args, std::string *output)
{
    sockaddr_un addr;
    socklen_t len;
    if (!address_for(line, &addr, &len))
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    std::string request;
    for (const auto &a : args)
        request += (request.empty() ? "" : std::string(1, kSeparator)) + a;
    std::string status, text;
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 && send_all(fd, request + "\n") &&
                    receive(fd, &status, true) && receive(fd, &text, false);
    ::close(fd);
    if (!ok)
        return -1;
    *output = text;
    return std::atoi(status.c_str());
}

} // namespace board
