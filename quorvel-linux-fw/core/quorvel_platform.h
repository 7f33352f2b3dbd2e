#pragma once
// What every driver of the module repeats, done once: registering its
// platform pair, and the character device its probe makes. Each driver file
// keeps its own named objects (the platform device and driver, the probe,
// remove and release callbacks, its file operations, major and class) and
// hands them to these helpers, so that a new driver is a short file:
//
//	int major;
//	struct device_class *foo_class;
//	const struct quorvel_chrdev_desc foo_chrdev = { .region = "foo", ... };
//	int quorvel_foo_platform_probe(struct platform_device *pdev)
//	{
//		return quorvel_chrdev_create(&foo_chrdev, &major, &foo_class);
//	}
//	... remove, release, and the pair with designated initialisers ...
//	int quorvel_linux_foo_init(void)
//	{
//		return quorvel_platform_start(&quorvel_foo_platform_device, &quorvel_foo_platform_driver);
//	}
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/platform_device.h>

// Makes a static device new again for its registration: only the fields its
// driver gave it (parent, init_name, type, platform_data, groups, release)
// stay. For a device that is not registered.
void quorvel_platform_device_fresh(struct platform_device *pdev);
// Registers the device (made new), then the driver (whose probe runs then). 0, or the
// failed registration's negative errno with nothing left registered. A probe
// that fails leaves the pair registered and unbound, as on Linux: the
// driver's registration still succeeds.
[[nodiscard]] int quorvel_platform_start(struct platform_device *pdev, struct platform_driver *pdrv);
// Unregisters the device (its remove runs then), then the driver.
void quorvel_platform_stop(struct platform_device *pdev, struct platform_driver *pdrv);

// A character device on a major allocated for `region` with 256 minors
// (register_chrdev), the class `class_name`, and the node `node` on minor 0.
struct quorvel_chrdev_desc {
	const char *region;
	const char *class_name;
	const char *node;
	const struct file_operations *fops;
};

// Makes the device, storing its major and class in the driver's own
// variables. 0, or a negative errno with nothing left registered.
[[nodiscard]] int quorvel_chrdev_create(const struct quorvel_chrdev_desc *desc, int *major, struct device_class **cls);
// Takes down what quorvel_chrdev_create made, in reverse.
void quorvel_chrdev_destroy(const struct quorvel_chrdev_desc *desc, int major, struct device_class *cls);

// The sensor and actuator drivers' shape: a region of `count` minors
// (alloc_chrdev_region), one cdev over all of it, a class and one node per
// minor. The driver keeps the objects (`my_dev`, `cdev`, `dev_class`) in its
// own file and names them here.
struct quorvel_cdev_desc {
	const char *region;
	const char *class_name;
	const char *const *nodes; // one per minor, from minor 0
	unsigned int count;
	const struct file_operations *fops;
};

struct quorvel_cdev {
	dev_t *my_dev;
	struct cdev *cdev;
	struct device_class **dev_class;
};

// The probe: logs what failed and undoes the steps before it in reverse.
// 0, or -1 with nothing left (the failed call's errno is not passed on).
[[nodiscard]] int quorvel_cdev_probe(const struct quorvel_cdev_desc *desc, const struct quorvel_cdev *c);
// The remove: nodes, class, cdev, region; then "Character device exited".
void quorvel_cdev_remove(const struct quorvel_cdev_desc *desc, const struct quorvel_cdev *c);

// The start entry: registers the device and then the driver, announcing
// both unless `quiet`. The device registration's result, or the driver's
// when that fails (the device is then unregistered again, so that a start
// either registers the pair or leaves nothing).
[[nodiscard]] int quorvel_cdev_init(struct platform_device *pdev, struct platform_driver *pdrv, bool quiet = false);
// The stop entry: "<caller>:<line>" unless `quiet`, then the device (its
// remove runs) and the driver. The caller's name and line are the stop
// entry's own, as if it printed them itself.
void quorvel_cdev_exit(struct platform_device *pdev, struct platform_driver *pdrv, bool quiet = false,
		       const char *func = __builtin_FUNCTION(), int line = __builtin_LINE());
