// How long a program waits for one request/reply with the co-processor, set
// against a raw round trip of the same bytes, and what the module's frame
// routines cost per request. The whole run takes a few seconds:
//   build/bench/quorvel_bench
//   build/bench/quorvel_bench --benchmark_filter=Version   # the round trips only
#include "link/quorvel_protocol.h"

#include "board.hpp"
#include "raw_round_trip.hpp"

#include <benchmark/benchmark.h>

namespace {

// Long enough for a steady figure, short enough for the whole run to take a
// few seconds: the round trips repeat thousands of times in it.
constexpr double routine_seconds = 0.1;
constexpr double round_trip_seconds = 0.25;

void BM_Crc8(benchmark::State &state)
{
    std::vector<u8> data(static_cast<size_t>(state.range(0)), 0x5a);
    for (auto _ : state)
        benchmark::DoNotOptimize(quorvel_crc8(data.data(), static_cast<int>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc8)->Arg(1)->Arg(49)->Arg(250)->MinTime(routine_seconds);

void BM_BuildAndCheck(benchmark::State &state)
{
    u8 payload[49] = {};
    u8 frame[QUORVEL_FRAME_MAX];
    for (auto _ : state) {
        protocol_default_init(frame, payload, sizeof payload, DEV_TYPE_CONFIG, CMD_WRITE, 0x15);
        benchmark::DoNotOptimize(anaysis_reply_data(frame, 54, frame[0], frame[53], frame[2]));
    }
}
BENCHMARK(BM_BuildAndCheck)->MinTime(routine_seconds);

// A version request is 6 bytes out and 7 back.
constexpr size_t version_request_len = 6;
constexpr size_t version_reply_len = 7;

// The same bytes over a bare pty with a peer thread: the floor for the two below.
void BM_RawRoundTrip(benchmark::State &state)
{
    qbench::RawRoundTrip raw(version_request_len, version_reply_len);
    for (auto _ : state)
        if (!raw.once())
            state.SkipWithError("raw round trip failed");
}
BENCHMARK(BM_RawRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(round_trip_seconds);

// A program's open version request: one exchange through the module, the pty
// and the simulated co-processor and back.
class VersionRequest {
public:
    VersionRequest() : fd_(static_cast<int>(program_.open("/dev/quorvel_config", 2))) {}
    ~VersionRequest() { program_.close(fd_); }
    bool once() { return program_.ioctl(fd_, 0x5201, reinterpret_cast<unsigned long>(version_)) == 0; }

private:
    qtest::Board board_;
    khost::Program program_;
    int fd_;
    uint8_t version_[2] = {};
};

void BM_VersionIoctl(benchmark::State &state)
{
    VersionRequest request;
    for (auto _ : state)
        if (!request.once())
            state.SkipWithError("version request failed");
}
BENCHMARK(BM_VersionIoctl)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(round_trip_seconds);

// The two above, alternately, best of seven runs of each; x_raw is their ratio.
void BM_VersionIoctlVsRaw(benchmark::State &state)
{
    VersionRequest request;
    qbench::compare_with_raw(state, version_request_len, version_reply_len, [&] { return request.once(); });
}
BENCHMARK(BM_VersionIoctlVsRaw)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(1);

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
BENCHMARK(BM_ApplyModes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(round_trip_seconds);

} // namespace
