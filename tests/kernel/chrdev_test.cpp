// Device numbers, cdevs, classes and class devices.
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/fs.h>

#include "device_core.hpp"
#include "khost/program.hpp"
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

    auto binding = *kern::chrdev::lookup(MKDEV(100, 4));
    cdev_del(&narrow);
    EXPECT_FALSE(binding.gate->enter()); // files bound to it are cut off
    EXPECT_EQ(&wide, kern::chrdev::lookup(MKDEV(100, 4))->cdev);
    cdev_del(&narrow); // twice: no effect
    cdev_del(&wide);
    EXPECT_FALSE(kern::chrdev::lookup(MKDEV(100, 0)));
}

TEST(DeviceClass, NodesNumberFilesAndRefusals)
{
    struct device_class *cls = class_create(nullptr, "test_nodes");
    ASSERT_FALSE(IS_ERR_OR_NULL(cls));
    EXPECT_EQ(-EEXIST, PTR_ERR(class_create(nullptr, "test_nodes")));
    EXPECT_EQ(-EINVAL, PTR_ERR(class_create(nullptr, "")));

    struct device *dev = device_create(cls, nullptr, MKDEV(250, 1), nullptr, "node%d", 7);
    ASSERT_FALSE(IS_ERR_OR_NULL(dev));
    EXPECT_STREQ("node7", dev_name(dev));
    EXPECT_EQ("250:1\n", read_attr("/sys/class/test_nodes/node7/dev"));
    kern::vfs::Lookup node;
    ASSERT_EQ(0, kern::vfs::lookup("/dev/node7", &node));
    EXPECT_EQ(MKDEV(250, 1), node.devt);

    // /dev names are one namespace across classes.
    struct device_class *other = class_create(nullptr, "test_nodes_other");
    EXPECT_EQ(-EEXIST, PTR_ERR(device_create(cls, nullptr, MKDEV(250, 2), nullptr, "node7")));
    EXPECT_EQ(-EEXIST, PTR_ERR(device_create(other, nullptr, MKDEV(250, 2), nullptr, "node7")));
    EXPECT_EQ(-ENODEV, PTR_ERR(device_create(nullptr, nullptr, MKDEV(250, 2), nullptr, "x")));
    EXPECT_EQ(-EINVAL, PTR_ERR(device_create(cls, nullptr, MKDEV(250, 2), nullptr, "%s", "")));

    // A reference keeps the struct alive past destroy (ASan watches).
    EXPECT_EQ(dev, get_device(dev));
    device_destroy(cls, MKDEV(250, 1));
    EXPECT_FALSE(kern::vfs::exists("/dev/node7"));
    EXPECT_FALSE(kern::vfs::exists("/sys/class/test_nodes/node7"));
    EXPECT_STREQ("node7", dev_name(dev));
    put_device(dev);

    // A class destroyed with a device still in it takes the device along.
    ASSERT_FALSE(IS_ERR(device_create(other, nullptr, MKDEV(250, 4), nullptr, "left_behind")));
    class_destroy(other);
    EXPECT_FALSE(kern::vfs::exists("/dev/left_behind"));
    class_destroy(cls);
    EXPECT_FALSE(kern::vfs::exists("/sys/class/test_nodes"));
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
    struct device unknown = {};
    EXPECT_EQ(-ENODEV, device_create_file(&unknown, &dev_attr_level));

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
