// SPDX-License-Identifier: GPL-2.0
/*
 * The tty core and kfifo. kfifo is the kernel's own, with the same
 * structure. The module's tty driver, ttys and ports keep their own layout
 * (mirrored in qk.h): the glue registers a kernel tty driver in place of the
 * module's, whose operations pass each call on with a module-shaped tty kept
 * per kernel tty, and a kernel port per module port, whose operations pass
 * activate, shutdown and destruct on with the module's port. The tty's
 * termios is copied into the module's tty before each call and back after
 * set_termios, so the module sees and changes its own.
 */
#include <linux/device.h>
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/kfifo.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/tty.h>
#include <linux/tty_driver.h>
#include <linux/tty_flip.h>

#include "qk.h"

struct ktermios qk_tty_std_termios;

/* The glue's record of a module driver: the kernel's driver while
 * registered, and the module's view of each line's class device. */
struct qk_ttydrv {
	struct tty_driver *real;
	struct qk_device **devs;
};

/* A kernel port standing for a module port, freed at its last reference. */
struct qk_kport {
	struct tty_port real;
	struct qk_tty_port *mod;
};

static struct qk_ttydrv *qk_ttydrv_of(struct qk_tty_driver *driver) { return driver->kernel_private; }
static struct tty_driver *qk_real_driver(struct qk_tty_driver *driver) { return qk_ttydrv_of(driver)->real; }
static struct qk_tty_struct *qk_mod_tty(struct tty_struct *tty) { return tty ? tty->driver_data : NULL; }
static struct tty_struct *qk_real_tty(struct qk_tty_struct *tty) { return tty ? tty->kernel_private : NULL; }
static struct qk_kport *qk_kport_of(struct qk_tty_port *port) { return port->buf.kernel_private; }
static struct tty_port *qk_real_port(struct qk_tty_port *port) { return &qk_kport_of(port)->real; }
static struct qk_tty_port *qk_mod_port(struct tty_port *port) { return container_of(port, struct qk_kport, real)->mod; }

/* ---- The kernel's tty operations, passed on to the module's ------------- */

static int qk_tty_op_install(struct tty_driver *real, struct tty_struct *tty)
{
	struct qk_tty_driver *driver = real->driver_state;
	struct qk_tty_struct *t = kzalloc(sizeof(*t), GFP_KERNEL);
	int ret;

	if (!t)
		return -ENOMEM;
	t->magic = 0x5401; /* 4.4's TTY_MAGIC; 6.1 has none */
	t->kref.refcount = 1;
	t->driver = driver;
	t->ops = driver->ops;
	t->index = tty->index;
	qk___mutex_init(&t->termios_rwsem, "&tty->termios_rwsem");
	strscpy(t->name, tty->name, sizeof(t->name));
	t->port = driver->ports[tty->index];
	t->kernel_private = tty;
	tty->driver_data = t;
	if (driver->ops->install) {
		ret = driver->ops->install(driver, t);
	} else {
		ret = tty_standard_install(real, tty);
		if (!ret)
			driver->ttys[tty->index] = t;
	}
	if (ret) {
		tty->driver_data = NULL;
		kfree(t);
		return ret < 0 ? ret : -EIO;
	}
	t->termios = tty->termios;
	return 0;
}

static void qk_tty_op_remove(struct tty_driver *real, struct tty_struct *tty)
{
	struct qk_tty_driver *driver = real->driver_state;
	struct qk_tty_struct *t = qk_mod_tty(tty);

	if (t && driver->ops->remove)
		driver->ops->remove(driver, t);
	else
		driver->ttys[tty->index] = NULL;
	real->ttys[tty->index] = NULL;
}

static int qk_tty_op_open(struct tty_struct *tty, struct file *filp)
{
	struct qk_tty_struct *t = qk_mod_tty(tty);

	t->termios = tty->termios;
	return t->ops->open ? t->ops->open(t, filp) : -ENODEV;
}

static void qk_tty_op_close(struct tty_struct *tty, struct file *filp)
{
	struct qk_tty_struct *t = qk_mod_tty(tty);

	if (t->ops->close)
		t->ops->close(t, filp);
}

/* The module's tty goes with the kernel's last reference. */
static void qk_tty_op_cleanup(struct tty_struct *tty)
{
	struct qk_tty_struct *t = qk_mod_tty(tty);

	if (!t)
		return;
	if (t->ops->cleanup)
		t->ops->cleanup(t);
	tty->driver_data = NULL;
	kfree(t);
}

static int qk_tty_op_write(struct tty_struct *tty, const u8 *buf, int count)
{
	struct qk_tty_struct *t = qk_mod_tty(tty);

	return t->ops->write ? t->ops->write(t, buf, count) : -EIO;
}

static unsigned int qk_tty_op_write_room(struct tty_struct *tty)
{
	struct qk_tty_struct *t = qk_mod_tty(tty);
	int room;

	if (!t->ops->write_room)
		return 2048;
	room = t->ops->write_room(t);
	return room > 0 ? room : 0;
}

/* 4.4's set_termios may change the tty's termios (the module clears a
 * speed it cannot take); 6.1 gives the old one const. */
static void qk_tty_op_set_termios(struct tty_struct *tty, const struct ktermios *old)
{
	struct qk_tty_struct *t = qk_mod_tty(tty);
	struct ktermios prev;

	if (!t->ops->set_termios) {
		tty_termios_copy_hw(&tty->termios, old);
		return;
	}
	if (old)
		prev = *old;
	t->termios = tty->termios;
	t->ops->set_termios(t, old ? &prev : NULL);
	tty->termios = t->termios;
}

static void qk_tty_op_hangup(struct tty_struct *tty)
{
	struct qk_tty_struct *t = qk_mod_tty(tty);

	if (t->ops->hangup)
		t->ops->hangup(t);
}

static int qk_tty_op_tiocmget(struct tty_struct *tty)
{
	struct qk_tty_struct *t = qk_mod_tty(tty);

	return t->ops->tiocmget ? t->ops->tiocmget(t) : -ENOTTY;
}

static int qk_tty_op_tiocmset(struct tty_struct *tty, unsigned int set, unsigned int clear)
{
	struct qk_tty_struct *t = qk_mod_tty(tty);

	return t->ops->tiocmset ? t->ops->tiocmset(t, set, clear) : -ENOTTY;
}

static const struct tty_operations qk_tty_ops = {
	.install = qk_tty_op_install,
	.remove = qk_tty_op_remove,
	.open = qk_tty_op_open,
	.close = qk_tty_op_close,
	.cleanup = qk_tty_op_cleanup,
	.write = qk_tty_op_write,
	.write_room = qk_tty_op_write_room,
	.set_termios = qk_tty_op_set_termios,
	.hangup = qk_tty_op_hangup,
	.tiocmget = qk_tty_op_tiocmget,
	.tiocmset = qk_tty_op_tiocmset,
};

/* ---- Drivers ------------------------------------------------------------ */

static void qk_tty_driver_free(struct qk_tty_driver *driver)
{
	struct qk_ttydrv *rec = qk_ttydrv_of(driver);

	if (rec)
		kfree(rec->devs);
	kfree(rec);
	kfree(driver->ttys);
	kfree(driver->ports);
	kfree(driver->termios);
	kfree(driver);
}

/* 4.4's form: the driver is the module's; the kernel's is made when it is
 * registered, with the settings the module has filled in by then. */
void *qk___tty_alloc_driver(unsigned int lines, void *owner, unsigned long flags)
{
	struct qk_tty_driver *driver;

	qk_tty_std_termios = tty_std_termios;
	if (!lines)
		return ERR_PTR(-EINVAL);
	driver = kzalloc(sizeof(*driver), GFP_KERNEL);
	if (!driver)
		return ERR_PTR(-ENOMEM);
	driver->kernel_private = kzalloc(sizeof(struct qk_ttydrv), GFP_KERNEL);
	driver->ttys = kcalloc(lines, sizeof(*driver->ttys), GFP_KERNEL);
	driver->ports = kcalloc(lines, sizeof(*driver->ports), GFP_KERNEL);
	driver->termios = kcalloc(lines, sizeof(*driver->termios), GFP_KERNEL);
	if (!driver->kernel_private || !driver->ttys || !driver->ports || !driver->termios) {
		qk_tty_driver_free(driver);
		return ERR_PTR(-ENOMEM);
	}
	qk_ttydrv_of(driver)->devs = kcalloc(lines, sizeof(struct qk_device *), GFP_KERNEL);
	if (!qk_ttydrv_of(driver)->devs) {
		qk_tty_driver_free(driver);
		return ERR_PTR(-ENOMEM);
	}
	driver->magic = 0x5402; /* 4.4's TTY_DRIVER_MAGIC */
	driver->kref.refcount = 1;
	driver->owner = owner;
	driver->num = lines;
	driver->flags = flags;
	INIT_LIST_HEAD(&driver->tty_drivers);
	return driver;
}

/* 6.1's put_tty_driver is tty_driver_kref_put. */
void qk_put_tty_driver(struct qk_tty_driver *driver)
{
	struct tty_driver *real;

	if (!driver)
		return;
	real = qk_real_driver(driver);
	if (real)
		tty_driver_kref_put(real);
	qk_tty_driver_free(driver);
}

void qk_tty_driver_kref_put(struct qk_tty_driver *driver) { qk_put_tty_driver(driver); }

void qk_tty_set_operations(struct qk_tty_driver *driver, const struct qk_tty_operations *ops) { driver->ops = ops; }

int qk_tty_register_driver(struct qk_tty_driver *driver)
{
	struct tty_driver *real = tty_alloc_driver(driver->num, driver->flags);
	int ret;

	if (IS_ERR(real))
		return PTR_ERR(real);
	real->driver_name = driver->driver_name;
	real->name = driver->name;
	real->name_base = driver->name_base;
	real->major = driver->major;
	real->minor_start = driver->minor_start;
	real->type = driver->type;
	real->subtype = driver->subtype;
	real->init_termios = driver->init_termios;
	real->driver_state = driver;
	tty_set_operations(real, &qk_tty_ops);
	ret = tty_register_driver(real);
	if (ret == -EBUSY && real->major) {
		/* Debian's 8250 holds TTY_MAJOR's minors 64 to 95 for its 32
		 * lines, where 4.4's boards left 4:70 free: the lines take a
		 * dynamic major with the same minors. */
		pr_notice("quorvel: %s: %d:%d is taken, the lines take a dynamic major\n", driver->name, real->major,
			  real->minor_start);
		real->major = 0;
		ret = tty_register_driver(real);
	}
	if (ret) {
		tty_driver_kref_put(real);
		return ret;
	}
	qk_ttydrv_of(driver)->real = real;
	return 0;
}

/* 6.1's returns nothing; 4.4's 0. */
int qk_tty_unregister_driver(struct qk_tty_driver *driver)
{
	struct tty_driver *real = qk_real_driver(driver);

	if (real)
		tty_unregister_driver(real);
	return 0;
}

/* ---- Devices ------------------------------------------------------------ */

void *qk_tty_port_register_device(struct qk_tty_port *port, struct qk_tty_driver *driver, unsigned int index,
				  struct qk_device *parent)
{
	struct qk_ttydrv *rec = qk_ttydrv_of(driver);
	struct qk_device *dev;
	struct device *real;

	if (!rec->real || index >= driver->num)
		return ERR_PTR(-EINVAL);
	if (!qk_kport_of(port))
		return ERR_PTR(-ENOMEM); /* tty_port_init found no memory */
	dev = kzalloc(sizeof(*dev), GFP_KERNEL);
	if (!dev)
		return ERR_PTR(-ENOMEM);
	driver->ports[index] = port;
	real = tty_port_register_device(qk_real_port(port), rec->real, index, qk_real_device(parent));
	if (IS_ERR(real)) {
		/* The kernel linked its line to our port before the device
		 * failed; the module frees the port next, so neither driver may
		 * keep it. */
		rec->real->ports[index] = NULL;
		driver->ports[index] = NULL;
		kfree(dev);
		return ERR_CAST(real);
	}
	dev->parent = parent;
	dev->kobj.name = dev_name(real);
	dev->devt = real->devt;
	dev->kernel_private = real;
	rec->devs[index] = dev;
	return dev;
}

void qk_tty_unregister_device(struct qk_tty_driver *driver, unsigned int index)
{
	struct qk_ttydrv *rec = qk_ttydrv_of(driver);

	if (!rec->real || index >= driver->num)
		return;
	tty_unregister_device(rec->real, index);
	/* The port may go before the driver: the line keeps no pointer to it. */
	rec->real->ports[index] = NULL;
	kfree(rec->devs[index]);
	rec->devs[index] = NULL;
	driver->ports[index] = NULL;
}

int qk_tty_standard_install(struct qk_tty_driver *driver, struct qk_tty_struct *tty)
{
	int ret = tty_standard_install(qk_real_driver(driver), qk_real_tty(tty));

	if (ret)
		return ret;
	tty->termios = qk_real_tty(tty)->termios;
	driver->ttys[tty->index] = tty;
	return 0;
}

void qk_tty_kref_put(struct qk_tty_struct *tty) { tty_kref_put(qk_real_tty(tty)); }
void qk_tty_vhangup(struct qk_tty_struct *tty) { tty_vhangup(qk_real_tty(tty)); }
void qk_tty_wakeup(struct qk_tty_struct *tty) { tty_wakeup(qk_real_tty(tty)); }
unsigned int qk_tty_termios_baud_rate(struct ktermios *termios) { return tty_termios_baud_rate(termios); }

/* ---- Ports -------------------------------------------------------------- */

static int qk_port_op_activate(struct tty_port *real, struct tty_struct *tty)
{
	struct qk_tty_port *port = qk_mod_port(real);

	return port->ops && port->ops->activate ? port->ops->activate(port, qk_mod_tty(tty)) : 0;
}

static void qk_port_op_shutdown(struct tty_port *real)
{
	struct qk_tty_port *port = qk_mod_port(real);

	if (port->ops && port->ops->shutdown)
		port->ops->shutdown(port);
}

/* The last reference: the module frees its port (kfree without destruct,
 * as 4.4 did), then the kernel's goes. */
static void qk_port_op_destruct(struct tty_port *real)
{
	struct qk_kport *kport = container_of(real, struct qk_kport, real);
	struct qk_tty_port *port = kport->mod;

	if (port->ops && port->ops->destruct)
		port->ops->destruct(port);
	else
		kfree(port);
	kfree(kport);
}

static const struct tty_port_operations qk_port_ops = {
	.activate = qk_port_op_activate,
	.shutdown = qk_port_op_shutdown,
	.destruct = qk_port_op_destruct,
};

/* 4.4's tty_port_init cannot fail: without memory for the kernel's port the
 * module's stays without one, and every later call on it is refused. */
void qk_tty_port_init(struct qk_tty_port *port)
{
	struct qk_kport *kport = kzalloc(sizeof(*kport), GFP_KERNEL);

	port->buf.kernel_private = kport;
	port->kref.refcount = 1;
	if (!kport) {
		WARN(1, "quorvel: no memory for a tty port\n");
		return;
	}
	tty_port_init(&kport->real);
	kport->real.ops = &qk_port_ops;
	kport->mod = port;
}

void qk_tty_port_destroy(struct qk_tty_port *port)
{
	struct qk_kport *kport = qk_kport_of(port);

	if (!kport)
		return;
	tty_port_destroy(&kport->real);
	kfree(kport);
	port->buf.kernel_private = NULL;
}

struct qk_tty_port *qk_tty_port_get(struct qk_tty_port *port)
{
	if (port && qk_kport_of(port))
		tty_port_get(qk_real_port(port));
	return port;
}

void qk_tty_port_put(struct qk_tty_port *port)
{
	if (!port)
		return;
	if (qk_kport_of(port))
		tty_port_put(qk_real_port(port));
	else if (port->ops && port->ops->destruct)
		port->ops->destruct(port);
	else
		kfree(port);
}

struct qk_tty_struct *qk_tty_port_tty_get(struct qk_tty_port *port)
{
	struct tty_struct *tty = tty_port_tty_get(qk_real_port(port));
	struct qk_tty_struct *t = qk_mod_tty(tty);

	if (tty && !t) {
		/* Installed but not yet the module's: as if not open. */
		tty_kref_put(tty);
		return NULL;
	}
	return t;
}

int qk_tty_port_open(struct qk_tty_port *port, struct qk_tty_struct *tty, void *filp)
{
	return tty_port_open(qk_real_port(port), qk_real_tty(tty), filp);
}

void qk_tty_port_close(struct qk_tty_port *port, struct qk_tty_struct *tty, void *filp)
{
	tty_port_close(qk_real_port(port), qk_real_tty(tty), filp);
}

void qk_tty_port_hangup(struct qk_tty_port *port) { tty_port_hangup(qk_real_port(port)); }

int qk_tty_insert_flip_string_fixed_flag(struct qk_tty_port *port, const unsigned char *chars, char flag, size_t size)
{
	return tty_insert_flip_string_fixed_flag(qk_real_port(port), chars, flag, size);
}

void qk_tty_flip_buffer_push(struct qk_tty_port *port) { tty_flip_buffer_push(qk_real_port(port)); }

/* ---- kfifo -------------------------------------------------------------- */

int qk___kfifo_alloc(struct __kfifo *fifo, unsigned int size, size_t esize, unsigned int flags)
{
	return __kfifo_alloc(fifo, size, esize, qk_gfp(flags));
}
void qk___kfifo_free(struct __kfifo *fifo) { __kfifo_free(fifo); }
unsigned int qk___kfifo_out(struct __kfifo *fifo, void *buf, unsigned int len) { return __kfifo_out(fifo, buf, len); }
