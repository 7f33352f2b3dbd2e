// The platform bus: devices nothing enumerates, met by their drivers by name
// or by a name in the driver's id_table. Built on the driver core (bus.cpp):
// registering either side binds every matching pair at once, in the
// registering call; unregistering runs the driver's remove.
//
// Every platform device without a parent lives under /sys/devices/platform
// (the device "platform_bus"); the bus is /sys/bus/platform. Devices show
// "modalias" ("platform:<name>") and MODALIAS in their uevent.
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/platform_device.h>
#include <linux/printk.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "bug.hpp"
#include "device_core.hpp"
#include "fault_inject.hpp"

#include <cstring>
#include <mutex>
#include <set>

namespace {

int platform_match(struct device *dev, struct device_driver *drv);
int platform_probe(struct device *dev);
int platform_remove(struct device *dev);
void platform_shutdown(struct device *dev);
int platform_uevent(struct device *dev, struct kobj_uevent_env *env);
ssize_t modalias_show(struct device *dev, struct device_attribute *attr, char *buf);

DEVICE_ATTR_RO(modalias);
struct attribute *platform_dev_attrs[] = {&dev_attr_modalias.attr, nullptr};
ATTRIBUTE_GROUPS(platform_dev);

void platform_bus_release(struct device *) {} // static, lives as long as the process

// The numbers PLATFORM_DEVID_AUTO hands out, lowest free first.
std::mutex auto_id_lock;
std::set<int> auto_ids;

int auto_id_get()
{
    std::lock_guard hold(auto_id_lock);
    int id = 0;
    while (auto_ids.count(id))
        ++id;
    auto_ids.insert(id);
    return id;
}

void auto_id_put(int id)
{
    std::lock_guard hold(auto_id_lock);
    auto_ids.erase(id);
}

// The bus and its root device exist from the first use on, as from boot on
// Linux, and are never taken away.
void platform_bus_init()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (kern::register_bus(&platform_bus_type) || device_register(&platform_bus))
            printk(KERN_ERR "platform: cannot register the platform bus\n");
    });
}

const struct platform_device_id *match_id(const struct platform_device_id *id, struct platform_device *pdev)
{
    for (; id->name[0]; ++id) {
        if (std::strcmp(pdev->name, id->name) == 0) {
            pdev->id_entry = id;
            return id;
        }
    }
    return nullptr;
}

int platform_match(struct device *dev, struct device_driver *drv)
{
    struct platform_device *pdev = to_platform_device(dev);
    struct platform_driver *pdrv = to_platform_driver(drv);
    if (pdrv->id_table)
        return match_id(pdrv->id_table, pdev) != nullptr;
    return std::strcmp(pdev->name, drv->name) == 0;
}

int platform_probe(struct device *dev)
{
    struct platform_driver *drv = to_platform_driver(dev->driver);
    return drv->probe ? drv->probe(to_platform_device(dev)) : 0;
}

int platform_remove(struct device *dev)
{
    struct platform_driver *drv = to_platform_driver(dev->driver);
    // Linux 4.4 ignores what remove returns, without a word.
    if (drv->remove)
        drv->remove(to_platform_device(dev));
    return 0;
}

void platform_shutdown(struct device *dev)
{
    struct platform_driver *drv = to_platform_driver(dev->driver);
    if (drv->shutdown)
        drv->shutdown(to_platform_device(dev));
}

int platform_uevent(struct device *dev, struct kobj_uevent_env *env)
{
    return add_uevent_var(env, "MODALIAS=platform:%s", to_platform_device(dev)->name);
}

ssize_t modalias_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "platform:%s\n", to_platform_device(dev)->name);
}

// A device platform_device_alloc() made, with its name after it, as the
// kernel lays it out: freed, with its data, at the last reference.
struct PlatformObject {
    struct platform_device pdev;
    char name[1];
};

void platform_device_release(struct device *dev)
{
    kfree(dev->platform_data);
    kfree(container_of(to_platform_device(dev), PlatformObject, pdev));
}

} // namespace

extern "C" {

struct bus_type platform_bus_type = {
    .name = "platform",
    .dev_groups = platform_dev_groups,
    .match = platform_match,
    .uevent = platform_uevent,
    .probe = platform_probe,
    .remove = platform_remove,
    .shutdown = platform_shutdown,
};

struct device platform_bus = {
    .init_name = "platform",
    .release = platform_bus_release,
};

int platform_device_add(struct platform_device *pdev)
{
    if (IS_ERR_OR_NULL(pdev))
        return -EINVAL;
    platform_bus_init();
    if (!pdev->dev.parent)
        pdev->dev.parent = &platform_bus;
    pdev->dev.bus = &platform_bus_type;
    switch (pdev->id) {
    default:
        dev_set_name(&pdev->dev, "%s.%d", pdev->name, pdev->id);
        break;
    case PLATFORM_DEVID_NONE:
        dev_set_name(&pdev->dev, "%s", pdev->name);
        break;
    case PLATFORM_DEVID_AUTO:
        // A suffix keeps numbers handed out apart from numbers given.
        pdev->id = auto_id_get();
        pdev->id_auto = true;
        dev_set_name(&pdev->dev, "%s.%d.auto", pdev->name, pdev->id);
        break;
    }
    int err = device_add(&pdev->dev);
    if (err && pdev->id_auto) {
        auto_id_put(pdev->id);
        pdev->id = PLATFORM_DEVID_AUTO;
        pdev->id_auto = false;
    }
    return err;
}

void platform_device_del(struct platform_device *pdev)
{
    if (IS_ERR_OR_NULL(pdev))
        return;
    device_del(&pdev->dev);
    if (pdev->id_auto) {
        auto_id_put(pdev->id);
        pdev->id = PLATFORM_DEVID_AUTO;
        pdev->id_auto = false;
    }
}

void platform_device_put(struct platform_device *pdev)
{
    if (!IS_ERR_OR_NULL(pdev))
        put_device(&pdev->dev);
}

int platform_device_register(struct platform_device *pdev)
{
    if (kern::should_fail("platform_device_register"))
        return -ENOMEM;
    if (kern::device_is_added(&pdev->dev)) {
        KERN_WARN("kobject (%p): tried to init an initialized object, something is seriously wrong: platform "
                  "device %s is already registered\n",
                  static_cast<void *>(&pdev->dev.kobj), dev_name(&pdev->dev));
        return -EEXIST;
    }
    device_initialize(&pdev->dev);
    return platform_device_add(pdev);
}

void platform_device_unregister(struct platform_device *pdev)
{
    if (IS_ERR_OR_NULL(pdev))
        return;
    if (!kern::device_is_added(&pdev->dev)) {
        KERN_WARN("platform device %s (%p) is not registered, yet it is being unregistered\n",
                  pdev->name ? pdev->name : "(null)", static_cast<void *>(pdev));
        return;
    }
    platform_device_del(pdev);
    platform_device_put(pdev);
}

struct platform_device *platform_device_alloc(const char *name, int id)
{
    auto *object = static_cast<PlatformObject *>(kzalloc(sizeof(PlatformObject) + std::strlen(name), GFP_KERNEL));
    if (!object)
        return nullptr;
    std::strcpy(object->name, name);
    object->pdev.name = object->name;
    object->pdev.id = id;
    device_initialize(&object->pdev.dev);
    object->pdev.dev.release = platform_device_release;
    return &object->pdev;
}

int platform_device_add_data(struct platform_device *pdev, const void *data, size_t size)
{
    void *copy = nullptr;
    if (data) {
        copy = kmalloc(size, GFP_KERNEL);
        if (!copy)
            return -ENOMEM;
        std::memcpy(copy, data, size);
    }
    kfree(pdev->dev.platform_data);
    pdev->dev.platform_data = copy;
    return 0;
}

int platform_driver_register(struct platform_driver *drv)
{
    if (kern::should_fail("platform_driver_register"))
        return -ENOMEM;
    platform_bus_init();
    drv->driver.bus = &platform_bus_type;
    return driver_register(&drv->driver);
}

void platform_driver_unregister(struct platform_driver *drv) { driver_unregister(&drv->driver); }

} // extern "C"
