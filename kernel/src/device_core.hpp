#pragma once
// The kernel layer's side of devices and device numbers, shared by the files
// that create devices (class devices here, platform devices in platform.cpp)
// and by the open path of programs.
#include <linux/device.h>
#include <linux/fs.h>

#include "vfs.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace kern {

// What struct device::kernel_private points to, for every device the kernel
// layer knows: whoever creates a device derives its record from this and
// stores it as `static_cast<DeviceCore *>(record)`. dev_name(),
// get_device()/put_device() and device_create_file() work through it.
struct DeviceCore {
    virtual ~DeviceCore() = default;
    // Called by the put_device() that drops the last reference; the record
    // may delete itself (and the device) here.
    virtual void last_put(struct device *dev) {}

    std::string name;
    std::string sysfs_dir;     // "/sys/devices/platform/quorvel-gpio.0", no trailing '/'
    std::atomic<long> refs{1}; // the creator's reference
};

// The record of `dev`, or null for a device no one has registered.
DeviceCore *device_core(const struct device *dev);
// The device's sysfs directory ("" if it has none); attribute files go below.
std::string device_sysfs_dir(const struct device *dev);

} // namespace kern

namespace kern::chrdev {

// What an open of a device number finds: the operations bound to it and the
// gate that cdev_del() closes. Calls into `fops` belong inside a pass of
// `gate`, so that a deleted cdev is never called again.
struct Binding {
    const struct file_operations *fops;
    struct cdev *cdev; // the driver's, or the one register_chrdev() made
    std::shared_ptr<vfs::Gate> gate;
};

// The cdev that covers `devt` (the smallest range, the newest among equals,
// as the kernel's own map chooses), or nothing.
std::optional<Binding> lookup(dev_t devt);

} // namespace kern::chrdev
