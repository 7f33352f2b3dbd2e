#include "tty_bridge.hpp"

// The kernel's termios2 (TCGETS2), not the C library's struct termios.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

namespace board {

namespace {

constexpr int kBoardNonBlock = 04000;
constexpr int kBoardReadWrite = 2;
constexpr short kPollIn = 1;

bool write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

std::unique_ptr<TtyBridge> TtyBridge::start(const std::string &board_path, std::string *error)
{
    std::unique_ptr<TtyBridge> b(new TtyBridge);
    b->board_path_ = board_path;
    long fd = b->program_.open(board_path, kBoardReadWrite | kBoardNonBlock);
    if (fd < 0) {
        *error = fmt::format("{}: error {}", board_path, fd);
        return nullptr;
    }
    b->board_fd_ = static_cast<int>(fd);
    b->master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (b->master_ < 0 || ::grantpt(b->master_) || ::unlockpt(b->master_)) {
        *error = fmt::format("no host pty: {}", std::strerror(errno));
        return nullptr;
    }
    b->host_path_ = ::ptsname(b->master_);
    // The bridge holds the slave open too: the pty outlives its clients, and
    // the slave's termios can be read when a client changes it.
    b->slave_ = ::open(b->host_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios2 t {};
    if (b->slave_ < 0 || ::ioctl(b->slave_, TCGETS2, &t)) {
        *error = fmt::format("{}: {}", b->host_path_, std::strerror(errno));
        return nullptr;
    }
    // Raw, and EXTPROC: in packet mode the master is then told of every
    // termios change a client makes (TIOCPKT_IOCTL).
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = EXTPROC;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    int on = 1;
    if (::ioctl(b->slave_, TCSETS2, &t) || ::ioctl(b->master_, TIOCPKT, &on)) {
        *error = fmt::format("{}: {}", b->host_path_, std::strerror(errno));
        return nullptr;
    }
    b->stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
    b->apply_host_termios();
    b->in_ = std::thread([p = b.get()] { p->host_to_board(); });
    b->out_ = std::thread([p = b.get()] { p->board_to_host(); });
    return b;
}

TtyBridge::~TtyBridge()
{
    stopping_ = true;
    if (stop_fd_ >= 0) {
        uint64_t one = 1;
        (void)!::write(stop_fd_, &one, sizeof one);
    }
    if (in_.joinable())
        in_.join();
    if (out_.joinable())
        out_.join();
    if (board_fd_ >= 0)
        program_.close(board_fd_);
    for (int fd : {slave_, master_, stop_fd_})
        if (fd >= 0)
            ::close(fd);
}

// The client's settings, less the bridge's own EXTPROC, onto the board's tty.
void TtyBridge::apply_host_termios()
{
    struct termios2 t {};
    if (::ioctl(slave_, TCGETS2, &t))
        return;
    if (!(t.c_lflag & EXTPROC)) {
        // A client cleared it: set it again, so that its next change is seen.
        struct termios2 again = t;
        again.c_lflag |= EXTPROC;
        (void)::ioctl(slave_, TCSETS2, &again);
    }
    t.c_lflag &= ~EXTPROC;
    program_.ioctl(board_fd_, TCSETS2, reinterpret_cast<unsigned long>(&t));
}

void TtyBridge::host_to_board()
{
    uint8_t buf[4097];
    while (!stopping_) {
        struct pollfd fds[2] = {{master_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            continue;
        // Packet mode: a status byte, then the data of a data packet.
        if (buf[0] == TIOCPKT_DATA) {
            for (ssize_t at = 1; at < n && !stopping_;) {
                long w = program_.write(board_fd_, buf + at, static_cast<size_t>(n - at));
                if (w <= 0)
                    break;
                at += w;
            }
        } else if (buf[0] & TIOCPKT_IOCTL) {
            apply_host_termios();
        }
    }
}

void TtyBridge::board_to_host()
{
    uint8_t buf[4096];
    while (!stopping_) {
        std::vector<khost::PollFd> fds{{board_fd_, kPollIn, 0}};
        if (program_.poll(fds, 100) <= 0)
            continue;
        long n = program_.read(board_fd_, buf, sizeof buf);
        if (n > 0 && !write_all(master_, buf, static_cast<size_t>(n)))
            return;
    }
}

} // namespace board
