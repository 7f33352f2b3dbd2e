// The load's unwinding, through failure injection: every fallible kernel
// call a load makes is failed in turn, and each time the load's result is
// what the module says it is, a driver whose start or probe failed leaves
// nothing registered, the unload leaves nothing at all, and a fresh load
// works. Also what the started marks decide at unload, and the run-time
// start racing the load.
#include "board.hpp"

#include <khost/fault.hpp>
#include <tty_input.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

using qtest::Board;

namespace {

constexpr unsigned ENABLE_ALL = 0x4102, VERSION = 0x5201;
const std::string params_dir = "/sys/module/quorvel_linux_module/parameters/";

// A device of the module as the VFS shows it.
struct Device {
    const char *node;     // under /dev
    const char *klass;    // under /sys/class
    const char *platform; // the platform device's name
    const char *driver;   // and its driver's
};
const Device config = {"quorvel_config", "config_class", "quorvel_config.0", "quorvel_config"};
const Device buzzer = {"buzzer", "quorvel_buzzer_class", "quorvel-buzzer.0", "quorvel-buzzer"};
const Device icm20689 = {"icm20689", "quorvel_icm20689_class", "quorvel-icm20689.0", "quorvel-icm20689"};
const Device sr04 = {"sr04", "quorvel_sr04_class", "quorvel-sr04.0", "quorvel-sr04"};
const Device gp2y = {"gp2y1010au", "quorvel_gp2y_class", "quorvel-gp2y.0", "quorvel-gp2y"};
const Device ir = {"ir_send", "quorvel_ir_class", "quorvel-ir.0", "quorvel-ir"};
const Device count = {"quorvel_count", "count_class", "quorvel_count.0", "quorvel_count"};
// The ADC inputs' pair, started before both; with dev_adc 0 it has no inputs.
const Device adc = {nullptr, nullptr, "quorvel-adc", "quorvel-adc"};
// What a load without switches starts, in its order; the infrared driver's
// start decides the load.
const Device *const started[] = {&config, &buzzer, &icm20689, &sr04, &gp2y, &ir, &count};

// The names of a directory; none if it is not there (a kernel layer without
// that part of sysfs).
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

bool contains(const std::vector<std::string> &names, const std::string &name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Looked up in its directory: opening a node would run its driver.
bool exists(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return contains(names_in(path.substr(0, slash)), path.substr(slash + 1));
}

// The device numbers of the module's nodes.
std::map<std::string, uint32_t> node_numbers()
{
    khost::Program p;
    std::vector<khost::DirEntry> entries;
    std::map<std::string, uint32_t> numbers;
    EXPECT_EQ(p.list("/dev", &entries), 0);
    for (const auto &e : entries)
        if (e.name.starts_with("quorvel_") || e.name == "ir_recv" ||
            std::any_of(std::begin(started), std::end(started), [&](const Device *d) { return e.name == d->node; }))
            numbers[e.name] = e.rdev;
    return numbers;
}

// Everything a started device consists of, as "what: path" for each part
// that is there.
std::vector<std::string> parts_of(const Device &d)
{
    std::vector<std::string> parts;
    if (d.node && exists(std::string("/dev/") + d.node))
        parts.push_back(std::string("node /dev/") + d.node);
    if (d.klass && exists(std::string("/sys/class/") + d.klass))
        parts.push_back(std::string("class /sys/class/") + d.klass);
    if (contains(names_in("/sys/devices/platform"), d.platform))
        parts.push_back(std::string("device /sys/devices/platform/") + d.platform);
    if (contains(names_in("/sys/bus/platform/devices"), d.platform))
        parts.push_back(std::string("device /sys/bus/platform/devices/") + d.platform);
    if (contains(names_in("/sys/bus/platform/drivers"), d.driver))
        parts.push_back(std::string("driver /sys/bus/platform/drivers/") + d.driver);
    return parts;
}

// Whether the node and its class are there: both or neither.
bool has_node(const Device &d)
{
    const bool node = exists(std::string("/dev/") + d.node);
    EXPECT_EQ(node, exists(std::string("/sys/class/") + d.klass + "/" + d.node)) << d.node;
    EXPECT_EQ(node, exists(std::string("/sys/class/") + d.klass)) << d.klass;
    return node;
}

// The module's devices work: the version comes back, the counter counts.
// The counter's last close restarts the co-processor, which then prints its
// start-up banner unasked. The banner must be on the module's side of the
// line before the next request, whose write drains it; arriving later, on a
// loaded machine, it would spoil that request's reply.
void wait_for_restart(coproc::Simulator &sim, unsigned resets_before)
{
    for (int i = 0; i < 2000 && sim.reset_count() == resets_before; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(sim.reset_count(), resets_before) << "the last close restarts the co-processor";
    const auto log = sim.requests();
    ASSERT_FALSE(log.empty());
    ASSERT_TRUE(qtest::wait_for_input(sim.tty_path(), static_cast<int>(log.back().boot_bytes.size())));
}

void expect_working(coproc::Simulator &sim)
{
    khost::Program p;
    long fd = p.open("/dev/quorvel_config", 2);
    ASSERT_GE(fd, 3);
    uint8_t version[2] = {};
    EXPECT_EQ(p.ioctl(static_cast<int>(fd), VERSION, reinterpret_cast<unsigned long>(version)), 0);
    EXPECT_EQ(version[0], 0x01);
    p.close(static_cast<int>(fd));
    fd = p.open("/dev/quorvel_count", 2);
    ASSERT_GE(fd, 3);
    uint32_t value = 0x1234;
    EXPECT_EQ(p.write(static_cast<int>(fd), &value, 4), 4);
    const unsigned resets = sim.reset_count();
    p.close(static_cast<int>(fd));
    wait_for_restart(sim, resets);
}

// The devices of a default load whose node is missing.
std::vector<const Device *> devices_lost()
{
    std::vector<const Device *> lost;
    for (const Device *d : started)
        if (!has_node(*d))
            lost.push_back(d);
    return lost;
}

// What a failed probe of a sensor driver logs, by the call that failed.
std::string probe_message(const std::string &name, const Device *d, unsigned device_creates_seen)
{
    if (d == &config || d == &count)
        return "";
    if (name == "alloc_chrdev_region")
        return "Failed to allocate device numbers";
    if (name == "cdev_add")
        return "Failed to add character device";
    if (name == "class_create")
        return "Failed to create device class";
    if (name == "device_create")
        return d == &ir && device_creates_seen == 2 ? "Failed to create device2 file" : "Failed to create device1 file";
    return "";
}

// The stop entries that printed their "name:line", in order.
std::vector<std::string> exit_lines()
{
    std::vector<std::string> names;
    for (const auto &line : Board::log())
        if (auto colon = line.find("_exit:"); colon != std::string::npos && line.starts_with("quorvel_linux_"))
            names.push_back(line.substr(0, colon + 5));
    return names;
}

size_t count_of(const std::string &text)
{
    const auto log = Board::log();
    return static_cast<size_t>(std::count(log.begin(), log.end(), text));
}

bool nothing_left()
{
    for (const Device *d : started)
        if (!parts_of(*d).empty())
            return false;
    return parts_of(adc).empty() && !exists("/dev/ir_recv") && khost::lsmod().empty();
}

class LoadFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        clean_numbers_ = node_numbers();
        ASSERT_EQ(clean_numbers_.size(), 8u) << "seven devices, the infrared one with two nodes";
        ASSERT_EQ(board_.unload(), 0);
    }

    // After an unload, nothing of the module is left, and a load without
    // failures works.
    void expect_clean_unload_and_fresh_load(const std::string &context)
    {
        if (board_.loaded()) {
            ASSERT_EQ(board_.unload(), 0) << context;
        }
        EXPECT_TRUE(nothing_left()) << context;
        ASSERT_EQ(board_.load(), 0) << context;
        EXPECT_THAT(devices_lost(), ::testing::IsEmpty()) << context;
        // A device number kept by a failed probe would move the next ones.
        EXPECT_EQ(node_numbers(), clean_numbers_) << context;
        ASSERT_NO_FATAL_FAILURE(expect_working(board_.sim()));
        ASSERT_EQ(board_.unload(), 0) << context;
    }

    Board board_;
    std::map<std::string, uint32_t> clean_numbers_;
};

TEST_F(LoadFaults, EveryFallibleCallOfTheLoadFailedInTurn)
{
    // Count the calls a load makes.
    khost::fail_clear();
    ASSERT_EQ(board_.load(), 0);
    const unsigned calls = khost::fail_calls("");
    ASSERT_EQ(board_.unload(), 0);
    ASSERT_GE(calls, 44u) << "the line, seven platform pairs, seven character devices, the poller";

    std::map<std::string, int> seen;
    size_t last_lost = 0;
    for (unsigned n = 1; n <= calls; n++) {
        khost::log_clear();
        khost::fail_nth("", n);
        const int result = board_.load();
        const auto forced = khost::fail_forced();
        khost::fail_clear();
        ASSERT_EQ(forced.size(), 1u) << "call " << n;
        const std::string &name = forced.front();
        const std::string context = "call " + std::to_string(n) + ": " + name;
        ++seen[name];

        if (name == "filp_open") {
            EXPECT_EQ(result, 0) << context;
            EXPECT_TRUE(khost::log_contains("IS_ERR(filp)")) << context;
            EXPECT_THAT(devices_lost(), ::testing::IsEmpty()) << context;
            expect_clean_unload_and_fresh_load(context);
            continue;
        }
        // The ADC inputs' pair starts first; with dev_adc 0 it has no inputs
        // and nothing to lose but itself.
        if ((name == "platform_device_register" || name == "platform_driver_register") && seen[name] == 1) {
            EXPECT_EQ(result, 0) << context;
            EXPECT_THAT(parts_of(adc), ::testing::IsEmpty()) << context;
            EXPECT_THAT(devices_lost(), ::testing::IsEmpty()) << context;
            expect_clean_unload_and_fresh_load(context);
            continue;
        }
        // The infrared driver's start failing fails the load: every driver
        // that started before it is stopped again, and nothing is left.
        const bool start_failed = name == "platform_device_register" || name == "platform_driver_register";
        if (result < 0) {
            EXPECT_TRUE(start_failed) << context;
            EXPECT_EQ(result, -ENOMEM) << context;
            EXPECT_FALSE(board_.loaded()) << context;
            EXPECT_TRUE(nothing_left()) << context;
            last_lost = static_cast<size_t>(std::find(std::begin(started), std::end(started), &ir) - started);
            expect_clean_unload_and_fresh_load(context);
            continue;
        }
        // Any other failure costs one device, the one whose start or probe
        // made the call; calls are made in start order.
        const auto lost = devices_lost();
        ASSERT_EQ(lost.size(), 1u) << context;
        const Device *d = lost.front();
        const size_t index = static_cast<size_t>(std::find(std::begin(started), std::end(started), d) - started);
        EXPECT_GE(index, last_lost) << context;
        last_lost = index;
        if (start_failed || name == "kthread_create_on_node") {
            EXPECT_THAT(parts_of(*d), ::testing::IsEmpty()) << context;
        } else {
            // A failed probe leaves its pair registered without a node, as
            // on Linux, and says why.
            EXPECT_TRUE(khost::log_contains(std::string("probe of ") + d->platform + " failed")) << context;
            // The infrared driver's nodes are the load's 6th and 7th.
            const std::string why = probe_message(name, d, seen[name] == 7 ? 2u : 1u);
            if (!why.empty()) {
                EXPECT_TRUE(khost::log_contains(why)) << context << ": " << why;
            }
            EXPECT_FALSE(exists("/dev/ir_recv") && d == &ir) << context;
        }
        expect_clean_unload_and_fresh_load(context);
    }
    EXPECT_EQ(seen["alloc_chrdev_region"], 5) << "one region per sensor driver";
    EXPECT_EQ(seen["class_create"], 7);
    EXPECT_EQ(seen["device_create"], 8) << "the infrared driver makes two nodes";
    EXPECT_EQ(seen["platform_device_register"], 8) << "the ADC inputs' pair too";
    EXPECT_EQ(seen["kthread_create_on_node"], 1);
}

TEST_F(LoadFaults, EveryCallFailingFailsTheLoadCleanly)
{
    khost::fail_nth("", 1, 1000);
    EXPECT_EQ(board_.load(), -ENOMEM) << "the infrared driver's start decides";
    EXPECT_TRUE(nothing_left());
    khost::fail_clear();
    expect_clean_unload_and_fresh_load("all failing");
}

// The infrared driver starts after six others (the ADC inputs' pair first);
// when its start fails, each of them is stopped (their exits logged) before
// the load returns.
TEST_F(LoadFaults, TheInfraredStartFailingStopsEveryDriverStartedBeforeIt)
{
    khost::log_clear();
    khost::fail_nth("platform_device_register", 7);
    EXPECT_EQ(board_.load(), -ENOMEM);
    EXPECT_TRUE(khost::log_contains("platform_device_register ret = -12\r"));
    EXPECT_TRUE(nothing_left());
    EXPECT_THAT(exit_lines(), ::testing::ElementsAre("quorvel_linux_icm20689_exit", "quorvel_linux_sr04_exit",
                                                     "quorvel_linux_gp2y_exit"));
    EXPECT_EQ(count_of("Character device exited"), 4u) << "the buzzer's too";
    khost::fail_clear();
    expect_clean_unload_and_fresh_load("infrared start");
}

TEST_F(LoadFaults, AFailedProbeLeavesThePairUnboundUntilUnload)
{
    khost::fail_nth("class_create", 7); // the counter's
    ASSERT_EQ(board_.load(), 0);
    EXPECT_TRUE(khost::log_contains("probe of quorvel_count.0 failed"));
    EXPECT_THAT(devices_lost(), ::testing::ElementsAre(&count));
    khost::fail_clear();
    expect_clean_unload_and_fresh_load("counter's class");
}

// Shutdown stops what started, not what the switches say now: sysfs may
// turn a switch on for a driver that never started.
TEST_F(LoadFaults, SwitchesTurnedOnAfterTheLoadStopNothingThatDidNotStart)
{
    ASSERT_EQ(board_.load(), 0);
    khost::Program p;
    for (const char *name : {"dev_gpio", "dev_iic1", "dev_spi0", "dev_uart", "dev_ws2812"}) {
        long fd = p.open(params_dir + name, 1);
        ASSERT_GE(fd, 0) << name;
        EXPECT_EQ(p.write(static_cast<int>(fd), "1\n", 2), 2);
        p.close(static_cast<int>(fd));
    }
    expect_clean_unload_and_fresh_load("switches on");
}

// The configuration node exists while the load still runs; a program that
// asks for the run-time start then waits for the load and is served after
// it. Which comes first varies from run to run; every outcome must be right.
TEST_F(LoadFaults, RunTimeStartRacingTheLoad)
{
    int during = 0;
    for (int round = 0; round < 25; round++) {
        std::atomic<bool> loading{true};
        std::atomic<bool> asked_while_loading{false};
        std::thread program([&] {
            khost::Program p("racer");
            long fd;
            while ((fd = p.open("/dev/quorvel_config", 2)) < 0)
                std::this_thread::yield();
            asked_while_loading = loading.load();
            EXPECT_EQ(p.ioctl(static_cast<int>(fd), ENABLE_ALL, 0), 0);
            p.close(static_cast<int>(fd));
        });
        EXPECT_EQ(board_.load(), 0);
        loading = false;
        program.join();
        during += asked_while_loading ? 1 : 0;
        khost::Program p;
        for (const char *name : {"dev_spi0", "dev_gpio", "dev_18b20"}) {
            long fd = p.open(params_dir + name, 0);
            char buf[8] = {};
            EXPECT_EQ(p.read(static_cast<int>(fd), buf, sizeof buf), 2);
            EXPECT_STREQ(buf, "1\n") << name;
            p.close(static_cast<int>(fd));
        }
        EXPECT_THAT(devices_lost(), ::testing::IsEmpty());
        ASSERT_EQ(board_.unload(), 0);
    }
    std::printf("run-time start asked while loading in %d of 25 rounds\n", during);
    expect_clean_unload_and_fresh_load("after the race");
}

} // namespace
