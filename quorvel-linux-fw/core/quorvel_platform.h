#pragma once
// The pieces every driver of the module repeats: its platform pair, and a
// character device with one node made from a dynamic major.
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/platform_device.h>

// Registers the device, then the driver (whose probe runs then); the
// driver registration's result.
int quorvel_platform_start(struct platform_device *pdev, struct platform_driver *pdrv);
// Unregisters the device (its remove runs then), then the driver.
void quorvel_platform_stop(struct platform_device *pdev, struct platform_driver *pdrv);

// One character device: a major for `region` with 256 minors, the class
// `class_name`, and the node `node` on minor 0; the platform pair that makes
// it is called `name`.
struct quorvel_chrdev_desc {
	const char *name;
	const char *region;
	const char *class_name;
	const char *node;
	const struct file_operations *fops;
};

// A character device's state while it exists.
struct quorvel_chrdev {
	const struct quorvel_chrdev_desc *desc;
	int major;
	struct device_class *dev_class;
};

// 0 or a negative errno; on failure nothing is left registered.
int quorvel_chrdev_create(struct quorvel_chrdev *cd);
void quorvel_chrdev_destroy(struct quorvel_chrdev *cd);

// A driver that is one platform pair whose probe makes the character device
// `D` describes and whose remove takes it down again. Each instance has its
// own device, driver and state, all initialised at compile time.
template <const struct quorvel_chrdev_desc &D> class quorvel_chrdev_driver {
public:
	static int start(void) { return quorvel_platform_start(&device, &driver); }
	static void stop(void) { quorvel_platform_stop(&device, &driver); }

private:
	static int probe(struct platform_device *pdev) { return quorvel_chrdev_create(&chrdev); }
	static int remove(struct platform_device *pdev)
	{
		quorvel_chrdev_destroy(&chrdev);
		return 0;
	}
	// The device is static: nothing to free when it goes.
	static void release(struct device *dev) {}

	static inline struct quorvel_chrdev chrdev = { &D, 0, nullptr };
	static inline struct platform_device device = {
		.name = D.name,
		.id = 0,
		.dev = { .release = release },
	};
	static inline struct platform_driver driver = {
		.probe = probe,
		.remove = remove,
		.driver = { .name = D.name, .owner = THIS_MODULE },
	};
};
