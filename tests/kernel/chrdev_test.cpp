// Device numbers, cdevs, classes and class devices.
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/fs.h>

#include "device_core.hpp"
#include "khost/program.hpp"
#include <khost/kernel.hpp>
#include "reports.hpp"
#include "vfs.hpp"

#include <gtest/gtest.h>

namespace {

const struct file_operations empty_fops = {};

std::string read_attr(const std::string &path)
{
    kern::vfs::Lookup found;
    if (kern::vfs::lookup(path, &found))
        return "<missing>";
    std::string out;
    long n = kern::vfs::attr_show(*found.node, out);
    return n < 0 ? "<error " + std::to_string(n) + ">" : out;
}

TEST(ChrdevNumbers, DynamicMajorsCountDownFrom254)
{
    int first = register_chrdev(0, "first", &empty_fops);
    int second = register_chrdev(0, "second", &empty_fops);
    EXPECT_EQ(254, first);
    EXPECT_EQ(253, second);

    // A major given by the caller: 0 on success, then it is taken.
    EXPECT_EQ(0, register_chrdev(240, "fixed", &empty_fops));
    EXPECT_EQ(-EBUSY, register_chrdev(240, "again", &empty_fops));
    EXPECT_EQ(-EBUSY, register_chrdev_region(MKDEV(240, 10), 1, "inside"));
    EXPECT_EQ(-EINVAL, register_chrdev(5000, "too big", &empty_fops));
    EXPECT_EQ(-EINVAL, register_chrdev(0, "no ops", nullptr));

    unregister_chrdev(first, "first");
    EXPECT_EQ(254, register_chrdev(0, "reuse", &empty_fops));
    unregister_chrdev(254, "reuse");
    unregister_chrdev(second, "second");
    unregister_chrdev(240, "fixed");
    EXPECT_FALSE(kern::chrdev::lookup(MKDEV(240, 0)));
}

TEST(ChrdevNumbers, RegionsAndTheirLimits)
{
    dev_t dev = 0;
    ASSERT_EQ(0, alloc_chrdev_region(&dev, 2, 3, "region"));
    EXPECT_EQ(254u, MAJOR(dev));
    EXPECT_EQ(2u, MINOR(dev));
    // register_chrdev wants minors 0..255 of a major, which overlap.
    EXPECT_EQ(-EBUSY, register_chrdev(254, "overlap", &empty_fops));
    EXPECT_EQ(0, register_chrdev_region(MKDEV(254, 5), 1, "adjacent"));
    EXPECT_EQ(-EINVAL, alloc_chrdev_region(&dev, 0, (1U << MINORBITS) + 1, "huge"));

    // A range across two majors is claimed whole or not at all.
    const dev_t across = MKDEV(200, (1U << MINORBITS) - 1);
    ASSERT_EQ(0, register_chrdev_region(MKDEV(201, 0), 1, "blocker"));
    EXPECT_EQ(-EBUSY, register_chrdev_region(across, 2, "across"));
    EXPECT_EQ(0, register_chrdev_region(across, 1, "first part is free again"));
    unregister_chrdev_region(across, 1);
    unregister_chrdev_region(MKDEV(201, 0), 1);
    EXPECT_EQ(0, register_chrdev_region(across, 2, "across"));
    unregister_chrdev_region(across, 2);

    unregister_chrdev_region(MKDEV(254, 5), 1);
    unregister_chrdev_region(MKDEV(254, 2), 3);
    EXPECT_EQ(0, register_chrdev(254, "now free", &empty_fops));
    unregister_chrdev(254, "now free");
}

TEST(Cdev, MapFindsTheSmallestRangeAndForgetsDeleted)
{
    struct cdev wide, narrow;
    cdev_init(&wide, &empty_fops);
    cdev_init(&narrow, &empty_fops);
    ASSERT_EQ(0, cdev_add(&wide, MKDEV(100, 0), 10));
    ASSERT_EQ(0, cdev_add(&narrow, MKDEV(100, 4), 1));
    EXPECT_EQ(-EBUSY, cdev_add(&narrow, MKDEV(100, 4), 1));
    EXPECT_EQ(-EINVAL, cdev_add(&narrow, MKDEV(100, 4), 0));

    EXPECT_EQ(&narrow, kern::chrdev::lookup(MKDEV(100, 4))->cdev);
    EXPECT_EQ(&wide, kern::chrdev::lookup(MKDEV(100, 9))->cdev);
    EXPECT_FALSE(kern::chrdev::lookup(MKDEV(100, 10)));

    cdev_del(&narrow);
    EXPECT_EQ(&wide, kern::chrdev::lookup(MKDEV(100, 4))->cdev);
    cdev_del(&wide);
    EXPECT_FALSE(kern::chrdev::lookup(MKDEV(100, 0)));

    // A second delete drops a reference the cdev no longer has.
    cdev_del(&narrow);
    auto warnings = khost::take_warnings();
    ASSERT_EQ(1u, warnings.size());
    EXPECT_NE(std::string::npos, warnings[0].find("cdev_del of a deleted cdev"));
    // cdev_init() makes it new again.
    cdev_init(&narrow, &empty_fops);
    cdev_del(&narrow);
    EXPECT_TRUE(khost::take_warnings().empty());
}

TEST(DeviceClass, NodesNumberFilesAndRefusals)
{
    struct device_class *cls = class_create(nullptr, "test_nodes");
    ASSERT_FALSE(IS_ERR_OR_NULL(cls));
    EXPECT_EQ(-EEXIST, PTR_ERR(class_create(nullptr, "test_nodes")));
    EXPECT_TRUE(took_reports({"cannot create duplicate filename '/class/test_nodes'"}));
    EXPECT_EQ(-EINVAL, PTR_ERR(class_create(nullptr, "")));

    struct device *dev = device_create(cls, nullptr, MKDEV(250, 1), nullptr, "node%d", 7);
    ASSERT_FALSE(IS_ERR_OR_NULL(dev));
    EXPECT_STREQ("node7", dev_name(dev));
    EXPECT_EQ("250:1\n", read_attr("/sys/class/test_nodes/node7/dev"));
    EXPECT_EQ("MAJOR=250\nMINOR=1\nDEVNAME=node7\n", read_attr("/sys/devices/virtual/test_nodes/node7/uevent"));
    kern::vfs::Lookup node;
    ASSERT_EQ(0, kern::vfs::lookup("/dev/node7", &node));
    EXPECT_EQ(MKDEV(250, 1), node.devt);

    // A name is one class's once; another class may have it too, as each has
    // its own directory, but /dev keeps the first node, as devtmpfs does.
    EXPECT_EQ(-EEXIST, PTR_ERR(device_create(cls, nullptr, MKDEV(250, 2), nullptr, "node7")));
    EXPECT_TRUE(took_reports({"cannot create duplicate filename '/devices/virtual/test_nodes/node7'"}));
    struct device_class *other = class_create(nullptr, "test_nodes_other");
    struct device *twin = device_create(other, nullptr, MKDEV(250, 2), nullptr, "node7");
    ASSERT_FALSE(IS_ERR_OR_NULL(twin));
    ASSERT_EQ(0, kern::vfs::lookup("/dev/node7", &node));
    EXPECT_EQ(MKDEV(250, 1), node.devt);
    EXPECT_EQ("250:2\n", read_attr("/sys/dev/char/250:2/dev"));
    device_destroy(other, MKDEV(250, 2));
    EXPECT_TRUE(kern::vfs::exists("/dev/node7")) << "the other's node stays";

    EXPECT_EQ(-ENODEV, PTR_ERR(device_create(nullptr, nullptr, MKDEV(250, 2), nullptr, "x")));
    EXPECT_EQ(-EINVAL, PTR_ERR(device_create(cls, nullptr, MKDEV(250, 2), nullptr, "%s", "")));
    device_destroy(cls, MKDEV(250, 99)); // none: nothing, and no report, as in Linux

    // A reference keeps the struct alive past destroy (ASan watches).
    EXPECT_EQ(dev, get_device(dev));
    device_destroy(cls, MKDEV(250, 1));
    EXPECT_FALSE(kern::vfs::exists("/dev/node7"));
    EXPECT_FALSE(kern::vfs::exists("/sys/class/test_nodes/node7"));
    EXPECT_FALSE(kern::vfs::exists("/sys/dev/char/250:1"));
    EXPECT_STREQ("node7", dev_name(dev));
    put_device(dev);
    EXPECT_FALSE(kern::vfs::exists("/sys/devices/virtual/test_nodes")) << "the last device takes the glue directory";

    class_destroy(other);
    class_destroy(cls);
    EXPECT_FALSE(kern::vfs::exists("/sys/class/test_nodes"));
}

TEST(DeviceClass, DestroyingAClassThatHasDevicesIsReported)
{
    struct device_class *cls = class_create(nullptr, "test_leftovers");
    ASSERT_FALSE(IS_ERR(device_create(cls, nullptr, MKDEV(250, 4), nullptr, "left_behind")));
    ASSERT_FALSE(IS_ERR(device_create(cls, nullptr, 0, nullptr, "no_number")));
    class_destroy(cls);
    EXPECT_TRUE(took_reports({"class 'test_leftovers' destroyed while it still has devices: left_behind, no_number"}));
    // They went with it rather than stay behind a freed class.
    EXPECT_FALSE(kern::vfs::exists("/dev/left_behind"));
    EXPECT_FALSE(kern::vfs::exists("/sys/devices/virtual/test_leftovers"));

    struct device_class never = {.name = "never"};
    class_unregister(&never);
    EXPECT_TRUE(took_reports({"class 'never' is not registered"}));
}

ssize_t level_show(struct device *dev, struct device_attribute *attr, char *buf)
{
    int *level = static_cast<int *>(dev_get_drvdata(dev));
    return snprintf(buf, PAGE_SIZE, "%d\n", *level);
}

ssize_t level_store(struct device *dev, struct device_attribute *attr, const char *buf, size_t count)
{
    int *level = static_cast<int *>(dev_get_drvdata(dev));
    if (buf[0] < '0' || buf[0] > '9')
        return -EINVAL;
    *level = buf[0] - '0';
    return static_cast<ssize_t>(count);
}

DEVICE_ATTR(level, 0644, level_show, level_store);

TEST(DeviceClass, AttributeFilesCallTheDriver)
{
    struct device_class *cls = class_create(nullptr, "test_attrs");
    int level = 3;
    struct device *dev = device_create(cls, nullptr, MKDEV(250, 5), &level, "lamp");
    ASSERT_EQ(0, device_create_file(dev, &dev_attr_level));
    EXPECT_EQ(-EEXIST, device_create_file(dev, &dev_attr_level));
    EXPECT_TRUE(took_reports({"cannot create duplicate filename '/devices/virtual/test_attrs/lamp/level'"}));
    struct device unknown = {};
    EXPECT_EQ(-EINVAL, device_create_file(&unknown, &dev_attr_level));
    EXPECT_TRUE(took_reports({"has no directory"}));

    khost::Program prog("attrs");
    long fd = prog.open("/sys/class/test_attrs/lamp/level", O_RDWR);
    char text[16] = {};
    EXPECT_EQ(2, prog.read(fd, text, sizeof(text)));
    EXPECT_STREQ("3\n", text);
    EXPECT_EQ(2, prog.write(fd, "8\n", 2));
    EXPECT_EQ(8, level);
    EXPECT_EQ(-EINVAL, prog.write(fd, "x", 1));

    device_remove_file(dev, &dev_attr_level);
    EXPECT_EQ(-ENODEV, prog.write(fd, "1", 1)); // the open file outlives the attribute
    EXPECT_EQ(-ENOENT, prog.open("/sys/class/test_attrs/lamp/level", O_RDONLY));
    device_destroy(cls, MKDEV(250, 5));
    class_destroy(cls);
}

} // namespace
