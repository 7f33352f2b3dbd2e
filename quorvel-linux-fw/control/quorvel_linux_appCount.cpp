// The application counter "quorvel_count": programs hold it open while they
// use the pins; the last close has the co-processor reset. It also keeps one
// 4-byte value for the programs, which the module gives no meaning.
#include <linux/atomic.h>
#include <linux/cleanup.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/uaccess.h>
#include <linux/workqueue.h>

#include "control/quorvel_linux_config_dev.h"
#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"

extern const struct quorvel_cdev_driver quorvel_count;

namespace {

// The skeleton's callbacks and the platform pair, under this driver's names.
// The release is the configuration device's namesake; each file has its own.
int quorvel_count_platform_probe(struct platform_device *pdev) { return quorvel_cdev_probe(&quorvel_count, pdev); }
int quorvel_count_platform_remove(struct platform_device *pdev) { return quorvel_cdev_remove(&quorvel_count); }
void quorvel_config_release(struct device *dev) {} // the device is static: nothing to free
struct platform_device quorvel_count_platform_device = quorvel_cdev_pdev(quorvel_config_release);
struct platform_driver quorvel_count_platform_driver =
	quorvel_cdev_pdrv(quorvel_count_platform_probe, quorvel_count_platform_remove);

atomic_t _quorvel_count = ATOMIC_INIT(0); // open handles
int _quorvel_userFlag;			  // little-endian in memory, like the co-processor's
DEFINE_MUTEX(user_flag_lock);		  // guards _quorvel_userFlag
struct work_struct test_workqueue;

void test_work(struct work_struct *work) { gd32v_reset(); }

int config_open(struct inode *inode, struct file *file)
{
	printk("%s %d count = %d\n", "config_open", 61, atomic_inc_return(&_quorvel_count));
	return 0;
}

// Closes in quick succession queue one reset: a queued item is not queued twice.
int config_close(struct inode *inode, struct file *file)
{
	int count = atomic_dec_return(&_quorvel_count);

	printk("%s %d count = %d\n", "config_close", 69, count);
	if (count == 0) {
		printk("please reset gd32v \n");
		schedule_work(&test_workqueue);
		printk("please success \n");
	}
	return 0;
}

// Bytes that cannot be read from the caller become 0.
ssize_t config_write(struct file *file, const char __user *buffer, size_t size, loff_t *offset)
{
	u8 bytes[sizeof(_quorvel_userFlag)] = {};

	if (size > sizeof(_quorvel_userFlag))
		return -1;
	(void)copy_from_user(bytes, buffer, size);

	guard(mutex)(&user_flag_lock);
	printk("config_write  %d \n", _quorvel_userFlag);
	memcpy(&_quorvel_userFlag, bytes, size);
	printk("config_write  %d \n", _quorvel_userFlag);
	return static_cast<ssize_t>(size);
}

ssize_t config_read(struct file *file, char __user *buf, size_t size, loff_t *offset)
{
	int value;

	if (size != sizeof(_quorvel_userFlag))
		return -1;
	scoped_guard(mutex, &user_flag_lock) value = _quorvel_userFlag;
	(void)copy_to_user(buf, &value, sizeof(value));
	printk("config_read  %d \n", value);
	return sizeof(value);
}

const struct file_operations count_fops = {
	.owner = THIS_MODULE, .read = config_read, .write = config_write, .open = config_open, .release = config_close
};

} // namespace

// A whole major, its own class and one node; it prints nothing of its own.
const struct quorvel_cdev_driver quorvel_count = {
	.pair = { .name = "quorvel_count",
		  .device = &quorvel_count_platform_device,
		  .driver = &quorvel_count_platform_driver },
	.chrdev = { .region = "count", .class_name = "count_class", .nodes = { "quorvel_count" } },
	.fops = &count_fops,
	.says = QUORVEL_CDEV_SILENT,
	.whole_major = true,
};

int quorvel_linux_count_init(void)
{
	INIT_WORK(&test_workqueue, test_work);
	return quorvel_cdev_init(&quorvel_count);
}

// A reset the last close queued still runs, on the line that is closed only
// after every driver has stopped, before the module's code goes away.
void quorvel_linux_count_exit(void)
{
	quorvel_cdev_exit(&quorvel_count);
	flush_work(&test_workqueue);
}
