// The platform pair and character-device helpers shared by the drivers.
// Each step is undone in reverse when a later one fails: a node is never
// left behind on a device number that has gone back to the kernel, nor a
// device registered without its driver.
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/module.h>

#include "core/quorvel_platform.h"

int quorvel_platform_start(struct platform_device *pdev, struct platform_driver *pdrv)
{
	int ret = platform_device_register(pdev);

	if (ret)
		return ret;
	ret = platform_driver_register(pdrv);
	if (ret)
		platform_device_unregister(pdev);
	return ret;
}

void quorvel_platform_stop(struct platform_device *pdev, struct platform_driver *pdrv)
{
	platform_device_unregister(pdev);
	platform_driver_unregister(pdrv);
}

int quorvel_chrdev_create(const struct quorvel_chrdev_desc *desc, int *major, struct device_class **cls)
{
	struct device_class *made_class;
	struct device *node;
	int got = register_chrdev(0, desc->region, desc->fops);

	if (got < 0)
		return got;
	made_class = class_create(THIS_MODULE, desc->class_name);
	if (IS_ERR(made_class)) {
		unregister_chrdev(got, desc->region);
		return static_cast<int>(PTR_ERR(made_class));
	}
	node = device_create(made_class, nullptr, MKDEV(got, 0), nullptr, "%s", desc->node);
	if (IS_ERR(node)) {
		class_destroy(made_class);
		unregister_chrdev(got, desc->region);
		return static_cast<int>(PTR_ERR(node));
	}
	*major = got;
	*cls = made_class;
	return 0;
}

void quorvel_chrdev_destroy(const struct quorvel_chrdev_desc *desc, int major, struct device_class *cls)
{
	device_destroy(cls, MKDEV(major, 0));
	class_destroy(cls);
	unregister_chrdev(major, desc->region);
}
