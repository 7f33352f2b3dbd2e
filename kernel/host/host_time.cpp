// Clock and plain sleeps of the host.
#include "host/host.hpp"

#include <cerrno>
#include <ctime>

namespace host {

int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_ns(int64_t ns)
{
    if (ns <= 0)
        return;
    timespec req{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
    while (nanosleep(&req, &req) == -1 && errno == EINTR) {}
}

} // namespace host
