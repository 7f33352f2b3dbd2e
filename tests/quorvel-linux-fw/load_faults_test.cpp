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
const Device count = {"quorvel_count", "count_class", "quorvel_count.0", "quorvel_count"};
// The ADC inputs' pair, started before both; with dev_adc 0 it has no inputs.
const Device adc = {nullptr, nullptr, "quorvel-adc", "quorvel-adc"};

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
        if (e.name.starts_with("quorvel_"))
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

// What failing one call does to the load, by the call's name and the how
// many-th of that name it is: the device it costs (none, or one), given that
// the ADC pair starts before the configuration device, and that before the
// counter.
const Device *device_lost(const std::string &name, int nth)
{
    if (name == "filp_open")
        return nullptr; // the load goes on without its line
    if (name == "kthread_create_on_node")
        return &config; // the configuration device's start fails whole
    if (name == "platform_device_register" || name == "platform_driver_register")
        return nth == 1 ? &adc : nth == 2 ? &config : &count;
    return nth == 1 ? &config : &count;
}

class LoadFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        clean_numbers_ = node_numbers();
        ASSERT_EQ(clean_numbers_.size(), 2u);
        ASSERT_EQ(board_.unload(), 0);
    }

    // After an unload, nothing of the module is left, and a load without
    // failures works.
    void expect_clean_unload_and_fresh_load(const std::string &context)
    {
        if (board_.loaded()) {
            ASSERT_EQ(board_.unload(), 0) << context;
        }
        EXPECT_THAT(parts_of(config), ::testing::IsEmpty()) << context;
        EXPECT_THAT(parts_of(count), ::testing::IsEmpty()) << context;
        EXPECT_THAT(parts_of(adc), ::testing::IsEmpty()) << context;
        EXPECT_TRUE(khost::lsmod().empty()) << context;
        ASSERT_EQ(board_.load(), 0) << context;
        EXPECT_TRUE(has_node(config) && has_node(count)) << context;
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
    ASSERT_GE(calls, 14u) << "the line, two platform pairs, two character devices, the poller";

    std::map<std::string, int> seen;
    for (unsigned n = 1; n <= calls; n++) {
        khost::log_clear();
        khost::fail_nth("", n);
        const int result = board_.load();
        const auto forced = khost::fail_forced();
        khost::fail_clear();
        ASSERT_EQ(forced.size(), 1u) << "call " << n;
        const std::string &name = forced.front();
        const std::string context = "call " + std::to_string(n) + ": " + name;
        const Device *lost = device_lost(name, ++seen[name]);

        // Only the infrared driver's start decides the load, and it is not
        // part of the module yet.
        EXPECT_EQ(result, 0) << context;
        EXPECT_EQ(has_node(config), lost != &config) << context;
        EXPECT_EQ(has_node(count), lost != &count) << context;
        if (lost) {
            // A failed probe leaves its pair registered without a node, as on
            // Linux; a failed start leaves nothing.
            const bool probe_failed = name != "platform_device_register" && name != "platform_driver_register" &&
                                      name != "kthread_create_on_node";
            if (!probe_failed) {
                EXPECT_THAT(parts_of(*lost), ::testing::IsEmpty()) << context;
            }
        } else {
            EXPECT_TRUE(khost::log_contains("IS_ERR(filp)")) << context;
        }
        expect_clean_unload_and_fresh_load(context);
    }
    EXPECT_EQ(seen["platform_device_register"], 3);
    EXPECT_EQ(seen["kthread_create_on_node"], 1);
}

TEST_F(LoadFaults, EveryCallFailingStillLoadsAndUnloadsCleanly)
{
    khost::fail_nth("", 1, 1000);
    EXPECT_EQ(board_.load(), 0);
    EXPECT_FALSE(has_node(config));
    EXPECT_FALSE(has_node(count));
    EXPECT_THAT(parts_of(config), ::testing::IsEmpty());
    EXPECT_THAT(parts_of(count), ::testing::IsEmpty());
    khost::fail_clear();
    expect_clean_unload_and_fresh_load("all failing");
}

TEST_F(LoadFaults, AFailedProbeLeavesThePairUnboundUntilUnload)
{
    khost::fail_nth("class_create", 2); // the counter's
    ASSERT_EQ(board_.load(), 0);
    EXPECT_TRUE(khost::log_contains("probe of quorvel_count.0 failed"));
    EXPECT_TRUE(has_node(config));
    EXPECT_FALSE(has_node(count));
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
        EXPECT_TRUE(has_node(config) && has_node(count));
        ASSERT_EQ(board_.unload(), 0);
    }
    std::printf("run-time start asked while loading in %d of 25 rounds\n", during);
    expect_clean_unload_and_fresh_load("after the race");
}

} // namespace
