#include "interrupt.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>

namespace board {

namespace {

// A flag and a pipe rather than a lock and a condition: a signal handler
// (the guest's, under --kernel qemu) may raise the request.
std::atomic<bool> pending{false};
int wake[2] = {-1, -1};
std::once_flag made;

// The board's own descriptors keep clear of the low numbers: in the guest
// the session's program shares this process's table, and its files must get
// the numbers they get on the kernel layer (3, 4...).
int out_of_the_way(int fd)
{
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);
    if (high < 0)
        return fd;
    ::close(fd);
    return high;
}

void make_pipe()
{
    std::call_once(made, [] {
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        wake[0] = out_of_the_way(wake[0]);
        wake[1] = out_of_the_way(wake[1]);
    });
}

void drain()
{
    char sink[64];
    while (wake[0] >= 0 && ::read(wake[0], sink, sizeof sink) > 0) {}
}

} // namespace

void prepare_interrupts() { make_pipe(); }

void request_interrupt()
{
    pending = true;
    const char c = 0;
    if (wake[1] >= 0)
        (void)!::write(wake[1], &c, 1);
}

void clear_interrupt()
{
    make_pipe();
    pending = false;
    drain();
}

bool interrupted() { return pending; }

bool wait_interruptible(std::chrono::milliseconds d)
{
    make_pipe();
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + d;
    while (!pending) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0)
            return true;
        pollfd p{wake[0], POLLIN, 0};
        (void)::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    }
    return false;
}

} // namespace board
