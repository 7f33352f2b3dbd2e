// The GP2Y1010AU dust sensor "gp2y1010au": one 2-byte reading per ioctl; the
// argument comes back whole, its last two bytes as the program sent them.
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

static_assert(GP2Y_READ_CMD == 0x40044700);

dev_t my_dev;
struct device_class *dev_class;
struct cdev cdev;
struct privateData pData;
DEFINE_MUTEX(pData_lock);
const struct quorvel_sensor gp2y = {
	.cmd_name = "GP2Y_READ_CMD",
	.measure = {
		.type = DEV_TYPE_GP2Y,
		.cmd = GP2Y_READ_CMD,
		.reply_len = 7,
		.reading_len = 2,
		.give_back_len = 4,
		.read_max = 4,
	},
	.store = { .pData = &pData, .lock = &pData_lock },
};

using gp2y_file = quorvel_sensor_file<gp2y>;

const struct file_operations cdev_fops = {
	.owner = THIS_MODULE,
	.read = gp2y_file::read,
	.write = gp2y_file::write,
	.unlocked_ioctl = gp2y_file::ioctl,
	.open = gp2y_file::open,
	.release = gp2y_file::release,
};

const char *const gp2y_nodes[] = { "gp2y1010au" };
const struct quorvel_cdev_desc gp2y_cdev = {
	.region = "quorvel_gp2y",
	.class_name = "quorvel_gp2y_class",
	.nodes = gp2y_nodes,
	.count = ARRAY_SIZE(gp2y_nodes),
	.fops = &cdev_fops,
};
const struct quorvel_cdev gp2y_objects = { .my_dev = &my_dev, .cdev = &cdev, .dev_class = &dev_class };

int quorvel_gp2y_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&gp2y_cdev, &gp2y_objects); }

int quorvel_gp2y_remove(struct platform_device *pdev)
{
	quorvel_cdev_remove(&gp2y_cdev, &gp2y_objects);
	return 0;
}

// The device is static: nothing to free when it goes.
void quorvel_gp2y_release(struct device *dev) {}

struct platform_device quorvel_gp2y_device = {
	.name = "quorvel-gp2y",
	.id = 0,
	.dev = { .release = quorvel_gp2y_release },
};

struct platform_driver quorvel_gp2y_driver = {
	.probe = quorvel_gp2y_probe,
	.remove = quorvel_gp2y_remove,
	.driver = { .name = "quorvel-gp2y", .owner = THIS_MODULE },
};

} // namespace

int quorvel_linux_gp2y_init(void) { return quorvel_cdev_init(&quorvel_gp2y_device, &quorvel_gp2y_driver); }

void quorvel_linux_gp2y_exit(void) { quorvel_cdev_exit(&quorvel_gp2y_device, &quorvel_gp2y_driver); }
