// One GPIO value write as a program makes it, `echo 1 > gpio205/value` on a
// file held open: sysfs, the GPIO core, the driver's set and the exchange
// (8 bytes out, 6 back), set against a raw round trip of the same bytes.
//   build/bench/quorvel_bench --benchmark_filter=GpioValue
#include "board.hpp"
#include "raw_round_trip.hpp"

#include <benchmark/benchmark.h>

#include <string>

namespace {

constexpr size_t gpio_write_request_len = 8; // payload: line, GPIO_OP_SET_VALUE, level
constexpr size_t gpio_reply_len = 6;

class GpioValueWrite {
public:
    GpioValueWrite() : board_({"dev_gpio=0x20"})
    {
        write_file("/sys/class/gpio/export", "205\n");
        write_file("/sys/class/gpio/gpio205/direction", "out\n");
        fd_ = static_cast<int>(program_.open("/sys/class/gpio/gpio205/value", 1));
    }
    ~GpioValueWrite()
    {
        program_.close(fd_);
        write_file("/sys/class/gpio/unexport", "205\n");
    }
    bool once()
    {
        level_ ^= 1;
        const char text[2] = {static_cast<char>('0' + level_), '\n'};
        return program_.write(fd_, text, sizeof(text)) == 2;
    }

private:
    void write_file(const std::string &path, const std::string &text)
    {
        long fd = program_.open(path, 1);
        program_.write(static_cast<int>(fd), text.data(), text.size());
        program_.close(static_cast<int>(fd));
    }

    qtest::Board board_;
    khost::Program program_;
    int fd_ = -1;
    int level_ = 0;
};

void BM_GpioValueWrite(benchmark::State &state)
{
    GpioValueWrite gpio;
    for (auto _ : state)
        if (!gpio.once())
            state.SkipWithError("GPIO value write failed");
}
BENCHMARK(BM_GpioValueWrite)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(0.25);

// The two alternately, best of seven runs each; x_raw is their ratio.
void BM_GpioValueWriteVsRaw(benchmark::State &state)
{
    GpioValueWrite gpio;
    qbench::compare_with_raw(state, gpio_write_request_len, gpio_reply_len, [&] { return gpio.once(); });
}
BENCHMARK(BM_GpioValueWriteVsRaw)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(1);

} // namespace
