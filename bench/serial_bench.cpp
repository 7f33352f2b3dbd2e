// The serial port's input: a stream from the co-processor's port to a
// program reading ttySP0, against the receive poller's bound of 240 bytes
// per 50 ms cycle (4,800 bytes/s). The remote side keeps the co-processor's
// receive buffer full; the program reads until the whole stream is in, and
// checks that it came in order. 32 KiB by default (about 7 s);
// QUORVEL_SERIAL_STREAM_KIB=100 for 100 KiB (about 21 s):
//   build/bench/quorvel_bench --benchmark_filter=Serial
#include "board.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

constexpr double bound_bytes_per_s = 240.0 / 0.050;
constexpr int O_RDWR_ = 2;
constexpr short POLLIN_ = 1;

void BM_SerialInputStream(benchmark::State &state)
{
    const size_t total = static_cast<size_t>(state.range(0));
    coproc::Bytes data(total);
    for (size_t i = 0; i < total; i++)
        data[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    qtest::Board board({"dev_uart=1"});
    khost::Program p;
    const int fd = static_cast<int>(p.open("/dev/ttySP0", O_RDWR_));
    if (fd < 0) {
        state.SkipWithError("cannot open /dev/ttySP0");
        return;
    }
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::thread feeder([&] {
            size_t at = 0;
            while (at < total && !stop) {
                size_t room = coproc::kUartRxCapacity - board.sim().uart_rx_waiting();
                at += board.sim().feed_uart_rx(std::span(data).subspan(at, std::min(room, total - at)));
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        const auto start = std::chrono::steady_clock::now();
        coproc::Bytes got;
        std::vector<uint8_t> buf(4096);
        while (got.size() < total) {
            std::vector<khost::PollFd> fds{{fd, POLLIN_, 0}};
            if (p.poll(fds, 2000) <= 0)
                break; // nothing for 2 s: the stream stalled
            long n = p.read(fd, buf.data(), buf.size());
            if (n <= 0)
                break;
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        stop = true;
        feeder.join();
        state.SetIterationTime(seconds);
        if (got != data) {
            state.SkipWithError("the stream did not arrive whole and in order");
            break;
        }
        const double rate = static_cast<double>(total) / seconds;
        state.counters["bytes_per_s"] = rate;
        state.counters["bound_bytes_per_s"] = bound_bytes_per_s;
        state.counters["x_bound"] = rate / bound_bytes_per_s;
    }
    state.SetBytesProcessed(static_cast<int64_t>(total) * state.iterations());
    p.close(fd);
}

int64_t stream_bytes()
{
    const char *kib = std::getenv("QUORVEL_SERIAL_STREAM_KIB");
    long n = kib ? std::strtol(kib, nullptr, 10) : 0;
    return (n > 0 ? n : 32) * 1024;
}

BENCHMARK(BM_SerialInputStream)->Arg(stream_bytes())->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
