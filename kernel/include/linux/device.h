#pragma once
#include <linux/types.h>
#include <linux/err.h>
#include <linux/kdev_t.h>
#include <linux/printk.h>

struct module;
struct device_class;
struct device_driver;

struct device {
	struct device *parent;
	const char *init_name;
	struct device_driver *driver;
	void *platform_data;
	void *driver_data;
	dev_t devt;
	struct device_class *klass;
	void (*release)(struct device *dev);
	void *kernel_private; // the kernel layer's record: name, references, managed resources
};

struct device_driver {
	const char *name;
	struct module *owner;
};

// The kernel's struct class ("class" is a C++ keyword).
struct device_class {
	const char *name;
	struct module *owner;
	void *kernel_private;
};

struct device_attribute {
	const char *name;
	umode_t mode;
	ssize_t (*show)(struct device *dev, struct device_attribute *attr, char *buf);
	ssize_t (*store)(struct device *dev, struct device_attribute *attr, const char *buf, size_t count);
};

#define __ATTR(_name, _mode, _show, _store)                                                                            \
	{                                                                                                              \
#_name, (_mode), (_show), (_store)                                                                     \
	}
#define DEVICE_ATTR(_name, _mode, _show, _store)                                                                       \
	struct device_attribute dev_attr_##_name = __ATTR(_name, _mode, _show, _store)
#define DEVICE_ATTR_RW(_name) DEVICE_ATTR(_name, 0644, _name##_show, _name##_store)
#define DEVICE_ATTR_RO(_name) DEVICE_ATTR(_name, 0444, _name##_show, nullptr)
#define DEVICE_ATTR_WO(_name) DEVICE_ATTR(_name, 0200, nullptr, _name##_store)

#define PAGE_SIZE	      4096UL

extern "C" {
const char *dev_name(const struct device *dev);
struct device *get_device(struct device *dev);
void put_device(struct device *dev);

struct device_class *class_create(struct module *owner, const char *name);
void class_destroy(struct device_class *cls);
__printf(5, 6) struct device *device_create(struct device_class *cls, struct device *parent, dev_t devt, void *drvdata,
					    const char *fmt, ...);
void device_destroy(struct device_class *cls, dev_t devt);
int device_create_file(struct device *dev, const struct device_attribute *attr);
void device_remove_file(struct device *dev, const struct device_attribute *attr);

// Managed resources: released, newest first, when the driver is unbound.
void *devm_kmalloc(struct device *dev, size_t size, gfp_t gfp);
void *devm_kzalloc(struct device *dev, size_t size, gfp_t gfp);
void devm_kfree(struct device *dev, void *p);
int devm_add_action(struct device *dev, void (*action)(void *), void *data);
int devm_add_action_or_reset(struct device *dev, void (*action)(void *), void *data);
}

inline void *dev_get_drvdata(const struct device *dev) { return dev->driver_data; }
inline void dev_set_drvdata(struct device *dev, void *data) { dev->driver_data = data; }

#define dev_err(dev, fmt, ...)	printk(KERN_ERR "%s: " fmt, dev_name(dev), ##__VA_ARGS__)
#define dev_info(dev, fmt, ...) printk(KERN_INFO "%s: " fmt, dev_name(dev), ##__VA_ARGS__)
#define dev_warn(dev, fmt, ...) printk(KERN_WARNING "%s: " fmt, dev_name(dev), ##__VA_ARGS__)
