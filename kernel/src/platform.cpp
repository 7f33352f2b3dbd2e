// The platform bus: devices and drivers meet by name. Registering either side
// binds every matching unbound pair at once (the driver's probe runs in the
// registering call); unregistering either side unbinds (remove, then the
// device's managed resources).
#include <linux/platform_device.h>
#include <linux/errno.h>
#include <linux/printk.h>

#include "fault_inject.hpp"

#include "device_core.hpp"
#include "devres.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The device's name is "name.id", or "name" for id -1; its sysfs directory
// lies under /sys/devices/platform.
struct PlatformRecord : kern::DeviceCore {};

// Held across probe and remove, which may register other devices.
std::recursive_mutex bus_lock; // guards devices and drivers
std::vector<struct platform_device *> devices;
std::vector<struct platform_driver *> drivers;

PlatformRecord *record(const struct platform_device *pdev)
{
    return static_cast<PlatformRecord *>(static_cast<kern::DeviceCore *>(pdev->dev.kernel_private));
}

struct platform_driver *driver_of(struct platform_device *pdev)
{
    for (auto *drv : drivers)
        if (&drv->driver == pdev->dev.driver)
            return drv;
    return nullptr;
}

bool matches(const struct platform_device *pdev, const struct platform_driver *drv)
{
    return std::strcmp(pdev->name, drv->driver.name) == 0;
}

void probe(struct platform_device *pdev, struct platform_driver *drv)
{
    pdev->dev.driver = &drv->driver;
    int ret = drv->probe ? drv->probe(pdev) : 0;
    if (ret == 0)
        return;
    printk(KERN_WARNING "%s: probe of %s failed with error %d\n", drv->driver.name, record(pdev)->name.c_str(), ret);
    kern::devres_release_all(&pdev->dev);
    pdev->dev.driver = nullptr;
}

void unbind(struct platform_device *pdev)
{
    struct platform_driver *drv = driver_of(pdev);
    if (!drv)
        return;
    if (drv->remove)
        drv->remove(pdev);
    kern::devres_release_all(&pdev->dev);
    pdev->dev.driver = nullptr;
}

} // namespace

extern "C" {

int platform_device_register(struct platform_device *pdev)
{
    if (kern::should_fail("platform_device_register"))
        return -ENOMEM;
    std::lock_guard hold(bus_lock);
    if (std::find(devices.begin(), devices.end(), pdev) != devices.end())
        return -EBUSY;
    std::string name = pdev->name;
    if (pdev->id != PLATFORM_DEVID_NONE)
        name += "." + std::to_string(pdev->id);
    for (auto *other : devices)
        if (record(other)->name == name)
            return -EEXIST;
    auto *rec = new PlatformRecord;
    rec->name = name;
    rec->sysfs_dir = "/sys/devices/platform/" + name;
    pdev->dev.kernel_private = static_cast<kern::DeviceCore *>(rec);
    pdev->dev.driver = nullptr;
    devices.push_back(pdev);
    for (auto *drv : drivers)
        if (!pdev->dev.driver && matches(pdev, drv))
            probe(pdev, drv);
    return 0;
}

void platform_device_unregister(struct platform_device *pdev)
{
    std::lock_guard hold(bus_lock);
    auto it = std::find(devices.begin(), devices.end(), pdev);
    if (it == devices.end())
        return;
    unbind(pdev);
    devices.erase(it);
    if (pdev->dev.release)
        pdev->dev.release(&pdev->dev);
    else
        printk(KERN_ERR "Device '%s' does not have a release() function, it is broken and must be fixed.\n",
               record(pdev)->name.c_str());
    PlatformRecord *rec = record(pdev);
    pdev->dev.kernel_private = nullptr;
    kern::vfs::remove(rec->sysfs_dir);
    delete rec;
}

int platform_driver_register(struct platform_driver *drv)
{
    if (kern::should_fail("platform_driver_register"))
        return -ENOMEM;
    std::lock_guard hold(bus_lock);
    if (std::find(drivers.begin(), drivers.end(), drv) != drivers.end())
        return -EBUSY;
    drivers.push_back(drv);
    for (auto *pdev : devices)
        if (!pdev->dev.driver && matches(pdev, drv))
            probe(pdev, drv);
    return 0;
}

void platform_driver_unregister(struct platform_driver *drv)
{
    std::lock_guard hold(bus_lock);
    auto it = std::find(drivers.begin(), drivers.end(), drv);
    if (it == drivers.end())
        return;
    for (auto *pdev : devices)
        if (pdev->dev.driver == &drv->driver)
            unbind(pdev);
    drivers.erase(std::find(drivers.begin(), drivers.end(), drv));
}

} // extern "C"
