// The WS2812 LED strip "ws_2812": a write sends the program's bytes to the
// co-processor as they are, and a read returns the store, whose first byte
// counts the reads.
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/uaccess.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "sensors/quorvel_sensor.h"

extern const struct quorvel_cdev_driver quorvel_2812;

int quorvel_linux_2812_init(void) { return quorvel_cdev_init(&quorvel_2812); }

void quorvel_linux_2812_exit(void) { quorvel_cdev_exit(&quorvel_2812); }

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
int quorvel_2812_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&quorvel_2812, pdev); }
int quorvel_2812_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_2812); }
void QUORVEL_2812_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_2812_device = quorvel_cdev_pdev(QUORVEL_2812_release);
struct platform_driver quorvel_2812_driver = quorvel_cdev_pdrv(quorvel_2812_probe, quorvel_2812_remove);

constexpr size_t WS2812_WRITE_MAX = QUORVEL_WRITE_MAX;

struct privateData pData;
DEFINE_MUTEX(pData_lock); // guards pData: concurrent reads each count once

int cdev_open(struct inode *inode, struct file *file)
{
	file->private_data = &pData;
	return 0;
}

int cdev_close(struct inode *inode, struct file *file) { return 0; }

// Acknowledged or not: anything but a good reply with status 0 is -EFAULT.
ssize_t cdev_write(struct file *file, const char __user *buf, size_t size, loff_t *offset)
{
	int ret;

	if (size > WS2812_WRITE_MAX)
		return -EINVAL;
	ret = quorvel_write_through(DEV_TYPE_WS2812, 1, buf, size);
	if (ret == QUORVEL_WRITE_UNREAD)
		return -EINVAL;
	return ret ? -EFAULT : static_cast<ssize_t>(size);
}

// Every read that passes the size test counts, also one of 0 bytes and one
// whose copy then fails.
ssize_t cdev_read(struct file *file, char __user *buf, size_t size, loff_t *offset)
{
	u8 bytes[sizeof(pData.data)];

	if (size > sizeof(bytes))
		return -EINVAL;
	scoped_guard(mutex, &pData_lock)
	{
		pData.data[0]++;
		memcpy(bytes, pData.data, sizeof(bytes));
	}
	if (copy_to_user(buf, bytes, size))
		return -EFAULT;
	return static_cast<ssize_t>(size);
}

const struct file_operations cdev_fops = {
	.owner = THIS_MODULE, .read = cdev_read, .write = cdev_write, .open = cdev_open, .release = cdev_close
};

} // namespace

const struct quorvel_cdev_driver quorvel_2812 = {
	.pair = { .name = "quorvel-2812", .device = &quorvel_2812_device, .driver = &quorvel_2812_driver },
	.chrdev = { .region = "quorvel_2812", .class_name = "quorvel_2812_class", .nodes = { "ws_2812" } },
	.fops = &cdev_fops,
};
