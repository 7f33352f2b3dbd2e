/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The glue between the module and a real 6.1 kernel.
 *
 * The module is compiled against the project's kernel-shaped headers, not the
 * kernel's. Every kernel symbol it calls is renamed at link time to qk_<name>
 * (kernel/linux/rename-undefined.sh), and the glue implements each one on the
 * kernel's own API. Structures whose layout the module shares with the
 * kernel (mutexes, work items, parameters, poll tables, termios) have the
 * kernel's layout in the module's view; the rest (files, inodes, file
 * operations, devices, classes, platform devices and drivers) keep the
 * module's layout, mirrored here, and the glue translates between the two.
 * kernel/linux/layout/ checks both at build time.
 */
#ifndef QUORVEL_QK_H
#define QUORVEL_QK_H

#include <linux/types.h>

struct qk_file;
struct qk_inode;
struct platform_device_id;
struct qk_poll_table;
struct qk_device;
struct qk_platform_device;

/* The module's struct file_operations. */
struct qk_file_operations {
	void *owner;
	loff_t (*llseek)(struct qk_file *, loff_t, int);
	ssize_t (*read)(struct qk_file *, char __user *, size_t, loff_t *);
	ssize_t (*write)(struct qk_file *, const char __user *, size_t, loff_t *);
	unsigned int (*poll)(struct qk_file *, struct qk_poll_table *);
	long (*unlocked_ioctl)(struct qk_file *, unsigned int, unsigned long);
	long (*compat_ioctl)(struct qk_file *, unsigned int, unsigned long);
	int (*open)(struct qk_inode *, struct qk_file *);
	int (*flush)(struct qk_file *, void *id);
	int (*release)(struct qk_inode *, struct qk_file *);
};

/* The module's struct inode and struct file. */
struct qk_inode {
	u64 i_rdev;
	unsigned short i_mode;
	void *i_cdev;
	void *i_private;
};

struct qk_file {
	const struct qk_file_operations *f_op;
	struct qk_inode *f_inode;
	unsigned int f_flags;
	unsigned int f_mode;
	loff_t f_pos;
	void *private_data;
	void *f_host; /* the kernel's struct file this one stands for */
};

/* The module's struct cdev; kernel_private holds the kernel's cdev while added. */
struct qk_cdev {
	struct module *owner;
	const struct qk_file_operations *ops;
	u64 dev;
	unsigned int count;
	void *kernel_private;
};

/*
 * The module's device model (kernel/include/linux/{kobject,device,
 * platform_device}.h). Pointers to structures the glue does not translate
 * (device types, buses, attribute groups) are kept as void pointers: the
 * glue refuses a registration that sets them.
 */
struct qk_kobject {
	const char *name;
	struct qk_kobject *parent;
	void *sd;
};

struct qk_device_driver;
struct qk_device_class;

struct qk_device {
	struct qk_device *parent;
	struct qk_kobject kobj; /* its name: the kernel device's, while registered */
	const char *init_name;
	const void *type;
	void *bus;
	struct qk_device_driver *driver;
	void *platform_data;
	void *driver_data;
	u64 devt;
	u32 id;
	struct qk_device_class *klass;
	const void **groups;
	void (*release)(struct qk_device *dev);
	void *kernel_private; /* the kernel's struct device */
};

struct qk_device_driver {
	const char *name;
	void *bus;
	void *owner;
	bool suppress_bind_attrs;
	int (*probe)(struct qk_device *dev);
	int (*remove)(struct qk_device *dev);
	void (*shutdown)(struct qk_device *dev);
	const void **groups;
	void *kernel_private;
};

struct qk_device_class {
	const char *name;
	void *owner;
	void *class_attrs;
	const void **dev_groups;
	void (*class_release)(struct qk_device_class *cls);
	void (*dev_release)(struct qk_device *dev);
	void *kernel_private; /* the kernel's struct class */
};

struct qk_platform_device {
	const char *name;
	int id;
	bool id_auto;
	struct qk_device dev;
	const struct platform_device_id *id_entry; /* the kernel's layout (checked) */
};

struct qk_platform_driver {
	int (*probe)(struct qk_platform_device *);
	int (*remove)(struct qk_platform_device *);
	void (*shutdown)(struct qk_platform_device *);
	struct qk_device_driver driver;
	const struct platform_device_id *id_table;
};

/* The module's attributes (kernel/include/linux/{sysfs,device}.h). */
struct qk_attribute {
	const char *name;
	umode_t mode;
};

struct qk_attribute_group {
	const char *name;
	umode_t (*is_visible)(struct qk_kobject *kobj, struct qk_attribute *attr, int n);
	struct qk_attribute **attrs;
};

struct qk_device_attribute {
	struct qk_attribute attr;
	ssize_t (*show)(struct qk_device *dev, struct qk_device_attribute *attr, char *buf);
	ssize_t (*store)(struct qk_device *dev, struct qk_device_attribute *attr, const char *buf, size_t count);
};

/* The module's GPIO chip (kernel/include/linux/gpio/driver.h). */
struct qk_gpio_chip {
	const char *label;
	struct qk_device *parent;
	void *owner;
	int (*request)(struct qk_gpio_chip *chip, unsigned int offset);
	void (*free)(struct qk_gpio_chip *chip, unsigned int offset);
	int (*get_direction)(struct qk_gpio_chip *chip, unsigned int offset);
	int (*direction_input)(struct qk_gpio_chip *chip, unsigned int offset);
	int (*direction_output)(struct qk_gpio_chip *chip, unsigned int offset, int value);
	int (*get)(struct qk_gpio_chip *chip, unsigned int offset);
	void (*set)(struct qk_gpio_chip *chip, unsigned int offset, int value);
	void (*set_multiple)(struct qk_gpio_chip *chip, unsigned long *mask, unsigned long *bits);
	int base;
	u16 ngpio;
	const char *const *names;
	bool can_sleep;
	void *desc;
	struct qk_device *cdev;
	void *data;
};

/* The module's PWM chip (kernel/include/linux/pwm.h): 4.4's per-operation
 * callbacks; the mutex has the kernel's layout. */
struct qk_pwm_chip;

struct qk_pwm_device {
	const char *label;
	unsigned long flags;
	unsigned int hwpwm;
	unsigned int pwm;
	struct qk_pwm_chip *chip;
	void *chip_data;
	struct mutex lock;
	unsigned int period;
	unsigned int duty_cycle;
	int polarity;
};

struct qk_pwm_ops {
	int (*request)(struct qk_pwm_chip *chip, struct qk_pwm_device *pwm);
	void (*free)(struct qk_pwm_chip *chip, struct qk_pwm_device *pwm);
	int (*config)(struct qk_pwm_chip *chip, struct qk_pwm_device *pwm, int duty_ns, int period_ns);
	int (*set_polarity)(struct qk_pwm_chip *chip, struct qk_pwm_device *pwm, int polarity);
	int (*enable)(struct qk_pwm_chip *chip, struct qk_pwm_device *pwm);
	void (*disable)(struct qk_pwm_chip *chip, struct qk_pwm_device *pwm);
	void *owner;
};

struct qk_pwm_chip {
	struct qk_device *dev;
	const struct qk_pwm_ops *ops;
	int base;
	unsigned int npwm;
	struct qk_pwm_device *pwms;
	bool can_sleep;
	void *kernel_private;
};

#define QK_PWMF_REQUESTED 0x1UL
#define QK_PWMF_ENABLED	  0x2UL

/* The module's IIO device (kernel/include/linux/iio/iio.h). */
struct qk_iio_dev;

struct qk_iio_chan_spec {
	int type;
	int channel;
	int channel2;
	unsigned long address;
	int scan_index;
	long info_mask_separate;
	const char *extend_name;
	const char *datasheet_name;
	unsigned indexed : 1;
	unsigned output : 1;
};

struct qk_iio_info {
	void *driver_module;
	const struct qk_attribute_group *attrs;
	int (*read_raw)(struct qk_iio_dev *indio_dev, const struct qk_iio_chan_spec *chan, int *val, int *val2,
			long mask);
	int (*write_raw)(struct qk_iio_dev *indio_dev, const struct qk_iio_chan_spec *chan, int val, int val2,
			 long mask);
};

struct qk_iio_dev {
	int id;
	int modes;
	int currentmode;
	struct qk_device dev;
	struct mutex mlock;
	const struct qk_iio_chan_spec *channels;
	int num_channels;
	const char *name;
	const struct qk_iio_info *info;
	void *kernel_private;
};

#define QK_IIO_ALIGN 32

/* The module's mm_segment_t. */
struct qk_mm_segment {
	unsigned long seg;
};

/* The module's own numbers for allocation flags and "any CPU" (checked). */
#define QK_GFP_KERNEL	    0x01U
#define QK_GFP_ATOMIC	    0x02U
#define QK_GFP_ZERO	    0x100U
#define QK_WORK_CPU_UNBOUND 64

/* The module's device numbers are 64 bits wide, encoded as the kernel's. */
static inline dev_t qk_devt(u64 devt) { return (dev_t)devt; }

/* Device-managed actions on the kernel device a module's device stands for. */
int qk_devm_add_action_or_reset(struct qk_device *dev, void (*action)(void *), void *data);

/* The kernel's allocation flags for the module's. */
gfp_t qk_gfp(unsigned int flags);

/* The real device a module's device stands for (NULL for none). */
struct device *qk_real_device(struct qk_device *dev);

#endif
