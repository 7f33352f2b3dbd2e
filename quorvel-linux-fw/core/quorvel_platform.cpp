// The drivers' shape: the platform pair's start and stop, and the probe,
// remove, start and stop of the character-device drivers over their
// descriptions. Each step is undone in reverse when a later one fails: a
// node is never left behind on a device number that has gone back to the
// kernel, nor a device registered without its driver.
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

namespace {

// Registers the device (made new), then the driver, announcing both when
// `say`. A driver that cannot be registered takes its device back with it.
int quorvel_platform_register(struct platform_device *pdev, struct platform_driver *pdrv, bool say)
{
	int ret;

	quorvel_platform_device_fresh(pdev);
	ret = platform_device_register(pdev);
	if (say)
		printk("platform_device_register ret = %d\r\n", ret);
	if (ret)
		return ret;
	if (say)
		printk("platform_driver_register\r\n");
	ret = platform_driver_register(pdrv);
	if (ret)
		platform_device_unregister(pdev);
	return ret;
}

} // namespace

int quorvel_platform_start(struct platform_device *pdev, struct platform_driver *pdrv)
{
	return quorvel_platform_register(pdev, pdrv, false);
}

int quorvel_platform_start_driver_first(struct platform_device *pdev, struct platform_driver *pdrv, const char **failed)
{
	const char *which = "driver";
	int ret = platform_driver_register(pdrv);

	if (!ret) {
		which = "device";
		quorvel_platform_device_fresh(pdev);
		ret = platform_device_register(pdev);
		if (ret)
			platform_driver_unregister(pdrv);
	}
	if (ret && failed)
		*failed = which;
	return ret;
}

void quorvel_platform_stop(struct platform_device *pdev, struct platform_driver *pdrv)
{
	platform_device_unregister(pdev);
	platform_driver_unregister(pdrv);
}

namespace {

// The probe's steps, in order. Each makes one part of the device, or fails
// leaving nothing of itself; once it has made its part, its undoing is left
// with the platform device, to run when the probe fails later or the
// device is unbound. The devices are static and stay: only what a probe
// makes comes and goes with the binding.
struct quorvel_cdev_step {
	int (*make)(const struct quorvel_cdev_driver *d); // 0 or a negative errno
	void (*undo)(void *d);
	const char *failed; // what a driver that says its steps prints when make fails
};

const struct quorvel_cdev_driver *driver_of(void *d) { return static_cast<const struct quorvel_cdev_driver *>(d); }

// The minors, one per node.
unsigned int quorvel_cdev_count(const struct quorvel_cdev_driver *d) { return d->chrdev.nodes[1] ? 2 : 1; }

int quorvel_cdev_numbers(const struct quorvel_cdev_driver *d)
{
	int major;

	if (!d->whole_major)
		return alloc_chrdev_region(&d->objects.my_dev, 0, quorvel_cdev_count(d), d->chrdev.region);
	major = register_chrdev(0, d->chrdev.region, d->fops);
	if (major < 0)
		return major;
	d->objects.my_dev = MKDEV(major, 0);
	return 0;
}

void quorvel_cdev_drop_numbers(void *p)
{
	const struct quorvel_cdev_driver *d = driver_of(p);

	if (!d->whole_major)
		unregister_chrdev_region(d->objects.my_dev, quorvel_cdev_count(d));
	else
		unregister_chrdev(MAJOR(d->objects.my_dev), d->chrdev.region);
}

// A new cdev for every probe, which the kernel frees after the last file
// opened on it is closed: a static one made anew by a later probe would be
// written under the files still open on the last binding. A whole major
// (register_chrdev) has the kernel's own.
int quorvel_cdev_add(const struct quorvel_cdev_driver *d)
{
	struct cdev *c;
	int ret;

	if (d->whole_major)
		return 0;
	c = cdev_alloc();
	if (!c)
		return -ENOMEM;
	c->owner = THIS_MODULE;
	c->ops = d->fops;
	ret = cdev_add(c, d->objects.my_dev, quorvel_cdev_count(d));
	if (ret < 0) {
		cdev_del(c);
		return ret;
	}
	d->objects.cdev = c;
	return 0;
}

void quorvel_cdev_drop_cdev(void *p)
{
	struct quorvel_cdev_objects *o = &driver_of(p)->objects;

	if (o->cdev)
		cdev_del(o->cdev);
	o->cdev = nullptr;
}

int quorvel_cdev_class(const struct quorvel_cdev_driver *d)
{
	struct device_class *cls = class_create(THIS_MODULE, d->chrdev.class_name);

	if (IS_ERR(cls))
		return static_cast<int>(PTR_ERR(cls));
	d->objects.dev_class = cls;
	return 0;
}

void quorvel_cdev_drop_class(void *p) { class_destroy(driver_of(p)->objects.dev_class); }

// Newest first: the infrared driver's "ir_recv" before its "ir_send".
void quorvel_cdev_drop_nodes(void *p)
{
	struct quorvel_cdev_objects *o = &driver_of(p)->objects;

	while (o->nodes_made) {
		o->nodes_made--;
		device_destroy(o->dev_class, o->my_dev + o->nodes_made);
	}
}

int quorvel_cdev_nodes(const struct quorvel_cdev_driver *d)
{
	struct quorvel_cdev_objects *o = &d->objects;

	for (o->nodes_made = 0; o->nodes_made < quorvel_cdev_count(d); o->nodes_made++) {
		const unsigned int minor = o->nodes_made;
		struct device *node =
			device_create(o->dev_class, nullptr, o->my_dev + minor, nullptr, "%s", d->chrdev.nodes[minor]);

		if (IS_ERR(node)) {
			if (d->says & QUORVEL_CDEV_SAYS_STEPS)
				printk(KERN_ERR "Failed to create device%u file\n", o->nodes_made + 1);
			quorvel_cdev_drop_nodes(const_cast<struct quorvel_cdev_driver *>(d));
			return static_cast<int>(PTR_ERR(node));
		}
	}
	return 0;
}

const struct quorvel_cdev_step quorvel_cdev_steps[] = {
	{ .make = quorvel_cdev_numbers,
	  .undo = quorvel_cdev_drop_numbers,
	  .failed = "Failed to allocate device numbers\n" },
	{ .make = quorvel_cdev_add, .undo = quorvel_cdev_drop_cdev, .failed = "Failed to add character device\n" },
	{ .make = quorvel_cdev_class, .undo = quorvel_cdev_drop_class, .failed = "Failed to create device class\n" },
	{ .make = quorvel_cdev_nodes, .undo = quorvel_cdev_drop_nodes, .failed = nullptr },
};

int quorvel_cdev_make(const struct quorvel_cdev_driver *d, struct device *dev)
{
	void *undo_data = const_cast<struct quorvel_cdev_driver *>(d);

	for (const struct quorvel_cdev_step &step : quorvel_cdev_steps) {
		int ret = step.make(d);

		if (ret < 0) {
			if (step.failed && (d->says & QUORVEL_CDEV_SAYS_STEPS))
				printk("%s", step.failed);
			return ret;
		}
		// On failure the undoing has run already.
		ret = devm_add_action_or_reset(dev, step.undo, undo_data);
		if (ret)
			return ret;
	}
	return 0;
}

} // namespace

int quorvel_cdev_probe(const struct quorvel_cdev_driver *d, struct platform_device *pdev)
{
	int ret = quorvel_cdev_make(d, &pdev->dev);

	if (ret && (d->says & QUORVEL_CDEV_SAYS_STEPS))
		return -1;
	return ret;
}

int quorvel_cdev_remove(const struct quorvel_cdev_driver *d)
{
	if (d->says & QUORVEL_CDEV_SAYS_STEPS)
		printk("Character device exited\n");
	return 0;
}

// The pair is named here, not where it is defined: the description says
// its name once.
int quorvel_cdev_init(const struct quorvel_cdev_driver *d)
{
	d->pair.device->name = d->pair.name;
	d->pair.driver->driver.name = d->pair.name;
	return quorvel_platform_register(d->pair.device, d->pair.driver, d->says & QUORVEL_CDEV_SAYS_ENTRIES);
}

void quorvel_cdev_exit(const struct quorvel_cdev_driver *d, const char *func, int line)
{
	if (d->says & QUORVEL_CDEV_SAYS_ENTRIES)
		printk("%s:%d\n", func, line);
	quorvel_platform_stop(d->pair.device, d->pair.driver);
}
