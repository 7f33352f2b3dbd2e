// The configuration device: programs read and change the pin-mode table,
// have it sent to the co-processor, start the remaining drivers, read the
// firmware version and reset the co-processor. Its start and stop entries
// also run the serial receive poller "my_thread".
#include <linux/delay.h>
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/kthread.h>
#include <linux/module.h>
#include <linux/sched.h>
#include <linux/uaccess.h>

#include "control/quorvel_linux_config_dev.h"
#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "periph/quorvel_linux_serial.h"

extern const struct quorvel_cdev_driver quorvel_config;

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
int quorvel_config_platform_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&quorvel_config, pdev); }
int quorvel_config_platform_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_config); }
void quorvel_config_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_config_platform_device = quorvel_cdev_pdev(quorvel_config_release);
struct platform_driver quorvel_config_platform_driver =
	quorvel_cdev_pdrv(quorvel_config_platform_probe, quorvel_config_platform_remove);

// The version request's argument, as the programs' header lays it out.
using ioData = struct quorvel_version;

constexpr size_t CONFIG_RX_BUF = 100;
constexpr size_t CONFIG_WRITE_MAX = 50;	   // refused from this size on
constexpr size_t CONFIG_TABLE_MSG = 49;	   // table bytes logged after a read
constexpr size_t CONFIG_MARKER_INDEX = 51; // "no valid table" marker in the reply
constexpr u8 CONFIG_NO_TABLE = 0xFF;
constexpr unsigned int CONFIG_POLL_MS = 50;
// The most the poller fetches in one cycle.
constexpr int UART_READ_MAX = 240;
constexpr size_t UART_RX_BUF = 255;

// The poller's task, with a reference of ours so that it stays valid until
// kthread_stop has returned, even if the thread ended by itself first.
struct task_struct *my_thread;
bool should_stop;

// One count query: how many bytes the co-processor's serial port holds.
// No reply reads as 0; the reply is not judged, its count byte decides.
int read_uart_len(void)
{
	u8 _data[1] = { CTRL_RX_COUNT };
	u8 rx_buf[6];
	struct quorvel_request req = {
		.type = DEV_TYPE_UART,
		.cmd = CMD_CONTROL,
		.payload = _data,
		.len = sizeof(_data),
		.sleep_ms = 0,
	};

	(void)quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
	return rx_buf[3];
}

// One data read of at most 240 bytes. The reply's count byte says how many
// follow it; a count beyond what was asked for is cut to that, so that no
// byte past the reply read is handed on. Missing bytes of a short reply
// read as 0.
int read_uart_data(int data_len)
{
	int n = min(data_len, UART_READ_MAX);
	u8 _data[1] = { static_cast<u8>(n + 1) };
	u8 rx_buf[UART_RX_BUF];
	struct quorvel_request req = {
		.type = DEV_TYPE_UART,
		.cmd = CMD_READ,
		.payload = _data,
		.len = sizeof(_data),
		.sleep_ms = 0,
	};
	u8 count;

	(void)quorvel_exchange(&req, rx_buf, static_cast<u8>(n + 6));
	count = min<u8>(rx_buf[3], static_cast<u8>(n));
	uart_recv(&rx_buf[4], count);
	return count;
}

// The receive poller: every 50 ms while ttySP0 is installed, a count query
// and, for a count that is not 0, a data read. uart_mutex is taken for each
// exchange and let go between them.
int my_thread_function(void *data)
{
	for (;;) {
		if (kthread_should_stop())
			return 0;
		if (READ_ONCE(should_stop))
			do_exit(0);
		if (READ_ONCE(uart_flag)) {
			int len = read_uart_len();
			if (len)
				read_uart_data(len);
		}
		msleep(CONFIG_POLL_MS);
	}
}

// The co-processor's table is taken only from a whole, correct reply whose
// "no valid table" marker (payload byte 48, so only in a 48-pin read) is
// clear; otherwise the caller gets the module's own table. Taking bytes from
// a reply that failed its check would store whatever the line carried. A
// caller's buffer that cannot be written fails the read with -EFAULT; what
// the module learnt of the co-processor's table is kept all the same.
ssize_t config_read(struct file *file, char __user *buf, size_t size, loff_t *offset)
{
	u8 rx_buf[CONFIG_RX_BUF] = {};
	u8 table[QUORVEL_PIN_COUNT];
	u8 n1;
	struct quorvel_request req = {
		.type = DEV_TYPE_CONFIG,
		.cmd = CMD_READ,
		.payload = &n1,
		.len = 1,
		.sleep_ms = 0,
	};
	unsigned long missed;
	int ret;

	if (size < 1 || size > QUORVEL_PIN_COUNT)
		return -1;
	n1 = static_cast<u8>(size + 1);
	ret = quorvel_exchange(&req, rx_buf, static_cast<u8>(size + 6));

	for (size_t i = 0; i < CONFIG_TABLE_MSG; i++)
		printk("%d ", rx_buf[3 + i]);
	printk("\n");

	if (ret != 0 || (size == QUORVEL_PIN_COUNT && rx_buf[CONFIG_MARKER_INDEX] == CONFIG_NO_TABLE)) {
		printk("read gpio state error-----------------\n");
		quorvel_table_snapshot(table);
		if (copy_to_user(buf, table, size))
			return -EFAULT;
		return static_cast<ssize_t>(size);
	}
	missed = copy_to_user(buf, &rx_buf[3], size);
	quorvel_table_store(0, &rx_buf[3], size);
	printk("read gpio state success -----------------\n");
	printk("rk3308  gpio state   ---------------\n");
	quorvel_table_snapshot(table);
	for (int i = 0; i < QUORVEL_PIN_COUNT; i++)
		printk("%d ", table[i]);
	printk("\n");
	return missed ? -EFAULT : static_cast<ssize_t>(size);
}

void config_log_reply(const u8 *rx_buf, size_t len)
{
	for (size_t i = 0; i < len; i++)
		printk("%x ", rx_buf[i]);
	printk("\n");
}

// The table keeps what the co-processor was sent and accepted; codes past
// pin 47 have no entry and are left out. A caller's buffer that cannot be
// read fails the write with -EFAULT before anything is sent: zeros in its
// place would reach the co-processor as pin modes.
ssize_t config_write(struct file *file, const char __user *buffer, size_t size, loff_t *offset)
{
	u8 _data[CONFIG_WRITE_MAX] = {};
	u8 rx_buf[6];
	struct quorvel_request req = {
		.type = DEV_TYPE_CONFIG,
		.cmd = CMD_WRITE,
		.payload = _data,
		.len = static_cast<u8>(size),
		.sleep_ms = 1,
	};
	int ret;

	if (size >= CONFIG_WRITE_MAX) {
		printk("---------------------------------\n");
		return -1;
	}
	if (copy_from_user(_data, buffer, size))
		return -EFAULT;
	ret = quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
	msleep(1);
	config_log_reply(rx_buf, sizeof(rx_buf));
	if (ret != 0) {
		printk("%d  ret = %d \n", 184, ret);
		return -1;
	}
	if (size > 1)
		quorvel_table_store(_data[0], &_data[1], size - 1);
	return static_cast<ssize_t>(size);
}

// Only a reply with status 0 acknowledges the table: a bad reply, none at
// all, or a refusal leaves the caller with -1.
int set_all_gpio_mode(void)
{
	u8 _data[1 + QUORVEL_PIN_COUNT] = {};
	u8 rx_buf[6];
	struct quorvel_request req = {
		.type = DEV_TYPE_CONFIG,
		.cmd = CMD_WRITE,
		.payload = _data,
		.len = sizeof(_data),
		.sleep_ms = 1,
	};
	int ret;

	quorvel_table_snapshot(&_data[1]);
	ret = quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
	config_log_reply(rx_buf, sizeof(rx_buf));
	if (ret != 0) {
		printk("ret = %d \n", ret);
		return -1;
	}
	return 0;
}

long config_version(unsigned long args)
{
	ioData io;
	u8 _data[1] = { CTRL_VERSION };
	u8 rx_buf[7];
	struct quorvel_request req = {
		.type = DEV_TYPE_CONFIG,
		.cmd = CMD_CONTROL,
		.payload = _data,
		.len = sizeof(_data),
		.sleep_ms = 0,
	};
	int ret;

	printk("ioctl version \n");
	if (copy_from_user(&io, reinterpret_cast<void __user *>(args), sizeof(io))) {
		printk("copy error\n");
		return -EFAULT;
	}
	// A refusal carries no version: the caller learns of it, its bytes
	// untouched.
	ret = quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
	if (ret < 0)
		return -EFAULT;
	if (ret > 0)
		return -EIO;
	io.data[0] = rx_buf[3];
	io.data[1] = rx_buf[4];
	if (copy_to_user(reinterpret_cast<void __user *>(args), &io, sizeof(io)))
		return -EFAULT;
	return 0;
}

long config_reset(unsigned long args)
{
	u8 mode;

	// The mode byte is read for the caller's sake only; every reset is the same.
	if (copy_from_user(&mode, reinterpret_cast<const void __user *>(args), 1))
		printk("--------------  ioctl   mode error = %d \n", 0);
	gd32v_reset();
	return 0;
}

long config_ioctl(struct file *file, unsigned int cmd, unsigned long args)
{
	printk("ioctl cmd = %x \n", cmd);
	printk("ioctl cmd = %lx \n", static_cast<unsigned long>(cmd));
	printk("ioctl version = %x \n", CONFIG_IOCTL_VERSION);
	printk("ioctl version = %lx \n", static_cast<unsigned long>(CONFIG_IOCTL_VERSION));
	printk("ioctl reset = %x \n", CONFIG_IOCTL_RESET);
	printk("ioctl reset = %lx \n", static_cast<unsigned long>(CONFIG_IOCTL_RESET));

	switch (cmd) {
	case CONFIG_IOCTL_ENABLE_ALL:
		(void)other_adc_register();
		quorvel_enable_remaining_drivers();
		return 0;
	case CONFIG_IOCTL_APPLY_MODES:
		return set_all_gpio_mode();
	case CONFIG_IOCTL_VERSION:
		return config_version(args);
	case CONFIG_IOCTL_RESET:
		return config_reset(args);
	default:
		return -EINVAL;
	}
}

// Any number of programs may hold the device open; nothing is kept per file.
int config_open(struct inode *inode, struct file *file) { return 0; }
int config_close(struct inode *inode, struct file *file) { return 0; }

const struct file_operations config_fops = { .owner = THIS_MODULE,
					     .read = config_read,
					     .write = config_write,
					     .unlocked_ioctl = config_ioctl,
					     .open = config_open,
					     .release = config_close };

} // namespace

// A whole major, its own class and one node; it prints nothing of its own.
const struct quorvel_cdev_driver quorvel_config = {
	.pair = { .name = "quorvel_config",
		  .device = &quorvel_config_platform_device,
		  .driver = &quorvel_config_platform_driver },
	.chrdev = { .region = "config", .class_name = "config_class", .nodes = { "quorvel_config" } },
	.fops = &config_fops,
	.says = QUORVEL_CDEV_SILENT,
	.whole_major = true,
};

void gd32v_reset(void)
{
	u8 _data[1] = { CTRL_RESET };
	struct quorvel_request req = {
		.type = DEV_TYPE_CONFIG,
		.cmd = CMD_CONTROL,
		.payload = _data,
		.len = sizeof(_data),
		.sleep_ms = 0,
	};
	ssize_t ret = quorvel_send(&req);

	if (ret < 0)
		printk("error ret  = %d\n", static_cast<int>(ret));
}

// All or nothing: a start that fails leaves neither the pair nor the poller.
// A probe that fails leaves the pair registered without its node, and the
// start succeeds, as the driver's registration does.
int quorvel_config_init(void)
{
	struct task_struct *task;
	int ret = quorvel_cdev_init(&quorvel_config);

	if (ret)
		return ret;
	task = kthread_create_on_node(my_thread_function, nullptr, NUMA_NO_NODE, "my_thread");
	if (IS_ERR(task)) {
		quorvel_cdev_exit(&quorvel_config);
		return static_cast<int>(PTR_ERR(task));
	}
	get_task_struct(task);
	my_thread = task;
	wake_up_process(task);
	return 0;
}

void quorvel_config_exit(void)
{
	quorvel_cdev_exit(&quorvel_config);
	WRITE_ONCE(should_stop, true);
	if (my_thread) {
		kthread_stop(my_thread);
		put_task_struct(my_thread);
		my_thread = nullptr;
	}
}
