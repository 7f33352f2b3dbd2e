// The three pin drivers together: loads and unloads with all of them
// running, every fallible call of their starts, probes and enable-all failed
// in turn, and programs using lines, channels and inputs at once.
#include "pins_support.hpp"

#include <coproc/firmware.hpp>
#include <coproc/models/pins.hpp>
#include <khost/fault.hpp>

#include <gmock/gmock.h>

#include <atomic>
#include <set>
#include <thread>

using namespace qtest;
using ::testing::IsEmpty;

namespace {

constexpr unsigned ENABLE_ALL = 0x4102;
const std::vector<std::string> all_pins = {"dev_gpio=0xff", "dev_pwm=1", "dev_adc=0x3ff"};

std::vector<std::string> names_in(const std::string &dir)
{
    khost::Program p;
    std::vector<khost::DirEntry> entries;
    std::vector<std::string> names;
    if (p.list(dir, &entries) == 0)
        for (const auto &e : entries)
            names.push_back(e.name);
    return names;
}

// What the pin drivers leave in sysfs: lines, chips, inputs, platform pairs.
std::vector<std::string> pin_parts()
{
    std::vector<std::string> parts;
    for (const auto &n : names_in("/sys/class/gpio"))
        if (n != "export" && n != "unexport")
            parts.push_back("gpio " + n);
    for (const auto &n : names_in("/sys/class/pwm"))
        parts.push_back("pwm " + n);
    for (const auto &n : names_in("/sys/bus/iio/devices"))
        parts.push_back("iio " + n);
    for (const auto &n : names_in("/sys/bus/platform/devices"))
        if (n == "quorvel-gpio" || n == "quorvel-pwm" || n == "quorvel-adc")
            parts.push_back("device " + n);
    for (const auto &n : names_in("/sys/bus/platform/drivers"))
        if (n == "quorvel-gpio" || n == "quorvel-pwm" || n == "quorvel-adc")
            parts.push_back("driver " + n);
    return parts;
}

long enable_all()
{
    khost::Program p;
    long fd = p.open("/dev/quorvel_config", 2);
    if (fd < 0)
        return fd;
    long ret = p.ioctl(static_cast<int>(fd), ENABLE_ALL, 0);
    p.close(static_cast<int>(fd));
    return ret;
}

// The drivers that are there work: a line, a channel, an input.
void expect_working(const std::string &context)
{
    if (!names_in("/sys/class/gpio/gpiochip200").empty()) {
        EXPECT_EQ(sysfs_write("/sys/class/gpio/export", "201"), 4) << context;
        EXPECT_EQ(sysfs_write("/sys/class/gpio/gpio201/direction", "high"), 5) << context;
        EXPECT_EQ(sysfs_read("/sys/class/gpio/gpio201/value"), "1\n") << context;
        EXPECT_EQ(sysfs_write("/sys/class/gpio/unexport", "201"), 4) << context;
    }
    if (!names_in("/sys/class/pwm/pwmchip0").empty()) {
        EXPECT_EQ(sysfs_write("/sys/class/pwm/pwmchip0/export", "1"), 2) << context;
        EXPECT_EQ(sysfs_write("/sys/class/pwm/pwmchip0/pwm1/period", "100"), 4) << context;
        EXPECT_EQ(sysfs_write("/sys/class/pwm/pwmchip0/unexport", "1"), 2) << context;
    }
    for (const auto &n : names_in("/sys/bus/iio/devices"))
        EXPECT_NE(sysfs_read("/sys/bus/iio/devices/" + n + "/in_voltage0_raw").substr(0, 5), "error") << context;
}

TEST(PinDrivers, LoadAndUnloadWithEveryPinDriverRunning)
{
    Board board(all_pins);
    for (int round = 0; round < 3; round++) {
        EXPECT_EQ(names_in("/sys/bus/iio/devices").size(), 10u);
        expect_working("round " + std::to_string(round));
        ASSERT_EQ(board.unload(), 0);
        EXPECT_THAT(pin_parts(), IsEmpty());
        ASSERT_EQ(board.load(all_pins), 0);
    }
    // Enable-all twice with everything running starts nothing new.
    EXPECT_EQ(enable_all(), 0);
    EXPECT_EQ(enable_all(), 0);
    EXPECT_EQ(names_in("/sys/bus/iio/devices").size(), 10u);
    EXPECT_EQ(names_in("/sys/class/pwm").size(), 1u);
}

// Each fallible call of a load with the three drivers fails in turn: the
// load still succeeds unless the infrared driver's start failed (it alone
// decides), what did start works, and the unload leaves nothing.
TEST(PinDrivers, EveryFallibleCallOfTheirLoadFailedInTurn)
{
    Board board;
    ASSERT_EQ(board.unload(), 0);
    khost::fail_clear();
    ASSERT_EQ(board.load(all_pins), 0);
    const unsigned calls = khost::fail_calls("");
    ASSERT_EQ(board.unload(), 0);
    std::set<std::string> names;
    for (unsigned n = 1; n <= calls; n++) {
        khost::fail_nth("", n);
        const int result = board.load(all_pins);
        const auto forced = khost::fail_forced();
        khost::fail_clear();
        ASSERT_EQ(forced.size(), 1u) << "call " << n;
        const std::string context = "call " + std::to_string(n) + ": " + forced.front();
        names.insert(forced.front());
        if (result < 0) {
            EXPECT_EQ(result, -ENOMEM) << context;
            EXPECT_THAT(forced.front(), testing::EndsWith("_register")) << context;
            EXPECT_THAT(pin_parts(), IsEmpty()) << context;
            continue;
        }
        if (forced.front() != "filp_open") // without its line the module reaches nothing
            expect_working(context);
        ASSERT_EQ(board.unload(), 0) << context;
        EXPECT_THAT(pin_parts(), IsEmpty()) << context;
    }
    for (const char *name : {"gpiochip_add_data", "pwmchip_add", "iio_device_register", "sysfs_create_group"})
        EXPECT_TRUE(names.count(name)) << name;
}

// The same for enable-all on a module loaded with nothing: every call it
// makes (ADC inputs, the GPIO and PWM chips...) fails in turn.
TEST(PinDrivers, EveryFallibleCallOfEnableAllFailedInTurn)
{
    Board board;
    khost::fail_clear();
    ASSERT_EQ(enable_all(), 0);
    const unsigned calls = khost::fail_calls("");
    ASSERT_EQ(board.unload(), 0);
    for (unsigned n = 1; n <= calls; n++) {
        ASSERT_EQ(board.load(), 0);
        khost::fail_nth("", n);
        EXPECT_EQ(enable_all(), 0) << "call " << n;
        const auto forced = khost::fail_forced();
        khost::fail_clear();
        const std::string context = "call " + std::to_string(n) + (forced.empty() ? "" : ": " + forced.front());
        expect_working(context);
        // A second enable-all registers what the first could not.
        EXPECT_EQ(enable_all(), 0) << context;
        EXPECT_EQ(names_in("/sys/bus/iio/devices").size(), 10u) << context;
        ASSERT_EQ(board.unload(), 0) << context;
        EXPECT_THAT(pin_parts(), IsEmpty()) << context;
    }
}

TEST(PinDrivers, AnInputThatDoesNotRegisterIsLeftOutAndTriedAgain)
{
    Board board;
    ASSERT_EQ(board.unload(), 0);
    khost::log_clear();
    khost::fail_nth("iio_device_register", 2);
    ASSERT_EQ(board.load({"dev_adc=0x7"}), 0);
    khost::fail_clear();
    EXPECT_THAT(names_in("/sys/bus/iio/devices"), ::testing::UnorderedElementsAre("iio:device1", "iio:device3"));
    // The core frees the id the device holds: the failed input gives back
    // the one it was handed, not its own number (which was never given).
    EXPECT_FALSE(khost::log_contains("ida_remove called"));
    EXPECT_EQ(enable_all(), 0);
    EXPECT_EQ(names_in("/sys/bus/iio/devices").size(), 10u);
    EXPECT_EQ(sysfs_read("/sys/bus/iio/devices/iio:device2/name"), "quorvel-adc\n");
    ASSERT_EQ(board.unload(), 0);
    EXPECT_FALSE(khost::log_contains("ida_remove called"));
}

TEST(PinDrivers, AnAllocationFailingInTheAdcProbeLeavesNoInput)
{
    Board board;
    ASSERT_EQ(board.unload(), 0);
    khost::log_clear();
    // Each input allocates its device and its file table: some allocation
    // of the load is the probe's.
    bool found = false;
    for (unsigned n = 1; n < 40 && !found; n++) {
        khost::fail_nth("kmalloc", n);
        ASSERT_EQ(board.load({"dev_adc=0x3ff"}), 0);
        khost::fail_clear();
        const auto inputs = names_in("/sys/bus/iio/devices").size();
        if (khost::log_contains("probe of quorvel-adc failed with error -12")) {
            EXPECT_EQ(inputs, 0u) << "kmalloc " << n;
            found = true;
        }
        ASSERT_EQ(board.unload(), 0);
        EXPECT_THAT(pin_parts(), IsEmpty());
        khost::log_clear();
    }
    EXPECT_TRUE(found) << "some allocation of the probe fails it";
}

// Programs toggle different lines, drive different channels and read
// inputs at once: every frame reaches the co-processor intact and each
// answer belongs to its own request.
TEST(PinDrivers, ProgramsUsingLinesChannelsAndInputsAtOnce)
{
    Board board(all_pins);
    board.sim().with_firmware([](coproc::Firmware &fw) {
        for (size_t i = 0; i < 10; i++)
            fw.model<coproc::AdcModel>().set_sample(i, static_cast<uint16_t>(100 + i));
    });
    constexpr int rounds = 15;
    std::atomic<int> errors{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&, t] {
            khost::Program p("gpio" + std::to_string(t));
            const std::string line = std::to_string(200 + t), dir = "/sys/class/gpio/gpio" + line + "/";
            errors += sysfs_write(p, "/sys/class/gpio/export", line) != 4;
            errors += sysfs_write(p, dir + "direction", "out") != 4;
            for (int i = 0; i < rounds; i++) {
                errors += sysfs_write(p, dir + "value", std::to_string(i & 1)) != 2;
                errors += sysfs_read(p, dir + "value") != std::to_string(i & 1) + "\n";
            }
            errors += sysfs_write(p, "/sys/class/gpio/unexport", line) != 4;
        });
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&, t] {
            khost::Program p("pwm" + std::to_string(t));
            const std::string ch = std::to_string(t), dir = "/sys/class/pwm/pwmchip0/pwm" + ch + "/";
            errors += sysfs_write(p, "/sys/class/pwm/pwmchip0/export", ch) != 2;
            for (int i = 0; i < rounds; i++)
                errors += sysfs_write(p, dir + "period", std::to_string(1000 + i)) < 0;
            errors += sysfs_read(p, dir + "period") != std::to_string(1000 + rounds - 1) + "\n";
            errors += sysfs_write(p, "/sys/class/pwm/pwmchip0/unexport", ch) != 2;
        });
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&, t] {
            khost::Program p("adc" + std::to_string(t));
            for (int i = 0; i < rounds; i++) {
                const int input = (t * 5 + i) % 10;
                errors += sysfs_read(p, "/sys/bus/iio/devices/iio:device" + std::to_string(input + 1) +
                                            "/in_voltage0_raw") != std::to_string(100 + input) + "\n";
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(board.sim().bad_crc_count(), 0u);
    EXPECT_EQ(board.sim().dropped_bytes(), 0u);
    for (const auto &r : board.requests())
        EXPECT_TRUE(r.crc_ok && r.answered) << coproc::hex(r.raw);
    board.sim().with_firmware([](coproc::Firmware &fw) {
        EXPECT_EQ(fw.model<coproc::PwmModel>().channel(0).period_ns, 1000 + rounds - 1);
        EXPECT_EQ(fw.model<coproc::PwmModel>().channel(1).period_ns, 1000 + rounds - 1);
    });
}

} // namespace
