#pragma once
// The requests of /dev/i2c-N (the kernel's user ABI, numbers unchanged).
#include <linux/i2c.h>
#include <linux/types.h>

#define I2C_MAJOR	89

#define I2C_RETRIES	0x0701 // further tries of a transfer that gives -EAGAIN
#define I2C_TIMEOUT	0x0702 // in units of 10 ms
#define I2C_SLAVE	0x0703 // the address of the next transfers; -EBUSY if a driver has it
#define I2C_TENBIT	0x0704 // 0 for 7-bit addresses, else 10-bit
#define I2C_FUNCS	0x0705 // the adapter's functionality, an unsigned long
#define I2C_SLAVE_FORCE 0x0706 // I2C_SLAVE even when a driver has the address
#define I2C_RDWR	0x0707 // a combined transfer: struct i2c_rdwr_ioctl_data
#define I2C_PEC		0x0708
#define I2C_SMBUS	0x0720 // an SMBus transaction: struct i2c_smbus_ioctl_data

struct i2c_smbus_ioctl_data {
	__u8 read_write;
	__u8 command;
	__u32 size;
	union i2c_smbus_data __user *data;
};

struct i2c_rdwr_ioctl_data {
	struct i2c_msg __user *msgs;
	__u32 nmsgs;
};

#define I2C_RDWR_IOCTL_MAX_MSGS 42
