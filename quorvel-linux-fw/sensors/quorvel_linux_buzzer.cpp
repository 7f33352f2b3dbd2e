// The buzzer "buzzer": opening the node claims it at the co-processor and
// closing releases it; a write sends the program's bytes as they are, and a
// read asks for one byte. The driver keeps no state: the co-processor does.
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/uaccess.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "sensors/quorvel_sensor.h"

extern const struct quorvel_cdev_driver quorvel_buzzer;

int quorvel_linux_buzzer_init(void) { return quorvel_cdev_init(&quorvel_buzzer); }

void quorvel_linux_buzzer_exit(void) { quorvel_cdev_exit(&quorvel_buzzer); }

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
int quorvel_buzzer_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&quorvel_buzzer, pdev); }
int quorvel_buzzer_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_buzzer); }
void quorvel_buzzer_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_buzzer_device = quorvel_cdev_pdev(quorvel_buzzer_release);
struct platform_driver quorvel_buzzer_driver = quorvel_cdev_pdrv(quorvel_buzzer_probe, quorvel_buzzer_remove);

// The frame buffers hold 25 bytes: a write frame carries at most 20.
constexpr size_t BUZZER_WRITE_MAX = 20;

// Claim (CMD_OPEN) or release (CMD_CLOSE): 0 when acknowledged, else -EFAULT.
int buzzer_claim(u8 cmd)
{
	u8 _data[1] = { 0x01 };
	u8 rx_buf[6];
	struct quorvel_request req = {
		.type = DEV_TYPE_BUZZER,
		.cmd = cmd,
		.payload = _data,
		.len = sizeof(_data),
		.sleep_ms = 0,
	};

	return quorvel_exchange(&req, rx_buf, sizeof(rx_buf)) == 0 ? 0 : -EFAULT;
}

int cdev_open(struct inode *inode, struct file *file) { return buzzer_claim(CMD_OPEN); }

// The kernel closes the file whatever this returns.
int cdev_close(struct inode *inode, struct file *file) { return buzzer_claim(CMD_CLOSE); }

ssize_t cdev_write(struct file *file, const char __user *buf, size_t size, loff_t *offset)
{
	if (size > BUZZER_WRITE_MAX)
		return -EINVAL;
	return quorvel_write_through(DEV_TYPE_BUZZER, 0, buf, size) ? -EFAULT : static_cast<ssize_t>(size);
}

// A refused read (a good frame with a non-zero status) is -EIO: its byte is
// not the co-processor's answer to the question.
ssize_t cdev_read(struct file *file, char __user *buf, size_t size, loff_t *offset)
{
	u8 _data[1] = { 0x00 };
	u8 rx_buf[6];
	struct quorvel_request req = {
		.type = DEV_TYPE_BUZZER,
		.cmd = CMD_READ,
		.payload = _data,
		.len = sizeof(_data),
		.sleep_ms = 0,
	};
	int ret;

	if (size != 1)
		return -EINVAL;
	ret = quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
	if (ret < 0)
		return -EFAULT;
	if (ret > 0)
		return -EIO;
	if (copy_to_user(buf, &rx_buf[3], 1))
		return -EFAULT;
	return 1;
}

const struct file_operations cdev_fops = {
	.owner = THIS_MODULE, .read = cdev_read, .write = cdev_write, .open = cdev_open, .release = cdev_close
};

} // namespace

const struct quorvel_cdev_driver quorvel_buzzer = {
	.pair = { .name = "quorvel-buzzer", .device = &quorvel_buzzer_device, .driver = &quorvel_buzzer_driver },
	.chrdev = { .region = "quorvel_buzzer", .class_name = "quorvel_buzzer_class", .nodes = { "buzzer" } },
	.fops = &cdev_fops,
	.says = QUORVEL_CDEV_SAYS_STEPS,
};
