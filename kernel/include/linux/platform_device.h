#pragma once
#include <linux/device.h>

struct platform_device {
	const char *name;
	int id; // -1: the device's name is the bare name; otherwise "name.id"
	struct device dev;
};

struct platform_driver {
	int (*probe)(struct platform_device *);
	int (*remove)(struct platform_device *);
	void (*shutdown)(struct platform_device *);
	struct device_driver driver;
};

#define PLATFORM_DEVID_NONE (-1)

extern "C" {
// Registering a device or a driver binds every pair whose names match and
// runs the driver's probe at once; unregistering runs its remove.
int platform_device_register(struct platform_device *pdev);
void platform_device_unregister(struct platform_device *pdev);
int platform_driver_register(struct platform_driver *drv);
void platform_driver_unregister(struct platform_driver *drv);
}

inline struct platform_device *to_platform_device(struct device *dev)
{
	return reinterpret_cast<struct platform_device *>(reinterpret_cast<char *>(dev) -
							  __builtin_offsetof(struct platform_device, dev));
}
inline void *platform_get_drvdata(const struct platform_device *pdev) { return dev_get_drvdata(&pdev->dev); }
inline void platform_set_drvdata(struct platform_device *pdev, void *data) { dev_set_drvdata(&pdev->dev, data); }
