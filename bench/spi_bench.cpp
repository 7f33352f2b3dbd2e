// SPI throughput: 4 KiB messages through /dev/spidev3.0 (the co-processor's
// loopback), set against the bound the masters' own pauses put on them.
// Each piece of up to 249 bytes sleeps twice for 1 ms, and msleep(1) asks
// for msecs_to_jiffies(1) + 1 ticks: 2 ticks, 8 ms at 250 Hz and 2 ms at
// 1000 Hz. A 4096-byte transfer is 17 pieces (16 of 249 and one of 112).
//   build/bench/quorvel_bench --benchmark_filter=Spi
#include "board.hpp"

#include <linux/spi/spidev.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

namespace {

constexpr size_t transfer_bytes = 4096;
constexpr size_t piece_bytes = 249;

size_t pieces_of(size_t len) { return (len + piece_bytes - 1) / piece_bytes; }

// What two msleep(1) per piece last at least, in seconds.
double pause_bound(size_t len, unsigned hz)
{
    const double tick = 1.0 / hz;
    const unsigned long msleep_ticks = (1UL * hz + 999) / 1000 + 1;
    return static_cast<double>(pieces_of(len)) * 2.0 * static_cast<double>(msleep_ticks) * tick;
}

void BM_Spi4KiBTransfer(benchmark::State &state)
{
    const unsigned hz = static_cast<unsigned>(state.range(0));
    qtest::Board board({"dev_spi0=1"}, hz);
    khost::Program p;
    const int fd = static_cast<int>(p.open("/dev/spidev3.0", 2));
    std::vector<uint8_t> tx(transfer_bytes, 0x5A), rx(transfer_bytes);
    struct spi_ioc_transfer t {};
    t.tx_buf = reinterpret_cast<uintptr_t>(tx.data());
    t.rx_buf = reinterpret_cast<uintptr_t>(rx.data());
    t.len = transfer_bytes;
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const long r = p.ioctl(fd, SPI_IOC_MESSAGE(1), reinterpret_cast<unsigned long>(&t));
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (r != static_cast<long>(transfer_bytes) || rx != tx) {
            state.SkipWithError("the loopback did not give the bytes back");
            break;
        }
        state.SetIterationTime(s);
        total += s;
    }
    p.close(fd);
    const double per = total / static_cast<double>(state.iterations());
    const double bound = pause_bound(transfer_bytes, hz);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * transfer_bytes));
    state.counters["hz"] = hz;
    state.counters["pieces"] = static_cast<double>(pieces_of(transfer_bytes));
    state.counters["bound_ms"] = bound * 1e3;
    state.counters["x_bound"] = per / bound;
    state.counters["KiB_per_s"] = transfer_bytes / 1024.0 / per;
    state.counters["bound_KiB_per_s"] = transfer_bytes / 1024.0 / bound;
}
BENCHMARK(BM_Spi4KiBTransfer)->Arg(250)->Arg(1000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(4);

} // namespace
