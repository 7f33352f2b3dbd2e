#pragma once
// The device model: devices, the drivers that bind to them on a bus, the
// classes that give them nodes in /dev, and their directories under /sys.
#include <linux/types.h>
#include <linux/err.h>
#include <linux/kdev_t.h>
#include <linux/kobject.h>
#include <linux/printk.h>
#include <linux/sysfs.h>

struct module;
struct device;
struct device_class;
struct device_driver;

// What devices of one kind share: their name in uevents, attribute groups
// made with each, and the release of their memory.
struct device_type {
	const char *name;
	const struct attribute_group **groups;
	void (*release)(struct device *dev);
};

struct bus_type {
	const char *name;
	const char *dev_name; // devices without a name get dev_name and their id
	const struct attribute_group **dev_groups;
	int (*match)(struct device *dev, struct device_driver *drv);
	int (*uevent)(struct device *dev, struct kobj_uevent_env *env);
	int (*probe)(struct device *dev);
	int (*remove)(struct device *dev);
	void (*shutdown)(struct device *dev);
	void *kernel_private; // the kernel layer's record while registered
};

struct device {
	struct device *parent;
	struct kobject kobj;
	const char *init_name; // the name of a statically defined device, taken at its registration
	const struct device_type *type;
	struct bus_type *bus;
	struct device_driver *driver;
	void *platform_data;
	void *driver_data;
	dev_t devt;
	u32 id;
	struct device_class *klass;
	const struct attribute_group **groups;
	void (*release)(struct device *dev);
	void *kernel_private; // the kernel layer's record: name, references, lock, sysfs
};

inline struct device *kobj_to_dev(struct kobject *kobj)
{
	return reinterpret_cast<struct device *>(reinterpret_cast<char *>(kobj) -
						 __builtin_offsetof(struct device, kobj));
}

struct device_driver {
	const char *name;
	struct bus_type *bus;
	struct module *owner;
	bool suppress_bind_attrs; // no bind and unbind files
	int (*probe)(struct device *dev);
	int (*remove)(struct device *dev);
	void (*shutdown)(struct device *dev);
	const struct attribute_group **groups;
	void *kernel_private; // the kernel layer's record while registered
};

// The kernel's struct class ("class" is a C++ keyword).
struct device_class {
	const char *name;
	struct module *owner;
	struct class_attribute *class_attrs; // ended by __ATTR_NULL
	const struct attribute_group **dev_groups;
	void (*class_release)(struct device_class *cls);
	void (*dev_release)(struct device *dev);
	void *kernel_private; // the kernel layer's record while registered
};

struct device_attribute {
	struct attribute attr;
	ssize_t (*show)(struct device *dev, struct device_attribute *attr, char *buf);
	ssize_t (*store)(struct device *dev, struct device_attribute *attr, const char *buf, size_t count);
};

struct driver_attribute {
	struct attribute attr;
	ssize_t (*show)(struct device_driver *driver, char *buf);
	ssize_t (*store)(struct device_driver *driver, const char *buf, size_t count);
};

struct class_attribute {
	struct attribute attr;
	ssize_t (*show)(struct device_class *cls, struct class_attribute *attr, char *buf);
	ssize_t (*store)(struct device_class *cls, struct class_attribute *attr, const char *buf, size_t count);
};

#define DEVICE_ATTR(_name, _mode, _show, _store)                                                                       \
	struct device_attribute dev_attr_##_name = __ATTR(_name, _mode, _show, _store)
#define DEVICE_ATTR_RW(_name) struct device_attribute dev_attr_##_name = __ATTR_RW(_name)
#define DEVICE_ATTR_RO(_name) struct device_attribute dev_attr_##_name = __ATTR_RO(_name)
#define DEVICE_ATTR_WO(_name) struct device_attribute dev_attr_##_name = __ATTR_WO(_name)
#define DRIVER_ATTR_RW(_name) struct driver_attribute driver_attr_##_name = __ATTR_RW(_name)
#define DRIVER_ATTR_RO(_name) struct driver_attribute driver_attr_##_name = __ATTR_RO(_name)
#define DRIVER_ATTR_WO(_name) struct driver_attribute driver_attr_##_name = __ATTR_WO(_name)
#define CLASS_ATTR(_name, _mode, _show, _store)                                                                        \
	struct class_attribute class_attr_##_name = __ATTR(_name, _mode, _show, _store)
#define CLASS_ATTR_RW(_name) struct class_attribute class_attr_##_name = __ATTR_RW(_name)
#define CLASS_ATTR_RO(_name) struct class_attribute class_attr_##_name = __ATTR_RO(_name)
#define CLASS_ATTR_WO(_name) struct class_attribute class_attr_##_name = __ATTR_WO(_name)

#define PAGE_SIZE	     4096UL

extern "C" {
// ---- devices ----
// device_register() is device_initialize() and device_add(); a device that
// failed to add, or was deleted, is let go of with put_device(), whose last
// reference calls its release (or its type's, or its class's dev_release).
void device_initialize(struct device *dev);
int device_add(struct device *dev);
int device_register(struct device *dev);
void device_del(struct device *dev);
void device_unregister(struct device *dev);
__printf(2, 3) int dev_set_name(struct device *dev, const char *fmt, ...);
const char *dev_name(const struct device *dev);
struct device *get_device(struct device *dev);
void put_device(struct device *dev);
bool device_is_registered(struct device *dev);
// Held across the bus's probe and remove of the device.
void device_lock(struct device *dev);
int device_trylock(struct device *dev);
void device_unlock(struct device *dev);
// Calls fn for each child until one returns non-zero, which is the result.
int device_for_each_child(struct device *parent, void *data, int (*fn)(struct device *dev, void *data));

int device_create_file(struct device *dev, const struct device_attribute *attr);
void device_remove_file(struct device *dev, const struct device_attribute *attr);

// ---- buses and drivers ----
int bus_register(struct bus_type *bus);
void bus_unregister(struct bus_type *bus);
int bus_for_each_dev(struct bus_type *bus, struct device *start, void *data, int (*fn)(struct device *dev, void *data));
int bus_for_each_drv(struct bus_type *bus, struct device_driver *start, void *data,
		     int (*fn)(struct device_driver *drv, void *data));
// The first device (after `start`) for which match returns non-zero, with a
// reference the caller puts; or null.
struct device *bus_find_device(struct bus_type *bus, struct device *start, void *data,
			       int (*match)(struct device *dev, void *data));
struct device *bus_find_device_by_name(struct bus_type *bus, struct device *start, const char *name);
int driver_register(struct device_driver *drv);
void driver_unregister(struct device_driver *drv);
int driver_create_file(struct device_driver *drv, const struct driver_attribute *attr);
void driver_remove_file(struct device_driver *drv, const struct driver_attribute *attr);
// Binds the device to the first matching driver: 1 if bound, 0 if none.
int device_attach(struct device *dev);
void device_release_driver(struct device *dev);

// ---- classes ----
int class_register(struct device_class *cls);
void class_unregister(struct device_class *cls);
struct device_class *class_create(struct module *owner, const char *name);
void class_destroy(struct device_class *cls);
int class_create_file(struct device_class *cls, const struct class_attribute *attr);
void class_remove_file(struct device_class *cls, const struct class_attribute *attr);
int class_for_each_device(struct device_class *cls, struct device *start, void *data,
			  int (*fn)(struct device *dev, void *data));
struct device *class_find_device(struct device_class *cls, struct device *start, const void *data,
				 int (*match)(struct device *dev, const void *data));
__printf(5, 6) struct device *device_create(struct device_class *cls, struct device *parent, dev_t devt, void *drvdata,
					    const char *fmt, ...);
__printf(6, 7) struct device *device_create_with_groups(struct device_class *cls, struct device *parent, dev_t devt,
							void *drvdata, const struct attribute_group **groups,
							const char *fmt, ...);
void device_destroy(struct device_class *cls, dev_t devt);

// ---- managed resources: released, newest first, when the driver is unbound ----
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
