// The device surface fuzzer's system-call run (quorvel-fuzz --system) on
// the real kernel: three programs' random calls on the module's files while
// a fourth unbinds and binds the module's devices, in the VM as
// `quorvel-board --kernel qemu -- quorvel-fuzz --system ...` runs it. The
// run must end by itself with no finding, and the guest's kernel must not
// have complained (on the debug kernel: KASAN, lockdep and the rest).
#include <gtest/gtest.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "guest_reports.hpp"
#include "qemu_vm.hpp"
#include "run_support.hpp"

using namespace board;
using namespace board::testing;

namespace {

const std::vector<std::string> kEveryDevice = {
    "dev_gpio=0xff", "dev_iic1=1", "dev_spi0=1", "dev_spi1=1",  "dev_uart=1", "dev_pwm=0x3",   "dev_adc=0x30000",
    "dev_ws2812=1",  "dev_buzz=1", "dev_dht=1",  "dev_18b20=1", "dev_sr04=1", "dev_ir_send=1", "dev_ir_recv=1"};

// A program stuck in the guest's kernel (a task that oopsed holding a lock
// leaves the next caller waiting for ever) cannot be ended by any signal:
// past this the board is told to stop (a third signal ends it whatever the
// program does) and the test says what the guest's kernel reported.
constexpr auto kLimit = std::chrono::minutes(5);

// The console from its first report on, the oops's call trace with it.
std::string from_first_report(const std::string &console)
{
    const std::string reports = vmtest::kernel_reports(console);
    const auto at = reports.empty() ? std::string::npos : console.find(reports.substr(0, reports.find('\n')));
    return at == std::string::npos ? "" : console.substr(at, 6000);
}

TEST(FuzzOnQemu, ThreeProgramsAndUnbindsLeaveTheKernelWithoutReport)
{
    coproc::Simulator sim;
    vm::TempDir tmp;
    Collector out, err([](const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    QemuRunOptions o;
    o.program = {QUORVEL_FUZZ, "--system", "--start", "1", "--seconds", "30", "--threads", "3", "--races"};
    o.params = kEveryDevice;
    o.env = debian_env();
    o.simulator = &sim;
    o.console_log = (tmp.path() / "console.log").string();
    o.in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    o.out = out.writer();
    o.err = err.writer();
    int signals[2];
    ASSERT_EQ(::pipe2(signals, O_CLOEXEC), 0);
    o.signal_fd = signals[0];
    std::atomic<bool> done = false;
    std::thread limit([&] {
        const auto until = std::chrono::steady_clock::now() + kLimit;
        while (!done && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const unsigned char term = SIGTERM;
        for (int i = 0; i < 3 && !done; i++)
            (void)!::write(signals[1], &term, 1);
    });
    const int status = run_qemu_program(o);
    done = true;
    limit.join();
    ::close(o.in);
    ::close(signals[0]);
    ::close(signals[1]);
    const std::string text = out.take();
    const std::string console = vmtest::read_file(o.console_log);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("fuzz: start 1, "), std::string::npos) << text;
    EXPECT_EQ(text.find("FINDING"), std::string::npos) << text;
    EXPECT_EQ(vmtest::kernel_reports(console), "") << "the guest's console from its first report:\n"
                                                   << from_first_report(console);
}

} // namespace
