#pragma once
#include <linux/types.h>
#include <linux/kdev_t.h>
#include <linux/fcntl.h>
#include <linux/err.h>

struct module;
struct cdev;
struct poll_table_struct;

struct inode {
	dev_t i_rdev;
	umode_t i_mode;
	struct cdev *i_cdev;
	void *i_private;
};

struct file_operations;

struct file {
	const struct file_operations *f_op;
	struct inode *f_inode;
	unsigned int f_flags;
	fmode_t f_mode;
	loff_t f_pos;
	void *private_data;
	void *f_host; // the kernel layer's record of the open file
};

#define FMODE_READ  0x1U
#define FMODE_WRITE 0x2U
/* Set at every open; nonseekable_open takes them away. */
#define FMODE_LSEEK  0x4U
#define FMODE_PREAD  0x8U
#define FMODE_PWRITE 0x10U

typedef void *fl_owner_t;

struct file_operations {
	struct module *owner;
	loff_t (*llseek)(struct file *, loff_t, int);
	ssize_t (*read)(struct file *, char __user *, size_t, loff_t *);
	ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
	unsigned int (*poll)(struct file *, struct poll_table_struct *);
	long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
	long (*compat_ioctl)(struct file *, unsigned int, unsigned long);
	int (*open)(struct inode *, struct file *);
	int (*flush)(struct file *, fl_owner_t id);
	int (*release)(struct inode *, struct file *);
};

inline unsigned iminor(const struct inode *inode) { return MINOR(inode->i_rdev); }
inline unsigned imajor(const struct inode *inode) { return MAJOR(inode->i_rdev); }
inline struct inode *file_inode(const struct file *f) { return f->f_inode; }

#define CHRDEV_MAJOR_HASH_SIZE 255

extern "C" {
// Files opened from kernel space: paths name the board's device nodes.
struct file *filp_open(const char *filename, int flags, umode_t mode);
int filp_close(struct file *filp, fl_owner_t id);
int kernel_read(struct file *file, loff_t offset, char *addr, unsigned long count);
ssize_t kernel_write(struct file *file, const char *buf, size_t count, loff_t pos);

// Character device numbers. register_chrdev with major 0 allocates a major
// and claims its 256 minors; the result is the major.
int register_chrdev(unsigned int major, const char *name, const struct file_operations *fops);
void unregister_chrdev(unsigned int major, const char *name);
int alloc_chrdev_region(dev_t *dev, unsigned baseminor, unsigned count, const char *name);
int register_chrdev_region(dev_t from, unsigned count, const char *name);
void unregister_chrdev_region(dev_t from, unsigned count);

loff_t no_llseek(struct file *file, loff_t offset, int whence);
loff_t noop_llseek(struct file *file, loff_t offset, int whence);
int nonseekable_open(struct inode *inode, struct file *filp);
}
