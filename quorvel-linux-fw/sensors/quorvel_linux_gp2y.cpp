// The GP2Y1010AU dust sensor "gp2y1010au": one 2-byte reading per ioctl; the
// argument comes back whole, its last two bytes as the program sent them.
#include <linux/ioctl.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/uaccess.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "sensors/quorvel_sensor.h"

extern const struct quorvel_cdev_driver quorvel_gp2y;

int quorvel_linux_gp2y_init(void) { return quorvel_cdev_init(&quorvel_gp2y); }

void quorvel_linux_gp2y_exit(void) { quorvel_cdev_exit(&quorvel_gp2y); }

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
int quorvel_gp2y_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&quorvel_gp2y, pdev); }
int quorvel_gp2y_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_gp2y); }
void quorvel_gp2y_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_gp2y_device = quorvel_cdev_pdev(quorvel_gp2y_release);
struct platform_driver quorvel_gp2y_driver = quorvel_cdev_pdrv(quorvel_gp2y_probe, quorvel_gp2y_remove);

// The measurement; the store is the sensor's own.
const struct quorvel_sensor gp2y = {
	.measure = { .type = DEV_TYPE_GP2Y, .cmd = GP2Y_READ_CMD, .reply_len = 7, .reading_len = 2 },
	.cmd_name = "GP2Y_READ_CMD",
};

const struct file_operations &cdev_fops = quorvel_sensor_file<gp2y>::fops;

} // namespace

const struct quorvel_cdev_driver quorvel_gp2y = {
	.pair = { .name = "quorvel-gp2y", .device = &quorvel_gp2y_device, .driver = &quorvel_gp2y_driver },
	.chrdev = { .region = "quorvel_gp2y", .class_name = "quorvel_gp2y_class", .nodes = { "gp2y1010au" } },
	.fops = &cdev_fops,
};
