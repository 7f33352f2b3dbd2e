// The SR04 ultrasonic ranger "sr04": one 2-byte reading per ioctl, written
// over the first two bytes of the argument and of the store.
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

static_assert(SR04_READ_CMD == 0x40045301);

dev_t my_dev;
struct device_class *dev_class;
struct cdev cdev;
struct privateData pData;
DEFINE_MUTEX(pData_lock);
const struct quorvel_sensor sr04 = {
	.cmd_name = "SR04_READ_CMD",
	.measure = {
		.type = DEV_TYPE_SR04,
		.cmd = SR04_READ_CMD,
		.reply_len = 7,
		.reading_len = 2,
		.give_back_len = 2,
		.read_max = 4,
	},
	.store = { .pData = &pData, .lock = &pData_lock },
};

using sr04_file = quorvel_sensor_file<sr04>;

const struct file_operations cdev_fops = {
	.owner = THIS_MODULE,
	.read = sr04_file::read,
	.write = sr04_file::write,
	.unlocked_ioctl = sr04_file::ioctl,
	.open = sr04_file::open,
	.release = sr04_file::release,
};

const char *const sr04_nodes[] = { "sr04" };
const struct quorvel_cdev_desc sr04_cdev = {
	.region = "quorvel_sr04",
	.class_name = "quorvel_sr04_class",
	.nodes = sr04_nodes,
	.count = ARRAY_SIZE(sr04_nodes),
	.fops = &cdev_fops,
};
const struct quorvel_cdev sr04_objects = { .my_dev = &my_dev, .cdev = &cdev, .dev_class = &dev_class };

int quorvel_sr04_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&sr04_cdev, &sr04_objects); }

int quorvel_sr04_remove(struct platform_device *pdev)
{
	quorvel_cdev_remove(&sr04_cdev, &sr04_objects);
	return 0;
}

// The device is static: nothing to free when it goes.
void quorvel_sr04_release(struct device *dev) {}

struct platform_device quorvel_sr04_device = {
	.name = "quorvel-sr04",
	.id = 0,
	.dev = { .release = quorvel_sr04_release },
};

struct platform_driver quorvel_sr04_driver = {
	.probe = quorvel_sr04_probe,
	.remove = quorvel_sr04_remove,
	.driver = { .name = "quorvel-sr04", .owner = THIS_MODULE },
};

} // namespace

int quorvel_linux_sr04_init(void) { return quorvel_cdev_init(&quorvel_sr04_device, &quorvel_sr04_driver); }

void quorvel_linux_sr04_exit(void) { quorvel_cdev_exit(&quorvel_sr04_device, &quorvel_sr04_driver); }
