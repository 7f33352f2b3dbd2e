// SPDX-License-Identifier: GPL-2.0
/*
 * Sizes and offsets of the structures the module shares with the kernel, as
 * the kernel's headers lay them out (KERNEL_*), and of the glue's mirrors of
 * the module's own structures (MIRROR_*). Compiled to assembly and turned
 * into quorvel_layout.h, as the kernel makes its asm-offsets; the module's
 * side checks itself against it (layout_check.cpp).
 */
#include <linux/kbuild.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/serial.h>
#include <linux/spinlock.h>
#include <linux/termios.h>
#include <linux/workqueue.h>

#include "qk.h"

#define SIZE(prefix, s, type)	DEFINE(prefix##_SIZEOF_##s, sizeof(type))
#define OFF(prefix, s, type, m) DEFINE(prefix##_OFF_##s##_##m, offsetof(type, m))

void common(void);
void common(void)
{
	SIZE(KERNEL, MUTEX, struct mutex);
	OFF(KERNEL, MUTEX, struct mutex, wait_list);
	SIZE(KERNEL, LIST_HEAD, struct list_head);
	SIZE(KERNEL, SPINLOCK, spinlock_t);
	DEFINE(KERNEL_ALIGNOF_SPINLOCK, __alignof__(spinlock_t));

	SIZE(KERNEL, WORK_STRUCT, struct work_struct);
	OFF(KERNEL, WORK_STRUCT, struct work_struct, data);
	OFF(KERNEL, WORK_STRUCT, struct work_struct, entry);
	OFF(KERNEL, WORK_STRUCT, struct work_struct, func);

	SIZE(KERNEL, KERNEL_PARAM, struct kernel_param);
	OFF(KERNEL, KERNEL_PARAM, struct kernel_param, name);
	OFF(KERNEL, KERNEL_PARAM, struct kernel_param, mod);
	OFF(KERNEL, KERNEL_PARAM, struct kernel_param, ops);
	OFF(KERNEL, KERNEL_PARAM, struct kernel_param, perm);
	OFF(KERNEL, KERNEL_PARAM, struct kernel_param, level);
	OFF(KERNEL, KERNEL_PARAM, struct kernel_param, flags);
	OFF(KERNEL, KERNEL_PARAM, struct kernel_param, arg);
	SIZE(KERNEL, KERNEL_PARAM_OPS, struct kernel_param_ops);
	OFF(KERNEL, KERNEL_PARAM_OPS, struct kernel_param_ops, set);
	OFF(KERNEL, KERNEL_PARAM_OPS, struct kernel_param_ops, get);
	OFF(KERNEL, KERNEL_PARAM_OPS, struct kernel_param_ops, free);

	SIZE(KERNEL, POLL_WQUEUES, struct poll_wqueues);
	OFF(KERNEL, POLL_WQUEUES, struct poll_wqueues, pt);
	SIZE(KERNEL, POLL_TABLE, poll_table);
	OFF(KERNEL, POLL_TABLE, poll_table, _qproc);

	SIZE(KERNEL, TERMIOS, struct termios);
	OFF(KERNEL, TERMIOS, struct termios, c_cflag);
	OFF(KERNEL, TERMIOS, struct termios, c_line);
	OFF(KERNEL, TERMIOS, struct termios, c_cc);
	DEFINE(KERNEL_NCCS, NCCS);
	SIZE(KERNEL, SERIAL_STRUCT, struct serial_struct);
	OFF(KERNEL, SERIAL_STRUCT, struct serial_struct, flags);
	OFF(KERNEL, SERIAL_STRUCT, struct serial_struct, iomap_base);

	SIZE(MIRROR, FILE_OPERATIONS, struct qk_file_operations);
	OFF(MIRROR, FILE_OPERATIONS, struct qk_file_operations, owner);
	OFF(MIRROR, FILE_OPERATIONS, struct qk_file_operations, read);
	OFF(MIRROR, FILE_OPERATIONS, struct qk_file_operations, write);
	OFF(MIRROR, FILE_OPERATIONS, struct qk_file_operations, poll);
	OFF(MIRROR, FILE_OPERATIONS, struct qk_file_operations, unlocked_ioctl);
	OFF(MIRROR, FILE_OPERATIONS, struct qk_file_operations, compat_ioctl);
	OFF(MIRROR, FILE_OPERATIONS, struct qk_file_operations, open);
	OFF(MIRROR, FILE_OPERATIONS, struct qk_file_operations, flush);
	OFF(MIRROR, FILE_OPERATIONS, struct qk_file_operations, release);
	SIZE(MIRROR, INODE, struct qk_inode);
	OFF(MIRROR, INODE, struct qk_inode, i_rdev);
	OFF(MIRROR, INODE, struct qk_inode, i_mode);
	OFF(MIRROR, INODE, struct qk_inode, i_cdev);
	OFF(MIRROR, INODE, struct qk_inode, i_private);
	SIZE(MIRROR, FILE, struct qk_file);
	OFF(MIRROR, FILE, struct qk_file, f_op);
	OFF(MIRROR, FILE, struct qk_file, f_inode);
	OFF(MIRROR, FILE, struct qk_file, f_flags);
	OFF(MIRROR, FILE, struct qk_file, f_mode);
	OFF(MIRROR, FILE, struct qk_file, f_pos);
	OFF(MIRROR, FILE, struct qk_file, private_data);
	OFF(MIRROR, FILE, struct qk_file, f_host);
	SIZE(MIRROR, DEVICE, struct qk_device);
	OFF(MIRROR, DEVICE, struct qk_device, parent);
	OFF(MIRROR, DEVICE, struct qk_device, init_name);
	OFF(MIRROR, DEVICE, struct qk_device, driver);
	OFF(MIRROR, DEVICE, struct qk_device, platform_data);
	OFF(MIRROR, DEVICE, struct qk_device, driver_data);
	OFF(MIRROR, DEVICE, struct qk_device, devt);
	OFF(MIRROR, DEVICE, struct qk_device, klass);
	OFF(MIRROR, DEVICE, struct qk_device, release);
	OFF(MIRROR, DEVICE, struct qk_device, kernel_private);
	SIZE(MIRROR, DEVICE_DRIVER, struct qk_device_driver);
	OFF(MIRROR, DEVICE_DRIVER, struct qk_device_driver, name);
	OFF(MIRROR, DEVICE_DRIVER, struct qk_device_driver, owner);
	SIZE(MIRROR, DEVICE_CLASS, struct qk_device_class);
	OFF(MIRROR, DEVICE_CLASS, struct qk_device_class, name);
	OFF(MIRROR, DEVICE_CLASS, struct qk_device_class, owner);
	OFF(MIRROR, DEVICE_CLASS, struct qk_device_class, kernel_private);
	SIZE(MIRROR, PLATFORM_DEVICE, struct qk_platform_device);
	OFF(MIRROR, PLATFORM_DEVICE, struct qk_platform_device, name);
	OFF(MIRROR, PLATFORM_DEVICE, struct qk_platform_device, id);
	OFF(MIRROR, PLATFORM_DEVICE, struct qk_platform_device, dev);
	SIZE(MIRROR, PLATFORM_DRIVER, struct qk_platform_driver);
	OFF(MIRROR, PLATFORM_DRIVER, struct qk_platform_driver, probe);
	OFF(MIRROR, PLATFORM_DRIVER, struct qk_platform_driver, remove);
	OFF(MIRROR, PLATFORM_DRIVER, struct qk_platform_driver, shutdown);
	OFF(MIRROR, PLATFORM_DRIVER, struct qk_platform_driver, driver);
	SIZE(MIRROR, MM_SEGMENT, struct qk_mm_segment);
}
