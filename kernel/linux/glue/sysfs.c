// SPDX-License-Identifier: GPL-2.0
/*
 * Attribute files and groups on the module's devices, and device-managed
 * resources. A module attribute is a structure of the module's layout whose
 * show and store take the module's device; each file the glue makes is a
 * kernel device attribute that passes the call on with the module's device
 * and attribute. Device-managed resources are the kernel's, on the kernel
 * device the module's one stands for.
 */
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/sysfs.h>

#include "qk.h"

/* One module attribute as a kernel device attribute. */
struct qk_attr_file {
	struct device_attribute real;
	struct qk_device_attribute *mod;
	struct qk_device *dev;
};

/* The files of one group (or of one lone attribute) on one device. */
struct qk_attr_set {
	struct list_head link;
	struct qk_device *dev;
	const void *key; /* the module's group or attribute */
	struct attribute_group group;
	struct attribute **attrs;
	struct qk_attr_file *files;
};

static DEFINE_MUTEX(qk_attr_lock);
static LIST_HEAD(qk_attr_sets);

static ssize_t qk_attr_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	struct qk_attr_file *f = container_of(attr, struct qk_attr_file, real);

	return f->mod->show ? f->mod->show(f->dev, f->mod, buf) : -EIO;
}

static ssize_t qk_attr_store(struct device *dev, struct device_attribute *attr, const char *buf, size_t count)
{
	struct qk_attr_file *f = container_of(attr, struct qk_attr_file, real);

	return f->mod->store ? f->mod->store(f->dev, f->mod, buf, count) : -EIO;
}

static struct qk_device *qk_kobj_device(struct qk_kobject *kobj) { return container_of(kobj, struct qk_device, kobj); }

static void qk_attr_set_free(struct qk_attr_set *set)
{
	kfree(set->files);
	kfree(set->attrs);
	kfree(set);
}

/* The kernel's files for `count` module attributes, those the group's
 * is_visible leaves out left out here too. */
static struct qk_attr_set *qk_attr_set_new(struct qk_device *dev, const void *key, const struct qk_attribute_group *grp,
					   struct qk_attribute **mod_attrs, int count)
{
	struct qk_attr_set *set = kzalloc(sizeof(*set), GFP_KERNEL);
	int i, n = 0;

	if (!set)
		return NULL;
	set->files = kcalloc(count, sizeof(*set->files), GFP_KERNEL);
	set->attrs = kcalloc(count + 1, sizeof(*set->attrs), GFP_KERNEL);
	if (!set->files || !set->attrs) {
		qk_attr_set_free(set);
		return NULL;
	}
	for (i = 0; i < count; i++) {
		struct qk_device_attribute *mod = container_of(mod_attrs[i], struct qk_device_attribute, attr);
		struct qk_attr_file *f = &set->files[n];
		umode_t mode = mod->attr.mode;

		if (grp && grp->is_visible) {
			mode = grp->is_visible(&dev->kobj, mod_attrs[i], i);
			if (!mode)
				continue;
		}
		sysfs_attr_init(&f->real.attr);
		f->real.attr.name = mod->attr.name;
		f->real.attr.mode = mode;
		f->real.show = qk_attr_show;
		f->real.store = qk_attr_store;
		f->mod = mod;
		f->dev = dev;
		set->attrs[n++] = &f->real.attr;
	}
	set->dev = dev;
	set->key = key;
	set->group.name = grp ? grp->name : NULL;
	set->group.attrs = set->attrs;
	return set;
}

static int qk_attr_set_add(struct qk_attr_set *set)
{
	struct device *real = qk_real_device(set->dev);
	int ret;

	if (!real) {
		qk_attr_set_free(set);
		return -ENODEV;
	}
	ret = sysfs_create_group(&real->kobj, &set->group);
	if (ret) {
		qk_attr_set_free(set);
		return ret;
	}
	mutex_lock(&qk_attr_lock);
	list_add(&set->link, &qk_attr_sets);
	mutex_unlock(&qk_attr_lock);
	return 0;
}

static void qk_attr_set_remove(struct qk_device *dev, const void *key)
{
	struct qk_attr_set *set, *found = NULL;

	mutex_lock(&qk_attr_lock);
	list_for_each_entry(set, &qk_attr_sets, link)
	{
		if (set->dev == dev && set->key == key) {
			found = set;
			list_del(&set->link);
			break;
		}
	}
	mutex_unlock(&qk_attr_lock);
	if (!found)
		return;
	if (qk_real_device(dev))
		sysfs_remove_group(&qk_real_device(dev)->kobj, &found->group);
	qk_attr_set_free(found);
}

int qk_sysfs_create_group(struct qk_kobject *kobj, const struct qk_attribute_group *grp)
{
	struct qk_device *dev = qk_kobj_device(kobj);
	struct qk_attr_set *set;
	int count = 0;

	while (grp->attrs && grp->attrs[count])
		count++;
	set = qk_attr_set_new(dev, grp, grp, grp->attrs, count);
	return set ? qk_attr_set_add(set) : -ENOMEM;
}

void qk_sysfs_remove_group(struct qk_kobject *kobj, const struct qk_attribute_group *grp)
{
	qk_attr_set_remove(qk_kobj_device(kobj), grp);
}

int qk_sysfs_create_groups(struct qk_kobject *kobj, const struct qk_attribute_group **groups)
{
	int i, ret;

	for (i = 0; groups && groups[i]; i++) {
		ret = qk_sysfs_create_group(kobj, groups[i]);
		if (ret) {
			while (--i >= 0)
				qk_sysfs_remove_group(kobj, groups[i]);
			return ret;
		}
	}
	return 0;
}

void qk_sysfs_remove_groups(struct qk_kobject *kobj, const struct qk_attribute_group **groups)
{
	int i;

	for (i = 0; groups && groups[i]; i++)
		qk_sysfs_remove_group(kobj, groups[i]);
}

int qk_device_create_file(struct qk_device *dev, const struct qk_device_attribute *attr)
{
	struct qk_attribute *one = (struct qk_attribute *)&attr->attr;
	struct qk_attr_set *set = qk_attr_set_new(dev, attr, NULL, &one, 1);

	return set ? qk_attr_set_add(set) : -ENOMEM;
}

void qk_device_remove_file(struct qk_device *dev, const struct qk_device_attribute *attr)
{
	qk_attr_set_remove(dev, attr);
}

/* ---- Device-managed resources ------------------------------------------ */

void *qk_devm_kmalloc(struct qk_device *dev, size_t size, unsigned int gfp)
{
	struct device *real = qk_real_device(dev);

	return real ? devm_kmalloc(real, size, qk_gfp(gfp)) : NULL;
}

void *qk_devm_kzalloc(struct qk_device *dev, size_t size, unsigned int gfp)
{
	return qk_devm_kmalloc(dev, size, gfp | QK_GFP_ZERO);
}

void qk_devm_kfree(struct qk_device *dev, void *p) { devm_kfree(qk_real_device(dev), p); }

int qk_devm_add_action(struct qk_device *dev, void (*action)(void *), void *data)
{
	struct device *real = qk_real_device(dev);

	return real ? devm_add_action(real, action, data) : -ENODEV;
}

int qk_devm_add_action_or_reset(struct qk_device *dev, void (*action)(void *), void *data)
{
	struct device *real = qk_real_device(dev);

	if (!real) {
		action(data);
		return -ENODEV;
	}
	return devm_add_action_or_reset(real, action, data);
}
