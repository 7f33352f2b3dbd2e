// The DHT temperature and humidity sensor "dht": one reading per ioctl, kept
// in the store for read; what a program writes goes on to the co-processor.
#include <linux/ioctl.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/uaccess.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "sensors/quorvel_sensor.h"

extern const struct quorvel_cdev_driver quorvel_dht;

int quorvel_linux_dht_init(void) { return quorvel_cdev_init(&quorvel_dht); }

void quorvel_linux_dht_exit(void) { quorvel_cdev_exit(&quorvel_dht); }

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
int quorvel_dht_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&quorvel_dht, pdev); }
int quorvel_dht_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_dht); }
void quorvel_dht_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_dht_device = quorvel_cdev_pdev(quorvel_dht_release);
struct platform_driver quorvel_dht_driver = quorvel_cdev_pdrv(quorvel_dht_probe, quorvel_dht_remove);

constexpr size_t DHT_WRITE_MAX = QUORVEL_WRITE_MAX;

// The measurement; the store is the sensor's own.
const struct quorvel_sensor dht = {
	.measure = { .type = DEV_TYPE_DHT, .cmd = DHT_IOCTL_CMD, .read_max = 10 },
	.cmd_name = "DHT_IOCTL_CMD",
};

using dht_file = quorvel_sensor_file<dht>;

// The bytes go to the co-processor; the store is not touched. A reply that
// is missing or not this request's fails the write, and so does a refusal
// (-EIO). A bad CRC still returns the count: it covers only the data byte
// the write does not use, and the status beside it says done.
ssize_t cdev_write(struct file *file, const char __user *buf, size_t size, loff_t *offset)
{
	int ret;

	if (size > DHT_WRITE_MAX)
		return -EINVAL;
	ret = quorvel_write_through(DEV_TYPE_DHT, 0, buf, size);
	if (ret == QUORVEL_WRITE_UNREAD || ret == QUORVEL_REPLY_BAD_FRAME)
		return -EFAULT;
	if (ret > 0)
		return -EIO;
	return static_cast<ssize_t>(size);
}

const struct file_operations cdev_fops = { .owner = THIS_MODULE,
					   .read = dht_file::read,
					   .write = cdev_write,
					   .unlocked_ioctl = dht_file::ioctl,
					   .open = dht_file::open,
					   .release = dht_file::release };

} // namespace

const struct quorvel_cdev_driver quorvel_dht = {
	.pair = { .name = "quorvel-dht", .device = &quorvel_dht_device, .driver = &quorvel_dht_driver },
	.chrdev = { .region = "quorvel_dht", .class_name = "quorvel_dht_class", .nodes = { "dht" } },
	.fops = &cdev_fops,
};
