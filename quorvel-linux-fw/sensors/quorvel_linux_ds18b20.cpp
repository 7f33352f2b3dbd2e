// The DS18B20 temperature sensor "ds18b20": one 4-byte reading per ioctl,
// kept in the store, which read returns and write overwrites.
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

static_assert(DS18B20_READ_CMD == 0x40044400);

dev_t my_dev;
struct device_class *dev_class;
struct cdev cdev;
struct privateData pData;
DEFINE_MUTEX(pData_lock);
const struct quorvel_sensor ds18b20 = {
	.cmd_name = "DS18B20_READ_CMD",
	.measure = {
		.type = DEV_TYPE_DS18B20,
		.cmd = DS18B20_READ_CMD,
		.reply_len = 9,
		.reading_len = 4,
		.give_back_len = 4,
		.read_max = 4,
	},
	.store = { .pData = &pData, .lock = &pData_lock },
};

using ds18b20_file = quorvel_sensor_file<ds18b20>;

const struct file_operations cdev_fops = {
	.owner = THIS_MODULE,
	.read = ds18b20_file::read,
	.write = ds18b20_file::write,
	.unlocked_ioctl = ds18b20_file::ioctl,
	.open = ds18b20_file::open,
	.release = ds18b20_file::release,
};

const char *const ds18b20_nodes[] = { "ds18b20" };
const struct quorvel_cdev_desc ds18b20_cdev = {
	.region = "quorvel_ds18b20",
	.class_name = "quorvel_ds18b20_class",
	.nodes = ds18b20_nodes,
	.count = ARRAY_SIZE(ds18b20_nodes),
	.fops = &cdev_fops,
};
const struct quorvel_cdev ds18b20_objects = { .my_dev = &my_dev, .cdev = &cdev, .dev_class = &dev_class };

int quorvel_ds18b20_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&ds18b20_cdev, &ds18b20_objects); }

int quorvel_ds18b20_remove(struct platform_device *pdev)
{
	quorvel_cdev_remove(&ds18b20_cdev, &ds18b20_objects);
	return 0;
}

// The device is static: nothing to free when it goes.
void quorvel_ds18b20_release(struct device *dev) {}

struct platform_device quorvel_ds18b20_device = {
	.name = "quorvel-ds18b20",
	.id = 0,
	.dev = { .release = quorvel_ds18b20_release },
};

struct platform_driver quorvel_ds18b20_driver = {
	.probe = quorvel_ds18b20_probe,
	.remove = quorvel_ds18b20_remove,
	.driver = { .name = "quorvel-ds18b20", .owner = THIS_MODULE },
};

} // namespace

int quorvel_linux_ds18b20_init(void) { return quorvel_cdev_init(&quorvel_ds18b20_device, &quorvel_ds18b20_driver); }

void quorvel_linux_ds18b20_exit(void) { quorvel_cdev_exit(&quorvel_ds18b20_device, &quorvel_ds18b20_driver); }
