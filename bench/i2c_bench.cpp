// One SMBus byte read as i2cget makes it, I2C_SMBUS on an open /dev/i2c-0:
// i2c-dev, the I2C core's bus lock, the adapter's smbus_xfer and the exchange
// (9 bytes out, 6 back), set against a raw round trip of the same bytes.
//   build/bench/quorvel_bench --benchmark_filter=SmbusRead
#include <linux/i2c-dev.h>

#include "board.hpp"
#include "raw_round_trip.hpp"

#include <benchmark/benchmark.h>

namespace {

constexpr size_t smbus_read_request_len = 9; // payload: 0x11, address, register, 1
constexpr size_t smbus_read_reply_len = 6;

class SmbusByteRead {
public:
    SmbusByteRead() : board_({"dev_iic1=1"})
    {
        fd_ = static_cast<int>(program_.open("/dev/i2c-0", 2));
        program_.ioctl(fd_, I2C_SLAVE, 0x48);
    }
    ~SmbusByteRead() { program_.close(fd_); }
    bool once()
    {
        union i2c_smbus_data data = {};
        struct i2c_smbus_ioctl_data args = {
            .read_write = I2C_SMBUS_READ, .command = 0x00, .size = I2C_SMBUS_BYTE_DATA, .data = &data};
        return program_.ioctl(fd_, I2C_SMBUS, reinterpret_cast<unsigned long>(&args)) == 0 && data.byte == 0x19;
    }

private:
    qtest::Board board_;
    khost::Program program_;
    int fd_ = -1;
};

void BM_SmbusReadByte(benchmark::State &state)
{
    SmbusByteRead read;
    for (auto _ : state)
        if (!read.once())
            state.SkipWithError("SMBus byte read failed");
}
BENCHMARK(BM_SmbusReadByte)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(0.25);

// The two alternately, best of seven runs each; x_raw is their ratio.
void BM_SmbusReadByteVsRaw(benchmark::State &state)
{
    SmbusByteRead read;
    qbench::compare_with_raw(state, smbus_read_request_len, smbus_read_reply_len, [&] { return read.once(); });
}
BENCHMARK(BM_SmbusReadByteVsRaw)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(1);

} // namespace
