// Buses, their drivers, and the binding of drivers to devices, as the
// kernel's driver core does it:
//
// - A device added to a bus is offered to the bus's drivers in the order
//   they registered; a driver registered on a bus is offered every device in
//   the order they were added. The first driver whose match says yes and
//   whose probe returns 0 is bound.
// - Probe and remove run with the device's lock held (and, when a driver
//   registers or unregisters, its parent's too, as Linux 4.4 takes it), never
//   with a lock of the bus: the bus's lists have their own short lock
//   (kern::model_lock), and a walk over them holds a reference to each
//   device and driver, so a probe may register and unregister devices and
//   drivers, and a remove may wait for a thread that does.
// - A failed probe releases the device's managed resources and clears its
//   driver and driver data; so does unbinding, after the driver's remove.
//   A probe that asks to be deferred (-EPROBE_DEFER) is tried again after
//   another device binds.
// - In sysfs: /sys/bus/<bus>/devices/<dev> and /sys/bus/<bus>/drivers/<drv>
//   (with "bind", "unbind", "uevent", and "module" when the driver has an
//   owner); a bound device's "driver" link, and its link in its driver's
//   directory.
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/module.h>
#include <linux/printk.h>

#include "bug.hpp"
#include "device_core.hpp"
#include "devres.hpp"
#include "fault_inject.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>

namespace {

struct DriverCore;

struct BusCore {
    struct bus_type *bus = nullptr;
    std::string dir;                      // "/sys/bus/<name>"
    std::vector<struct device *> devices; // model_lock; in the order they were added
    std::vector<DriverCore *> drivers;    // model_lock; in the order they registered
};

struct DriverCore : kern::KObj {
    kern::vfs::AttrOps attr_ops(struct kobject *kobj, struct attribute *attr) override;

    struct device_driver *drv = nullptr;
    BusCore *bus = nullptr;
    struct kobject kobj {};
    std::vector<struct device *> bound; // model_lock; in the order they were bound
    int walkers = 0;                    // model_lock; walks holding this driver
    bool listed = false;                // model_lock; on its bus's list
    std::string module_link;            // /sys/module/<owner>/drivers/<bus>:<name>
};

std::condition_variable walk_done; // a walker let go of a driver (model_lock)

// Devices whose probe asked to be deferred (-EPROBE_DEFER), tried again after
// some other device binds, as Linux tries them. Linux does it on a work
// queue; here the outermost binding call of a thread does it once its own
// binding is done, so that no device lock is held while it runs.
std::vector<struct device *> deferred; // model_lock
std::atomic<unsigned long> binds{0};   // successful binds so far
thread_local int binding_depth = 0;
thread_local unsigned long binds_at_start = 0; // of the outermost binding call

void retry_deferred();

// Marks a call that may bind devices; the outermost one tries the deferred
// if some device bound meanwhile.
class BindingScope {
public:
    BindingScope()
    {
        if (binding_depth++ == 0)
            binds_at_start = binds.load();
    }
    ~BindingScope()
    {
        if (--binding_depth == 0 && binds.load() != binds_at_start)
            retry_deferred();
    }
    BindingScope(const BindingScope &) = delete;
    BindingScope &operator=(const BindingScope &) = delete;
};

void defer(struct device *dev)
{
    std::lock_guard hold(kern::model_lock());
    if (std::find(deferred.begin(), deferred.end(), dev) == deferred.end())
        deferred.push_back(dev);
}

void forget_deferred(struct device *dev)
{
    std::lock_guard hold(kern::model_lock());
    deferred.erase(std::remove(deferred.begin(), deferred.end(), dev), deferred.end());
}
std::map<std::string, BusCore *> buses; // model_lock

BusCore *bus_core(const struct bus_type *bus) { return bus ? static_cast<BusCore *>(bus->kernel_private) : nullptr; }
DriverCore *driver_core(const struct device_driver *drv)
{
    return drv ? static_cast<DriverCore *>(drv->kernel_private) : nullptr;
}

struct device_driver *driver_of(struct device *dev) { return __atomic_load_n(&dev->driver, __ATOMIC_ACQUIRE); }
void set_driver(struct device *dev, struct device_driver *drv)
{
    __atomic_store_n(&dev->driver, drv, __ATOMIC_RELEASE);
}

// The bus's devices from `start` on (after it, if given), each with a
// reference the caller puts.
std::vector<struct device *> devices_of(BusCore *bus, struct device *start)
{
    std::lock_guard hold(kern::model_lock());
    auto from = bus->devices.begin();
    if (start) {
        from = std::find(bus->devices.begin(), bus->devices.end(), start);
        if (from != bus->devices.end())
            ++from;
    }
    std::vector<struct device *> out(from, bus->devices.end());
    for (struct device *dev : out)
        kern::device_core(dev)->refs.fetch_add(1);
    return out;
}

// The bus's drivers, each held (walkers) until let go with release_walk.
std::vector<DriverCore *> drivers_of(BusCore *bus)
{
    std::lock_guard hold(kern::model_lock());
    std::vector<DriverCore *> out = bus->drivers;
    for (DriverCore *core : out)
        core->walkers++;
    return out;
}

void release_walk(DriverCore *core)
{
    std::lock_guard hold(kern::model_lock());
    if (--core->walkers == 0)
        walk_done.notify_all();
}

bool still_listed(DriverCore *core)
{
    std::lock_guard hold(kern::model_lock());
    return core->listed;
}

bool matches(struct device *dev, struct device_driver *drv)
{
    return !dev->bus->match || dev->bus->match(dev, drv) > 0;
}

// A lock on the device's parent, taken where Linux 4.4 takes it: around
// binding from a driver's registration and unbinding at its unregistration.
class ParentLock {
public:
    explicit ParentLock(struct device *dev) : parent_(dev->parent)
    {
        if (parent_)
            device_lock(parent_);
    }
    ~ParentLock()
    {
        if (parent_)
            device_unlock(parent_);
    }
    ParentLock(const ParentLock &) = delete;
    ParentLock &operator=(const ParentLock &) = delete;

private:
    struct device *parent_;
};

// The bound device's "driver" link and its link in the driver's directory.
int driver_sysfs_add(struct device *dev, DriverCore *drv)
{
    const std::string dir = kern::device_sysfs_dir(dev);
    const std::string in_driver = drv->sysfs_dir + "/" + dev_name(dev);
    if (int err = kern::sysfs::create_link(in_driver, dir))
        return err;
    if (int err = kern::sysfs::create_link(dir + "/driver", drv->sysfs_dir)) {
        kern::sysfs::remove(in_driver);
        return err;
    }
    return 0;
}

void driver_sysfs_remove(struct device *dev, DriverCore *drv)
{
    kern::sysfs::remove(drv->sysfs_dir + "/" + dev_name(dev));
    kern::sysfs::remove(kern::device_sysfs_dir(dev) + "/driver");
}

void unbind_cleanup(struct device *dev)
{
    kern::devres_release_all(dev);
    set_driver(dev, nullptr);
    dev_set_drvdata(dev, nullptr);
}

// Runs the driver's probe with the device locked. 1 if bound, 0 if the
// driver declined, a negative errno if the device can no longer bind.
int really_probe(struct device *dev, struct device_driver *drv)
{
    DriverCore *core = driver_core(drv);
    set_driver(dev, drv);
    if (driver_sysfs_add(dev, core)) {
        printk(KERN_ERR "really_probe: driver_sysfs_add(%s) failed\n", dev_name(dev));
        unbind_cleanup(dev);
        return 0;
    }
    int ret = 0;
    if (dev->bus->probe)
        ret = dev->bus->probe(dev);
    else if (drv->probe)
        ret = drv->probe(dev);
    if (ret == 0) {
        std::lock_guard hold(kern::model_lock());
        core->bound.push_back(dev);
        binds++;
        return 1;
    }
    switch (ret) {
    case -EPROBE_DEFER:
        defer(dev); // only a debug message on Linux
        break;
    case -ENODEV:
    case -ENXIO:
        break; // the driver declines the device: only a debug message on Linux
    default:
        printk(KERN_WARNING "%s: probe of %s failed with error %d\n", drv->name, dev_name(dev), ret);
    }
    driver_sysfs_remove(dev, core);
    unbind_cleanup(dev);
    return 0; // the next driver may try its luck
}

// With the device locked.
int driver_probe_device(struct device_driver *drv, struct device *dev)
{
    kern::DeviceCore *core = kern::device_core(dev);
    if (core->dead || !kern::device_is_added(dev))
        return -ENODEV;
    return really_probe(dev, drv);
}

// With the device locked: the driver's remove, then what it had.
void release_driver_locked(struct device *dev)
{
    struct device_driver *drv = driver_of(dev);
    if (!drv)
        return;
    DriverCore *core = driver_core(drv);
    driver_sysfs_remove(dev, core);
    if (dev->bus && dev->bus->remove)
        dev->bus->remove(dev);
    else if (drv->remove)
        drv->remove(dev);
    unbind_cleanup(dev);
    std::lock_guard hold(kern::model_lock());
    auto &bound = core->bound;
    bound.erase(std::remove(bound.begin(), bound.end(), dev), bound.end());
}

// Offers every device of the bus to a driver being registered.
void driver_attach(DriverCore *core)
{
    BindingScope scope;
    for (struct device *dev : devices_of(core->bus, nullptr)) {
        if (kern::device_is_added(dev) && matches(dev, core->drv)) {
            ParentLock parent(dev);
            device_lock(dev);
            if (!driver_of(dev))
                driver_probe_device(core->drv, dev);
            device_unlock(dev);
        }
        put_device(dev);
    }
}

// Unbinds every device of a driver being unregistered, the last bound first.
void driver_detach(DriverCore *core)
{
    for (;;) {
        struct device *dev;
        {
            std::lock_guard hold(kern::model_lock());
            if (core->bound.empty())
                return;
            dev = core->bound.back();
            kern::device_core(dev)->refs.fetch_add(1);
        }
        {
            ParentLock parent(dev);
            device_lock(dev);
            if (driver_of(dev) == core->drv) {
                release_driver_locked(dev);
            } else {
                std::lock_guard hold(kern::model_lock()); // unbound meanwhile
                core->bound.erase(std::remove(core->bound.begin(), core->bound.end(), dev), core->bound.end());
            }
            device_unlock(dev);
        }
        put_device(dev);
    }
}

// Tries every deferred device again, as long as the last round bound
// something; devices deferred again wait for the next bind.
void retry_deferred()
{
    ++binding_depth;
    for (;;) {
        std::vector<struct device *> round;
        {
            std::lock_guard hold(kern::model_lock());
            round.swap(deferred);
            for (struct device *dev : round)
                kern::device_core(dev)->refs.fetch_add(1);
        }
        if (round.empty())
            break;
        const unsigned long before = binds.load();
        for (struct device *dev : round) {
            if (kern::device_is_added(dev))
                device_attach(dev);
            put_device(dev);
        }
        if (binds.load() == before)
            break;
    }
    --binding_depth;
}

// The device named by what was written to "bind" or "unbind", with a
// reference; null if the bus has none.
struct device *named_device(struct device_driver *drv, const char *buf, size_t count)
{
    std::string name(buf, count);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0'))
        name.pop_back();
    return bus_find_device_by_name(drv->bus, nullptr, name.c_str());
}

ssize_t unbind_store(struct device_driver *drv, const char *buf, size_t count)
{
    struct device *dev = named_device(drv, buf, count);
    ssize_t err = -ENODEV;
    if (dev && driver_of(dev) == drv) {
        ParentLock parent(dev);
        device_release_driver(dev);
        err = static_cast<ssize_t>(count);
    }
    put_device(dev);
    return err;
}

ssize_t bind_store(struct device_driver *drv, const char *buf, size_t count)
{
    BindingScope scope;
    struct device *dev = named_device(drv, buf, count);
    ssize_t err = -ENODEV;
    if (dev && !driver_of(dev) && matches(dev, drv)) {
        ParentLock parent(dev);
        device_lock(dev);
        int ret = driver_probe_device(drv, dev);
        device_unlock(dev);
        err = ret > 0 ? static_cast<ssize_t>(count) : ret == 0 ? -ENODEV : ret;
    }
    put_device(dev);
    return err;
}

ssize_t uevent_store(struct device_driver *, const char *, size_t count) { return static_cast<ssize_t>(count); }

struct driver_attribute driver_attr_bind = {
    .attr = {.name = "bind", .mode = 0200}, .show = nullptr, .store = bind_store};
struct driver_attribute driver_attr_unbind = {
    .attr = {.name = "unbind", .mode = 0200}, .show = nullptr, .store = unbind_store};
struct driver_attribute driver_attr_uevent = {
    .attr = {.name = "uevent", .mode = 0200}, .show = nullptr, .store = uevent_store};

// The driver's "module" link and the module's link back, if the module has
// its directory.
void add_module_links(DriverCore *core)
{
    struct module *owner = core->drv->owner;
    if (!owner || !owner->name)
        return;
    const std::string module_dir = std::string("/sys/module/") + owner->name;
    if (!kern::vfs::exists(module_dir))
        return;
    const std::string back = module_dir + "/drivers/" + core->bus->bus->name + ":" + core->drv->name;
    if (kern::sysfs::create_link(core->sysfs_dir + "/module", module_dir) == 0 &&
        kern::sysfs::create_link(back, core->sysfs_dir) == 0)
        core->module_link = back;
}

void remove_driver(DriverCore *core)
{
    struct device_driver *drv = core->drv;
    if (!drv->suppress_bind_attrs) {
        driver_remove_file(drv, &driver_attr_bind);
        driver_remove_file(drv, &driver_attr_unbind);
    }
    driver_remove_file(drv, &driver_attr_uevent);
    {
        std::unique_lock hold(kern::model_lock());
        auto &list = core->bus->drivers;
        list.erase(std::remove(list.begin(), list.end(), core), list.end());
        core->listed = false;
        // A walk that holds the driver may still bind a device to it; wait
        // for it, so that the detach below sees that device.
        walk_done.wait(hold, [core] { return core->walkers == 0; });
    }
    driver_detach(core);
    kern::sysfs::remove(core->module_link);
    kern::sysfs::remove(core->sysfs_dir);
    drv->kernel_private = nullptr;
    delete core;
}

} // namespace

kern::vfs::AttrOps DriverCore::attr_ops(struct kobject *, struct attribute *attr)
{
    struct device_driver *driver = drv;
    auto *dattr = container_of(attr, struct driver_attribute, attr);
    return kern::sysfs::page_ops(
        [driver, dattr](char *page) -> ssize_t { return dattr->show ? dattr->show(driver, page) : -EIO; },
        [driver, dattr](const char *buf, size_t n) -> ssize_t {
            return dattr->store ? dattr->store(driver, buf, n) : -EIO;
        });
}

namespace kern {

int register_bus(struct bus_type *bus)
{
    if (!bus || !bus->name || !*bus->name)
        return -EINVAL;
    auto *core = new BusCore;
    core->bus = bus;
    core->dir = std::string("/sys/bus/") + bus->name;
    {
        std::lock_guard hold(kern::model_lock());
        if (bus->kernel_private || buses.count(bus->name)) {
            delete core;
            KERN_WARN("bus '%s' is already registered\n", bus->name);
            return -EEXIST;
        }
        buses[bus->name] = core;
        bus->kernel_private = core;
    }
    int err = kern::sysfs::create_dir(core->dir);
    if (!err)
        err = kern::vfs::mkdir(core->dir + "/devices");
    if (!err)
        err = kern::vfs::mkdir(core->dir + "/drivers");
    if (err) {
        kern::sysfs::remove(core->dir);
        std::lock_guard hold(kern::model_lock());
        buses.erase(bus->name);
        bus->kernel_private = nullptr;
        delete core;
    }
    return err;
}

std::string bus_dir(const struct bus_type *bus)
{
    BusCore *core = bus_core(bus);
    return core ? core->dir : std::string();
}

int bus_add_device(struct device *dev)
{
    BusCore *bus = bus_core(dev->bus);
    if (!bus)
        return 0; // a bus not registered: the device is on none, as in the kernel
    kern::DeviceCore *core = kern::device_core(dev);
    if (int err = kern::sysfs::create_groups(&dev->kobj, dev->bus->dev_groups))
        return err;
    const std::string link = bus->dir + "/devices/" + core->name;
    int err = kern::sysfs::create_link(link, core->sysfs_dir);
    if (!err) {
        err = kern::sysfs::create_link(core->sysfs_dir + "/subsystem", bus->dir);
        if (err)
            kern::sysfs::remove(link);
    }
    if (err) {
        kern::sysfs::remove_groups(&dev->kobj, dev->bus->dev_groups);
        return err;
    }
    core->bus_link = link;
    std::lock_guard hold(kern::model_lock());
    bus->devices.push_back(dev);
    return 0;
}

void bus_probe_device(struct device *dev)
{
    if (bus_core(dev->bus))
        device_attach(dev);
}

void bus_remove_device(struct device *dev)
{
    BusCore *bus = bus_core(dev->bus);
    if (!bus)
        return;
    kern::DeviceCore *core = kern::device_core(dev);
    kern::sysfs::remove(core->sysfs_dir + "/subsystem");
    kern::sysfs::remove(core->bus_link);
    core->bus_link.clear();
    kern::sysfs::remove_groups(&dev->kobj, dev->bus->dev_groups);
    {
        std::lock_guard hold(kern::model_lock());
        bus->devices.erase(std::remove(bus->devices.begin(), bus->devices.end(), dev), bus->devices.end());
    }
    forget_deferred(dev);
    device_release_driver(dev);
}

} // namespace kern

extern "C" {

int bus_register(struct bus_type *bus)
{
    if (kern::should_fail("bus_register"))
        return -ENOMEM;
    return kern::register_bus(bus);
}

void bus_unregister(struct bus_type *bus)
{
    BusCore *core = bus_core(bus);
    if (!core) {
        KERN_WARN("bus '%s' is not registered\n", bus && bus->name ? bus->name : "(null)");
        return;
    }
    {
        std::lock_guard hold(kern::model_lock());
        if (!core->devices.empty() || !core->drivers.empty())
            KERN_WARN("bus '%s' unregistered with %zu devices and %zu drivers still on it\n", bus->name,
                      core->devices.size(), core->drivers.size());
        buses.erase(bus->name);
        bus->kernel_private = nullptr;
    }
    kern::sysfs::remove(core->dir);
    delete core;
}

int bus_for_each_dev(struct bus_type *bus, struct device *start, void *data, int (*fn)(struct device *, void *))
{
    BusCore *core = bus_core(bus);
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

int bus_for_each_drv(struct bus_type *bus, struct device_driver *start, void *data,
                     int (*fn)(struct device_driver *, void *))
{
    BusCore *core = bus_core(bus);
    if (!core)
        return -EINVAL;
    std::vector<DriverCore *> drivers = drivers_of(core);
    bool started = start == nullptr;
    int result = 0;
    for (DriverCore *drv : drivers) {
        if (started && !result && still_listed(drv))
            result = fn(drv->drv, data);
        started = started || drv->drv == start;
        release_walk(drv);
    }
    return result;
}

struct device *bus_find_device(struct bus_type *bus, struct device *start, void *data,
                               int (*match)(struct device *, void *))
{
    BusCore *core = bus_core(bus);
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

struct device *bus_find_device_by_name(struct bus_type *bus, struct device *start, const char *name)
{
    return bus_find_device(bus, start, const_cast<char *>(name), [](struct device *dev, void *want) {
        return std::strcmp(dev_name(dev), static_cast<char *>(want)) == 0 ? 1 : 0;
    });
}

int driver_register(struct device_driver *drv)
{
    BusCore *bus = bus_core(drv->bus);
    if (!bus) {
        printk(KERN_ERR "Driver '%s' was unable to register with bus_type '%s' because the bus was not initialized.\n",
               drv->name, drv->bus && drv->bus->name ? drv->bus->name : "(null)");
        return -EINVAL;
    }
    if ((drv->bus->probe && drv->probe) || (drv->bus->remove && drv->remove) || (drv->bus->shutdown && drv->shutdown))
        printk(KERN_WARNING "Driver '%s' needs updating - please use bus_type methods\n", drv->name);
    auto *core = new DriverCore;
    core->drv = drv;
    core->bus = bus;
    core->name = drv->name;
    core->sysfs_dir = bus->dir + "/drivers/" + drv->name;
    {
        std::lock_guard hold(kern::model_lock());
        bool taken = drv->kernel_private != nullptr;
        for (DriverCore *other : bus->drivers)
            taken = taken || other->name == drv->name;
        if (taken) {
            delete core;
            printk(KERN_ERR "Error: Driver '%s' is already registered, aborting...\n", drv->name);
            return -EBUSY;
        }
        bus->drivers.push_back(core);
        core->listed = true;
        drv->kernel_private = core;
    }
    kern::kobj_bind(&core->kobj, core);
    if (int err = kern::vfs::mkdir(core->sysfs_dir)) {
        std::lock_guard hold(kern::model_lock());
        bus->drivers.erase(std::find(bus->drivers.begin(), bus->drivers.end(), core));
        drv->kernel_private = nullptr;
        delete core;
        return err;
    }
    driver_attach(core);
    add_module_links(core);
    if (driver_create_file(drv, &driver_attr_uevent))
        printk(KERN_ERR "bus_add_driver: uevent attr (%s) failed\n", drv->name);
    if (!drv->suppress_bind_attrs &&
        (driver_create_file(drv, &driver_attr_bind) || driver_create_file(drv, &driver_attr_unbind)))
        printk(KERN_ERR "bus_add_driver: add_bind_files(%s) failed\n", drv->name);
    if (int err = sysfs_create_groups(&core->kobj, drv->groups)) {
        remove_driver(core);
        return err;
    }
    return 0;
}

void driver_unregister(struct device_driver *drv)
{
    DriverCore *core = driver_core(drv);
    if (!core || !still_listed(core)) {
        KERN_WARN("Unexpected driver unregister!\n");
        return;
    }
    kern::sysfs::remove_groups(&core->kobj, drv->groups);
    remove_driver(core);
}

int driver_create_file(struct device_driver *drv, const struct driver_attribute *attr)
{
    DriverCore *core = driver_core(drv);
    if (!core || !attr)
        return -EINVAL;
    return sysfs_create_file(&core->kobj, &attr->attr);
}

void driver_remove_file(struct device_driver *drv, const struct driver_attribute *attr)
{
    if (DriverCore *core = driver_core(drv))
        sysfs_remove_file(&core->kobj, &attr->attr);
}

int device_attach(struct device *dev)
{
    BusCore *bus = bus_core(dev->bus);
    if (!bus)
        return 0;
    BindingScope scope;
    int ret = 0;
    device_lock(dev);
    if (driver_of(dev)) {
        ret = 1;
    } else {
        for (DriverCore *drv : drivers_of(bus)) {
            if (ret == 0 && still_listed(drv) && matches(dev, drv->drv))
                ret = driver_probe_device(drv->drv, dev);
            release_walk(drv);
        }
    }
    device_unlock(dev);
    return ret < 0 ? 0 : ret;
}

void device_release_driver(struct device *dev)
{
    if (!kern::device_core(dev))
        return;
    device_lock(dev);
    release_driver_locked(dev);
    device_unlock(dev);
}

} // extern "C"
