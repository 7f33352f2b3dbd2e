// The module's view of the kernel's structures, checked against the kernel
// the module is built for (quorvel_layout.h comes from its headers and from
// the glue's mirrors). Compiled with the module's own flags and headers, as
// one of its objects; it holds no code.
#include <linux/atomic.h>
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/poll.h>
#include <linux/serial.h>
#include <linux/spinlock.h>
#include <linux/termios.h>
#include <linux/uaccess.h>
#include <linux/workqueue.h>

#include <quorvel_layout.h>

#define SAME_SIZE(prefix, S, type) static_assert(sizeof(type) == prefix##_SIZEOF_##S, #type ": size differs")
#define SAME_OFF(prefix, S, type, m)                                                                                   \
	static_assert(__builtin_offsetof(type, m) == prefix##_OFF_##S##_##m, #type "." #m ": offset differs")

// Shared with the kernel: the kernel's layout.
SAME_SIZE(KERNEL, MUTEX, struct mutex);
SAME_OFF(KERNEL, MUTEX, struct mutex, wait_list);
SAME_SIZE(KERNEL, LIST_HEAD, struct list_head);
// The kernel's spinlock lives at the start of the module's lock storage.
static_assert(__builtin_offsetof(spinlock_t, __host) == 0 && sizeof(spinlock_t::__host) >= KERNEL_SIZEOF_SPINLOCK &&
	      alignof(spinlock_t) >= KERNEL_ALIGNOF_SPINLOCK);

SAME_SIZE(KERNEL, WORK_STRUCT, struct work_struct);
SAME_OFF(KERNEL, WORK_STRUCT, struct work_struct, data);
SAME_OFF(KERNEL, WORK_STRUCT, struct work_struct, entry);
SAME_OFF(KERNEL, WORK_STRUCT, struct work_struct, func);

SAME_SIZE(KERNEL, KERNEL_PARAM, struct kernel_param);
SAME_OFF(KERNEL, KERNEL_PARAM, struct kernel_param, name);
SAME_OFF(KERNEL, KERNEL_PARAM, struct kernel_param, mod);
SAME_OFF(KERNEL, KERNEL_PARAM, struct kernel_param, ops);
SAME_OFF(KERNEL, KERNEL_PARAM, struct kernel_param, perm);
SAME_OFF(KERNEL, KERNEL_PARAM, struct kernel_param, level);
SAME_OFF(KERNEL, KERNEL_PARAM, struct kernel_param, flags);
SAME_OFF(KERNEL, KERNEL_PARAM, struct kernel_param, arg);
SAME_SIZE(KERNEL, KERNEL_PARAM_OPS, struct kernel_param_ops);
SAME_OFF(KERNEL, KERNEL_PARAM_OPS, struct kernel_param_ops, set);
SAME_OFF(KERNEL, KERNEL_PARAM_OPS, struct kernel_param_ops, get);
SAME_OFF(KERNEL, KERNEL_PARAM_OPS, struct kernel_param_ops, free);

SAME_SIZE(KERNEL, POLL_WQUEUES, struct poll_wqueues);
SAME_OFF(KERNEL, POLL_WQUEUES, struct poll_wqueues, pt);
SAME_SIZE(KERNEL, POLL_TABLE, poll_table);
SAME_OFF(KERNEL, POLL_TABLE, poll_table, _qproc);

SAME_SIZE(KERNEL, TERMIOS, struct termios);
SAME_OFF(KERNEL, TERMIOS, struct termios, c_cflag);
SAME_OFF(KERNEL, TERMIOS, struct termios, c_line);
SAME_OFF(KERNEL, TERMIOS, struct termios, c_cc);
static_assert(NCCS == KERNEL_NCCS);
SAME_SIZE(KERNEL, SERIAL_STRUCT, struct serial_struct);
SAME_OFF(KERNEL, SERIAL_STRUCT, struct serial_struct, flags);
SAME_OFF(KERNEL, SERIAL_STRUCT, struct serial_struct, iomap_base);

// The module's own: the glue's mirrors.
SAME_SIZE(MIRROR, FILE_OPERATIONS, struct file_operations);
SAME_OFF(MIRROR, FILE_OPERATIONS, struct file_operations, owner);
SAME_OFF(MIRROR, FILE_OPERATIONS, struct file_operations, read);
SAME_OFF(MIRROR, FILE_OPERATIONS, struct file_operations, write);
SAME_OFF(MIRROR, FILE_OPERATIONS, struct file_operations, poll);
SAME_OFF(MIRROR, FILE_OPERATIONS, struct file_operations, unlocked_ioctl);
SAME_OFF(MIRROR, FILE_OPERATIONS, struct file_operations, compat_ioctl);
SAME_OFF(MIRROR, FILE_OPERATIONS, struct file_operations, open);
SAME_OFF(MIRROR, FILE_OPERATIONS, struct file_operations, flush);
SAME_OFF(MIRROR, FILE_OPERATIONS, struct file_operations, release);
SAME_SIZE(MIRROR, INODE, struct inode);
SAME_OFF(MIRROR, INODE, struct inode, i_rdev);
SAME_OFF(MIRROR, INODE, struct inode, i_mode);
SAME_OFF(MIRROR, INODE, struct inode, i_cdev);
SAME_OFF(MIRROR, INODE, struct inode, i_private);
SAME_SIZE(MIRROR, FILE, struct file);
SAME_OFF(MIRROR, FILE, struct file, f_op);
SAME_OFF(MIRROR, FILE, struct file, f_inode);
SAME_OFF(MIRROR, FILE, struct file, f_flags);
SAME_OFF(MIRROR, FILE, struct file, f_mode);
SAME_OFF(MIRROR, FILE, struct file, f_pos);
SAME_OFF(MIRROR, FILE, struct file, private_data);
SAME_OFF(MIRROR, FILE, struct file, f_host);
SAME_SIZE(MIRROR, DEVICE, struct device);
SAME_OFF(MIRROR, DEVICE, struct device, parent);
SAME_OFF(MIRROR, DEVICE, struct device, init_name);
SAME_OFF(MIRROR, DEVICE, struct device, driver);
SAME_OFF(MIRROR, DEVICE, struct device, platform_data);
SAME_OFF(MIRROR, DEVICE, struct device, driver_data);
SAME_OFF(MIRROR, DEVICE, struct device, devt);
SAME_OFF(MIRROR, DEVICE, struct device, klass);
SAME_OFF(MIRROR, DEVICE, struct device, release);
SAME_OFF(MIRROR, DEVICE, struct device, kernel_private);
SAME_SIZE(MIRROR, DEVICE_DRIVER, struct device_driver);
SAME_OFF(MIRROR, DEVICE_DRIVER, struct device_driver, name);
SAME_OFF(MIRROR, DEVICE_DRIVER, struct device_driver, owner);
SAME_SIZE(MIRROR, DEVICE_CLASS, struct device_class);
SAME_OFF(MIRROR, DEVICE_CLASS, struct device_class, name);
SAME_OFF(MIRROR, DEVICE_CLASS, struct device_class, owner);
SAME_OFF(MIRROR, DEVICE_CLASS, struct device_class, kernel_private);
SAME_SIZE(MIRROR, PLATFORM_DEVICE, struct platform_device);
SAME_OFF(MIRROR, PLATFORM_DEVICE, struct platform_device, name);
SAME_OFF(MIRROR, PLATFORM_DEVICE, struct platform_device, id);
SAME_OFF(MIRROR, PLATFORM_DEVICE, struct platform_device, dev);
SAME_SIZE(MIRROR, PLATFORM_DRIVER, struct platform_driver);
SAME_OFF(MIRROR, PLATFORM_DRIVER, struct platform_driver, probe);
SAME_OFF(MIRROR, PLATFORM_DRIVER, struct platform_driver, remove);
SAME_OFF(MIRROR, PLATFORM_DRIVER, struct platform_driver, shutdown);
SAME_OFF(MIRROR, PLATFORM_DRIVER, struct platform_driver, driver);
SAME_SIZE(MIRROR, MM_SEGMENT, mm_segment_t);
static_assert(sizeof(dev_t) == 8, "the glue reads the module's device numbers as 64 bits");
static_assert(sizeof(atomic_t) == 4);
