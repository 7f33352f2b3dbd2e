// How long a program waits for one request/reply with the co-processor, and
// what the module's frame routines cost per request. Run:
//   build/bench/quorvel_bench
#include <linux/mutex.h>

#include "link/quorvel_protocol.h"

#include "board.hpp"

#include <benchmark/benchmark.h>

// The exchange routine's lock and line come from the loaded module in the
// board benchmarks; the frame routines linked here only need the lock's name.
struct mutex uart_mutex;

namespace {

void BM_Crc8(benchmark::State &state)
{
    std::vector<u8> data(static_cast<size_t>(state.range(0)), 0x5a);
    for (auto _ : state)
        benchmark::DoNotOptimize(quorvel_crc8(data.data(), static_cast<int>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc8)->Arg(1)->Arg(49)->Arg(250);

void BM_BuildAndCheck(benchmark::State &state)
{
    u8 payload[49] = {};
    u8 frame[QUORVEL_FRAME_MAX];
    for (auto _ : state) {
        protocol_default_init(frame, payload, sizeof payload, DEV_TYPE_CONFIG, CMD_WRITE, 0x15);
        benchmark::DoNotOptimize(anaysis_reply_data(frame, 54, frame[0], frame[53], frame[2]));
    }
}
BENCHMARK(BM_BuildAndCheck);

// One version request from a program, through the module, the pty and the
// simulated co-processor and back.
void BM_VersionIoctl(benchmark::State &state)
{
    qtest::Board board;
    khost::Program p;
    int fd = static_cast<int>(p.open("/dev/quorvel_config", 2));
    uint8_t version[2];
    for (auto _ : state)
        if (p.ioctl(fd, 0x5201, reinterpret_cast<unsigned long>(version)) != 0)
            state.SkipWithError("version request failed");
    p.close(fd);
}
BENCHMARK(BM_VersionIoctl)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The largest control request: the whole table out, with its 1 ms pause.
void BM_ApplyModes(benchmark::State &state)
{
    qtest::Board board;
    khost::Program p;
    int fd = static_cast<int>(p.open("/dev/quorvel_config", 2));
    for (auto _ : state)
        p.ioctl(fd, 0x430A, 0);
    p.close(fd);
}
BENCHMARK(BM_ApplyModes)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
