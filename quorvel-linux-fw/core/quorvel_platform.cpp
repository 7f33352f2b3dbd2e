// The platform pair and character-device skeleton shared by the drivers.
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/module.h>

#include "core/quorvel_platform.h"

int quorvel_platform_start(struct platform_device *pdev, struct platform_driver *pdrv)
{
	(void)platform_device_register(pdev);
	return platform_driver_register(pdrv);
}

void quorvel_platform_stop(struct platform_device *pdev, struct platform_driver *pdrv)
{
	platform_device_unregister(pdev);
	platform_driver_unregister(pdrv);
}

// Each step is undone in reverse when a later one fails: a node is never left
// behind on a device number that has gone back to the kernel.
int quorvel_chrdev_create(struct quorvel_chrdev *cd)
{
	const struct quorvel_chrdev_desc *d = cd->desc;
	struct device *node;
	int major = register_chrdev(0, d->region, d->fops);

	if (major < 0)
		return major;
	cd->major = major;
	cd->dev_class = class_create(THIS_MODULE, d->class_name);
	if (IS_ERR(cd->dev_class)) {
		int err = static_cast<int>(PTR_ERR(cd->dev_class));
		unregister_chrdev(major, d->region);
		cd->dev_class = nullptr;
		return err;
	}
	node = device_create(cd->dev_class, nullptr, MKDEV(major, 0), nullptr, "%s", d->node);
	if (IS_ERR(node)) {
		class_destroy(cd->dev_class);
		unregister_chrdev(major, d->region);
		cd->dev_class = nullptr;
		return static_cast<int>(PTR_ERR(node));
	}
	return 0;
}

void quorvel_chrdev_destroy(struct quorvel_chrdev *cd)
{
	if (!cd->dev_class)
		return;
	device_destroy(cd->dev_class, MKDEV(cd->major, 0));
	class_destroy(cd->dev_class);
	unregister_chrdev(cd->major, cd->desc->region);
	cd->dev_class = nullptr;
}
