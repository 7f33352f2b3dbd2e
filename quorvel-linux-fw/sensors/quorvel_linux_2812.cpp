// The WS2812 LED strip "ws_2812": a write sends the program's bytes to the
// co-processor as they are, and a read returns the store, whose first byte
// counts the reads.
#include <linux/cdev.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/uaccess.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "sensors/quorvel_sensor.h"

namespace {

// The frame buffers hold 55 bytes: a write frame carries at most 50.
constexpr size_t WS2812_WRITE_MAX = 50;

dev_t my_dev;
struct device_class *dev_class;
struct cdev cdev;
struct privateData pData;
DEFINE_MUTEX(pData_lock); // guards pData: concurrent reads each count once
const struct quorvel_store store = { .pData = &pData, .lock = &pData_lock };

int cdev_open(struct inode *inode, struct file *file)
{
	file->private_data = &pData;
	return 0;
}

int cdev_close(struct inode *inode, struct file *file) { return 0; }

// Acknowledged or not: anything but a good reply with status 0 is -EFAULT.
ssize_t cdev_write(struct file *file, const char __user *buf, size_t size, loff_t *offset)
{
	u8 _data[WS2812_WRITE_MAX];
	u8 rx_buf[6];
	struct quorvel_request req = {
		.type = DEV_TYPE_WS2812,
		.cmd = CMD_WRITE,
		.payload = _data,
		.len = static_cast<u8>(size),
		.sleep_ms = 1,
	};

	if (size > WS2812_WRITE_MAX)
		return -EINVAL;
	if (copy_from_user(_data, buf, size))
		return -EINVAL;
	if (quorvel_exchange(&req, rx_buf, sizeof(rx_buf)) != 0)
		return -EFAULT;
	return static_cast<ssize_t>(size);
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
	.owner = THIS_MODULE,
	.read = cdev_read,
	.write = cdev_write,
	.open = cdev_open,
	.release = cdev_close,
};

const char *const ws2812_nodes[] = { "ws_2812" };
const struct quorvel_cdev_desc ws2812_cdev = {
	.region = "quorvel_2812",
	.class_name = "quorvel_2812_class",
	.nodes = ws2812_nodes,
	.count = ARRAY_SIZE(ws2812_nodes),
	.fops = &cdev_fops,
};
const struct quorvel_cdev ws2812_objects = { .my_dev = &my_dev, .cdev = &cdev, .dev_class = &dev_class };

int quorvel_2812_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&ws2812_cdev, &ws2812_objects); }

int quorvel_2812_remove(struct platform_device *pdev)
{
	quorvel_cdev_remove(&ws2812_cdev, &ws2812_objects);
	return 0;
}

// The device is static: nothing to free when it goes.
void QUORVEL_2812_release(struct device *dev) {}

struct platform_device quorvel_2812_device = {
	.name = "quorvel-2812",
	.id = 0,
	.dev = { .release = QUORVEL_2812_release },
};

struct platform_driver quorvel_2812_driver = {
	.probe = quorvel_2812_probe,
	.remove = quorvel_2812_remove,
	.driver = { .name = "quorvel-2812", .owner = THIS_MODULE },
};

} // namespace

int quorvel_linux_2812_init(void) { return quorvel_cdev_init(&quorvel_2812_device, &quorvel_2812_driver); }

void quorvel_linux_2812_exit(void) { quorvel_cdev_exit(&quorvel_2812_device, &quorvel_2812_driver); }
