#pragma once
// The I2C adapter's state: one bus, its adapter registered with the I2C core,
// and a record of each client the probe made on it.
#include <linux/i2c.h>
#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/types.h>

// One record per client the probe made. Kept for the driver's bookkeeping:
// a transfer only visits it.
typedef struct quorvel_i2c_dev_info_s {
	struct list_head node; // in quorvel_i2c_adapter_info_t::list
	int addr;	       // the client's 7-bit address
	int current_reg_addr;
	u16 regs[256];
} quorvel_i2c_dev_info_t;

typedef struct quorvel_i2c_adapter_info_s {
	struct list_head list; // quorvel_i2c_dev_info_t records, in order of creation
	// Not used: the I2C core's bus lock serialises this adapter's transfers,
	// and uart_mutex each exchange.
	struct mutex quorvel_i2c_mutex;
} quorvel_i2c_adapter_info_t;

// Allocated by the probe on the platform device (devm); the algorithm's hooks
// step back from the embedded adapter to it.
typedef struct quorvel_i2c_bus_s {
	quorvel_i2c_adapter_info_t quorvel_dev_info;
	struct i2c_adapter adapter;
} quorvel_i2c_bus_t;

// The largest messages a frame carries: a read's L + 5 reply bytes and a
// write's L + 3 payload bytes must fit the 255-byte buffers.
constexpr u16 QUORVEL_I2C_READ_MAX = 250;
constexpr u16 QUORVEL_I2C_WRITE_MAX = 247;
