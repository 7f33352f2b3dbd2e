// The DHT temperature and humidity sensor "dht": one reading per ioctl, kept
// in the store for read; what a program writes goes on to the co-processor.
#include <linux/cdev.h>
#include <linux/ioctl.h>
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

static_assert(DHT_IOCTL_CMD == 0x40044403);
// The frame buffers hold 55 bytes: a write frame carries at most 50.
constexpr size_t DHT_WRITE_MAX = 50;

dev_t my_dev;
struct device_class *dev_class;
struct cdev cdev;
struct privateData pData;
DEFINE_MUTEX(pData_lock);
const struct quorvel_sensor dht = {
	.cmd_name = "DHT_IOCTL_CMD",
	.measure = {
		.type = DEV_TYPE_DHT,
		.cmd = DHT_IOCTL_CMD,
		.reply_len = 9,
		.reading_len = 4,
		.give_back_len = 4,
		.read_max = 10,
	},
	.store = { .pData = &pData, .lock = &pData_lock },
};

using dht_file = quorvel_sensor_file<dht>;

// The bytes go to the co-processor; the store is not touched. A reply that
// is missing or not this request's fails the write, and so does a refusal
// (-EIO). A bad CRC still returns the count: it covers only the data byte
// the write does not use, and the status beside it says done.
ssize_t cdev_write(struct file *file, const char __user *buf, size_t size, loff_t *offset)
{
	u8 _data[DHT_WRITE_MAX];
	u8 rx_buf[6];
	struct quorvel_request req = {
		.type = DEV_TYPE_DHT,
		.cmd = CMD_WRITE,
		.payload = _data,
		.len = static_cast<u8>(size),
		.sleep_ms = 0,
	};
	int ret;

	if (size > DHT_WRITE_MAX)
		return -EINVAL;
	if (copy_from_user(_data, buf, size))
		return -EFAULT;
	ret = quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
	if (ret == QUORVEL_REPLY_BAD_FRAME)
		return -EFAULT;
	if (ret > 0)
		return -EIO;
	return static_cast<ssize_t>(size);
}

const struct file_operations cdev_fops = {
	.owner = THIS_MODULE,
	.read = dht_file::read,
	.write = cdev_write,
	.unlocked_ioctl = dht_file::ioctl,
	.open = dht_file::open,
	.release = dht_file::release,
};

const char *const dht_nodes[] = { "dht" };
const struct quorvel_cdev_desc dht_cdev = {
	.region = "quorvel_dht",
	.class_name = "quorvel_dht_class",
	.nodes = dht_nodes,
	.count = ARRAY_SIZE(dht_nodes),
	.fops = &cdev_fops,
};
const struct quorvel_cdev dht_objects = { .my_dev = &my_dev, .cdev = &cdev, .dev_class = &dev_class };

int quorvel_dht_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&dht_cdev, &dht_objects); }

int quorvel_dht_remove(struct platform_device *pdev)
{
	quorvel_cdev_remove(&dht_cdev, &dht_objects);
	return 0;
}

// The device is static: nothing to free when it goes.
void quorvel_dht_release(struct device *dev) {}

struct platform_device quorvel_dht_device = {
	.name = "quorvel-dht",
	.id = 0,
	.dev = { .release = quorvel_dht_release },
};

struct platform_driver quorvel_dht_driver = {
	.probe = quorvel_dht_probe,
	.remove = quorvel_dht_remove,
	.driver = { .name = "quorvel-dht", .owner = THIS_MODULE },
};

} // namespace

int quorvel_linux_dht_init(void) { return quorvel_cdev_init(&quorvel_dht_device, &quorvel_dht_driver); }

void quorvel_linux_dht_exit(void) { quorvel_cdev_exit(&quorvel_dht_device, &quorvel_dht_driver); }
