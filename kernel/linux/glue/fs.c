// SPDX-License-Identifier: GPL-2.0
/*
 * Files, in both directions.
 *
 * The module's struct file is its own. A file the module opens itself
 * (filp_open) is a kernel file wrapped in a module-shaped one whose
 * operations are the glue's: poll goes to the kernel file's poll, and the
 * four tty requests the module makes with kernel pointers (TCGETS, TCSETS,
 * TIOCGSERIAL, TIOCSSERIAL) are made on the tty directly, since 6.1 has no
 * set_fs to let a kernel pointer through the ioctl path.
 *
 * A character device the module registers gets the glue's file operations;
 * each open makes a module-shaped file (and inode) for the kernel's, kept in
 * the kernel file's private_data, and every operation is passed on to the
 * module's with it.
 */
#include <linux/cdev.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/lockdep.h>
#include <linux/major.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/serial.h>
#include <linux/slab.h>
#include <linux/termios.h>
#include <linux/tty.h>
#include <linux/tty_driver.h>

#include "qk.h"

/* A module-shaped file with its inode, standing for a kernel file. */
struct qk_shadow {
	struct qk_file file;
	struct qk_inode inode;
};

static struct file *qk_host(struct qk_file *file) { return file->f_host; }

static struct qk_shadow *qk_shadow_new(struct file *host, const struct qk_file_operations *fops)
{
	struct qk_shadow *s = kzalloc(sizeof(*s), GFP_KERNEL);

	if (!s)
		return NULL;
	s->inode.i_rdev = file_inode(host)->i_rdev;
	s->inode.i_mode = file_inode(host)->i_mode;
	s->file.f_op = fops;
	s->file.f_inode = &s->inode;
	s->file.f_flags = host->f_flags;
	s->file.f_mode = host->f_mode & (FMODE_READ | FMODE_WRITE);
	s->file.f_pos = host->f_pos;
	s->file.f_host = host;
	return s;
}

/* ---- Files the module opens ---------------------------------------- */

/* The tty behind a kernel file, or NULL when it is none. */
static struct tty_struct *qk_tty(struct file *host)
{
	struct inode *inode = file_inode(host);
	unsigned int major = imajor(inode);
	struct tty_file_private *priv = host->private_data;

	if (!S_ISCHR(inode->i_mode))
		return NULL;
	if (major != TTY_MAJOR && major != TTYAUX_MAJOR &&
	    (major < UNIX98_PTY_SLAVE_MAJOR || major >= UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT))
		return NULL;
	if (!priv || priv->file != host)
		return NULL;
	return priv->tty;
}

static void qk_termios_get(struct tty_struct *tty, struct termios *t)
{
	down_read(&tty->termios_rwsem);
	t->c_iflag = tty->termios.c_iflag;
	t->c_oflag = tty->termios.c_oflag;
	t->c_cflag = tty->termios.c_cflag;
	t->c_lflag = tty->termios.c_lflag;
	t->c_line = tty->termios.c_line;
	memcpy(t->c_cc, tty->termios.c_cc, NCCS);
	up_read(&tty->termios_rwsem);
}

/* Exported by the tty core, declared only in its private header. */
speed_t tty_termios_input_baud_rate(const struct ktermios *termios);

/* As TCSETS does it: the speeds follow the baud bits of c_cflag. */
static int qk_termios_set(struct tty_struct *tty, const struct termios *t)
{
	struct ktermios k;

	down_read(&tty->termios_rwsem);
	k = tty->termios;
	up_read(&tty->termios_rwsem);
	k.c_iflag = t->c_iflag;
	k.c_oflag = t->c_oflag;
	k.c_cflag = t->c_cflag;
	k.c_lflag = t->c_lflag;
	k.c_line = t->c_line;
	memcpy(k.c_cc, t->c_cc, NCCS);
	k.c_ispeed = tty_termios_input_baud_rate(&k);
	k.c_ospeed = tty_termios_baud_rate(&k);
	return tty_set_termios(tty, &k);
}

static long qk_kfile_ioctl(struct qk_file *file, unsigned int cmd, unsigned long arg)
{
	struct tty_struct *tty = qk_tty(qk_host(file));
	void *p = (void *)arg;

	if (!tty)
		return -ENOTTY;
	switch (cmd) {
	case TCGETS:
		qk_termios_get(tty, p);
		return 0;
	case TCSETS:
		return qk_termios_set(tty, p);
	case TIOCGSERIAL:
		memset(p, 0, sizeof(struct serial_struct));
		return tty->ops->get_serial ? tty->ops->get_serial(tty, p) : -ENOTTY;
	case TIOCSSERIAL:
		return tty->ops->set_serial ? tty->ops->set_serial(tty, p) : -ENOTTY;
	default:
		return -ENOIOCTLCMD;
	}
}

/*
 * The module reaches the co-processor's line, a tty, from inside its own
 * tty's write and set_termios: ttySP0's tty locks are held, then uart_mutex,
 * then the tty core takes the line's. Both ttys' locks share the tty core's
 * lock classes (n_tty's among them, which no one outside n_tty can give a
 * class of their own), so lockdep reads tty lock -> uart_mutex -> tty lock
 * as a cycle, though the two are never one tty and nothing that holds the
 * line's locks takes a lock of the module. The tty core's locks are not
 * tracked on these three paths into the line; the module's own, taken
 * around them, are.
 */
#define qk_line_untracked(expr)                                                \
	({                                                                     \
		typeof(expr) qk_ret;                                           \
		lockdep_off();                                                 \
		qk_ret = (expr);                                               \
		lockdep_on();                                                  \
		qk_ret;                                                        \
	})

/* The module's poll table is the kernel's (its layout is checked). */
static unsigned int qk_kfile_poll(struct qk_file *file, struct qk_poll_table *pt)
{
	return qk_line_untracked(vfs_poll(qk_host(file), (poll_table *)pt));
}

static const struct qk_file_operations qk_kfile_fops = {
	.poll = qk_kfile_poll,
	.unlocked_ioctl = qk_kfile_ioctl,
};

struct qk_file *qk_filp_open(const char *filename, int flags, umode_t mode)
{
	struct file *host = filp_open(filename, flags, mode);
	struct qk_shadow *s;

	if (IS_ERR(host))
		return ERR_CAST(host);
	s = qk_shadow_new(host, &qk_kfile_fops);
	if (!s) {
		filp_close(host, NULL);
		return ERR_PTR(-ENOMEM);
	}
	return &s->file;
}

int qk_filp_close(struct qk_file *file, fl_owner_t id)
{
	int ret = filp_close(qk_host(file), id);

	kfree(container_of(file, struct qk_shadow, file));
	return ret;
}

/* 4.4's kernel_read(file, offset, buf, count); 6.1 takes the position by pointer. */
int qk_kernel_read(struct qk_file *file, loff_t offset, char *addr, unsigned long count)
{
	loff_t pos = offset;

	return qk_line_untracked(kernel_read(qk_host(file), addr, count, &pos));
}

ssize_t qk_kernel_write(struct qk_file *file, const char *buf, size_t count, loff_t pos)
{
	return qk_line_untracked(kernel_write(qk_host(file), buf, count, &pos));
}

void qk_poll_initwait(struct poll_wqueues *pwq) { poll_initwait(pwq); }
void qk_poll_freewait(struct poll_wqueues *pwq) { poll_freewait(pwq); }

/* ---- Character devices the module registers ------------------------ */

struct qk_chrdev {
	unsigned int major;
	const struct qk_file_operations *fops;
	struct list_head link;
};

static LIST_HEAD(qk_chrdevs);
static DEFINE_MUTEX(qk_chrdevs_lock);

static const struct qk_file_operations *qk_chrdev_fops(unsigned int major)
{
	const struct qk_file_operations *fops = NULL;
	struct qk_chrdev *cd;

	mutex_lock(&qk_chrdevs_lock);
	list_for_each_entry(cd, &qk_chrdevs, link) if (cd->major == major) fops = cd->fops;
	mutex_unlock(&qk_chrdevs_lock);
	return fops;
}

static struct qk_file *qk_dev_file(struct file *host)
{
	struct qk_file *file = host->private_data;

	file->f_flags = host->f_flags;
	return file;
}

static int qk_dev_open(struct inode *inode, struct file *host)
{
	const struct qk_file_operations *fops = qk_chrdev_fops(imajor(inode));
	struct qk_shadow *s;
	int ret = 0;

	if (!fops)
		return -ENXIO;
	s = qk_shadow_new(host, fops);
	if (!s)
		return -ENOMEM;
	host->private_data = &s->file;
	if (fops->open)
		ret = fops->open(&s->inode, &s->file);
	if (ret) {
		host->private_data = NULL;
		kfree(s);
	}
	return ret;
}

static int qk_dev_release(struct inode *inode, struct file *host)
{
	struct qk_file *file = qk_dev_file(host);
	struct qk_shadow *s = container_of(file, struct qk_shadow, file);
	int ret = 0;

	if (file->f_op->release)
		ret = file->f_op->release(&s->inode, file);
	kfree(s);
	return ret;
}

static ssize_t qk_dev_read(struct file *host, char __user *buf, size_t count, loff_t *ppos)
{
	struct qk_file *file = qk_dev_file(host);
	ssize_t ret;

	if (!file->f_op->read)
		return -EINVAL;
	file->f_pos = *ppos;
	ret = file->f_op->read(file, buf, count, &file->f_pos);
	*ppos = file->f_pos;
	return ret;
}

static ssize_t qk_dev_write(struct file *host, const char __user *buf, size_t count, loff_t *ppos)
{
	struct qk_file *file = qk_dev_file(host);
	ssize_t ret;

	if (!file->f_op->write)
		return -EINVAL;
	file->f_pos = *ppos;
	ret = file->f_op->write(file, buf, count, &file->f_pos);
	*ppos = file->f_pos;
	return ret;
}

static long qk_dev_ioctl(struct file *host, unsigned int cmd, unsigned long arg)
{
	struct qk_file *file = qk_dev_file(host);

	if (!file->f_op->unlocked_ioctl)
		return -ENOTTY;
	return file->f_op->unlocked_ioctl(file, cmd, arg);
}

static int qk_dev_flush(struct file *host, fl_owner_t id)
{
	struct qk_file *file = qk_dev_file(host);

	return file->f_op->flush ? file->f_op->flush(file, id) : 0;
}

static const struct file_operations qk_dev_fops = {
	.owner = THIS_MODULE,
	.open = qk_dev_open,
	.release = qk_dev_release,
	.read = qk_dev_read,
	.write = qk_dev_write,
	.unlocked_ioctl = qk_dev_ioctl,
	.flush = qk_dev_flush,
};

/* A major with its 256 minors, as register_chrdev claims them. */
int qk_register_chrdev(unsigned int major, const char *name, const struct qk_file_operations *fops)
{
	struct qk_chrdev *cd = kzalloc(sizeof(*cd), GFP_KERNEL);
	int ret;

	if (!cd)
		return -ENOMEM;
	ret = __register_chrdev(major, 0, 256, name, &qk_dev_fops);
	if (ret < 0) {
		kfree(cd);
		return ret;
	}
	cd->major = major ? major : ret;
	cd->fops = fops;
	mutex_lock(&qk_chrdevs_lock);
	list_add(&cd->link, &qk_chrdevs);
	mutex_unlock(&qk_chrdevs_lock);
	return ret;
}

void qk_unregister_chrdev(unsigned int major, const char *name)
{
	struct qk_chrdev *cd, *next;

	__unregister_chrdev(major, 0, 256, name);
	mutex_lock(&qk_chrdevs_lock);
	list_for_each_entry_safe(cd, next, &qk_chrdevs, link)
	{
		if (cd->major == major) {
			list_del(&cd->link);
			kfree(cd);
		}
	}
	mutex_unlock(&qk_chrdevs_lock);
}

/* A region of minors (alloc_chrdev_region); the module's dev_t is the kernel's, widened. */
int qk_alloc_chrdev_region(u64 *dev, unsigned int baseminor, unsigned int count, const char *name)
{
	dev_t first;
	int ret = alloc_chrdev_region(&first, baseminor, count, name);

	if (!ret)
		*dev = first;
	return ret;
}

void qk_unregister_chrdev_region(u64 from, unsigned int count) { unregister_chrdev_region(from, count); }

void qk_cdev_init(struct qk_cdev *cdev, const struct qk_file_operations *fops)
{
	memset(cdev, 0, sizeof(*cdev));
	cdev->ops = fops;
}

static void qk_chrdev_forget(unsigned int major)
{
	struct qk_chrdev *cd, *next;

	mutex_lock(&qk_chrdevs_lock);
	list_for_each_entry_safe(cd, next, &qk_chrdevs, link)
	{
		if (cd->major == major) {
			list_del(&cd->link);
			kfree(cd);
		}
	}
	mutex_unlock(&qk_chrdevs_lock);
}

/*
 * A kernel cdev with the glue's operations over the module's region, and the
 * region's major mapped to the module's operations, as register_chrdev's.
 */
int qk_cdev_add(struct qk_cdev *cdev, u64 dev, unsigned int count)
{
	struct qk_chrdev *cd = kzalloc(sizeof(*cd), GFP_KERNEL);
	struct cdev *k;
	int ret;

	if (!cd)
		return -ENOMEM;
	k = cdev_alloc();
	if (!k) {
		kfree(cd);
		return -ENOMEM;
	}
	k->owner = THIS_MODULE;
	k->ops = &qk_dev_fops;
	cd->major = MAJOR(dev);
	cd->fops = cdev->ops;
	mutex_lock(&qk_chrdevs_lock);
	list_add(&cd->link, &qk_chrdevs);
	mutex_unlock(&qk_chrdevs_lock);
	ret = cdev_add(k, dev, count);
	if (ret) {
		qk_chrdev_forget(MAJOR(dev));
		kobject_put(&k->kobj);
		return ret;
	}
	cdev->dev = dev;
	cdev->count = count;
	cdev->kernel_private = k;
	return 0;
}

/*
 * A module-shaped cdev of the glue's own (cdev_alloc). Open files hold the
 * kernel's cdev, never this one, so qk_cdev_del frees it at once.
 */
struct qk_cdev_alloced {
	struct qk_cdev cdev;
	struct list_head link;
};

static LIST_HEAD(qk_cdevs_alloced);

struct qk_cdev *qk_cdev_alloc(void)
{
	struct qk_cdev_alloced *a = kzalloc(sizeof(*a), GFP_KERNEL);

	if (!a)
		return NULL;
	mutex_lock(&qk_chrdevs_lock);
	list_add(&a->link, &qk_cdevs_alloced);
	mutex_unlock(&qk_chrdevs_lock);
	return &a->cdev;
}

static void qk_cdev_free(struct qk_cdev *cdev)
{
	struct qk_cdev_alloced *a, *next;

	mutex_lock(&qk_chrdevs_lock);
	list_for_each_entry_safe(a, next, &qk_cdevs_alloced, link)
	{
		if (&a->cdev == cdev) {
			list_del(&a->link);
			kfree(a);
		}
	}
	mutex_unlock(&qk_chrdevs_lock);
}

void qk_cdev_del(struct qk_cdev *cdev)
{
	if (cdev->kernel_private) {
		cdev_del(cdev->kernel_private);
		cdev->kernel_private = NULL;
		qk_chrdev_forget(MAJOR(cdev->dev));
	}
	qk_cdev_free(cdev);
}

loff_t qk_no_llseek(struct qk_file *file, loff_t offset, int whence) { return -ESPIPE; }
int qk_nonseekable_open(struct qk_inode *inode, struct qk_file *file) { return 0; }
