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
void cdev_init(struct cdev *cdev, const struct file_operations *fops);
int cdev_add(struct cdev *cdev, dev_t dev, unsigned count);
void cdev_del(struct cdev *cdev);
}
