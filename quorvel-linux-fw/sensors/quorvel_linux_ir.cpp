// The infrared transmitter and receiver: "ir_send" (minor 0) and "ir_recv"
// (minor 1), one region, one cdev and one set of operations. The minor a file
// was opened on picks the frame's device type; the bytes are the
// co-processor's to interpret.
#include <linux/ioctl.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/quorvel.h>
#include <linux/uaccess.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "sensors/quorvel_sensor.h"

extern const struct quorvel_cdev_driver quorvel_ir;

int quorvel_linux_ir_init(void) { return quorvel_cdev_init(&quorvel_ir); }

void quorvel_linux_ir_exit(void) { quorvel_cdev_exit(&quorvel_ir); }

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
// The probe tells where it is first.
int quorvel_ir_probe(struct platform_device *pdev)
{
	printk("%s %s line %d\n", __FILE__, __func__, __LINE__);
	return quorvel_cdev_probe(&quorvel_ir, pdev);
}

int quorvel_ir_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_ir); }
void quorvel_ir_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_ir_device = quorvel_cdev_pdev(quorvel_ir_release);
struct platform_driver quorvel_ir_driver = quorvel_cdev_pdrv(quorvel_ir_probe, quorvel_ir_remove);

static_assert(IR_SEND_CMD == 0x400a410a && IR_RECV_CMD == 0xc00a410b);

constexpr size_t IR_WRITE_MAX = 20;
constexpr size_t IR_READ_MAX = 8;
constexpr size_t IR_BUF = 55;
// A receive request whose first byte is below this is answered with one
// byte, from it on with four.
constexpr u8 IR_RECV_LONG = 47;

unsigned int ir_minor(const struct file *file) { return iminor(file_inode(file)); }

u8 ir_type(const struct file *file) { return ir_minor(file) == 0 ? DEV_TYPE_IR_SEND : DEV_TYPE_IR_RECV; }

int cdev_open(struct inode *inode, struct file *file)
{
	unsigned int minor = iminor(inode);

	if (minor == 0 || minor == 1)
		printk("minor %d = \n", minor);
	printk("ir ioctl0  %lx \n", static_cast<unsigned long>(IR_SEND_CMD));
	printk("ir ioctl1  %lx \n", static_cast<unsigned long>(IR_RECV_CMD));
	return 0;
}

int cdev_close(struct inode *inode, struct file *file) { return 0; }

// A buffer that cannot be read fails the write before anything is sent:
// zeros in its place would go out as a code. A refusal is -EIO; a reply
// whose CRC alone is bad still returns the count: the CRC covers only the
// data byte the write does not use, and the status beside it says done.
ssize_t cdev_write(struct file *file, const char __user *buf, size_t size, loff_t *offset)
{
	int ret;

	if (size > IR_WRITE_MAX)
		return -E2BIG;
	printk("minor = %d \n", ir_minor(file));
	ret = quorvel_write_through(ir_type(file), 0, buf, size);
	if (ret == QUORVEL_WRITE_UNREAD)
		return -EFAULT;
	if (ret == QUORVEL_REPLY_BAD_FRAME)
		return -EINVAL;
	if (ret > 0)
		return -EIO;
	return static_cast<ssize_t>(size);
}

// The 10 argument bytes go out as a CMD_CONTROL payload. Sending is done
// only when the co-processor says so; receiving hands back reply bytes 3
// onward (data, CRC, tail, zeros) only from a reply that passed its check:
// the caller cannot tell zeros of a silent line from a code.
long ir_control(struct file *file, unsigned int cmd, void __user *argp)
{
	struct irData mydata;
	u8 rx_buf[IR_BUF] = {};
	struct quorvel_request req = {
		.type = ir_type(file),
		.cmd = CMD_CONTROL,
		.payload = mydata.data,
		.len = sizeof(mydata.data),
		.sleep_ms = 0,
	};
	u8 reply_len = 6;
	int ret;

	if (cmd == IR_SEND_CMD)
		printk("IR_SEND_CMD\n");
	if (copy_from_user(&mydata, argp, sizeof(mydata))) {
		printk("copy error\n");
		return -EFAULT;
	}
	if (cmd == IR_RECV_CMD && mydata.data[0] >= IR_RECV_LONG)
		reply_len = 9;
	ret = quorvel_exchange(&req, rx_buf, reply_len);
	if (ret != 0) {
		printk("return error--------------\n");
		return -EIO;
	}
	if (cmd == IR_SEND_CMD)
		return 0;
	memcpy(mydata.data, &rx_buf[3], sizeof(mydata.data));
	if (copy_to_user(argp, &mydata, sizeof(mydata)))
		return -EFAULT;
	return 0;
}

long cdev_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	if (cmd != IR_SEND_CMD && cmd != IR_RECV_CMD)
		return -ENOTTY;
	return ir_control(file, cmd, reinterpret_cast<void __user *>(arg));
}

// A reply that is missing, not this request's or corrupt gives -EIO rather
// than bytes the co-processor never sent; one with a good frame and a
// non-zero status is handed over as it came. A read of 0 bytes has nothing
// to hand over and returns 0 after its exchange.
ssize_t cdev_read(struct file *file, char __user *buf, size_t size, loff_t *offset)
{
	u8 _data[2] = {};
	u8 rx_buf[IR_READ_MAX + QUORVEL_FRAME_OVERHEAD];
	struct quorvel_request req = {
		.type = ir_type(file),
		.cmd = CMD_READ,
		.payload = _data,
		.len = 1,
		.sleep_ms = 0,
	};
	int ret;

	printk("minor = %d \n", ir_minor(file));
	if (size > IR_READ_MAX)
		return -E2BIG;
	_data[0] = static_cast<u8>(size);
	ret = quorvel_exchange(&req, rx_buf, static_cast<u8>(size + QUORVEL_FRAME_OVERHEAD));
	if (size == 0)
		return 0;
	if (ret < 0)
		return -EIO;
	if (copy_to_user(buf, &rx_buf[3], size))
		return -EINVAL;
	return static_cast<ssize_t>(size);
}

const struct file_operations cdev_fops = {
	.owner = THIS_MODULE,
	.read = cdev_read,
	.write = cdev_write,
	.unlocked_ioctl = cdev_ioctl,
	.open = cdev_open,
	.release = cdev_close,
};

} // namespace

const struct quorvel_cdev_driver quorvel_ir = {
	.pair = { .name = "quorvel-ir", .device = &quorvel_ir_device, .driver = &quorvel_ir_driver },
	.chrdev = { .region = "quorvel_ir", .class_name = "quorvel_ir_class", .nodes = { "ir_send", "ir_recv" } },
	.fops = &cdev_fops,
};
