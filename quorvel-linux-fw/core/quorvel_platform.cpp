// The platform pair and character-device helpers shared by the drivers.
// Each step is undone in reverse when a later one fails: a node is never
// left behind on a device number that has gone back to the kernel, nor a
// device registered without its driver.
#include <linux/cdev.h>
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/module.h>

#include "core/quorvel_platform.h"

// A static device whose start failed was released, and keeps the kernel's
// marks of its registration: registering it again as it is would be
// "tried to init an initialized object". Enable-all starts such a driver
// again, so every start registers the device as new, with only the fields
// its driver gave it.
void quorvel_platform_device_fresh(struct platform_device *pdev)
{
	const struct device given = {
		.parent = pdev->dev.parent,
		.init_name = pdev->dev.init_name,
		.type = pdev->dev.type,
		.platform_data = pdev->dev.platform_data,
		.groups = pdev->dev.groups,
		.release = pdev->dev.release,
	};

	pdev->id_auto = false;
	pdev->id_entry = nullptr;
	pdev->dev = given;
}

int quorvel_platform_start(struct platform_device *pdev, struct platform_driver *pdrv)
{
	int ret;

	quorvel_platform_device_fresh(pdev);
	ret = platform_device_register(pdev);

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

namespace {

void quorvel_cdev_destroy_nodes(const struct quorvel_cdev_desc *desc, const struct quorvel_cdev *c, unsigned int made)
{
	while (made--)
		device_destroy(*c->dev_class, *c->my_dev + made);
}

} // namespace

int quorvel_cdev_probe(const struct quorvel_cdev_desc *desc, const struct quorvel_cdev *c)
{
	unsigned int made;

	if (alloc_chrdev_region(c->my_dev, 0, desc->count, desc->region) < 0) {
		printk("Failed to allocate device numbers\n");
		return -1;
	}
	cdev_init(c->cdev, desc->fops);
	c->cdev->owner = THIS_MODULE;
	if (cdev_add(c->cdev, *c->my_dev, desc->count) < 0) {
		printk("Failed to add character device\n");
		goto free_region;
	}
	*c->dev_class = class_create(THIS_MODULE, desc->class_name);
	if (IS_ERR(*c->dev_class)) {
		printk("Failed to create device class\n");
		goto del_cdev;
	}
	for (made = 0; made < desc->count; made++) {
		struct device *node =
			device_create(*c->dev_class, nullptr, *c->my_dev + made, nullptr, "%s", desc->nodes[made]);
		if (IS_ERR(node)) {
			printk(KERN_ERR "Failed to create device%u file\n", made + 1);
			goto destroy_nodes;
		}
	}
	return 0;

destroy_nodes:
	quorvel_cdev_destroy_nodes(desc, c, made);
	class_destroy(*c->dev_class);
del_cdev:
	cdev_del(c->cdev);
free_region:
	unregister_chrdev_region(*c->my_dev, desc->count);
	return -1;
}

void quorvel_cdev_remove(const struct quorvel_cdev_desc *desc, const struct quorvel_cdev *c)
{
	quorvel_cdev_destroy_nodes(desc, c, desc->count);
	class_destroy(*c->dev_class);
	cdev_del(c->cdev);
	unregister_chrdev_region(*c->my_dev, desc->count);
	printk("Character device exited\n");
}

// A static device registered again, after a start that failed or by a later
// run-time start, starts from its definition: what the last registration
// left in it would be taken for a device still initialised.
int quorvel_cdev_init(struct platform_device *pdev, struct platform_driver *pdrv, bool quiet)
{
	int ret;

	quorvel_platform_device_fresh(pdev);
	ret = platform_device_register(pdev);

	if (!quiet)
		printk("platform_device_register ret = %d\r\n", ret);
	if (ret)
		return ret;
	if (!quiet)
		printk("platform_driver_register\r\n");
	ret = platform_driver_register(pdrv);
	if (ret)
		platform_device_unregister(pdev);
	return ret;
}

void quorvel_cdev_exit(struct platform_device *pdev, struct platform_driver *pdrv, bool quiet, const char *func,
		       int line)
{
	if (!quiet)
		printk("%s:%d\n", func, line);
	quorvel_platform_stop(pdev, pdrv);
}
