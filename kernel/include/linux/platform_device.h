#pragma once
// The platform bus: devices that nothing enumerates, met by their drivers by
// name (or by a name in the driver's id_table).
#include <linux/device.h>
#include <linux/mod_devicetable.h>

struct platform_device {
	const char *name;
	int id; // PLATFORM_DEVID_NONE: the device's name is `name`; else "name.id"
	bool id_auto;
	struct device dev;
	const struct platform_device_id *id_entry; // the id_table entry it was bound by
};

struct platform_driver {
	int (*probe)(struct platform_device *);
	int (*remove)(struct platform_device *); // its result is ignored, as the kernel ignores it
	void (*shutdown)(struct platform_device *);
	struct device_driver driver;
	const struct platform_device_id *id_table; // ended by an entry with an empty name
};

#define PLATFORM_DEVID_NONE (-1)
#define PLATFORM_DEVID_AUTO (-2) // the bus picks a number: "name.N.auto"

extern "C" {
extern struct bus_type platform_bus_type;
extern struct device platform_bus; // /sys/devices/platform, every platform device's default parent

// Registering a device or a driver binds every pair that matches and runs
// the driver's probe at once; unregistering runs its remove.
int platform_device_register(struct platform_device *pdev);
void platform_device_unregister(struct platform_device *pdev);
int platform_driver_register(struct platform_driver *drv);
void platform_driver_unregister(struct platform_driver *drv);

// A device the bus allocates: alloc, add, and del then put (or put alone
// if it was never added); its memory goes with its last reference.
struct platform_device *platform_device_alloc(const char *name, int id);
int platform_device_add(struct platform_device *pdev);
void platform_device_del(struct platform_device *pdev);
void platform_device_put(struct platform_device *pdev);
// Copies `size` bytes to be the device's platform_data.
int platform_device_add_data(struct platform_device *pdev, const void *data, size_t size);
}

inline struct platform_device *to_platform_device(struct device *dev)
{
	return reinterpret_cast<struct platform_device *>(reinterpret_cast<char *>(dev) -
							  __builtin_offsetof(struct platform_device, dev));
}
inline struct platform_driver *to_platform_driver(struct device_driver *drv)
{
	return reinterpret_cast<struct platform_driver *>(reinterpret_cast<char *>(drv) -
							  __builtin_offsetof(struct platform_driver, driver));
}
inline const struct platform_device_id *platform_get_device_id(const struct platform_device *pdev)
{
	return pdev->id_entry;
}
inline void *platform_get_drvdata(const struct platform_device *pdev) { return dev_get_drvdata(&pdev->dev); }
inline void platform_set_drvdata(struct platform_device *pdev, void *data) { dev_set_drvdata(&pdev->dev, data); }
inline void *dev_get_platdata(const struct device *dev) { return dev->platform_data; }
