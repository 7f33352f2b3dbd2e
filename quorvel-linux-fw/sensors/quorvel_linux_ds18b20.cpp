// The DS18B20 temperature sensor "ds18b20": one 4-byte reading per ioctl,
// kept in the store, which read returns and write overwrites.
#include <linux/ioctl.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/uaccess.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "sensors/quorvel_sensor.h"

extern const struct quorvel_cdev_driver quorvel_ds18b20;

int quorvel_linux_ds18b20_init(void) { return quorvel_cdev_init(&quorvel_ds18b20); }

void quorvel_linux_ds18b20_exit(void) { quorvel_cdev_exit(&quorvel_ds18b20); }

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
int quorvel_ds18b20_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&quorvel_ds18b20, pdev); }
int quorvel_ds18b20_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_ds18b20); }
void quorvel_ds18b20_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_ds18b20_device = quorvel_cdev_pdev(quorvel_ds18b20_release);
struct platform_driver quorvel_ds18b20_driver = quorvel_cdev_pdrv(quorvel_ds18b20_probe, quorvel_ds18b20_remove);

// The measurement; the store is the sensor's own.
const struct quorvel_sensor ds18b20 = {
	.measure = { .type = DEV_TYPE_DS18B20, .cmd = DS18B20_READ_CMD },
	.cmd_name = "DS18B20_READ_CMD",
};

const struct file_operations &cdev_fops = quorvel_sensor_file<ds18b20>::fops;

} // namespace

const struct quorvel_cdev_driver quorvel_ds18b20 = {
	.pair = { .name = "quorvel-ds18b20", .device = &quorvel_ds18b20_device, .driver = &quorvel_ds18b20_driver },
	.chrdev = { .region = "quorvel_ds18b20", .class_name = "quorvel_ds18b20_class", .nodes = { "ds18b20" } },
	.fops = &cdev_fops,
};
