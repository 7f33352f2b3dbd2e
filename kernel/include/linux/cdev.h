#pragma once
#include <linux/types.h>

struct file_operations;
struct module;

struct cdev {
	struct module *owner;
	const struct file_operations *ops;
	dev_t dev;
	unsigned int count;
	void *kernel_private; // the kernel layer's record while added
};

extern "C" {
// A cdev of the kernel's own, ready for its owner and operations to be set
// (not for cdev_init). cdev_del lets it go; files opened on it keep it
// until the last of them is closed. Null when memory runs out.
struct cdev *cdev_alloc(void);
void cdev_init(struct cdev *cdev, const struct file_operations *fops);
int cdev_add(struct cdev *cdev, dev_t dev, unsigned count);
void cdev_del(struct cdev *cdev);
}
