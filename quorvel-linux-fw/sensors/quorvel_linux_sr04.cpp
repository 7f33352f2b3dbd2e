// The SR04 ultrasonic ranger "sr04": one 2-byte reading per ioctl, written
// over the first two bytes of the argument and of the store.
#include <linux/ioctl.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/uaccess.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "sensors/quorvel_sensor.h"

extern const struct quorvel_cdev_driver quorvel_sr04;

int quorvel_linux_sr04_init(void) { return quorvel_cdev_init(&quorvel_sr04); }

void quorvel_linux_sr04_exit(void) { quorvel_cdev_exit(&quorvel_sr04); }

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
int quorvel_sr04_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&quorvel_sr04, pdev); }
int quorvel_sr04_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_sr04); }
void quorvel_sr04_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_sr04_device = quorvel_cdev_pdev(quorvel_sr04_release);
struct platform_driver quorvel_sr04_driver = quorvel_cdev_pdrv(quorvel_sr04_probe, quorvel_sr04_remove);

// The measurement; the store is the sensor's own.
const struct quorvel_sensor sr04 = {
	.measure = { .type = DEV_TYPE_SR04,
		     .cmd = SR04_READ_CMD,
		     .reply_len = 7,
		     .reading_len = 2,
		     .give_back_len = 2 },
	.cmd_name = "SR04_READ_CMD",
};

const struct file_operations &cdev_fops = quorvel_sensor_file<sr04>::fops;

} // namespace

const struct quorvel_cdev_driver quorvel_sr04 = {
	.pair = { .name = "quorvel-sr04", .device = &quorvel_sr04_device, .driver = &quorvel_sr04_driver },
	.chrdev = { .region = "quorvel_sr04", .class_name = "quorvel_sr04_class", .nodes = { "sr04" } },
	.fops = &cdev_fops,
};
