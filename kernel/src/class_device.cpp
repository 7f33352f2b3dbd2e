// Device classes and the devices created in them: each device gets a node
// in /dev and a directory /sys/class/<class>/<name> holding its "dev" file
// and whatever attributes its driver adds. Also the parts of the device core
// that every device shares: names, references, attribute files.
#include <linux/device.h>
#include <linux/errno.h>

#include "fault_inject.hpp"

#include "device_core.hpp"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct ClassRecord {
    std::string name;
    std::vector<struct device *> devices; // guarded by class_lock
};

// A device made by device_create(): the kernel allocates it and frees it at
// the last put_device().
struct ClassDevice : kern::DeviceCore {
    void last_put(struct device *) override { delete this; }

    struct device dev {};
    std::string devnode; // "/dev/<name>", or empty when the device has no number
};

// Guards classes and every ClassRecord::devices. Never held across a vfs
// removal: that waits for attribute callbacks, which may create devices.
std::mutex class_lock;
std::map<std::string, struct device_class *> classes;

ClassRecord *record_of(struct device_class *cls) { return static_cast<ClassRecord *>(cls->kernel_private); }

// Sysfs names cannot hold '/', so the kernel writes it as '!'; the node in
// /dev turns it back into a subdirectory.
std::string sysfs_name(std::string name)
{
    for (char &c : name)
        if (c == '/')
            c = '!';
    return name;
}

kern::vfs::AttrOps dev_number_ops(dev_t devt)
{
    kern::vfs::AttrOps ops;
    ops.show = [devt](std::string &out) -> long {
        out = std::to_string(MAJOR(devt)) + ":" + std::to_string(MINOR(devt)) + "\n";
        return static_cast<long>(out.size());
    };
    return ops;
}

// Creates the device's files; on failure nothing of it is left behind.
int publish(ClassDevice *rec, const std::string &cls_name, const std::string &name)
{
    rec->sysfs_dir = "/sys/class/" + cls_name + "/" + sysfs_name(name);
    if (kern::vfs::exists(rec->sysfs_dir))
        return -EEXIST;
    if (MAJOR(rec->dev.devt)) {
        rec->devnode = "/dev/" + name;
        if (int err = kern::vfs::add_chrdev_node(rec->devnode, rec->dev.devt, 0600)) {
            rec->devnode.clear();
            return err;
        }
    }
    int err = kern::vfs::mkdir_p(rec->sysfs_dir);
    if (!err && MAJOR(rec->dev.devt))
        err = kern::vfs::add_attribute(rec->sysfs_dir + "/dev", 0444, dev_number_ops(rec->dev.devt));
    if (err) {
        kern::vfs::remove(rec->sysfs_dir);
        if (!rec->devnode.empty())
            kern::vfs::remove(rec->devnode);
    }
    return err;
}

// Takes a device's files away and drops the creator's reference. Called
// without class_lock.
void unpublish(struct device *dev)
{
    auto *rec = static_cast<ClassDevice *>(kern::device_core(dev));
    kern::vfs::remove(rec->sysfs_dir);
    if (!rec->devnode.empty())
        kern::vfs::remove(rec->devnode);
    put_device(dev);
}

struct device *create_in_class(struct device_class *cls, struct device *parent, dev_t devt, void *drvdata,
                               const std::string &name)
{
    auto *rec = new ClassDevice;
    rec->name = sysfs_name(name);
    rec->dev.parent = parent;
    rec->dev.devt = devt;
    rec->dev.klass = cls;
    rec->dev.driver_data = drvdata;
    rec->dev.kernel_private = static_cast<kern::DeviceCore *>(rec);

    std::lock_guard hold(class_lock);
    if (int err = publish(rec, record_of(cls)->name, name)) {
        delete rec;
        return ERR_PTR<struct device>(err);
    }
    record_of(cls)->devices.push_back(&rec->dev);
    return &rec->dev;
}

} // namespace

namespace kern {

DeviceCore *device_core(const struct device *dev)
{
    return dev ? static_cast<DeviceCore *>(dev->kernel_private) : nullptr;
}

std::string device_sysfs_dir(const struct device *dev)
{
    const DeviceCore *core = device_core(dev);
    return core ? core->sysfs_dir : std::string();
}

} // namespace kern

extern "C" {

const char *dev_name(const struct device *dev)
{
    if (!dev)
        return "";
    if (dev->init_name)
        return dev->init_name;
    const kern::DeviceCore *core = kern::device_core(dev);
    return core ? core->name.c_str() : "";
}

struct device *get_device(struct device *dev)
{
    if (kern::DeviceCore *core = kern::device_core(dev))
        core->refs.fetch_add(1, std::memory_order_relaxed);
    return dev;
}

void put_device(struct device *dev)
{
    kern::DeviceCore *core = kern::device_core(dev);
    if (core && core->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        core->last_put(dev);
}

struct device_class *class_create(struct module *owner, const char *name)
{
    if (!name || !*name)
        return ERR_PTR<struct device_class>(-EINVAL);
    if (kern::should_fail("class_create"))
        return ERR_PTR<struct device_class>(-ENOMEM);
    std::lock_guard hold(class_lock);
    if (classes.count(name))
        return ERR_PTR<struct device_class>(-EEXIST);
    auto *rec = new ClassRecord{name, {}};
    auto *cls = new device_class{rec->name.c_str(), owner, rec};
    if (int err = kern::vfs::mkdir_p("/sys/class/" + rec->name)) {
        delete cls;
        delete rec;
        return ERR_PTR<struct device_class>(err);
    }
    classes[rec->name] = cls;
    return cls;
}

void class_destroy(struct device_class *cls)
{
    if (IS_ERR_OR_NULL(cls))
        return;
    std::vector<struct device *> leftovers;
    {
        std::lock_guard hold(class_lock);
        classes.erase(record_of(cls)->name);
        leftovers.swap(record_of(cls)->devices);
    }
    // A driver should have destroyed its devices first; those it forgot go
    // with the class rather than stay reachable through a freed class.
    for (struct device *dev : leftovers)
        unpublish(dev);
    kern::vfs::remove("/sys/class/" + record_of(cls)->name);
    delete record_of(cls);
    delete cls;
}

struct device *device_create(struct device_class *cls, struct device *parent, dev_t devt, void *drvdata,
                             const char *fmt, ...)
{
    if (IS_ERR_OR_NULL(cls))
        return ERR_PTR<struct device>(-ENODEV);
    if (kern::should_fail("device_create"))
        return ERR_PTR<struct device>(-ENOMEM);
    char name[256];
    va_list args;
    va_start(args, fmt);
    int len = std::vsnprintf(name, sizeof(name), fmt, args);
    va_end(args);
    if (len <= 0 || static_cast<size_t>(len) >= sizeof(name))
        return ERR_PTR<struct device>(-EINVAL);
    return create_in_class(cls, parent, devt, drvdata, name);
}

void device_destroy(struct device_class *cls, dev_t devt)
{
    if (IS_ERR_OR_NULL(cls))
        return;
    struct device *found = nullptr;
    {
        std::lock_guard hold(class_lock);
        auto &devices = record_of(cls)->devices;
        for (auto it = devices.begin(); it != devices.end(); ++it) {
            if ((*it)->devt == devt) {
                found = *it;
                devices.erase(it);
                break;
            }
        }
    }
    if (found)
        unpublish(found);
}

int device_create_file(struct device *dev, const struct device_attribute *attr)
{
    if (!dev || !attr || !attr->name)
        return -EINVAL;
    if (kern::should_fail("device_create_file"))
        return -ENOMEM;
    std::string dir = kern::device_sysfs_dir(dev);
    if (dir.empty())
        return -ENODEV;
    auto *dattr = const_cast<struct device_attribute *>(attr);
    kern::vfs::AttrOps ops;
    if (attr->show) {
        ops.show = [dev, dattr](std::string &out) -> long {
            // show() may fill a page; the last byte stays for the NUL.
            std::string page(PAGE_SIZE, '\0');
            ssize_t n = dattr->show(dev, dattr, page.data());
            if (n < 0)
                return n;
            out.assign(page.data(), std::min<size_t>(n, PAGE_SIZE - 1));
            return static_cast<long>(out.size());
        };
    }
    if (attr->store) {
        ops.store = [dev, dattr](const char *buf, size_t n) -> long { return dattr->store(dev, dattr, buf, n); };
    }
    return kern::vfs::add_attribute(dir + "/" + attr->name, attr->mode, std::move(ops));
}

void device_remove_file(struct device *dev, const struct device_attribute *attr)
{
    std::string dir = kern::device_sysfs_dir(dev);
    if (!dir.empty() && attr && attr->name)
        kern::vfs::remove(dir + "/" + attr->name);
}

} // extern "C"
