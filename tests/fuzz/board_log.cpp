#include "board_log.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qfuzz {

BoardLog::BoardLog()
{
    const char *path = std::getenv("QUORVEL_BOARD");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!path || !*path || std::strlen(path) >= sizeof addr.sun_path)
        return;
    std::strcpy(addr.sun_path, path);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

BoardLog::~BoardLog()
{
    if (fd_ >= 0)
        ::close(fd_);
}

// The board's next message, "K TEXT" (its kind, a space, its text).
bool BoardLog::line(std::string *out)
{
    for (;;) {
        if (const auto nl = in_.find('\n'); nl != std::string::npos) {
            *out = in_.substr(0, nl);
            in_.erase(0, nl + 1);
            return true;
        }
        char buf[65536];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        in_.append(buf, static_cast<size_t>(n));
    }
}

std::vector<std::string> BoardLog::take()
{
    std::vector<std::string> lines;
    static const char kAsk[] = "L dmesg -c\n";
    if (fd_ < 0 || ::send(fd_, kAsk, sizeof kAsk - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof kAsk - 1))
        return lines;
    std::string partial;
    for (std::string msg; line(&msg);) {
        const std::string text = msg.size() > 2 ? msg.substr(2) : "";
        if (msg[0] == 'X')
            return lines;
        if (msg[0] == 'O') {
            lines.push_back(partial + text);
            partial.clear();
        } else if (msg[0] == 'o') {
            partial += text;
        }
    }
    ::close(fd_); // the board has gone
    fd_ = -1;
    return lines;
}

} // namespace qfuzz
