// The benchmarks' main. A round trip over a pty hands the CPU from thread to
// thread four times; on a virtual machine an idle virtual CPU is halted and
// takes tens of microseconds to wake, which would swamp what is measured.
// So, as latency tests such as cyclictest do, the run holds the CPU wake-up
// latency at zero (/dev/cpu_dma_latency; idle CPUs then poll instead of
// halting) while it lasts, and says in its context whether it could.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

namespace {

class AwakeCpus {
public:
    AwakeCpus() : fd_(::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC))
    {
        const int32_t zero = 0;
        if (fd_ >= 0 && ::write(fd_, &zero, sizeof zero) != sizeof zero) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~AwakeCpus()
    {
        if (fd_ >= 0)
            ::close(fd_); // the kernel drops the request with the file
    }
    AwakeCpus(const AwakeCpus &) = delete;
    AwakeCpus &operator=(const AwakeCpus &) = delete;
    [[nodiscard]] bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

} // namespace

int main(int argc, char **argv)
{
    AwakeCpus awake;
    benchmark::AddCustomContext("cpu_dma_latency", awake.held()
                                                       ? "0 us, held for the run"
                                                       : "not held (needs write access to /dev/cpu_dma_latency)");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
