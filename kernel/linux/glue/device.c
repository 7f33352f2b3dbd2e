// SPDX-License-Identifier: GPL-2.0
/*
 * Classes, devices, and the platform bus. The module's devices, classes and
 * platform devices and drivers are its own structures; each stands for a
 * kernel one that the glue makes, registers and releases. The glue keeps the
 * pairs, so that the kernel's probe and remove of a platform device reach
 * the module's driver with the module's device.
 *
 * What the glue does not translate yet (attribute groups, device types,
 * buses of the module's own) is refused when it is asked for, rather than
 * left out without a word.
 */
#include <linux/completion.h>
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "qk.h"

static DEFINE_MUTEX(qk_devices_lock); /* guards the three lists */
static LIST_HEAD(qk_nodes);	      /* devices made by device_create */
static LIST_HEAD(qk_pdevs);
static LIST_HEAD(qk_pdrvs);

struct device *qk_real_device(struct qk_device *dev) { return dev ? dev->kernel_private : NULL; }

static int qk_untranslated(const char *what, const char *name)
{
	pr_err("quorvel: %s of %s: not translated for this kernel yet\n", what, name);
	return -EOPNOTSUPP;
}

/* ---- Classes and device nodes ---------------------------------------- */

struct qk_device_class *qk_class_create(void *owner, const char *name)
{
	struct qk_device_class *cls = kzalloc(sizeof(*cls), GFP_KERNEL);
	struct class *real;

	if (!cls)
		return ERR_PTR(-ENOMEM);
	real = class_create(THIS_MODULE, name);
	if (IS_ERR(real)) {
		kfree(cls);
		return ERR_CAST(real);
	}
	cls->name = name;
	cls->owner = owner;
	cls->kernel_private = real;
	return cls;
}

void qk_class_destroy(struct qk_device_class *cls)
{
	if (IS_ERR_OR_NULL(cls))
		return;
	class_destroy(cls->kernel_private);
	kfree(cls);
}

struct qk_node {
	struct qk_device dev;
	struct list_head link;
};

struct qk_device *qk_device_create(struct qk_device_class *cls, struct qk_device *parent, u64 devt, void *drvdata,
				   const char *fmt, ...)
{
	struct qk_node *node = kzalloc(sizeof(*node), GFP_KERNEL);
	struct device *real;
	char name[64];
	va_list args;

	if (!node)
		return ERR_PTR(-ENOMEM);
	if (cls->dev_groups) {
		kfree(node);
		return ERR_PTR(qk_untranslated("attribute groups", cls->name));
	}
	va_start(args, fmt);
	vsnprintf(name, sizeof(name), fmt, args);
	va_end(args);
	real = device_create(cls->kernel_private, qk_real_device(parent), qk_devt(devt), drvdata, "%s", name);
	if (IS_ERR(real)) {
		kfree(node);
		return ERR_CAST(real);
	}
	node->dev.parent = parent;
	node->dev.kobj.name = dev_name(real);
	node->dev.driver_data = drvdata;
	node->dev.devt = devt;
	node->dev.klass = cls;
	node->dev.kernel_private = real;
	mutex_lock(&qk_devices_lock);
	list_add(&node->link, &qk_nodes);
	mutex_unlock(&qk_devices_lock);
	return &node->dev;
}

void qk_device_destroy(struct qk_device_class *cls, u64 devt)
{
	struct qk_node *node, *next;

	device_destroy(cls->kernel_private, qk_devt(devt));
	mutex_lock(&qk_devices_lock);
	list_for_each_entry_safe(node, next, &qk_nodes, link)
	{
		if (node->dev.klass == cls && node->dev.devt == devt) {
			list_del(&node->link);
			kfree(node);
		}
	}
	mutex_unlock(&qk_devices_lock);
}

const char *qk_dev_name(const struct qk_device *dev)
{
	return dev->kernel_private ? dev_name(dev->kernel_private) : dev->init_name;
}

/*
 * A device the kernel already has is renamed. One the glue has not made a
 * kernel device for yet keeps no name of its own: the glue names the kernel
 * device when it makes it (an IIO device by its id, as the module names it).
 */
int qk_dev_set_name(struct qk_device *dev, const char *fmt, ...)
{
	va_list args;
	char *name;
	int ret;

	if (!qk_real_device(dev))
		return 0;
	va_start(args, fmt);
	name = kvasprintf(GFP_KERNEL, fmt, args);
	va_end(args);
	if (!name)
		return -ENOMEM;
	ret = dev_set_name(qk_real_device(dev), "%s", name);
	kfree(name);
	return ret;
}

/* ---- Platform devices -------------------------------------------------- */

/*
 * The kernel's platform device is part of the glue's record, whose release
 * is the glue's: the module's release runs from it, when the last reference
 * to the kernel's device goes, as the module's own kernel would run it. The
 * name is copied: the kernel's device may outlive the call that unregisters
 * it.
 */
struct qk_pdev {
	struct qk_platform_device *mod;
	struct platform_device *real;
	struct completion *released; /* what unregister waits on */
	struct list_head link;
	struct platform_device pdev;
	char name[];
};

static void qk_pdev_release(struct device *dev)
{
	struct qk_pdev *p = container_of(dev, struct qk_pdev, pdev.dev);
	struct qk_platform_device *mod = p->mod;
	struct completion *released = p->released;

	kfree(p->pdev.driver_override); /* a program may have set one */
	kfree(p);
	if (mod && mod->dev.release)
		mod->dev.release(&mod->dev);
	if (released)
		complete(released);
}

static struct qk_pdev *qk_pdev_find(struct qk_platform_device *mod, struct platform_device *real)
{
	struct qk_pdev *p;

	list_for_each_entry(p, &qk_pdevs, link) if (p->mod == mod || p->real == real) return p;
	return NULL;
}

int qk_platform_device_register(struct qk_platform_device *mod)
{
	struct qk_pdev *p;
	int ret;

	if (mod->dev.groups || mod->dev.type || mod->dev.bus)
		return qk_untranslated("groups, type or bus", mod->name);
	p = kzalloc(sizeof(*p) + strlen(mod->name) + 1, GFP_KERNEL);
	if (!p)
		return -ENOMEM;
	strcpy(p->name, mod->name);
	p->mod = mod;
	p->real = &p->pdev;
	p->real->name = p->name;
	p->real->id = mod->id;
	p->real->dev.release = qk_pdev_release;
	p->real->dev.parent = qk_real_device(mod->dev.parent);
	mod->dev.kernel_private = &p->real->dev;
	/* Known before it is added: adding it may probe at once. */
	mutex_lock(&qk_devices_lock);
	list_add(&p->link, &qk_pdevs);
	mutex_unlock(&qk_devices_lock);
	ret = platform_device_register(p->real);
	if (ret) {
		mutex_lock(&qk_devices_lock);
		list_del(&p->link);
		mutex_unlock(&qk_devices_lock);
		mod->dev.kernel_private = NULL;
		p->mod = NULL; /* never registered: the module's release is not for this */
		platform_device_put(p->real);
		return ret;
	}
	/* The name and number the kernel gave it, as the module's own bus would. */
	mod->dev.kobj.name = dev_name(&p->real->dev);
	mod->id = p->real->id;
	mod->id_auto = p->real->id_auto;
	return 0;
}

/*
 * The module's release runs when the kernel's device is released: at the
 * last put here, or later if something still holds the device. Either way
 * unregister returns only after it has run: the release is the glue's code
 * and the module's, which must not go (at unload) before the kernel calls
 * it, however late a kernel releases its devices (a debug kernel delays
 * every release by seconds).
 */
void qk_platform_device_unregister(struct qk_platform_device *mod)
{
	DECLARE_COMPLETION_ONSTACK(released);
	struct qk_pdev *p;
	struct device *real;

	mutex_lock(&qk_devices_lock);
	p = qk_pdev_find(mod, NULL);
	mutex_unlock(&qk_devices_lock);
	if (WARN(!p, "quorvel: platform device %s unregistered but not registered\n", mod->name))
		return;
	real = get_device(&p->real->dev); /* p stays until the glue has let go of it */
	p->released = &released;
	platform_device_unregister(p->real);
	mutex_lock(&qk_devices_lock);
	list_del(&p->link);
	mutex_unlock(&qk_devices_lock);
	mod->dev.kernel_private = NULL;
	mod->dev.kobj.name = NULL;
	if (mod->id_auto) {
		mod->id = PLATFORM_DEVID_AUTO;
		mod->id_auto = false;
	}
	put_device(real);
	wait_for_completion(&released);
}

/* ---- Platform drivers -------------------------------------------------- */

struct qk_pdrv {
	struct qk_platform_driver *mod;
	struct platform_driver real;
	struct list_head link;
};

static struct qk_pdrv *qk_pdrv_of(struct platform_device *real)
{
	return container_of(to_platform_driver(real->dev.driver), struct qk_pdrv, real);
}

static struct qk_platform_device *qk_pdev_mod(struct platform_device *real)
{
	struct qk_pdev *p;

	mutex_lock(&qk_devices_lock);
	p = qk_pdev_find(NULL, real);
	mutex_unlock(&qk_devices_lock);
	return p ? p->mod : NULL;
}

static int qk_pdrv_probe(struct platform_device *real)
{
	struct qk_platform_device *pdev = qk_pdev_mod(real);
	struct qk_pdrv *drv = qk_pdrv_of(real);
	int ret;

	/* A device of the same name that the module did not register. */
	if (!pdev)
		return -ENODEV;
	pdev->dev.driver = &drv->mod->driver;
	/* An entry of the module's own id_table, which the kernel matched by. */
	pdev->id_entry = real->id_entry;
	ret = drv->mod->probe ? drv->mod->probe(pdev) : 0;
	if (ret) {
		pdev->dev.driver = NULL;
		pdev->id_entry = NULL;
	}
	return ret;
}

static int qk_pdrv_remove(struct platform_device *real)
{
	struct qk_platform_device *pdev = qk_pdev_mod(real);
	struct qk_pdrv *drv = qk_pdrv_of(real);
	int ret = 0;

	if (!pdev)
		return 0;
	if (drv->mod->remove)
		ret = drv->mod->remove(pdev);
	pdev->dev.driver = NULL;
	pdev->id_entry = NULL;
	return ret;
}

static void qk_pdrv_shutdown(struct platform_device *real)
{
	struct qk_platform_device *pdev = qk_pdev_mod(real);
	struct qk_pdrv *drv = qk_pdrv_of(real);

	if (pdev && drv->mod->shutdown)
		drv->mod->shutdown(pdev);
}

int qk_platform_driver_register(struct qk_platform_driver *mod)
{
	struct qk_pdrv *d = kzalloc(sizeof(*d), GFP_KERNEL);
	int ret;

	if (!d)
		return -ENOMEM;
	if (mod->driver.groups || mod->driver.bus || mod->driver.probe || mod->driver.remove) {
		kfree(d);
		return qk_untranslated("groups, bus or device callbacks", mod->driver.name);
	}
	d->mod = mod;
	d->real.probe = qk_pdrv_probe;
	d->real.remove = qk_pdrv_remove;
	d->real.shutdown = qk_pdrv_shutdown;
	d->real.driver.name = mod->driver.name;
	d->real.driver.suppress_bind_attrs = mod->driver.suppress_bind_attrs;
	/* The kernel's layout (checked): the kernel matches by the module's table. */
	d->real.id_table = mod->id_table;
	mutex_lock(&qk_devices_lock);
	list_add(&d->link, &qk_pdrvs);
	mutex_unlock(&qk_devices_lock);
	ret = __platform_driver_register(&d->real, THIS_MODULE);
	if (ret) {
		mutex_lock(&qk_devices_lock);
		list_del(&d->link);
		mutex_unlock(&qk_devices_lock);
		kfree(d);
	}
	return ret;
}

void qk_platform_driver_unregister(struct qk_platform_driver *mod)
{
	struct qk_pdrv *d, *found = NULL;

	mutex_lock(&qk_devices_lock);
	list_for_each_entry(d, &qk_pdrvs, link) if (d->mod == mod) found = d;
	mutex_unlock(&qk_devices_lock);
	if (WARN(!found, "quorvel: platform driver %s unregistered but not registered\n", mod->driver.name))
		return;
	platform_driver_unregister(&found->real);
	mutex_lock(&qk_devices_lock);
	list_del(&found->link);
	mutex_unlock(&qk_devices_lock);
	kfree(found);
}
