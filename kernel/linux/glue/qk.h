/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The glue between the module and a real 6.1 kernel.
 *
 * The module is compiled against the project's kernel-shaped headers, not the
 * kernel's. Every kernel symbol it calls is renamed at link time to qk_<name>
 * (kernel/linux/rename-undefined.sh), and the glue implements each one on the
 * kernel's own API. Structures whose layout the module shares with the
 * kernel (work items, parameters, poll tables, termios) have the kernel's
 * layout in the module's view, in fields no kernel configuration changes;
 * the module's mutexes and spinlocks are room in which the glue makes the
 * kernel's; the rest (files, inodes, file operations, devices, classes,
 * platform devices and drivers) keep the module's layout, mirrored here,
 * and the glue translates between the two.
 * kernel/linux/layout/ checks both at build time.
 */
#ifndef QUORVEL_QK_H
#define QUORVEL_QK_H

#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/termios.h>
#include <linux/tty.h>
#include <linux/types.h>

/*
 * The module's mutexes and spinlocks (kernel/linux/include/linux/mutex.h,
 * spinlock.h): room in which core.c makes the kernel's lock when it is first
 * used or initialised, and the name of the lock's class.
 */
struct qk_mutex {
	unsigned long __room[24];
	const char *name;
	int __made;
};

struct qk_spinlock {
	unsigned long __room[12];
	const char *name;
	int __made;
};

/* lock.c: the module's locks, for the glue's own use of them. */
void qk___mutex_init(struct qk_mutex *m, const char *name);
void qk_mutex_lock(struct qk_mutex *m);
void qk_mutex_unlock(struct qk_mutex *m);

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
 * callbacks. */
struct qk_pwm_chip;

struct qk_pwm_device {
	const char *label;
	unsigned long flags;
	unsigned int hwpwm;
	unsigned int pwm;
	struct qk_pwm_chip *chip;
	void *chip_data;
	struct qk_mutex lock;
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
	struct qk_mutex mlock;
	const struct qk_iio_chan_spec *channels;
	int num_channels;
	const char *name;
	const struct qk_iio_info *info;
	void *kernel_private;
};

#define QK_IIO_ALIGN 32
/*
 * The module's SPI core (kernel/include/linux/spi/spi.h): 4.4's spi_master
 * and its devices, messages and transfers, which the glue stands for 6.1's
 * spi_controller and its own (glue/spi.c).
 */
struct qk_spi_master;
struct qk_spi_message;

struct qk_spi_device {
	struct qk_device dev;
	struct qk_spi_master *master;
	u32 max_speed_hz;
	u8 chip_select;
	u8 bits_per_word;
	u16 mode;
	int irq;
	void *controller_state;
	void *controller_data;
	char modalias[32];
	int cs_gpio;
};

struct qk_spi_master {
	struct qk_device dev;
	s16 bus_num;
	u16 num_chipselect;
	u16 mode_bits;
	u32 bits_per_word_mask;
	u32 min_speed_hz;
	u32 max_speed_hz;
	u16 flags;
	int (*setup)(struct qk_spi_device *spi);
	int (*transfer)(struct qk_spi_device *spi, struct qk_spi_message *mesg);
	void (*cleanup)(struct qk_spi_device *spi);
	int (*transfer_one_message)(struct qk_spi_master *master, struct qk_spi_message *mesg);
	struct qk_spi_message *cur_msg;
	bool queued;
	void *kernel_private; /* the glue's record: the kernel's controller */
};

struct qk_spi_transfer {
	const void *tx_buf;
	void *rx_buf;
	unsigned int len;
	u8 cs_change;
	u8 tx_nbits;
	u8 rx_nbits;
	u8 bits_per_word;
	u16 delay_usecs;
	u32 speed_hz;
	struct list_head transfer_list;
};

struct qk_spi_message {
	struct list_head transfers;
	struct qk_spi_device *spi;
	bool is_dma_mapped;
	void (*complete)(void *context);
	void *context;
	unsigned int frame_length;
	unsigned int actual_length;
	int status;
	struct list_head queue;
	void *state;
};

struct qk_spi_board_info {
	char modalias[32];
	const void *platform_data;
	void *controller_data;
	int irq;
	u32 max_speed_hz;
	u16 bus_num;
	u16 chip_select;
	u16 mode;
};

/* The module's I2C adapter, clients and board data (kernel/include/linux/i2c.h).
 * Messages and SMBus data have the kernel's layout (checked). */
struct qk_i2c_adapter;
struct i2c_msg;
union i2c_smbus_data;

struct qk_i2c_algorithm {
	int (*master_xfer)(struct qk_i2c_adapter *adap, struct i2c_msg *msgs, int num);
	int (*smbus_xfer)(struct qk_i2c_adapter *adap, u16 addr, unsigned short flags, char read_write, u8 command,
			  int size, union i2c_smbus_data *data);
	u32 (*functionality)(struct qk_i2c_adapter *adap);
};

struct qk_i2c_adapter {
	void *owner;
	unsigned int klass;
	const struct qk_i2c_algorithm *algo;
	void *algo_data;
	struct qk_mutex bus_lock;
	int timeout;
	int retries;
	struct qk_device dev;
	int nr;
	char name[48];
	void *kernel_private; /* the glue's struct qk_i2c */
};

struct qk_i2c_client {
	unsigned short flags;
	unsigned short addr;
	char name[20];
	struct qk_i2c_adapter *adapter;
	struct qk_device dev;
	int irq;
};

struct qk_i2c_board_info {
	char type[20];
	unsigned short flags;
	unsigned short addr;
	void *platform_data;
	int irq;
};

/*
 * The module's tty core (kernel/include/linux/tty*.h): 4.4's driver, tty,
 * port and their operations, which the glue stands for 6.1's (glue/tty.c).
 * Its spinlocks and wait queues are not used here; termios and kfifo have
 * the kernel's layout (checked).
 */

struct qk_wait_queue_head {
	struct qk_spinlock lock;
	struct list_head task_list;
};

struct qk_kref {
	int refcount;
};

struct qk_tty_struct;
struct qk_tty_port;
struct qk_tty_driver;

struct qk_tty_operations {
	void *lookup;
	int (*install)(struct qk_tty_driver *driver, struct qk_tty_struct *tty);
	void (*remove)(struct qk_tty_driver *driver, struct qk_tty_struct *tty);
	int (*open)(struct qk_tty_struct *tty, void *filp);
	void (*close)(struct qk_tty_struct *tty, void *filp);
	void (*shutdown)(struct qk_tty_struct *tty);
	void (*cleanup)(struct qk_tty_struct *tty);
	int (*write)(struct qk_tty_struct *tty, const unsigned char *buf, int count);
	int (*put_char)(struct qk_tty_struct *tty, unsigned char ch);
	void (*flush_chars)(struct qk_tty_struct *tty);
	int (*write_room)(struct qk_tty_struct *tty);
	int (*chars_in_buffer)(struct qk_tty_struct *tty);
	int (*ioctl)(struct qk_tty_struct *tty, unsigned int cmd, unsigned long arg);
	long (*compat_ioctl)(struct qk_tty_struct *tty, unsigned int cmd, unsigned long arg);
	void (*set_termios)(struct qk_tty_struct *tty, struct ktermios *old);
	void (*throttle)(struct qk_tty_struct *tty);
	void (*unthrottle)(struct qk_tty_struct *tty);
	void (*stop)(struct qk_tty_struct *tty);
	void (*start)(struct qk_tty_struct *tty);
	void (*hangup)(struct qk_tty_struct *tty);
	int (*break_ctl)(struct qk_tty_struct *tty, int state);
	void (*flush_buffer)(struct qk_tty_struct *tty);
	void (*set_ldisc)(struct qk_tty_struct *tty);
	void (*wait_until_sent)(struct qk_tty_struct *tty, int timeout);
	void (*send_xchar)(struct qk_tty_struct *tty, char ch);
	int (*tiocmget)(struct qk_tty_struct *tty);
	int (*tiocmset)(struct qk_tty_struct *tty, unsigned int set, unsigned int clear);
};

struct qk_tty_driver {
	int magic;
	struct qk_kref kref;
	void *owner;
	const char *driver_name;
	const char *name;
	int name_base;
	int major;
	int minor_start;
	unsigned int num;
	short type;
	short subtype;
	struct ktermios init_termios;
	unsigned long flags;
	struct qk_tty_struct **ttys;
	struct qk_tty_port **ports;
	struct ktermios **termios;
	void *driver_state;
	const struct qk_tty_operations *ops;
	struct list_head tty_drivers;
	void *kernel_private; /* the glue's struct qk_ttydrv */
};

struct qk_tty_port_operations {
	int (*carrier_raised)(struct qk_tty_port *port);
	void (*dtr_rts)(struct qk_tty_port *port, int raise);
	void (*shutdown)(struct qk_tty_port *port);
	int (*activate)(struct qk_tty_port *port, struct qk_tty_struct *tty);
	void (*destruct)(struct qk_tty_port *port);
};

struct qk_tty_bufhead {
	void *kernel_private; /* the glue's struct qk_kport */
};

struct qk_tty_port {
	struct qk_tty_bufhead buf;
	struct qk_tty_struct *tty;
	struct qk_tty_struct *itty;
	const struct qk_tty_port_operations *ops;
	struct qk_spinlock lock;
	int blocked_open;
	int count;
	struct qk_wait_queue_head open_wait;
	struct qk_wait_queue_head delta_msr_wait;
	unsigned long flags;
	unsigned char console : 1, low_latency : 1;
	struct qk_mutex mutex;
	struct qk_mutex buf_mutex;
	unsigned char *xmit_buf;
	unsigned int close_delay;
	unsigned int closing_wait;
	int drain_delay;
	struct qk_kref kref;
};

struct qk_tty_struct {
	int magic;
	struct qk_kref kref;
	struct qk_device *dev;
	struct qk_tty_driver *driver;
	const struct qk_tty_operations *ops;
	int index;
	struct qk_mutex termios_rwsem;
	struct ktermios termios;
	struct ktermios termios_locked;
	char name[64];
	unsigned long flags;
	int count;
	unsigned long stopped : 1, flow_stopped : 1, hw_stopped : 1, closing : 1;
	unsigned int receive_room;
	struct qk_tty_struct *link;
	struct qk_wait_queue_head write_wait;
	struct qk_wait_queue_head read_wait;
	void *disc_data;
	void *driver_data;
	struct qk_tty_port *port;
	void *kernel_private; /* the kernel's tty */
};

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
