// Sysfs as a subsystem core and its drivers see it: attribute groups (named
// and not, is_visible, the modes shown), groups of a device's own, type and
// class, class attributes and links, a class device under a platform parent,
// a bus of one's own, and the reports Linux gives for sysfs misuse.
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/platform_device.h>

#include <khost/fault.hpp>
#include <khost/kernel.hpp>

#include "khost/program.hpp"
#include "reports.hpp"
#include "vfs.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string read_attr(const std::string &path)
{
    kern::vfs::Lookup found;
    if (kern::vfs::lookup(path, &found))
        return "<missing>";
    std::string out;
    long n = kern::vfs::attr_show(*found.node, out);
    return n < 0 ? "<error " + std::to_string(n) + ">" : out;
}

unsigned mode_of(const std::string &path)
{
    kern::vfs::Lookup found;
    return kern::vfs::lookup(path, &found) ? 0 : found.mode;
}

std::string link_of(const std::string &path)
{
    std::string target;
    return kern::vfs::readlink(path, &target) == 0 ? target : "<no link>";
}

// A device that keeps a number and a label, as a subsystem's chip would.
struct Chip {
    struct device dev {};
    int value = 0;
    bool hide_secret = true;
};

// The device is the chip's first member.
Chip *chip_of(struct device *dev) { return reinterpret_cast<Chip *>(dev); }

ssize_t value_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%d\n", chip_of(dev)->value);
}
ssize_t value_store(struct device *dev, struct device_attribute *, const char *buf, size_t count)
{
    chip_of(dev)->value = atoi(buf);
    return static_cast<ssize_t>(count);
}
ssize_t label_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%s\n", dev_name(dev));
}
ssize_t reset_store(struct device *dev, struct device_attribute *, const char *, size_t count)
{
    chip_of(dev)->value = 0;
    return static_cast<ssize_t>(count);
}
ssize_t secret_show(struct device *, struct device_attribute *, char *buf) { return snprintf(buf, PAGE_SIZE, "42\n"); }

DEVICE_ATTR_RW(value);
DEVICE_ATTR_RO(label);
DEVICE_ATTR_WO(reset);
DEVICE_ATTR(secret, 0400, secret_show, nullptr);

struct attribute *chip_attrs[] = {&dev_attr_value.attr, &dev_attr_label.attr, &dev_attr_reset.attr, nullptr};
ATTRIBUTE_GROUPS(chip);

umode_t secret_visible(struct kobject *kobj, struct attribute *attr, int n)
{
    if (attr == &dev_attr_secret.attr && chip_of(kobj_to_dev(kobj))->hide_secret)
        return 0;
    return n == 1 ? 0440 : attr->mode; // the label, by index, becomes group-readable
}
struct attribute *extra_attrs[] = {&dev_attr_secret.attr, &dev_attr_label.attr, nullptr};
const struct attribute_group extra_group = {.name = "extra", .is_visible = secret_visible, .attrs = extra_attrs};

void chip_release(struct device *dev) {}

class Sysfs : public ::testing::Test {
protected:
    void SetUp() override
    {
        chip_.dev.init_name = "test_chip";
        chip_.dev.release = chip_release;
        chip_.dev.groups = chip_groups;
        ASSERT_EQ(0, device_register(&chip_.dev));
    }
    void TearDown() override { device_unregister(&chip_.dev); }

    const std::string dir_ = "/sys/devices/test_chip";
    Chip chip_;
};

TEST_F(Sysfs, DeviceGroupsShowTheirModesAndCallTheDriver)
{
    EXPECT_EQ(0644u, mode_of(dir_ + "/value"));
    EXPECT_EQ(0444u, mode_of(dir_ + "/label"));
    EXPECT_EQ(0200u, mode_of(dir_ + "/reset"));
    EXPECT_EQ(0644u, mode_of(dir_ + "/uevent"));
    EXPECT_STREQ("test_chip", dev_name(&chip_.dev));
    EXPECT_EQ("test_chip\n", read_attr(dir_ + "/label"));

    khost::Program prog;
    long fd = prog.open(dir_ + "/value", 2);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(3, prog.write(fd, "17\n", 3));
    EXPECT_EQ(17, chip_.value);
    char buf[8] = {};
    EXPECT_EQ(3, prog.read(fd, buf, sizeof(buf)));
    EXPECT_STREQ("17\n", buf);
    EXPECT_EQ(-EACCES, prog.open(dir_ + "/reset", 0));
    EXPECT_EQ(-EACCES, prog.open(dir_ + "/label", 1));
}

TEST_F(Sysfs, NamedGroupWithVisibilityComesAndGoes)
{
    ASSERT_EQ(0, sysfs_create_group(&chip_.dev.kobj, &extra_group));
    EXPECT_FALSE(kern::vfs::exists(dir_ + "/extra/secret")) << "is_visible said 0";
    EXPECT_EQ(0440u, mode_of(dir_ + "/extra/label"));
    sysfs_remove_group(&chip_.dev.kobj, &extra_group);
    EXPECT_FALSE(kern::vfs::exists(dir_ + "/extra"));

    chip_.hide_secret = false;
    ASSERT_EQ(0, sysfs_create_group(&chip_.dev.kobj, &extra_group));
    EXPECT_EQ(0400u, mode_of(dir_ + "/extra/secret"));
    EXPECT_EQ("42\n", read_attr(dir_ + "/extra/secret"));
    EXPECT_EQ(-EEXIST, sysfs_create_group(&chip_.dev.kobj, &extra_group));
    EXPECT_TRUE(took_reports({"cannot create duplicate filename '/devices/test_chip/extra'"}));
    sysfs_remove_group(&chip_.dev.kobj, &extra_group);

    // Removing a named group that is not there.
    sysfs_remove_group(&chip_.dev.kobj, &extra_group);
    EXPECT_TRUE(took_reports({"sysfs group 'extra' not found for kobject 'test_chip'"}));
}

TEST_F(Sysfs, GroupCreationFailsWholeAndCanBeMadeToFail)
{
    // The second group clashes with the device's own: the first is undone.
    struct attribute *fresh_attrs[] = {&dev_attr_secret.attr, nullptr};
    const struct attribute_group fresh = {.attrs = fresh_attrs};
    const struct attribute_group clash = {.attrs = chip_attrs};
    const struct attribute_group *both[] = {&fresh, &clash, nullptr};
    EXPECT_EQ(-EEXIST, sysfs_create_groups(&chip_.dev.kobj, both));
    EXPECT_TRUE(took_reports({"cannot create duplicate filename '/devices/test_chip/value'"}));
    EXPECT_FALSE(kern::vfs::exists(dir_ + "/secret"));
    EXPECT_TRUE(kern::vfs::exists(dir_ + "/value")) << "what was there stays";

    khost::fail_nth("sysfs_create_group", 1);
    EXPECT_EQ(-ENOMEM, sysfs_create_group(&chip_.dev.kobj, &fresh));
    EXPECT_FALSE(kern::vfs::exists(dir_ + "/secret"));
    EXPECT_EQ((std::vector<std::string>{"sysfs_create_group"}), khost::fail_forced());
}

TEST_F(Sysfs, MisuseIsReported)
{
    DEVICE_ATTR(no_store, 0644, label_show, nullptr);
    DEVICE_ATTR(no_show, 0444, nullptr, nullptr);
    EXPECT_EQ(0, device_create_file(&chip_.dev, &dev_attr_no_store));
    EXPECT_EQ(0, device_create_file(&chip_.dev, &dev_attr_no_show));
    EXPECT_TRUE(took_reports(
        {"Attribute no_store: write permission without 'store'", "Attribute no_show: read permission without 'show'"}));
    EXPECT_EQ("<error -5>", read_attr(dir_ + "/no_show")) << "a missing callback is -EIO";

    struct attribute wide = {.name = "wide", .mode = 0666};
    struct attribute *wide_attrs[] = {&wide, nullptr};
    const struct attribute_group wide_group = {.attrs = wide_attrs};
    EXPECT_EQ(0, sysfs_create_group(&chip_.dev.kobj, &wide_group));
    EXPECT_TRUE(took_reports({"Attribute wide: Invalid permissions 0666"}));
    EXPECT_EQ(0664u, mode_of(dir_ + "/wide"));

    const struct attribute_group empty = {.name = "empty"};
    EXPECT_EQ(-EINVAL, sysfs_create_group(&chip_.dev.kobj, &empty));
    EXPECT_TRUE(took_reports({"attrs not set by subsystem for group: test_chip/empty"}));

    struct device loose = {};
    EXPECT_EQ(-EINVAL, sysfs_create_group(&loose.kobj, &wide_group));
    EXPECT_TRUE(took_reports({"has no directory"}));
}

TEST_F(Sysfs, LinksBetweenObjects)
{
    struct device other = {.init_name = "test_other", .release = chip_release};
    ASSERT_EQ(0, device_register(&other));
    ASSERT_EQ(0, sysfs_create_link(&chip_.dev.kobj, &other.kobj, "peer"));
    EXPECT_EQ("../test_other", link_of(dir_ + "/peer"));
    EXPECT_EQ(-EEXIST, sysfs_create_link(&chip_.dev.kobj, &other.kobj, "peer"));
    EXPECT_TRUE(took_reports({"cannot create duplicate filename '/devices/test_chip/peer'"}));
    sysfs_remove_link(&chip_.dev.kobj, "value"); // not a link: left alone
    EXPECT_TRUE(kern::vfs::exists(dir_ + "/value"));
    sysfs_remove_link(&chip_.dev.kobj, "peer");
    EXPECT_FALSE(kern::vfs::exists(dir_ + "/peer"));
    device_unregister(&other);
}

// A class of a subsystem core's own, with class attributes and groups on its
// devices, and a device under a platform parent.
ssize_t count_show(struct device_class *, struct class_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "3\n");
}
struct class_attribute gadget_class_attrs[] = {__ATTR(count, 0444, count_show, nullptr), __ATTR_NULL};
struct device_class gadget_class = {.name = "test_gadget", .class_attrs = gadget_class_attrs};

TEST(SysfsClass, ClassDeviceUnderAPlatformParent)
{
    gadget_class.dev_groups = chip_groups;
    ASSERT_EQ(0, class_register(&gadget_class));
    EXPECT_EQ("3\n", read_attr("/sys/class/test_gadget/count"));

    struct platform_device *parent = platform_device_alloc("test_gadget_host", PLATFORM_DEVID_NONE);
    ASSERT_EQ(0, platform_device_add(parent));
    Chip chip;
    chip.dev.klass = &gadget_class;
    chip.dev.parent = &parent->dev;
    chip.dev.devt = MKDEV(231, 4);
    chip.dev.release = chip_release;
    ASSERT_EQ(0, dev_set_name(&chip.dev, "gadget%d", 0)); // named before it is initialised, as drivers may
    ASSERT_EQ(0, device_register(&chip.dev));

    const std::string dir = "/sys/devices/platform/test_gadget_host/test_gadget/gadget0";
    EXPECT_TRUE(kern::vfs::exists(dir + "/value")) << "the class's groups";
    EXPECT_EQ("231:4\n", read_attr(dir + "/dev"));
    EXPECT_EQ("../../devices/platform/test_gadget_host/test_gadget/gadget0", link_of("/sys/class/test_gadget/gadget0"));
    EXPECT_EQ("../../../test_gadget_host", link_of(dir + "/device"));
    EXPECT_EQ("../../../../../class/test_gadget", link_of(dir + "/subsystem"));
    EXPECT_EQ("../../devices/platform/test_gadget_host/test_gadget/gadget0", link_of("/sys/dev/char/231:4"));
    EXPECT_TRUE(kern::vfs::exists("/dev/gadget0"));

    struct device *found =
        class_find_device(&gadget_class, nullptr, "gadget0", [](struct device *dev, const void *name) {
            return std::strcmp(dev_name(dev), static_cast<const char *>(name)) == 0 ? 1 : 0;
        });
    EXPECT_EQ(&chip.dev, found);
    put_device(found);
    int children = 0;
    device_for_each_child(&parent->dev, &children,
                          [](struct device *, void *n) { return ++*static_cast<int *>(n), 0; });
    EXPECT_EQ(1, children);

    device_unregister(&chip.dev);
    EXPECT_FALSE(kern::vfs::exists("/sys/devices/platform/test_gadget_host/test_gadget")) << "glue directory gone";
    EXPECT_FALSE(kern::vfs::exists("/sys/class/test_gadget/gadget0"));
    platform_device_unregister(parent);
    class_unregister(&gadget_class);
    EXPECT_FALSE(kern::vfs::exists("/sys/class/test_gadget"));
}

umode_t no_reset(struct kobject *, struct attribute *attr, int)
{
    return attr == &dev_attr_reset.attr ? 0 : attr->mode;
}
const struct attribute_group plain_group = {.name = "plain", .is_visible = no_reset, .attrs = chip_attrs};

TEST(SysfsClass, DeviceCreateWithGroups)
{
    struct device_class *cls = class_create(nullptr, "test_grouped");
    const struct attribute_group *groups[] = {&plain_group, nullptr};
    struct device *dev = device_create_with_groups(cls, nullptr, MKDEV(232, 1), nullptr, groups, "grouped");
    ASSERT_FALSE(IS_ERR_OR_NULL(dev));
    EXPECT_EQ("grouped\n", read_attr("/sys/class/test_grouped/grouped/plain/label"));
    EXPECT_FALSE(kern::vfs::exists("/sys/class/test_grouped/grouped/plain/reset"));

    khost::fail_nth("sysfs_create_group", 1);
    EXPECT_EQ(-ENOMEM, PTR_ERR(device_create_with_groups(cls, nullptr, MKDEV(232, 2), nullptr, groups, "again")));
    EXPECT_FALSE(kern::vfs::exists("/sys/devices/virtual/test_grouped/again"));
    EXPECT_FALSE(kern::vfs::exists("/dev/again"));

    device_destroy(cls, MKDEV(232, 1));
    EXPECT_FALSE(kern::vfs::exists("/sys/devices/virtual/test_grouped"));
    class_destroy(cls);
}

// A bus of one's own, as the SPI or I2C core would make it.
int toy_match(struct device *dev, struct device_driver *drv) { return dev->id == 1; }
struct bus_type toy_bus = {.name = "test_toy", .dev_name = "toy", .match = toy_match};
int toy_probes = 0;
int toy_probe(struct device *dev)
{
    toy_probes++;
    return 0;
}
struct device_driver toy_driver = {.name = "toy_drv", .bus = &toy_bus, .probe = toy_probe};

TEST(SysfsBus, ABusOfOnesOwn)
{
    ASSERT_EQ(0, bus_register(&toy_bus));
    EXPECT_EQ(-EEXIST, bus_register(&toy_bus));
    EXPECT_TRUE(took_reports({"bus 'test_toy' is already registered"}));
    ASSERT_EQ(0, driver_register(&toy_driver));
    struct device a = {.bus = &toy_bus, .id = 0, .release = chip_release};
    struct device b = {.bus = &toy_bus, .id = 1, .release = chip_release};
    ASSERT_EQ(0, device_register(&a));
    ASSERT_EQ(0, device_register(&b));
    EXPECT_STREQ("toy1", dev_name(&b));
    EXPECT_EQ(1, toy_probes) << "match chose b";
    EXPECT_EQ(&toy_driver, b.driver);
    EXPECT_EQ("../../../devices/toy1", link_of("/sys/bus/test_toy/devices/toy1"));
    int seen = 0;
    EXPECT_EQ(0, bus_for_each_dev(&toy_bus, nullptr, &seen,
                                  [](struct device *, void *n) { return ++*static_cast<int *>(n), 0; }));
    EXPECT_EQ(2, seen);
    EXPECT_EQ(&b, bus_find_device_by_name(&toy_bus, nullptr, "toy1"));
    put_device(&b);

    device_unregister(&a);
    device_unregister(&b);
    driver_unregister(&toy_driver);
    bus_unregister(&toy_bus);
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/test_toy"));

    struct device_driver orphan = {.name = "orphan", .bus = &toy_bus};
    khost::log_clear();
    EXPECT_EQ(-EINVAL, driver_register(&orphan));
    EXPECT_TRUE(khost::log_contains("Driver 'orphan' was unable to register with bus_type 'test_toy'"));
}

} // namespace
