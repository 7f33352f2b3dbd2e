// The ICM-20689 motion sensor "icm20689": a read of n bytes asks the
// co-processor for n data bytes and hands them over as they come. Writes are
// taken and ignored.
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/uaccess.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"

extern const struct quorvel_cdev_driver quorvel_icm20689;

int quorvel_linux_icm20689_init(void) { return quorvel_cdev_init(&quorvel_icm20689); }

void quorvel_linux_icm20689_exit(void) { quorvel_cdev_exit(&quorvel_icm20689); }

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
int quorvel_icm20689_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&quorvel_icm20689, pdev); }
int quorvel_icm20689_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_icm20689); }
void quorvel_icm20689_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_icm20689_device = quorvel_cdev_pdev(quorvel_icm20689_release);
struct platform_driver quorvel_icm20689_driver = quorvel_cdev_pdrv(quorvel_icm20689_probe, quorvel_icm20689_remove);

constexpr size_t ICM20689_READ_MAX = 20;
// A reply carries the data bytes and 5 more; sized for the largest read,
// so that reads of 16 to 20 bytes are served whole.
constexpr size_t ICM20689_RX_BUF = ICM20689_READ_MAX + QUORVEL_FRAME_OVERHEAD;

int cdev_open(struct inode *inode, struct file *file) { return 0; }

int cdev_close(struct inode *inode, struct file *file) { return 0; }

ssize_t cdev_write(struct file *file, const char __user *buf, size_t size, loff_t *offset)
{
	return static_cast<ssize_t>(size);
}

// Only a reply that passed its check with status 0 is handed over: zeros
// from a silent line, or bytes of a reply that failed, would read as motion
// data (-EIO instead). A read of 0 bytes has nothing to hand over and
// returns 0 after its exchange.
ssize_t cdev_read(struct file *file, char __user *buf, size_t size, loff_t *offset)
{
	u8 _data[2] = {};
	u8 rx_buf[ICM20689_RX_BUF];
	struct quorvel_request req = {
		.type = DEV_TYPE_ICM20689,
		.cmd = CMD_READ,
		.payload = _data,
		.len = 1,
		.sleep_ms = 0,
	};
	int ret;

	if (size > ICM20689_READ_MAX)
		return -EINVAL;
	_data[0] = static_cast<u8>(size);
	ret = quorvel_exchange(&req, rx_buf, static_cast<u8>(size + QUORVEL_FRAME_OVERHEAD));
	if (size == 0)
		return 0;
	if (ret != 0)
		return -EIO;
	if (copy_to_user(buf, &rx_buf[3], size))
		return -EFAULT;
	return static_cast<ssize_t>(size);
}

const struct file_operations cdev_fops = {
	.owner = THIS_MODULE, .read = cdev_read, .write = cdev_write, .open = cdev_open, .release = cdev_close
};

} // namespace

const struct quorvel_cdev_driver quorvel_icm20689 = {
	.pair = { .name = "quorvel-icm20689", .device = &quorvel_icm20689_device, .driver = &quorvel_icm20689_driver },
	.chrdev = { .region = "quorvel_icm20689", .class_name = "quorvel_icm20689_class", .nodes = { "icm20689" } },
	.fops = &cdev_fops,
};
