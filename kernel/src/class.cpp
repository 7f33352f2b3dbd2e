// Device classes: /sys/class/<class> with a link to each of its devices and
// the class's own attributes; and device_create(), the kernel's short way to
// a class device with a node in /dev.
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/errno.h>

#include "bug.hpp"
#include "device_core.hpp"
#include "fault_inject.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>

namespace {

struct ClassCore : kern::KObj {
    kern::vfs::AttrOps attr_ops(struct kobject *kobj, struct attribute *attr) override;

    struct device_class *cls = nullptr;
    struct kobject kobj {};
    std::vector<struct device *> devices; // model_lock; in the order they were added
};

std::map<std::string, ClassCore *> classes; // model_lock

ClassCore *class_core(const struct device_class *cls)
{
    return IS_ERR_OR_NULL(cls) ? nullptr : static_cast<ClassCore *>(cls->kernel_private);
}

void class_create_release(struct device_class *cls) { delete cls; }

// A device made by device_create(): the kernel's, freed at its last put.
void device_create_release(struct device *dev) { delete dev; }

int remove_attrs(ClassCore *core, struct class_attribute *end = nullptr)
{
    for (struct class_attribute *attr = core->cls->class_attrs; attr && attr->attr.name && attr != end; ++attr)
        class_remove_file(core->cls, attr);
    return 0;
}

int add_attrs(ClassCore *core)
{
    for (struct class_attribute *attr = core->cls->class_attrs; attr && attr->attr.name; ++attr) {
        if (int err = class_create_file(core->cls, attr)) {
            remove_attrs(core, attr);
            return err;
        }
    }
    return 0;
}

// The class's devices from `start` on (after it), each with a reference.
std::vector<struct device *> devices_of(ClassCore *core, struct device *start)
{
    std::lock_guard hold(kern::model_lock());
    auto from = core->devices.begin();
    if (start) {
        from = std::find(core->devices.begin(), core->devices.end(), start);
        if (from != core->devices.end())
            ++from;
    }
    std::vector<struct device *> out(from, core->devices.end());
    for (struct device *dev : out)
        kern::device_core(dev)->refs.fetch_add(1);
    return out;
}

struct device *create_device(struct device_class *cls, struct device *parent, dev_t devt, void *drvdata,
                             const struct attribute_group **groups, const char *fmt, va_list args)
{
    if (IS_ERR_OR_NULL(cls))
        return ERR_PTR<struct device>(-ENODEV);
    if (kern::should_fail("device_create"))
        return ERR_PTR<struct device>(-ENOMEM);
    char name[256];
    int len = std::vsnprintf(name, sizeof(name), fmt, args);
    if (len <= 0 || static_cast<size_t>(len) >= sizeof(name))
        return ERR_PTR<struct device>(-EINVAL);
    auto *dev = new device{};
    device_initialize(dev);
    dev->devt = devt;
    dev->klass = cls;
    dev->parent = parent;
    dev->groups = groups;
    dev->release = device_create_release;
    dev_set_drvdata(dev, drvdata);
    dev_set_name(dev, "%s", name);
    if (int err = device_add(dev)) {
        put_device(dev);
        return ERR_PTR<struct device>(err);
    }
    return dev;
}

} // namespace

kern::vfs::AttrOps ClassCore::attr_ops(struct kobject *, struct attribute *attr)
{
    struct device_class *c = cls;
    auto *cattr = container_of(attr, struct class_attribute, attr);
    return kern::sysfs::page_ops(
        [c, cattr](char *page) -> ssize_t { return cattr->show ? cattr->show(c, cattr, page) : -EIO; },
        [c, cattr](const char *buf, size_t n) -> ssize_t {
            return cattr->store ? cattr->store(c, cattr, buf, n) : -EIO;
        });
}

namespace kern {

std::string class_dir(const struct device_class *cls)
{
    ClassCore *core = class_core(cls);
    return core ? core->sysfs_dir : std::string();
}

void class_add_device(struct device *dev)
{
    std::lock_guard hold(model_lock());
    if (ClassCore *core = class_core(dev->klass))
        core->devices.push_back(dev);
}

void class_remove_device(struct device *dev)
{
    std::lock_guard hold(model_lock());
    if (ClassCore *core = class_core(dev->klass))
        core->devices.erase(std::remove(core->devices.begin(), core->devices.end(), dev), core->devices.end());
}

} // namespace kern

extern "C" {

int class_register(struct device_class *cls)
{
    if (!cls || !cls->name || !*cls->name)
        return -EINVAL;
    auto *core = new ClassCore;
    core->cls = cls;
    core->name = cls->name;
    core->sysfs_dir = "/sys/class/" + core->name;
    {
        std::lock_guard hold(kern::model_lock());
        if (cls->kernel_private || classes.count(core->name)) {
            delete core;
            KERN_WARN("cannot create duplicate filename '/class/%s'\n", cls->name);
            return -EEXIST;
        }
        classes[core->name] = core;
        cls->kernel_private = core;
    }
    kern::kobj_bind(&core->kobj, core);
    int err = kern::vfs::mkdir(core->sysfs_dir);
    if (!err)
        err = add_attrs(core);
    if (err) {
        kern::sysfs::remove(core->sysfs_dir);
        std::lock_guard hold(kern::model_lock());
        classes.erase(core->name);
        cls->kernel_private = nullptr;
        delete core;
    }
    return err;
}

void class_unregister(struct device_class *cls)
{
    ClassCore *core = class_core(cls);
    if (!core) {
        KERN_WARN("class '%s' is not registered\n", cls && cls->name ? cls->name : "(null)");
        return;
    }
    std::vector<struct device *> leftovers = devices_of(core, nullptr);
    if (!leftovers.empty()) {
        // The kernel would leave them pointing at a freed class, to oops at
        // their destruction; here they go with the class, after a warning.
        std::string names;
        for (struct device *dev : leftovers)
            names += std::string(names.empty() ? "" : ", ") + dev_name(dev);
        KERN_WARN("class '%s' destroyed while it still has devices: %s\n", cls->name, names.c_str());
        for (struct device *dev : leftovers) {
            if (kern::device_is_added(dev))
                device_unregister(dev);
            put_device(dev);
        }
    }
    remove_attrs(core);
    {
        std::lock_guard hold(kern::model_lock());
        classes.erase(core->name);
        cls->kernel_private = nullptr;
    }
    kern::sysfs::remove(core->sysfs_dir);
    delete core;
    if (cls->class_release)
        cls->class_release(cls);
}

struct device_class *class_create(struct module *owner, const char *name)
{
    if (!name || !*name)
        return ERR_PTR<struct device_class>(-EINVAL);
    if (kern::should_fail("class_create"))
        return ERR_PTR<struct device_class>(-ENOMEM);
    auto *cls = new device_class{};
    cls->name = name;
    cls->owner = owner;
    cls->class_release = class_create_release;
    if (int err = class_register(cls)) {
        delete cls;
        return ERR_PTR<struct device_class>(err);
    }
    // The record keeps the name; the caller's string may go.
    cls->name = class_core(cls)->name.c_str();
    return cls;
}

void class_destroy(struct device_class *cls)
{
    if (IS_ERR_OR_NULL(cls))
        return;
    class_unregister(cls);
}

int class_create_file(struct device_class *cls, const struct class_attribute *attr)
{
    ClassCore *core = class_core(cls);
    if (!core || !attr)
        return -EINVAL;
    return sysfs_create_file(&core->kobj, &attr->attr);
}

void class_remove_file(struct device_class *cls, const struct class_attribute *attr)
{
    if (ClassCore *core = class_core(cls))
        sysfs_remove_file(&core->kobj, &attr->attr);
}

int class_for_each_device(struct device_class *cls, struct device *start, void *data,
                          int (*fn)(struct device *dev, void *data))
{
    ClassCore *core = class_core(cls);
    if (!core)
        return -EINVAL;
    int result = 0;
    for (struct device *dev : devices_of(core, start)) {
        if (!result && kern::device_is_added(dev))
            result = fn(dev, data);
        put_device(dev);
    }
    return result;
}

struct device *class_find_device(struct device_class *cls, struct device *start, const void *data,
                                 int (*match)(struct device *dev, const void *data))
{
    ClassCore *core = class_core(cls);
    if (!core)
        return nullptr;
    struct device *found = nullptr;
    for (struct device *dev : devices_of(core, start)) {
        if (!found && kern::device_is_added(dev) && match(dev, data))
            found = get_device(dev);
        put_device(dev);
    }
    return found;
}

struct device *device_create(struct device_class *cls, struct device *parent, dev_t devt, void *drvdata,
                             const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    struct device *dev = create_device(cls, parent, devt, drvdata, nullptr, fmt, args);
    va_end(args);
    return dev;
}

struct device *device_create_with_groups(struct device_class *cls, struct device *parent, dev_t devt, void *drvdata,
                                         const struct attribute_group **groups, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    struct device *dev = create_device(cls, parent, devt, drvdata, groups, fmt, args);
    va_end(args);
    return dev;
}

void device_destroy(struct device_class *cls, dev_t devt)
{
    struct device *dev = class_find_device(cls, nullptr, &devt, [](struct device *d, const void *want) {
        return d->devt == *static_cast<const dev_t *>(want) ? 1 : 0;
    });
    if (dev) {
        put_device(dev);
        device_unregister(dev);
    }
}

} // extern "C"
