#pragma once
// The shape every driver of the module has, written once.
//
// Every driver is a platform pair of one name: a static device and its
// driver, registered by the driver's start entry and unregistered by its
// stop entry (quorvel_platform_start/_stop). A character-device driver is
// also a description of the device its probe makes (struct
// quorvel_cdev_driver); its file keeps the payload code, the file
// operations, the description and one-line callbacks under their own names,
// and the probe, remove, start and stop below do the rest:
//
//	quorvel_linux_<dev>_init -> quorvel_cdev_init: device, then driver
//	    (the bus binds them)  -> quorvel_<dev>_probe -> quorvel_cdev_probe:
//	        device numbers, cdev, class, nodes; each step's undoing is left
//	        with the device (devm), so a failed probe and the unbind after a
//	        good one take down what was made, newest first
//	quorvel_linux_<dev>_exit -> quorvel_cdev_exit: device (its remove, then
//	    the undoing: nodes, class, cdev, numbers), then driver
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/platform_device.h>

// A static platform device of the given name, instance and release
// callback; for the drivers' pair definitions.
constexpr struct platform_device quorvel_platform_device(const char *name, int id, void (*release)(struct device *),
							 void *platform_data = nullptr)
{
	return { .name = name, .id = id, .dev = { .platform_data = platform_data, .release = release } };
}

// Its driver: the same name, the probe and remove, owned by this module.
constexpr struct platform_driver quorvel_platform_driver(const char *name, int (*probe)(struct platform_device *),
							 int (*remove)(struct platform_device *))
{
	return { .probe = probe, .remove = remove, .driver = { .name = name, .owner = THIS_MODULE } };
}

// A character-device driver's pair, named after its description at each
// start (quorvel_cdev_init): instance 0, no platform data.
constexpr struct platform_device quorvel_cdev_pdev(void (*release)(struct device *))
{
	return quorvel_platform_device(nullptr, 0, release);
}

constexpr struct platform_driver quorvel_cdev_pdrv(int (*probe)(struct platform_device *),
						   int (*remove)(struct platform_device *))
{
	return quorvel_platform_driver(nullptr, probe, remove);
}

// Makes a static device new again for its registration: only the fields its
// driver gave it (parent, init_name, type, platform_data, groups, release)
// stay. For a device that is not registered.
void quorvel_platform_device_fresh(struct platform_device *pdev);
// Registers the device (made new), then the driver (whose probe runs then). 0, or the
// failed registration's negative errno with nothing left registered. A probe
// that fails leaves the pair registered and unbound, as on Linux: the
// driver's registration still succeeds.
[[nodiscard]] int quorvel_platform_start(struct platform_device *pdev, struct platform_driver *pdrv);
// The other order, the SPI masters': the driver, then the device (made
// new; the probe runs then). `failed`, when given, is set to "driver" or
// "device" after a registration that failed; nothing is left registered.
[[nodiscard]] int quorvel_platform_start_driver_first(struct platform_device *pdev, struct platform_driver *pdrv,
						      const char **failed = nullptr);
// Unregisters the device (its remove runs then), then the driver.
void quorvel_platform_stop(struct platform_device *pdev, struct platform_driver *pdrv);

// What a bound character device is made of; the probe sets them, the
// device's managed actions take them down.
struct quorvel_cdev_objects {
	dev_t my_dev;	   // the first device number: the major, minor 0
	struct cdev *cdev; // one per probe (see quorvel_cdev_probe)
	struct device_class *dev_class;
	unsigned int nodes_made;
};

// Which of the skeleton's messages a driver prints.
enum quorvel_cdev_says : u8 {
	QUORVEL_CDEV_SILENT = 0,
	// The probe: what failed ("Failed to ..."), then -1 rather than the
	// errno; the remove: "Character device exited".
	QUORVEL_CDEV_SAYS_STEPS = 1,
	// The start: "platform_device_register ret = %d\r\n" and
	// "platform_driver_register\r\n"; the stop: "<its name>:<its line>".
	QUORVEL_CDEV_SAYS_ENTRIES = 2,
	QUORVEL_CDEV_SAYS_ALL = QUORVEL_CDEV_SAYS_STEPS | QUORVEL_CDEV_SAYS_ENTRIES,
};

// The platform device and driver, both called `name`, registered in that
// order (the bus binds them as the driver comes).
struct quorvel_cdev_pair {
	const char *name;
	struct platform_device *device;
	struct platform_driver *driver;
};

// The device numbers: one minor per node from minor 0 of a major allocated
// under `region` (alloc_chrdev_region), with one cdev over them; or, for a
// driver with `whole_major`, all 256 minors of a major with the kernel's own
// cdev (register_chrdev) and one node. One class for the nodes.
struct quorvel_cdev_names {
	const char *region;
	const char *class_name;
	const char *nodes[2]; // the unused one null
};

// One character-device driver: its platform pair, the device its probe
// makes, and the messages it prints. Constant but for what a probe made.
struct quorvel_cdev_driver {
	struct quorvel_cdev_pair pair;
	struct quorvel_cdev_names chrdev;
	const struct file_operations *fops;
	u8 says = QUORVEL_CDEV_SAYS_ALL; // enum quorvel_cdev_says
	bool whole_major = false;
	mutable struct quorvel_cdev_objects objects = {};
};

// The probe: 0, or (the device's own undoing having taken down what was
// made) -1 when the driver says its steps, else the failed call's errno.
[[nodiscard]] int quorvel_cdev_probe(const struct quorvel_cdev_driver *d, struct platform_device *pdev);
// The remove: what the probe made goes with the device's managed actions,
// right after; always 0.
int quorvel_cdev_remove(const struct quorvel_cdev_driver *d);
// The start entry: names the pair, then registers the device and the
// driver. The device's registration's result, or the driver's when that
// fails (the device is then unregistered again, so that a start either
// registers the pair or leaves nothing).
[[nodiscard]] int quorvel_cdev_init(const struct quorvel_cdev_driver *d);
// The stop entry: the device (its remove runs) and the driver. The caller's
// name and line are the stop entry's own, as if it printed them itself.
void quorvel_cdev_exit(const struct quorvel_cdev_driver *d, const char *func = __builtin_FUNCTION(),
		       int line = __builtin_LINE());
