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
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/platform_device.h>

// Registers the device, then the driver (whose probe runs then). 0, or the
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
