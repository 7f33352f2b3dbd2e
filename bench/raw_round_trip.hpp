#pragma once
// The floor under every exchange with the co-processor: the same bytes over a
// bare pseudo-terminal, with no kernel layer, module or co-processor model in
// the way. Driver benchmarks compare themselves with it, so that a number says
// how much the driver's path adds on this machine, today, under this load.
//
// Compiled apart from the benchmarks that boot a board: the host's tty
// headers must not meet the kernel layer's asm/ headers on one include path.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <functional>
#include <thread>

namespace qbench {

// A client on the slave side of a fresh pseudo-terminal, with the line
// settings the module gives its serial line (raw, 8N1, VMIN 1, VTIME 0),
// writes request_len bytes and reads reply_len; a peer thread on the master
// side answers as soon as it has read a whole request.
class RawRoundTrip {
public:
    RawRoundTrip(size_t request_len, size_t reply_len); // throws std::system_error
    ~RawRoundTrip();
    RawRoundTrip(const RawRoundTrip &) = delete;
    RawRoundTrip &operator=(const RawRoundTrip &) = delete;

    // One request and its whole reply; false if the line failed.
    bool once();

private:
    void answer();

    size_t request_len_;
    size_t reply_len_;
    int master_ = -1;
    int slave_ = -1;
    std::thread peer_;
};

// Runs `exchange` and a raw round trip of the same sizes alternately, seven
// runs of each, and keeps the best run of each: the least disturbed by
// whatever else the machine is doing. Each run is long enough (about 20 ms)
// for the clock to resolve it. Sets the benchmark's time to the exchange's
// best time per call (register with UseManualTime() and Iterations(1)) and
// its counters:
//   raw_us      the raw round trip's best time per call, in microseconds
//   x_raw       the exchange's best time over the raw round trip's
//   cpu_us      the exchange's best CPU time per call of the whole process
//               (every thread: program, kernel layer, co-processor model)
//   raw_cpu_us  the same for the raw round trip (client and peer)
// The CPU times are the steadier numbers on a busy machine.
void compare_with_raw(benchmark::State &state, size_t request_len, size_t reply_len,
                      const std::function<bool()> &exchange);

} // namespace qbench
