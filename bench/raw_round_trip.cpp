#include "raw_round_trip.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <system_error>
#include <vector>

namespace qbench {

namespace {

[[noreturn]] void fail(const char *what) { throw std::system_error(errno, std::generic_category(), what); }

// Reads exactly n bytes; false at end of file or on an error.
bool read_all(int fd, uint8_t *buf, size_t n)
{
    while (n > 0) {
        ssize_t r = ::read(fd, buf, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        buf += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const uint8_t *buf, size_t n)
{
    while (n > 0) {
        ssize_t r = ::write(fd, buf, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        buf += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// What the module sets on its line: no input, output or local processing,
// 8 data bits at 4,000,000 baud, a read returns as soon as one byte is there;
// the other control characters are left as they were.
void set_module_line(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        fail("tcgetattr");
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag = B4000000 | CS8 | CREAD | CLOCAL;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = 1;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        fail("tcsetattr");
}

using Clock = std::chrono::steady_clock;

// CPU time of the whole process (every thread, user and system), in seconds.
double process_cpu_seconds()
{
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(use.ru_utime) + seconds(use.ru_stime);
}

struct PerCall {
    double seconds = -1; // wall clock; negative if a call failed
    double cpu_seconds = 0;
};

PerCall time_calls(const std::function<bool()> &call, int calls)
{
    double cpu_start = process_cpu_seconds();
    auto start = Clock::now();
    for (int i = 0; i < calls; i++)
        if (!call())
            return {};
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return {seconds / calls, (process_cpu_seconds() - cpu_start) / calls};
}

// Enough calls for a run of about 20 ms, from a short first try.
int calls_per_run(const std::function<bool()> &call)
{
    constexpr double run_seconds = 0.02;
    double each = time_calls(call, 10).seconds;
    if (each <= 0)
        return 10;
    return std::clamp(static_cast<int>(run_seconds / each), 10, 100'000);
}

} // namespace

RawRoundTrip::RawRoundTrip(size_t request_len, size_t reply_len) : request_len_(request_len), reply_len_(reply_len)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        fail("posix_openpt");
    std::array<char, 128> name{};
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name.data(), name.size()) != 0) {
        ::close(master_);
        fail("pty slave");
    }
    slave_ = ::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        ::close(master_);
        fail("open pty slave");
    }
    try {
        set_module_line(slave_);
    } catch (...) {
        ::close(slave_);
        ::close(master_);
        throw;
    }
    peer_ = std::thread([this] { answer(); });
}

// Closing the slave hangs the line up, which ends the peer's read.
RawRoundTrip::~RawRoundTrip()
{
    ::close(slave_);
    peer_.join();
    ::close(master_);
}

void RawRoundTrip::answer()
{
    std::vector<uint8_t> request(request_len_);
    std::vector<uint8_t> reply(reply_len_, 0x5a);
    while (read_all(master_, request.data(), request.size()))
        if (!write_all(master_, reply.data(), reply.size()))
            return;
}

bool RawRoundTrip::once()
{
    std::array<uint8_t, 256> buf{};
    if (request_len_ > buf.size() || reply_len_ > buf.size())
        return false;
    std::fill_n(buf.begin(), request_len_, 0x8a);
    return write_all(slave_, buf.data(), request_len_) && read_all(slave_, buf.data(), reply_len_);
}

void compare_with_raw(benchmark::State &state, size_t request_len, size_t reply_len,
                      const std::function<bool()> &exchange)
{
    constexpr int runs = 7;
    RawRoundTrip raw(request_len, reply_len);
    const std::function<bool()> raw_call = [&raw] { return raw.once(); };

    for (auto _ : state) {
        const int raw_calls = calls_per_run(raw_call);
        const int exchange_calls = calls_per_run(exchange);
        PerCall raw_best{std::numeric_limits<double>::max(), std::numeric_limits<double>::max()};
        PerCall exchange_best = raw_best;
        for (int run = 0; run < runs; run++) {
            PerCall r = time_calls(raw_call, raw_calls);
            PerCall e = time_calls(exchange, exchange_calls);
            if (r.seconds < 0 || e.seconds < 0) {
                state.SkipWithError(r.seconds < 0 ? "raw round trip failed" : "exchange failed");
                return;
            }
            raw_best = {std::min(raw_best.seconds, r.seconds), std::min(raw_best.cpu_seconds, r.cpu_seconds)};
            exchange_best = {std::min(exchange_best.seconds, e.seconds),
                             std::min(exchange_best.cpu_seconds, e.cpu_seconds)};
        }
        state.SetIterationTime(exchange_best.seconds);
        state.counters["raw_us"] = raw_best.seconds * 1e6;
        state.counters["x_raw"] = exchange_best.seconds / raw_best.seconds;
        state.counters["cpu_us"] = exchange_best.cpu_seconds * 1e6;
        state.counters["raw_cpu_us"] = raw_best.cpu_seconds * 1e6;
    }
}

} // namespace qbench
