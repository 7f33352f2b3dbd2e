// The GPIO core as a chip's driver and a program see it: the callbacks made,
// in order and with their arguments, for each request, direction and value;
// the number space; removal with lines in use; and the legacy sysfs
// interface with the errors the kernel gives.
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/gpio.h>

#include <khost/fault.hpp>
#include <khost/kernel.hpp>

#include "khost/program.hpp"
#include "reports.hpp"
#include "vfs.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A chip that keeps each line's direction and level and records the calls.
struct FakeChip {
    struct gpio_chip chip {};
    std::vector<int> level;
    std::vector<int> is_out;
    std::vector<std::string> calls;
    std::mutex calls_lock;
    int get_result = -1; // >= 0 or an errno: what get answers instead of the level
    int request_result = 0;

    FakeChip(const char *label, int base, int ngpio) : level(ngpio), is_out(ngpio)
    {
        chip.label = label;
        chip.base = base;
        chip.ngpio = static_cast<u16>(ngpio);
        chip.request = request;
        chip.free = free;
        chip.get_direction = get_direction;
        chip.direction_input = direction_input;
        chip.direction_output = direction_output;
        chip.get = get;
        chip.set = set;
    }

    static FakeChip *of(struct gpio_chip *c) { return static_cast<FakeChip *>(gpiochip_get_data(c)); }
    static void note(struct gpio_chip *c, std::string s)
    {
        std::lock_guard hold(of(c)->calls_lock);
        of(c)->calls.push_back(std::move(s));
    }
    static int request(struct gpio_chip *c, unsigned o)
    {
        note(c, "request " + std::to_string(o));
        return of(c)->request_result;
    }
    static void free(struct gpio_chip *c, unsigned o) { note(c, "free " + std::to_string(o)); }
    static int get_direction(struct gpio_chip *c, unsigned o)
    {
        note(c, "get_direction " + std::to_string(o));
        return of(c)->is_out[o] ? 0 : 1;
    }
    static int direction_input(struct gpio_chip *c, unsigned o)
    {
        note(c, "direction_input " + std::to_string(o));
        of(c)->is_out[o] = 0;
        return 0;
    }
    static int direction_output(struct gpio_chip *c, unsigned o, int v)
    {
        note(c, "direction_output " + std::to_string(o) + " " + std::to_string(v));
        of(c)->is_out[o] = 1;
        of(c)->level[o] = v;
        return 0;
    }
    static int get(struct gpio_chip *c, unsigned o)
    {
        note(c, "get " + std::to_string(o));
        return of(c)->get_result != -1 ? of(c)->get_result : of(c)->level[o];
    }
    static void set(struct gpio_chip *c, unsigned o, int v)
    {
        note(c, "set " + std::to_string(o) + " " + std::to_string(v));
        of(c)->level[o] = v;
    }

    std::vector<std::string> take()
    {
        auto out = std::move(calls);
        calls.clear();
        return out;
    }
};

using Calls = std::vector<std::string>;

// Writes as `echo text > path` does; the write's result.
long write_file(const std::string &path, const std::string &text)
{
    khost::Program prog;
    long fd = prog.open(path, 1);
    if (fd < 0)
        return fd;
    long n = prog.write(static_cast<int>(fd), text.data(), text.size());
    prog.close(static_cast<int>(fd));
    return n;
}

std::string read_file(const std::string &path)
{
    khost::Program prog;
    long fd = prog.open(path, 0);
    if (fd < 0)
        return "<open " + std::to_string(fd) + ">";
    char buf[64] = {};
    long n = prog.read(static_cast<int>(fd), buf, sizeof(buf) - 1);
    prog.close(static_cast<int>(fd));
    return n < 0 ? "<read " + std::to_string(n) + ">" : std::string(buf, static_cast<size_t>(n));
}

bool exists(const std::string &path) { return kern::vfs::exists(path); }

unsigned mode_of(const std::string &path)
{
    kern::vfs::Lookup found;
    return kern::vfs::lookup(path, &found) ? 0 : found.mode;
}

const std::string cls = "/sys/class/gpio";

class Gpio : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, gpiochip_add_data(&fake_.chip, &fake_)); }
    void TearDown() override
    {
        if (fake_.chip.desc)
            gpiochip_remove(&fake_.chip);
    }
    FakeChip fake_{"fake", 200, 48};
};

TEST_F(Gpio, ChipDirectoryShowsBaseLabelAndCount)
{
    EXPECT_EQ("200\n", read_file(cls + "/gpiochip200/base"));
    EXPECT_EQ("fake\n", read_file(cls + "/gpiochip200/label"));
    EXPECT_EQ("48\n", read_file(cls + "/gpiochip200/ngpio"));
    EXPECT_EQ(0444u, mode_of(cls + "/gpiochip200/base"));
    EXPECT_EQ(0200u, mode_of(cls + "/export"));
    EXPECT_EQ(0200u, mode_of(cls + "/unexport"));
    EXPECT_EQ(-EACCES, khost::Program().open(cls + "/export", 0)) << "write-only, even for root";
    EXPECT_TRUE(fake_.calls.empty()) << "adding a chip asks it nothing";
}

TEST_F(Gpio, SysfsCallsTheChipInTheCoresOrder)
{
    fake_.is_out[5] = 1;
    EXPECT_EQ(4, write_file(cls + "/export", "205\n"));
    EXPECT_EQ((Calls{"request 5", "get_direction 5"}), fake_.take());
    EXPECT_STREQ("sysfs", gpiochip_is_requested(&fake_.chip, 5));
    EXPECT_EQ(0644u, mode_of(cls + "/gpio205/value"));

    EXPECT_EQ(5, write_file(cls + "/gpio205/direction", "high\n"));
    EXPECT_EQ((Calls{"direction_output 5 1"}), fake_.take());
    EXPECT_EQ("1\n", read_file(cls + "/gpio205/value"));
    EXPECT_EQ((Calls{"get 5"}), fake_.take());
    EXPECT_EQ("out\n", read_file(cls + "/gpio205/direction"));
    EXPECT_EQ((Calls{"get_direction 5"}), fake_.take());
    EXPECT_EQ(3, write_file(cls + "/gpio205/direction", "low"));
    EXPECT_EQ(4, write_file(cls + "/gpio205/direction", "out\n"));
    EXPECT_EQ(2, write_file(cls + "/gpio205/value", "1\n"));
    EXPECT_EQ((Calls{"direction_output 5 0", "direction_output 5 0", "set 5 1"}), fake_.take());

    // active_low inverts what sysfs reads and writes, not what the chip is told.
    EXPECT_EQ("0\n", read_file(cls + "/gpio205/active_low"));
    EXPECT_EQ(2, write_file(cls + "/gpio205/active_low", "1\n"));
    EXPECT_EQ("0\n", read_file(cls + "/gpio205/value"));
    EXPECT_EQ(2, write_file(cls + "/gpio205/value", "1\n"));
    EXPECT_EQ((Calls{"get 5", "set 5 0"}), fake_.take());
    EXPECT_EQ(0, gpio_get_value(205)) << "the integer interface reads the raw level";
    fake_.take();

    EXPECT_EQ(2, write_file(cls + "/gpio205/direction", "in"));
    EXPECT_EQ("in\n", read_file(cls + "/gpio205/direction"));
    fake_.take();
    EXPECT_EQ(-EPERM, write_file(cls + "/gpio205/value", "1\n")) << "an input's value is not written";
    EXPECT_TRUE(fake_.calls.empty());

    EXPECT_EQ(4, write_file(cls + "/unexport", "205\n"));
    EXPECT_EQ((Calls{"free 5"}), fake_.take());
    EXPECT_FALSE(exists(cls + "/gpio205"));
    EXPECT_EQ(nullptr, gpiochip_is_requested(&fake_.chip, 5));
}

TEST_F(Gpio, SysfsErrorsAreTheKernels)
{
    EXPECT_EQ(-EINVAL, write_file(cls + "/export", "100\n")) << "no chip has line 100";
    EXPECT_EQ(-EINVAL, write_file(cls + "/export", "600\n"));
    EXPECT_TRUE(took_reports({"invalid GPIO 600"})) << "beyond the number space, the kernel warns";
    EXPECT_EQ(-EINVAL, write_file(cls + "/export", "abc\n"));
    EXPECT_EQ(-EINVAL, write_file(cls + "/unexport", "two\n"));
    EXPECT_EQ(-EINVAL, write_file(cls + "/unexport", "210\n")) << "not exported";

    ASSERT_EQ(4, write_file(cls + "/export", "210\n"));
    EXPECT_EQ(-EBUSY, write_file(cls + "/export", "210\n"));
    EXPECT_EQ(-EINVAL, write_file(cls + "/gpio210/direction", "sideways\n"));
    EXPECT_EQ(-EINVAL, write_file(cls + "/gpio210/active_low", "x\n"));
    EXPECT_EQ(4, write_file(cls + "/unexport", "210\n"));
    EXPECT_EQ(-EINVAL, write_file(cls + "/unexport", "210\n")) << "unexported twice";

    // A line a driver requested is not exported through sysfs, nor freed by it.
    ASSERT_EQ(0, gpio_request(211, "driver"));
    EXPECT_EQ(-EBUSY, write_file(cls + "/export", "211\n"));
    EXPECT_EQ(-EINVAL, write_file(cls + "/unexport", "211\n"));
    gpio_free(211);

    // The chip refusing the line.
    fake_.request_result = -ENODEV;
    EXPECT_EQ(-ENODEV, write_file(cls + "/export", "212\n"));
    EXPECT_EQ(nullptr, gpiochip_is_requested(&fake_.chip, 12));
    EXPECT_FALSE(exists(cls + "/gpio212"));
}

TEST_F(Gpio, ValuesAreNormalisedAndErrorsPassedOn)
{
    ASSERT_EQ(0, gpio_request(203, "test"));
    fake_.take();
    fake_.get_result = 5;
    EXPECT_EQ(1, gpio_get_value_cansleep(203));
    fake_.get_result = -EIO;
    EXPECT_EQ(-EIO, gpio_get_value_cansleep(203));
    ASSERT_EQ(0, gpio_export(203, true));
    EXPECT_EQ("-5\n", read_file(cls + "/gpio203/value")) << "4.4 prints the error as the value";
    fake_.get_result = 0;
    EXPECT_EQ(0, gpio_get_value(203));

    // A level is 0 or 1 by the time the chip sees it, from either interface
    // (gpiolib hands the chip's set a bool): 256 is not 0, nor 2 level 2.
    EXPECT_EQ(0, gpio_direction_output(203, 1));
    gpio_set_value(203, 7);
    EXPECT_EQ(4, write_file(cls + "/gpio203/value", "256\n"));
    EXPECT_EQ(2, write_file(cls + "/gpio203/value", "2\n"));
    EXPECT_EQ(2, write_file(cls + "/gpio203/value", "0\n"));
    EXPECT_EQ(
        (Calls{"get 3", "get 3", "get 3", "get 3", "direction_output 3 1", "set 3 1", "set 3 1", "set 3 1", "set 3 0"}),
        fake_.take());
    gpio_free(203);
    EXPECT_EQ((Calls{"free 3"}), fake_.take());
    EXPECT_FALSE(exists(cls + "/gpio203")) << "freeing unexports";
    EXPECT_EQ(-EBUSY, (gpio_request(203, "a"), gpio_request(203, "b")));
    gpio_free(203);
    EXPECT_EQ(-EPROBE_DEFER, gpio_request(100, "nobody")) << "a valid number no chip has yet";
}

// A driver that exports a line without leave to change its direction gets
// gpioN without a direction file; sysfs's own export allows the change.
TEST_F(Gpio, ExportHonoursDirectionMayChange)
{
    ASSERT_EQ(0, gpio_request(204, "driver"));
    ASSERT_EQ(0, gpio_direction_output(204, 0));
    ASSERT_EQ(0, gpio_export(204, false));
    EXPECT_FALSE(exists(cls + "/gpio204/direction"));
    EXPECT_EQ(2, write_file(cls + "/gpio204/value", "1\n"));
    gpio_free(204);
    ASSERT_EQ(0, gpio_request(204, "driver"));
    ASSERT_EQ(0, gpio_export(204, true));
    EXPECT_EQ(0644u, mode_of(cls + "/gpio204/direction"));
    gpio_free(204);
    ASSERT_EQ(4, write_file(cls + "/export", "204\n"));
    EXPECT_EQ(0644u, mode_of(cls + "/gpio204/direction"));
    EXPECT_EQ(4, write_file(cls + "/unexport", "204\n"));
}

TEST_F(Gpio, SleepingChipsWarnOutsideCansleepCalls)
{
    fake_.chip.can_sleep = true;
    ASSERT_EQ(0, gpio_request(220, "test"));
    EXPECT_EQ(1, gpio_cansleep(220));
    gpio_set_value_cansleep(220, 1);
    EXPECT_EQ(1, gpio_get_value_cansleep(220));
    EXPECT_TRUE(took_reports({}));
    gpio_set_value(220, 0);
    EXPECT_EQ(0, gpio_get_value(220));
    EXPECT_TRUE(took_reports({"WARNING", "WARNING"})) << "each call still reaches the chip";
    gpio_free(220);
}

TEST_F(Gpio, RemovalUnexportsAndComplainsOfDriverLines)
{
    ASSERT_EQ(4, write_file(cls + "/export", "201\n"));
    khost::log_clear();
    gpiochip_remove(&fake_.chip);
    EXPECT_EQ((Calls{"request 1", "get_direction 1", "free 1"}), fake_.take()) << "sysfs's line is freed";
    EXPECT_FALSE(exists(cls + "/gpio201"));
    EXPECT_FALSE(exists(cls + "/gpiochip200"));
    EXPECT_FALSE(khost::log_contains("REMOVING GPIOCHIP"));

    ASSERT_EQ(0, gpiochip_add_data(&fake_.chip, &fake_));
    ASSERT_EQ(0, gpio_request(202, "driver"));
    ASSERT_EQ(0, gpio_export(202, true));
    gpiochip_remove(&fake_.chip);
    EXPECT_TRUE(khost::log_contains("REMOVING GPIOCHIP WITH GPIOS STILL REQUESTED"));
    EXPECT_FALSE(exists(cls + "/gpio202"));
    EXPECT_EQ(-EPROBE_DEFER, gpio_request(202, "again")) << "the numbers are free";
    gpio_free(202); // the driver's late free finds no chip: nothing happens
    EXPECT_EQ((Calls{"request 2", "get_direction 2"}), fake_.take());
}

TEST_F(Gpio, ProgramsDriveDifferentLinesAtOnce)
{
    for (int line : {206, 207})
        ASSERT_EQ(4, write_file(cls + "/export", std::to_string(line) + "\n"));
    auto toggle = [](int line) {
        const std::string dir = cls + "/gpio" + std::to_string(line);
        write_file(dir + "/direction", "out\n");
        for (int i = 0; i < 50; i++) {
            write_file(dir + "/value", i % 2 ? "1\n" : "0\n");
            read_file(dir + "/value");
        }
    };
    std::thread a(toggle, 206), b(toggle, 207);
    a.join();
    b.join();
    auto calls = fake_.take();
    EXPECT_EQ(2 * (1 + 2 + 50 * 2), static_cast<int>(calls.size()))
        << "request, get_direction, output, then set and get";
    EXPECT_EQ(1, fake_.level[6]);
    EXPECT_EQ(1, fake_.level[7]);
    EXPECT_EQ(4, write_file(cls + "/unexport", "206\n"));
    EXPECT_EQ(4, write_file(cls + "/unexport", "207\n"));
}

TEST(GpioNumbers, DynamicBasesComeFromTheTopAndOverlapsAreRefused)
{
    FakeChip a("a", -1, 16), b("b", -1, 8), fixed("fixed", 200, 48), clash("clash", 240, 16);
    ASSERT_EQ(0, gpiochip_add_data(&a.chip, &a));
    ASSERT_EQ(0, gpiochip_add_data(&b.chip, &b));
    EXPECT_EQ(512 - 16, a.chip.base);
    EXPECT_EQ(512 - 16 - 8, b.chip.base);
    EXPECT_EQ("a\n", read_file(cls + "/gpiochip496/label"));
    EXPECT_EQ("b\n", read_file(cls + "/gpiochip488/label"));
    ASSERT_EQ(0, gpiochip_add_data(&fixed.chip, &fixed));
    EXPECT_EQ(-EBUSY, gpiochip_add_data(&clash.chip, &clash));
    EXPECT_FALSE(exists(cls + "/gpiochip240"));

    // A gap left by a removed chip is filled from the top.
    gpiochip_remove(&a.chip);
    FakeChip c("c", -1, 4);
    ASSERT_EQ(0, gpiochip_add_data(&c.chip, &c));
    EXPECT_EQ(512 - 4, c.chip.base);
    EXPECT_EQ(4, write_file(cls + "/export", "509\n"));
    EXPECT_EQ((Calls{"request 1", "get_direction 1"}), c.take());
    gpiochip_remove(&c.chip);
    gpiochip_remove(&b.chip);
    gpiochip_remove(&fixed.chip);
    EXPECT_TRUE(a.calls.empty() && b.calls.empty() && fixed.calls.empty() && clash.calls.empty());
}

TEST(GpioNumbers, FailedAddLeavesNothing)
{
    FakeChip a("a", 100, 8);
    khost::fail_nth("gpiochip_add_data", 1);
    EXPECT_EQ(-ENOMEM, gpiochip_add_data(&a.chip, &a));
    EXPECT_EQ(nullptr, a.chip.desc);
    EXPECT_FALSE(exists(cls + "/gpiochip100"));
    EXPECT_EQ(-EPROBE_DEFER, gpio_request(100, "x"));
    khost::fail_clear();

    // The gpiochipN directory failing to appear undoes the add too.
    khost::fail_nth("", 0);
    unsigned calls = 0;
    ASSERT_EQ(0, gpiochip_add_data(&a.chip, &a));
    calls = khost::fail_calls("");
    gpiochip_remove(&a.chip);
    for (unsigned n = 1; n <= calls; n++) {
        khost::fail_nth("", n);
        int err = gpiochip_add_data(&a.chip, &a);
        khost::fail_clear();
        ASSERT_LT(err, 0) << "failure " << n;
        EXPECT_EQ(nullptr, a.chip.desc);
        EXPECT_FALSE(exists(cls + "/gpiochip100"));
        EXPECT_EQ(-EPROBE_DEFER, gpio_request(100, "x"));
    }
    ASSERT_EQ(0, gpiochip_add_data(&a.chip, &a));
    gpiochip_remove(&a.chip);
    EXPECT_TRUE(a.calls.empty());
}

TEST(GpioNumbers, AChipWithoutInputsHasOutputsAndRefusesIn)
{
    FakeChip a("outputs", 320, 2);
    a.chip.direction_input = nullptr;
    a.chip.get_direction = nullptr;
    ASSERT_EQ(0, gpiochip_add_data(&a.chip, &a));
    ASSERT_EQ(4, write_file(cls + "/export", "320\n"));
    EXPECT_FALSE(exists(cls + "/gpio320/direction")) << "a direction that cannot change is not shown";
    EXPECT_EQ(-EIO, gpio_direction_input(320)) << "the core still refuses the change";
    EXPECT_TRUE(khost::log_contains("missing get() or direction_input() operations"));
    EXPECT_EQ(2, write_file(cls + "/gpio320/value", "1\n")) << "no direction_input: an output from the start";
    EXPECT_EQ((Calls{"request 0", "set 0 1"}), a.take());
    gpiochip_remove(&a.chip);
    EXPECT_EQ((Calls{"free 0"}), a.take());
}

void parent_release(struct device *) {}

TEST(GpioNumbers, LinesOfAChipWithAParentLinkToIt)
{
    struct device parent = {.init_name = "gpio_parent", .release = parent_release};
    ASSERT_EQ(0, device_register(&parent));
    static const char *const names[] = {"reset", nullptr};
    FakeChip a("a", 300, 2);
    a.chip.parent = &parent;
    a.chip.names = names;
    ASSERT_EQ(0, gpiochip_add_data(&a.chip, &a));
    EXPECT_EQ(4, write_file(cls + "/export", "300\n"));
    EXPECT_EQ(4, write_file(cls + "/export", "301\n"));
    std::string target;
    EXPECT_EQ(0, kern::vfs::readlink(cls + "/reset/device", &target)) << "the first line has the chip's name for it";
    EXPECT_EQ(0, kern::vfs::readlink(cls + "/gpio301/device", &target));
    EXPECT_EQ("../../../gpio_parent", target);
    EXPECT_EQ("300\n", read_file(cls + "/gpiochip300/device/gpio/gpiochip300/base"));
    gpiochip_remove(&a.chip);
    EXPECT_FALSE(exists(cls + "/reset"));
    EXPECT_FALSE(exists(cls + "/gpio301"));
    device_unregister(&parent);
}

} // namespace
