#pragma once
// The kernel layer's side of the device model, shared by the files that make
// it (core.cpp: devices; bus.cpp: buses, drivers and binding; class.cpp:
// classes; sysfs.cpp: attributes, groups and links; platform.cpp) and by the
// subsystem cores built on it.
//
// A subsystem core (a bus or a class of its own) uses the kernel's own calls
// for what a driver could do (bus_register, class_register, device_add,
// sysfs_create_group, sysfs_create_link...) and, for what only the kernel
// does, kern::sysfs below: files with callbacks of its own choosing, links
// and directories named by path, and the directory of any object.
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/sysfs.h>

#include "vfs.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kern {

// One lock for the device model's lists: the devices and drivers of every
// bus, the devices bound to each driver, the devices of every class and the
// children of every device. Held only while a list is read or changed, never
// across a driver's callback or a sysfs removal (which waits for callbacks).
std::mutex &model_lock();

// What a struct kobject's sd points to: an object with a directory in sysfs
// that attributes, groups and links can be put in. Its kind decides how an
// attribute's callbacks are called: a device's are struct device_attribute,
// a class's struct class_attribute, a driver's struct driver_attribute.
struct KObj {
    virtual ~KObj() = default;
    virtual vfs::AttrOps attr_ops(struct kobject *kobj, struct attribute *attr) = 0;

    std::string name;
    std::string sysfs_dir; // "/sys/devices/platform/quorvel_config.0"; empty while it has none
};

// The record behind kobj, or null.
KObj *kobj_core(const struct kobject *kobj);
// Points kobj at its record (sd and name).
void kobj_bind(struct kobject *kobj, KObj *core);

// Device lock: a mutex that knows its holder, so that a thread locking a
// device it already holds (which deadlocks on Linux) is reported before it
// blocks.
class DeviceLock {
public:
    void lock(const struct device *dev);
    bool try_lock();
    void unlock();
    bool held_by_me() const { return holder_.load() == std::this_thread::get_id(); }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> holder_{};
    int depth_ = 0; // recursive locks reported and let through; the holder's only
};

// The record of every initialised device: struct device::kernel_private.
struct DeviceCore : KObj {
    vfs::AttrOps attr_ops(struct kobject *kobj, struct attribute *attr) override;

    struct device *dev = nullptr;
    std::atomic<long> refs{1}; // the initialiser's reference
    DeviceLock lock;
    // Between device_add and device_del. Written under model_lock and the
    // device lock; read under either.
    bool added = false;
    bool dead = false;                     // device_del has begun: no driver binds any more
    std::vector<struct device *> children; // guarded by model_lock
    // What device_add made outside the device's own directory, for its undoing.
    std::string glue_dir; // the class directory it lives in under its parent, removed with the last
    std::string class_link;
    std::string bus_link;
    std::string dev_link;      // /sys/dev/char/M:m
    std::string devnode;       // /dev/<name>
    bool bound_listed = false; // on its driver's list of devices (model_lock)
};

// The record of `dev`, or null for a device not initialised (or released).
DeviceCore *device_core(const struct device *dev);
// The device's sysfs directory ("" if it has none); attribute files go below.
std::string device_sysfs_dir(const struct device *dev);
// Between device_add and device_del.
bool device_is_added(const struct device *dev);

// bus_register() without its injected failure, for buses that exist from
// boot on.
int register_bus(struct bus_type *bus);

// ---- for bus.cpp (binding) and class.cpp ----
// Called by device_add once the device is in sysfs and on its bus's list,
// and by device_del before it leaves them.
int bus_add_device(struct device *dev);
void bus_probe_device(struct device *dev);
void bus_remove_device(struct device *dev);
// The bus's directory, "/sys/bus/<name>"; "" if the bus is not registered.
std::string bus_dir(const struct bus_type *bus);
// The class's directory, "/sys/class/<name>"; "" if it is not registered.
std::string class_dir(const struct device_class *cls);
// Adds the device to its class's list, or takes it off.
void class_add_device(struct device *dev);
void class_remove_device(struct device *dev);

} // namespace kern

namespace kern::sysfs {

// Everything here names sysfs entries by absolute path ("/sys/..."); results
// are 0 or a negative errno. A name that is already there is -EEXIST and is
// reported as sysfs reports it (a warning), since it is a caller's mistake.
std::string dir_of(const struct kobject *kobj); // "" if it has none
int create_dir(const std::string &path);
// An attribute file whose callbacks the caller chooses; mode as `ls` shows it.
int create_file(const std::string &path, umode_t mode, vfs::AttrOps ops);
// A link at `path` to the directory `target`, written relative as sysfs does.
int create_link(const std::string &path, const std::string &target);
// Takes away a file, link, or a directory with all in it (missing: no error).
void remove(const std::string &path);
// Takes away a directory if nothing is left in it.
void remove_if_empty(const std::string &path);
// The attributes of a group in kobj's directory (or in the group's own
// subdirectory if it is named), called as kobj's record decides. Unlike
// sysfs_create_group(), no failure is injected here.
int create_group(struct kobject *kobj, const struct attribute_group *grp);
void remove_group(struct kobject *kobj, const struct attribute_group *grp);
// A null-terminated list of groups (null: none), made whole or not at all.
int create_groups(struct kobject *kobj, const struct attribute_group *const *groups);
void remove_groups(struct kobject *kobj, const struct attribute_group *const *groups);

// How show() and store() of an attribute reach the vfs: show fills one page
// (the last byte stays for the NUL), store gets the written bytes.
vfs::AttrOps page_ops(std::function<ssize_t(char *page)> show, std::function<ssize_t(const char *, size_t)> store);

} // namespace kern::sysfs

namespace kern::chrdev {

// What an open of a device number finds: the operations bound to it when the
// open looked, and the cdev that holds them (kept alive while the open file
// is, if the kernel made it).
struct Binding {
    const struct file_operations *fops;
    struct cdev *cdev;
    std::shared_ptr<struct cdev> owned; // register_chrdev's own cdev, shared with open files
};

// The cdev that covers `devt` (the smallest range, the newest among equals,
// as the kernel's own map chooses), or nothing.
std::optional<Binding> lookup(dev_t devt);

} // namespace kern::chrdev
