// Which files the fuzzer calls: on a running system only the module's (a
// made-up tree shaped as Linux 6.1's sysfs, with the machine's own devices
// beside the module's), and on the kernel layer the module's part is the
// whole of what the kernel layer's run calls. The real-system-call program
// answers as khost::Program does.
#include "discover.hpp"
#include "sysfs_files.hpp"
#include "system_program.hpp"

#include "../support/board.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>

#include <map>
#include <set>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::UnorderedElementsAreArray;

// A directory tree given by its paths: "name" a file (mode 0644, or the
// given one), "c" a character device, "l TARGET" a link.
class Tree {
public:
    Tree(std::initializer_list<std::pair<std::string, std::string>> entries)
    {
        for (const auto &[path, what] : entries)
            add(path, what);
    }
    long list(const std::string &path, std::vector<khost::DirEntry> *out) const
    {
        const auto it = dirs_.find(path);
        if (it == dirs_.end())
            return -2;
        *out = {};
        for (const auto &name : it->second)
            out->push_back(entries_.at(path + "/" + name));
        return static_cast<long>(out->size());
    }
    long stat(const std::string &path, khost::DirEntry *out, bool) const
    {
        const auto it = entries_.find(path);
        if (it == entries_.end())
            return -2;
        *out = it->second;
        return 0;
    }

private:
    void add(const std::string &path, const std::string &what)
    {
        const auto slash = path.rfind('/');
        khost::DirEntry e{path.substr(slash + 1), 'f', 0644, 0, {}};
        if (what == "c")
            e.type = 'c';
        else if (what.starts_with("l "))
            e = {e.name, 'l', 0777, 0, what.substr(2)};
        else if (what == "r")
            e.mode = 0444;
        else if (what == "d")
            e.type = 'd';
        entries_[path] = e;
        dirs_[path.substr(0, slash)].push_back(e.name);
        if (slash > 0 && !entries_.contains(path.substr(0, slash)))
            add(path.substr(0, slash), "d");
    }
    std::map<std::string, khost::DirEntry> entries_;
    std::map<std::string, std::vector<std::string>> dirs_;
};

const std::string kModule = "l ../../../../module/quorvel_linux_module";

TEST(FuzzSurface, OnARunningSystemOnlyTheModulesFilesAreCalled)
{
    const Tree tree = {
        {"/sys/bus/platform/drivers/serial8250/serial8250", "l ../../../../devices/platform/serial8250"},
        {"/sys/bus/platform/drivers/serial8250/bind", ""},
        {"/sys/bus/platform/drivers/other/module", "l ../../../../module/i2c_dev"},
        {"/sys/bus/platform/drivers/other/other.0", "l ../../../../devices/platform/other.0"},
        {"/sys/bus/platform/drivers/quorvel-gpio/module", kModule},
        {"/sys/bus/platform/drivers/quorvel-gpio/quorvel-gpio", "l ../../../../devices/platform/quorvel-gpio"},
        {"/sys/bus/platform/drivers/quorvel-gpio/unbind", ""},
        {"/sys/devices/platform/quorvel-gpio/vgpio_in", ""},
        {"/sys/devices/platform/quorvel-gpio/driver_override", ""},
        {"/sys/devices/platform/quorvel-gpio/uevent", ""},
        {"/sys/devices/platform/quorvel-gpio/power/wakeup", ""},
        {"/sys/devices/platform/quorvel-gpio/power/control", ""},
        {"/sys/devices/platform/quorvel-gpio/driver", "l ../../../bus/platform/drivers/quorvel-gpio"},
        {"/sys/devices/platform/quorvel-gpio/gpiochip0/dev", "r"},
        {"/sys/devices/platform/quorvel-gpio/gpiochip0/gpio/gpio205/value", ""},
        {"/sys/devices/platform/serial8250/tty/ttyS0/dev", "r"},
        {"/sys/devices/platform/serial8250/driver_override", ""},
        {"/sys/devices/platform/other.0/reset", ""},
        {"/sys/devices/virtual/tty/ttySP0/dev", "r"},
        {"/sys/devices/virtual/tty/ttySP0/vtty_loopback", ""},
        {"/sys/devices/virtual/tty/tty0/dev", "r"},
        {"/sys/devices/virtual/tty/console/active", "r"},
        {"/sys/devices/virtual/config_class/quorvel_config/dev", "r"},
        {"/sys/devices/virtual/mem/mem/dev", "r"},
        {"/sys/devices/system/cpu/cpu1/online", ""},
        {"/sys/class/gpio/export", ""},
        {"/sys/class/gpio/gpio205", "l ../../devices/platform/quorvel-gpio/gpiochip0/gpio/gpio205"},
        {"/sys/module/quorvel_linux_module/parameters/dev_gpio", ""},
        {"/sys/module/printk/parameters/time", ""},
        {"/dev/mem", "c"},
        {"/dev/ttyS0", "c"},
        {"/dev/ttyS3", "c"},
        {"/dev/tty0", "c"},
        {"/dev/ttySP0", "c"},
        {"/dev/quorvel_config", "c"},
        {"/dev/gpiochip0", "c"},
    };
    const qfuzz::Surface s = qfuzz::discover_module(tree);
    EXPECT_THAT(s.drivers, ElementsAre("quorvel-gpio"));
    EXPECT_THAT(s.devices, ElementsAre("quorvel-gpio/quorvel-gpio"));
    EXPECT_THAT(s.nodes, ElementsAre("/dev/quorvel_config", "/dev/ttySP0")) << "nor the GPIO chip's own node";
    EXPECT_THAT(s.writable,
                ElementsAre("/sys/class/gpio/export", "/sys/devices/platform/quorvel-gpio/gpiochip0/gpio/gpio205/value",
                            "/sys/devices/platform/quorvel-gpio/uevent", "/sys/devices/platform/quorvel-gpio/vgpio_in",
                            "/sys/devices/virtual/tty/ttySP0/vtty_loopback",
                            "/sys/module/quorvel_linux_module/parameters/dev_gpio"));
    for (const auto &f : s.readable)
        EXPECT_TRUE(f.find("quorvel") != std::string::npos || f.find("ttySP0") != std::string::npos ||
                    f.starts_with("/sys/class/gpio/"))
            << f;
}

// A file by its directory's name and its own: the kernel layer shows a
// class's devices under /sys/class as directories, not links, so one
// attribute has two paths there.
std::set<std::string> by_device(const std::vector<std::string> &paths)
{
    std::set<std::string> out;
    for (const auto &path : paths)
        out.insert(path.substr(path.rfind('/', path.rfind('/') - 1) + 1));
    return out;
}

// The files of `a` that `b` lacks, each by its device.
std::vector<std::string> lacking(const std::vector<std::string> &a, const std::vector<std::string> &b)
{
    std::vector<std::string> out;
    const auto in_b = by_device(b);
    for (const auto &f : by_device(a))
        if (!in_b.contains(f))
            out.push_back(f);
    return out;
}

// Everything the kernel layer's run calls is the module's, with every
// device the module can make present and a line exported.
TEST(FuzzSurface, OnTheKernelLayerTheModulesPartIsTheWhole)
{
    qtest::Board board({"dev_gpio=0xff", "dev_iic1=1", "dev_spi0=1", "dev_spi1=1", "dev_uart=1", "dev_pwm=0x3",
                        "dev_adc=0x30000", "dev_ws2812=1", "dev_buzz=1", "dev_dht=1", "dev_18b20=1", "dev_sr04=1",
                        "dev_ir_send=1", "dev_ir_recv=1"});
    khost::Program p("discover");
    ASSERT_EQ(qfuzz::write_file(p, "/sys/class/gpio/export", "205"), 3);
    const qfuzz::Surface whole = qfuzz::discover(p);
    const qfuzz::Surface module = qfuzz::discover_module(p);
    qfuzz::unexport_all(p);
    EXPECT_THAT(module.nodes, UnorderedElementsAreArray(whole.nodes));
    EXPECT_THAT(module.drivers, UnorderedElementsAreArray(whole.drivers));
    EXPECT_THAT(module.devices, UnorderedElementsAreArray(whole.devices));
    // The platform bus's own device is no device of the module's.
    EXPECT_THAT(lacking(whole.writable, module.writable), ElementsAre("platform/uevent"));
    EXPECT_THAT(lacking(module.writable, whole.writable), IsEmpty());
    EXPECT_THAT(lacking(whole.readable, module.readable), ElementsAre("platform/uevent"));
    EXPECT_THAT(lacking(module.readable, whole.readable), IsEmpty());
    EXPECT_THAT(by_device(module.writable), IsSupersetOf({"ttySP0/vtty_loopback", "gpio205/value", "gpio/export"}));
}

// Results as khost::Program gives them: a count, or a negative errno; a
// buffer that is not mapped is -EFAULT; a directory lists its kinds.
TEST(FuzzSurface, RealCallsAnswerAsTheKernelLayersProgramDoes)
{
    qfuzz::SysProgram p;
    EXPECT_EQ(p.open("/no/such/file", 0), -ENOENT);
    const long fd = p.open("/dev/zero", 0);
    ASSERT_GE(fd, 0);
    char buf[4];
    EXPECT_EQ(p.read(static_cast<int>(fd), buf, sizeof buf), 4);
    EXPECT_EQ(p.read(static_cast<int>(fd), khost::bad_user_pointer(), 4), -EFAULT);
    EXPECT_EQ(p.ioctl(static_cast<int>(fd), 0x5401, 0), -ENOTTY);
    std::vector<khost::PollFd> fds{{static_cast<int>(fd), 1, 0}};
    EXPECT_EQ(p.poll(fds, 0), 1);
    EXPECT_EQ(fds[0].revents, 1);
    EXPECT_EQ(p.close(static_cast<int>(fd)), 0);
    EXPECT_EQ(p.close(static_cast<int>(fd)), -EBADF);
    std::vector<khost::DirEntry> entries;
    ASSERT_GT(p.list("/dev", &entries), 0);
    const auto null = std::find_if(entries.begin(), entries.end(), [](const auto &e) { return e.name == "null"; });
    ASSERT_NE(null, entries.end());
    EXPECT_EQ(null->type, 'c');
    khost::DirEntry fd_link;
    ASSERT_EQ(p.stat("/dev/fd", &fd_link, false), 0);
    EXPECT_EQ(fd_link.type, 'l');
    EXPECT_EQ(fd_link.target, "/proc/self/fd");
}

} // namespace
