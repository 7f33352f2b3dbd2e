// SPDX-License-Identifier: GPL-2.0
/*
 * The tty core and kfifo. kfifo is the kernel's own, with the same
 * structure. The tty core is not translated for this kernel yet: its
 * structures (tty_driver, tty_struct, tty_port) are the module's, and no
 * glue makes kernel ones for them. So the virtual serial port's start is
 * refused where it begins, at the driver's allocation, with the glue's
 * usual line, and unwinds; the other calls are never reached, and say so
 * if they are.
 */
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/kfifo.h>
#include <linux/tty.h>

#include "qk.h"

struct ktermios qk_tty_std_termios;

static void qk_tty_unreached(const char *what)
{
	WARN_ONCE(1, "quorvel: %s: the tty core is not translated for this kernel yet\n", what);
}

void *qk___tty_alloc_driver(unsigned int lines, void *owner, unsigned long flags)
{
	qk_tty_std_termios = tty_std_termios;
	pr_err("quorvel: tty driver of %u lines: not translated for this kernel yet\n", lines);
	return ERR_PTR(-EOPNOTSUPP);
}

void qk_put_tty_driver(void *driver) { qk_tty_unreached("put_tty_driver"); }
int qk_tty_register_driver(void *driver)
{
	qk_tty_unreached("tty_register_driver");
	return -EOPNOTSUPP;
}
int qk_tty_unregister_driver(void *driver)
{
	qk_tty_unreached("tty_unregister_driver");
	return 0;
}
void qk_tty_set_operations(void *driver, const void *ops) { qk_tty_unreached("tty_set_operations"); }
void qk_tty_unregister_device(void *driver, unsigned int index) { qk_tty_unreached("tty_unregister_device"); }
int qk_tty_standard_install(void *driver, void *tty)
{
	qk_tty_unreached("tty_standard_install");
	return -EOPNOTSUPP;
}
void qk_tty_kref_put(void *tty) { qk_tty_unreached("tty_kref_put"); }
void qk_tty_wakeup(void *tty) { qk_tty_unreached("tty_wakeup"); }
unsigned int qk_tty_termios_baud_rate(struct ktermios *termios) { return tty_termios_baud_rate(termios); }

void qk_tty_port_init(void *port) { qk_tty_unreached("tty_port_init"); }
void *qk_tty_port_get(void *port)
{
	qk_tty_unreached("tty_port_get");
	return NULL;
}
void qk_tty_port_put(void *port) { qk_tty_unreached("tty_port_put"); }
void *qk_tty_port_tty_get(void *port)
{
	qk_tty_unreached("tty_port_tty_get");
	return NULL;
}
int qk_tty_port_open(void *port, void *tty, void *filp)
{
	qk_tty_unreached("tty_port_open");
	return -EOPNOTSUPP;
}
void qk_tty_port_close(void *port, void *tty, void *filp) { qk_tty_unreached("tty_port_close"); }
void qk_tty_port_hangup(void *port) { qk_tty_unreached("tty_port_hangup"); }
void *qk_tty_port_register_device(void *port, void *driver, unsigned int index, void *device)
{
	qk_tty_unreached("tty_port_register_device");
	return ERR_PTR(-EOPNOTSUPP);
}
int qk_tty_insert_flip_string_fixed_flag(void *port, const unsigned char *chars, char flag, size_t size)
{
	qk_tty_unreached("tty_insert_flip_string_fixed_flag");
	return 0;
}
void qk_tty_flip_buffer_push(void *port) { qk_tty_unreached("tty_flip_buffer_push"); }

int qk___kfifo_alloc(struct __kfifo *fifo, unsigned int size, size_t esize, unsigned int flags)
{
	return __kfifo_alloc(fifo, size, esize, qk_gfp(flags));
}
void qk___kfifo_free(struct __kfifo *fifo) { __kfifo_free(fifo); }
unsigned int qk___kfifo_out(struct __kfifo *fifo, void *buf, unsigned int len) { return __kfifo_out(fifo, buf, len); }
