#pragma once
// A tty driver: its settings, its lines, and the operations the tty core
// calls, in 4.4's slot order. Allocated by tty_alloc_driver, registered
// with tty_register_driver, dropped with put_tty_driver.
#include <linux/kref.h>
#include <linux/list.h>
#include <linux/module.h>
#include <linux/termios.h>
#include <linux/types.h>

struct tty_struct;
struct tty_driver;
struct tty_port;
struct file;
struct inode;
struct device;
struct module;

// The kernel's own termios: the program's, with the speeds as numbers.
struct ktermios {
	tcflag_t c_iflag;
	tcflag_t c_oflag;
	tcflag_t c_cflag;
	tcflag_t c_lflag;
	cc_t c_line;
	cc_t c_cc[NCCS];
	speed_t c_ispeed;
	speed_t c_ospeed;
};

struct tty_operations {
	struct tty_struct *(*lookup)(struct tty_driver *driver, struct inode *inode, int idx);
	int (*install)(struct tty_driver *driver, struct tty_struct *tty);
	void (*remove)(struct tty_driver *driver, struct tty_struct *tty);
	int (*open)(struct tty_struct *tty, struct file *filp);
	void (*close)(struct tty_struct *tty, struct file *filp);
	void (*shutdown)(struct tty_struct *tty);
	void (*cleanup)(struct tty_struct *tty);
	int (*write)(struct tty_struct *tty, const unsigned char *buf, int count);
	int (*put_char)(struct tty_struct *tty, unsigned char ch);
	void (*flush_chars)(struct tty_struct *tty);
	int (*write_room)(struct tty_struct *tty);
	int (*chars_in_buffer)(struct tty_struct *tty);
	int (*ioctl)(struct tty_struct *tty, unsigned int cmd, unsigned long arg);
	long (*compat_ioctl)(struct tty_struct *tty, unsigned int cmd, unsigned long arg);
	void (*set_termios)(struct tty_struct *tty, struct ktermios *old);
	void (*throttle)(struct tty_struct *tty);
	void (*unthrottle)(struct tty_struct *tty);
	void (*stop)(struct tty_struct *tty);
	void (*start)(struct tty_struct *tty);
	void (*hangup)(struct tty_struct *tty);
	int (*break_ctl)(struct tty_struct *tty, int state);
	void (*flush_buffer)(struct tty_struct *tty);
	void (*set_ldisc)(struct tty_struct *tty);
	void (*wait_until_sent)(struct tty_struct *tty, int timeout);
	void (*send_xchar)(struct tty_struct *tty, char ch);
	int (*tiocmget)(struct tty_struct *tty);
	int (*tiocmset)(struct tty_struct *tty, unsigned int set, unsigned int clear);
};

struct tty_driver {
	int magic;
	struct kref kref;
	struct module *owner;
	const char *driver_name;
	const char *name; // node names: name and the line's number
	int name_base;
	int major;
	int minor_start;
	unsigned int num; // lines
	short type;
	short subtype;
	struct ktermios init_termios; // a new tty's termios
	unsigned long flags;
	struct tty_struct **ttys;  // installed ttys by line
	struct tty_port **ports;   // linked ports by line
	struct ktermios **termios; // termios kept between opens (no RESET_TERMIOS)
	void *driver_state;
	const struct tty_operations *ops;
	struct list_head tty_drivers;
	void *kernel_private;
};

#define TTY_DRIVER_MAGIC 0x5402

// Driver flags.
#define TTY_DRIVER_INSTALLED	   0x0001
#define TTY_DRIVER_RESET_TERMIOS   0x0002
#define TTY_DRIVER_REAL_RAW	   0x0004
#define TTY_DRIVER_DYNAMIC_DEV	   0x0008
#define TTY_DRIVER_DEVPTS_MEM	   0x0010
#define TTY_DRIVER_HARDWARE_BREAK  0x0020
#define TTY_DRIVER_DYNAMIC_ALLOC   0x0040
#define TTY_DRIVER_UNNUMBERED_NODE 0x0080

#define TTY_DRIVER_TYPE_SYSTEM	   0x0001
#define TTY_DRIVER_TYPE_CONSOLE	   0x0002
#define TTY_DRIVER_TYPE_SERIAL	   0x0003
#define TTY_DRIVER_TYPE_PTY	   0x0004
#define SERIAL_TYPE_NORMAL	   1

extern "C" {
// A driver for `lines` lines, or an error pointer (4.4's form).
struct tty_driver *__tty_alloc_driver(unsigned int lines, struct module *owner, unsigned long flags);
struct tty_driver *alloc_tty_driver(unsigned int lines); // null on failure (the old form)
void put_tty_driver(struct tty_driver *driver);
void tty_driver_kref_put(struct tty_driver *driver);
int tty_register_driver(struct tty_driver *driver);
int tty_unregister_driver(struct tty_driver *driver);
struct device *tty_register_device(struct tty_driver *driver, unsigned index, struct device *dev);
struct device *tty_register_device_attr(struct tty_driver *driver, unsigned index, struct device *device, void *drvdata,
					const struct attribute_group **attr_grp);
void tty_unregister_device(struct tty_driver *driver, unsigned index);
void tty_set_operations(struct tty_driver *driver, const struct tty_operations *op);
}

#define tty_alloc_driver(lines, flags) __tty_alloc_driver((lines), THIS_MODULE, (flags))

inline struct tty_driver *tty_driver_kref_get(struct tty_driver *d)
{
	kref_get(&d->kref);
	return d;
}
