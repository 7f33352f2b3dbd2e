#pragma once
// The pieces every driver of the module repeats: its platform pair, and a
// character device with one node made from a dynamic major.
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/platform_device.h>

// Registers the device, then the driver (whose probe runs then); the
// driver registration's result.
int quorvel_platform_start(struct platform_device *pdev, struct platform_driver *pdrv);
// Unregisters the device (its remove runs then), then the driver.
void quorvel_platform_stop(struct platform_device *pdev, struct platform_driver *pdrv);

// One character device: a major for `region` with 256 minors, the class
// `class_name`, and the node `node` on minor 0.
struct quorvel_chrdev {
	const char *region;
	const char *class_name;
	const char *node;
	const struct file_operations *fops;
	int major;
	struct device_class *dev_class;
};

// 0 or a negative errno; on failure nothing is left registered.
int quorvel_chrdev_create(struct quorvel_chrdev *cd);
void quorvel_chrdev_destroy(struct quorvel_chrdev *cd);
