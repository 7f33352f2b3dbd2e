// Task wake-ups: an eventfd per task, and one poll(2) that waits for it, for
// the host files the task polls, or for the timeout. The futex on which
// kernel locks wait.
#include "host/host.hpp"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace host {

int wakefd_create()
{
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd < 0 ? -errno : fd;
}

void wakefd_signal(int fd)
{
    uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {}
}

void wakefd_drain(int fd)
{
    uint64_t value;
    while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {}
}

void wait_any(int wake_fd, const int *watch_fds, int n_watch, int64_t timeout_ns)
{
    constexpr int max_watch = 16;
    pollfd fds[1 + max_watch];
    int n = 0;
    fds[n++] = {wake_fd, POLLIN, 0};
    for (int i = 0; i < n_watch && i < max_watch; i++)
        fds[n++] = {watch_fds[i], POLLIN, 0};

    int64_t deadline = timeout_ns < 0 ? -1 : monotonic_ns() + timeout_ns;
    for (;;) {
        int ms = -1;
        if (deadline >= 0) {
            int64_t left = deadline - monotonic_ns();
            if (left <= 0)
                return;
            ms = int((left + 999'999) / 1'000'000);
        }
        int r = ::poll(fds, nfds_t(n), ms);
        if (r > 0 || (r < 0 && errno != EINTR))
            return;
    }
}

void futex_wait(int *word, int expected)
{
    ::syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wait_for(int *word, int expected, int64_t timeout_ns)
{
    struct timespec ts = {static_cast<time_t>(timeout_ns / 1'000'000'000),
                          static_cast<long>(timeout_ns % 1'000'000'000)};
    ::syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, &ts, nullptr, 0);
}

void futex_wake(int *word, int count) { ::syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0); }

} // namespace host
