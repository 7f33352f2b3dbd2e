// Devices: initialisation, references and release, names, the device lock,
// and a device's place in sysfs, as the kernel's device core shapes it:
//
//   /sys/devices/platform/<name>               a device under its parent
//   /sys/devices/virtual/<class>/<name>        a class device with no parent
//   /sys/devices/platform/<p>/<class>/<name>   ... with a parent of no class
//   /sys/class/<class>/<name>  -> its directory
//   /sys/dev/char/<major>:<minor> -> its directory, and /dev/<name>
//
// Each directory holds "uevent", "dev" (with a number), "subsystem" and
// "device" links, and the attribute groups of its class, type and own.
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/kobject.h>
#include <linux/printk.h>

#include "bug.hpp"
#include "device_core.hpp"
#include "devres.hpp"

#include "fault_inject.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::mutex the_model_lock;

// kernel_private of a device whose last reference is gone. Initialising it
// again is reported, as the kernel reports initialising a kobject twice.
char released_mark;
// The record of the device whose release() runs on this thread, so that
// dev_name() still answers inside release, as in the kernel.
thread_local kern::DeviceCore *releasing = nullptr;

bool is_record(const void *p) { return p && p != &released_mark; }

// Sysfs names cannot hold '/', so the kernel writes it as '!'; the node in
// /dev turns it back into a subdirectory.
std::string sysfs_name(std::string name)
{
    std::replace(name.begin(), name.end(), '/', '!');
    return name;
}

std::string devnode_name(std::string name)
{
    std::replace(name.begin(), name.end(), '!', '/');
    return name;
}

std::string number(dev_t devt) { return std::to_string(MAJOR(devt)) + ":" + std::to_string(MINOR(devt)); }

// The device's variables, as its "uevent" file shows them.
ssize_t uevent_text(struct device *dev, char *page)
{
    auto *env = new kobj_uevent_env{};
    if (MAJOR(dev->devt)) {
        add_uevent_var(env, "MAJOR=%u", MAJOR(dev->devt));
        add_uevent_var(env, "MINOR=%u", MINOR(dev->devt));
        add_uevent_var(env, "DEVNAME=%s", devnode_name(dev_name(dev)).c_str());
    }
    if (dev->type && dev->type->name)
        add_uevent_var(env, "DEVTYPE=%s", dev->type->name);
    if (struct device_driver *drv = __atomic_load_n(&dev->driver, __ATOMIC_ACQUIRE))
        add_uevent_var(env, "DRIVER=%s", drv->name);
    if (dev->bus && dev->bus->uevent)
        dev->bus->uevent(dev, env);
    std::string text;
    for (int i = 0; i < env->envp_idx; ++i)
        text += std::string(env->envp[i]) + "\n";
    delete env;
    size_t n = std::min(text.size(), static_cast<size_t>(PAGE_SIZE - 1));
    std::memcpy(page, text.data(), n);
    return static_cast<ssize_t>(n);
}

int create_uevent_file(kern::DeviceCore *core)
{
    struct device *dev = core->dev;
    return kern::sysfs::create_file(core->sysfs_dir + "/uevent", 0644,
                                    kern::sysfs::page_ops([dev](char *page) { return uevent_text(dev, page); },
                                                          // Writing asks for the event again; there is no one
                                                          // to hear it here.
                                                          [](const char *, size_t n) { return ssize_t(n); }));
}

int create_dev_file(kern::DeviceCore *core)
{
    const dev_t devt = core->dev->devt;
    return kern::sysfs::create_file(core->sysfs_dir + "/dev", 0444,
                                    kern::sysfs::page_ops(
                                        [devt](char *page) {
                                            std::string text = number(devt) + "\n";
                                            std::memcpy(page, text.data(), text.size());
                                            return ssize_t(text.size());
                                        },
                                        nullptr));
}

// The directory the device's own goes in. A class device whose parent has no
// class lives in the class's "glue" directory there, made here.
int parent_dir(kern::DeviceCore *core, std::string *dir)
{
    struct device *dev = core->dev;
    std::string above = "/sys/devices";
    if (dev->parent) {
        above = kern::device_sysfs_dir(dev->parent);
        if (above.empty()) {
            printk(KERN_ERR "kobject_add_internal failed for %s with -ENOENT: its parent %s is not in sysfs\n",
                   core->name.c_str(), dev_name(dev->parent));
            return -ENOENT;
        }
    }
    if (dev->klass && !(dev->parent && dev->parent->klass)) {
        core->glue_dir = (dev->parent ? above : "/sys/devices/virtual") + "/" + dev->klass->name;
        above = core->glue_dir;
    }
    *dir = above;
    return 0;
}

// The class's part: links in the device's directory and in the class's.
int add_class_links(kern::DeviceCore *core)
{
    struct device *dev = core->dev;
    if (!dev->klass)
        return 0;
    const std::string cls = kern::class_dir(dev->klass);
    if (cls.empty()) {
        KERN_WARN("device %s: class %s is not registered\n", core->name.c_str(), dev->klass->name);
        return -EINVAL;
    }
    if (int err = kern::sysfs::create_link(core->sysfs_dir + "/subsystem", cls))
        return err;
    if (dev->parent)
        if (int err = kern::sysfs::create_link(core->sysfs_dir + "/device", kern::device_sysfs_dir(dev->parent)))
            return err;
    if (int err = kern::sysfs::create_link(cls + "/" + core->name, core->sysfs_dir))
        return err;
    core->class_link = cls + "/" + core->name;
    return 0;
}

// A device's number: its "dev" file, its link under /sys/dev and its node in
// /dev. As devtmpfs, a node that cannot be made is no error of the device.
int add_number(kern::DeviceCore *core)
{
    struct device *dev = core->dev;
    if (!MAJOR(dev->devt))
        return 0;
    if (int err = create_dev_file(core))
        return err;
    const std::string link = "/sys/dev/char/" + number(dev->devt);
    if (int err = kern::sysfs::create_link(link, core->sysfs_dir))
        return err;
    core->dev_link = link;
    const std::string node = "/dev/" + devnode_name(core->name);
    if (kern::vfs::add_chrdev_node(node, dev->devt, 0600) == 0)
        core->devnode = node;
    return 0;
}

const struct attribute_group *const *class_groups(struct device *dev)
{
    return dev->klass ? dev->klass->dev_groups : nullptr;
}
const struct attribute_group *const *type_groups(struct device *dev) { return dev->type ? dev->type->groups : nullptr; }

// The groups a device's class and type give it are the subsystem's, made
// without an injected failure; the device's own (dev->groups, the driver's)
// go through sysfs_create_groups() and can be made to fail.
int add_groups(struct device *dev)
{
    if (int err = kern::sysfs::create_groups(&dev->kobj, class_groups(dev)))
        return err;
    if (int err = kern::sysfs::create_groups(&dev->kobj, type_groups(dev))) {
        kern::sysfs::remove_groups(&dev->kobj, class_groups(dev));
        return err;
    }
    if (int err = sysfs_create_groups(&dev->kobj, dev->groups)) {
        kern::sysfs::remove_groups(&dev->kobj, type_groups(dev));
        kern::sysfs::remove_groups(&dev->kobj, class_groups(dev));
        return err;
    }
    return 0;
}

// Takes away what device_add made outside the device's directory: its node,
// its number's link and its class's link.
void remove_outside(kern::DeviceCore *core)
{
    kern::sysfs::remove(core->devnode);
    kern::sysfs::remove(core->dev_link);
    kern::sysfs::remove(core->class_link);
    core->devnode.clear();
    core->dev_link.clear();
    core->class_link.clear();
}

// Then the directory (waiting for attribute callbacks under way) and an
// emptied glue directory.
void remove_dir(kern::DeviceCore *core)
{
    kern::sysfs::remove(core->sysfs_dir);
    kern::sysfs::remove_if_empty(core->glue_dir);
    core->glue_dir.clear();
    core->sysfs_dir.clear();
}

void set_added(kern::DeviceCore *core, bool added)
{
    std::lock_guard hold(the_model_lock);
    core->added = added;
}

void add_child(struct device *dev)
{
    if (kern::DeviceCore *parent = kern::device_core(dev->parent)) {
        std::lock_guard hold(the_model_lock);
        parent->children.push_back(dev);
    }
}

void remove_child(struct device *dev)
{
    if (kern::DeviceCore *parent = kern::device_core(dev->parent)) {
        std::lock_guard hold(the_model_lock);
        auto &list = parent->children;
        list.erase(std::remove(list.begin(), list.end(), dev), list.end());
    }
}

// The last reference is gone: the device's managed resources, then whichever
// release the device has.
void release(kern::DeviceCore *core)
{
    struct device *dev = core->dev;
    kern::devres_release_all(dev);
    void (*fn)(struct device *) = dev->release;
    if (!fn && dev->type)
        fn = dev->type->release;
    if (!fn && dev->klass)
        fn = dev->klass->dev_release;
    dev->kernel_private = &released_mark;
    kern::kobj_bind(&dev->kobj, nullptr);
    kern::DeviceCore *outer = releasing;
    releasing = core;
    if (fn)
        fn(dev); // may free dev
    else
        KERN_WARN("Device '%s' does not have a release() function, it is broken and must be fixed.\n",
                  core->name.c_str());
    releasing = outer;
    delete core;
}

// The record of a device that must have been initialised, or null after a
// report of the kernel's words for the misuse.
kern::DeviceCore *initialised(const struct device *dev, const char *call)
{
    kern::DeviceCore *core = kern::device_core(dev);
    if (core && core->refs.load() > 0)
        return core;
    if (dev->kernel_private == &released_mark)
        KERN_WARN("refcount_t: underflow; use-after-free: %s on a released device (%p)\n", call,
                  static_cast<const void *>(dev));
    else
        KERN_WARN("kobject: '%s' (%p): is not initialized, yet %s is being called.\n", dev_name(dev),
                  static_cast<const void *>(dev), call);
    return nullptr;
}

} // namespace

namespace kern {

std::mutex &model_lock() { return the_model_lock; }

DeviceCore *device_core(const struct device *dev)
{
    if (!dev)
        return nullptr;
    if (is_record(dev->kernel_private))
        return static_cast<DeviceCore *>(dev->kernel_private);
    if (releasing && releasing->dev == dev)
        return releasing;
    return nullptr;
}

std::string device_sysfs_dir(const struct device *dev)
{
    const DeviceCore *core = device_core(dev);
    return core ? core->sysfs_dir : std::string();
}

bool device_is_added(const struct device *dev)
{
    const DeviceCore *core = device_core(dev);
    std::lock_guard hold(the_model_lock);
    return core && core->added;
}

vfs::AttrOps DeviceCore::attr_ops(struct kobject *kobj, struct attribute *attr)
{
    struct device *dev = kobj_to_dev(kobj);
    auto *dattr = container_of(attr, struct device_attribute, attr);
    std::function<ssize_t(char *)> show;
    std::function<ssize_t(const char *, size_t)> store;
    // As the kernel's, a file whose callback is missing answers -EIO.
    show = [dev, dattr](char *page) -> ssize_t { return dattr->show ? dattr->show(dev, dattr, page) : -EIO; };
    store = [dev, dattr](const char *buf, size_t n) -> ssize_t {
        return dattr->store ? dattr->store(dev, dattr, buf, n) : -EIO;
    };
    return sysfs::page_ops(std::move(show), std::move(store));
}

void DeviceLock::lock(const struct device *dev)
{
    if (held_by_me()) {
        KERN_BUG("possible recursive locking detected: device_lock(%s) is already held by this task, which "
                 "deadlocks",
                 dev_name(dev));
        ++depth_;
        return;
    }
    mutex_.lock();
    holder_.store(std::this_thread::get_id());
}

bool DeviceLock::try_lock()
{
    if (held_by_me() || !mutex_.try_lock())
        return false;
    holder_.store(std::this_thread::get_id());
    return true;
}

void DeviceLock::unlock()
{
    if (depth_ > 0) {
        --depth_;
        return;
    }
    holder_.store(std::thread::id());
    mutex_.unlock();
}

} // namespace kern

extern "C" {

int add_uevent_var(struct kobj_uevent_env *env, const char *format, ...)
{
    if (env->envp_idx >= UEVENT_NUM_ENVP) {
        printk(KERN_ERR "add_uevent_var: too many keys\n");
        return -ENOMEM;
    }
    va_list args;
    va_start(args, format);
    int len = std::vsnprintf(&env->buf[env->buflen], sizeof(env->buf) - env->buflen, format, args);
    va_end(args);
    if (len < 0 || len >= static_cast<int>(sizeof(env->buf)) - env->buflen) {
        printk(KERN_ERR "add_uevent_var: buffer size too small\n");
        return -ENOMEM;
    }
    env->envp[env->envp_idx++] = &env->buf[env->buflen];
    env->buflen += len + 1;
    return 0;
}

void device_initialize(struct device *dev)
{
    if (is_record(dev->kernel_private)) {
        auto *core = static_cast<kern::DeviceCore *>(dev->kernel_private);
        if (core->refs.load() == 0) { // named by dev_set_name() before
            core->refs.store(1);
            return;
        }
        KERN_WARN("kobject (%p): tried to init an initialized object, something is seriously wrong.\n",
                  static_cast<const void *>(&dev->kobj));
        return;
    }
    if (dev->kernel_private == &released_mark)
        KERN_WARN("kobject (%p): tried to init an initialized object, something is seriously wrong.\n",
                  static_cast<const void *>(&dev->kobj));
    auto *core = new kern::DeviceCore;
    core->dev = dev;
    dev->kernel_private = core;
    kern::kobj_bind(&dev->kobj, core);
    dev->kobj.name = nullptr;
}

int dev_set_name(struct device *dev, const char *fmt, ...)
{
    char name[256];
    va_list args;
    va_start(args, fmt);
    int len = std::vsnprintf(name, sizeof(name), fmt, args);
    va_end(args);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(name))
        return -ENOMEM;
    kern::DeviceCore *core = kern::device_core(dev);
    if (!core) {
        // Named before it is initialised, as drivers may: the record waits
        // for device_initialize() with no reference yet.
        core = new kern::DeviceCore;
        core->dev = dev;
        core->refs.store(0);
        dev->kernel_private = core;
    }
    core->name = sysfs_name(name);
    kern::kobj_bind(&dev->kobj, core);
    return 0;
}

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
    if (!dev)
        return nullptr;
    if (kern::DeviceCore *core = initialised(dev, "kobject_get()"))
        core->refs.fetch_add(1, std::memory_order_relaxed);
    return dev;
}

void put_device(struct device *dev)
{
    if (!dev)
        return;
    kern::DeviceCore *core = initialised(dev, "kobject_put()");
    if (core && core->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        release(core);
}

int device_add(struct device *dev)
{
    if (!dev)
        return -EINVAL;
    kern::DeviceCore *core = kern::device_core(dev);
    if (!core || core->refs.load() == 0) {
        KERN_WARN("kobject '%s' (%p): tried to add an uninitialized object, something is seriously wrong.\n",
                  dev_name(dev), static_cast<void *>(dev));
        return -EINVAL;
    }
    if (kern::device_is_added(dev)) {
        KERN_WARN("cannot create duplicate filename '%s': device %s is already added\n",
                  core->sysfs_dir.substr(4).c_str(), core->name.c_str());
        return -EEXIST;
    }
    get_device(dev);
    if (dev->init_name) {
        core->name = sysfs_name(dev->init_name);
        dev->init_name = nullptr;
    }
    if (core->name.empty() && dev->bus && dev->bus->dev_name)
        core->name = dev->bus->dev_name + std::to_string(dev->id);
    kern::kobj_bind(&dev->kobj, core);
    if (core->name.empty()) {
        put_device(dev);
        return -EINVAL;
    }

    std::string above;
    int err = parent_dir(core, &above);
    if (!err)
        err = kern::sysfs::create_dir(above + "/" + core->name);
    if (err) {
        kern::sysfs::remove_if_empty(core->glue_dir);
        core->glue_dir.clear();
        put_device(dev);
        return err;
    }
    core->sysfs_dir = above + "/" + core->name;
    get_device(dev->parent);
    dev->kobj.parent = dev->parent ? &dev->parent->kobj : nullptr;
    core->dead = false;
    set_added(core, true);

    err = create_uevent_file(core);
    if (!err)
        err = add_class_links(core);
    if (!err)
        err = add_groups(dev);
    bool on_bus = false;
    if (!err) {
        err = kern::bus_add_device(dev);
        on_bus = !err;
    }
    if (!err)
        err = add_number(core);
    if (err) {
        remove_outside(core);
        if (on_bus)
            kern::bus_remove_device(dev);
        set_added(core, false);
        remove_dir(core);
        put_device(dev->parent);
        put_device(dev);
        return err;
    }
    kern::bus_probe_device(dev);
    add_child(dev);
    kern::class_add_device(dev);
    put_device(dev);
    return 0;
}

int device_register(struct device *dev)
{
    device_initialize(dev);
    return device_add(dev);
}

void device_del(struct device *dev)
{
    kern::DeviceCore *core = kern::device_core(dev);
    if (!core || !kern::device_is_added(dev)) {
        KERN_WARN("device_del: device '%s' (%p) is not registered\n", dev_name(dev), static_cast<void *>(dev));
        return;
    }
    core->lock.lock(dev);
    core->dead = true;
    core->lock.unlock();

    remove_outside(core);
    kern::class_remove_device(dev);
    kern::bus_remove_device(dev);
    // Resources managed for a device no driver holds are let go here too.
    kern::devres_release_all(dev);
    remove_child(dev);
    set_added(core, false);
    remove_dir(core);
    put_device(dev->parent);
}

void device_unregister(struct device *dev)
{
    device_del(dev);
    put_device(dev);
}

bool device_is_registered(struct device *dev) { return kern::device_is_added(dev); }

void device_lock(struct device *dev)
{
    if (kern::DeviceCore *core = initialised(dev, "device_lock()"))
        core->lock.lock(dev);
}

int device_trylock(struct device *dev)
{
    kern::DeviceCore *core = initialised(dev, "device_trylock()");
    return core && core->lock.try_lock() ? 1 : 0;
}

void device_unlock(struct device *dev)
{
    if (kern::DeviceCore *core = kern::device_core(dev))
        core->lock.unlock();
}

int device_for_each_child(struct device *parent, void *data, int (*fn)(struct device *dev, void *data))
{
    kern::DeviceCore *core = kern::device_core(parent);
    if (!core)
        return 0;
    std::vector<struct device *> children;
    {
        std::lock_guard hold(the_model_lock);
        children = core->children;
        for (struct device *child : children)
            kern::device_core(child)->refs.fetch_add(1);
    }
    int result = 0;
    for (struct device *child : children) {
        if (!result && kern::device_is_added(child))
            result = fn(child, data);
        put_device(child);
    }
    return result;
}

int device_create_file(struct device *dev, const struct device_attribute *attr)
{
    if (!dev)
        return 0;
    if (!attr || !attr->attr.name)
        return -EINVAL;
    if ((attr->attr.mode & 0222) && !attr->store)
        KERN_WARN("Attribute %s: write permission without 'store'\n", attr->attr.name);
    if ((attr->attr.mode & 0444) && !attr->show)
        KERN_WARN("Attribute %s: read permission without 'show'\n", attr->attr.name);
    if (kern::should_fail("device_create_file"))
        return -ENOMEM;
    return sysfs_create_file(&dev->kobj, &attr->attr);
}

void device_remove_file(struct device *dev, const struct device_attribute *attr)
{
    if (dev && attr)
        sysfs_remove_file(&dev->kobj, &attr->attr);
}

} // extern "C"
