#pragma once
// The I2C core as an adapter's driver and a client's driver see it: adapters
// with their algorithm (master_xfer, smbus_xfer, functionality), clients at
// an address on an adapter, the drivers that bind to clients, and the
// transfers the core hands to the adapter under its bus lock. The messages,
// SMBus data and flags are the kernel's user ABI as well (i2c-dev passes
// them through unchanged).
#include <linux/device.h>
#include <linux/mod_devicetable.h>
#include <linux/mutex.h>
#include <linux/types.h>

struct module;
struct i2c_adapter;
struct i2c_client;

#define I2C_NAME_SIZE 20

// One segment of a transfer: a read or a write of len bytes at addr.
struct i2c_msg {
	__u16 addr;
	__u16 flags;
	__u16 len;
	__u8 *buf;
};

#define I2C_M_RD	   0x0001 // read from the target
#define I2C_M_TEN	   0x0010 // a ten-bit address
#define I2C_M_DMA_SAFE	   0x0200
#define I2C_M_RECV_LEN	   0x0400 // the first byte read is the length of the rest
#define I2C_M_NO_RD_ACK	   0x0800
#define I2C_M_IGNORE_NAK   0x1000
#define I2C_M_REV_DIR_ADDR 0x2000
#define I2C_M_NOSTART	   0x4000
#define I2C_M_STOP	   0x8000

// What an adapter can do (its functionality hook).
#define I2C_FUNC_I2C			0x00000001
#define I2C_FUNC_10BIT_ADDR		0x00000002
#define I2C_FUNC_PROTOCOL_MANGLING	0x00000004
#define I2C_FUNC_SMBUS_PEC		0x00000008
#define I2C_FUNC_NOSTART		0x00000010
#define I2C_FUNC_SMBUS_BLOCK_PROC_CALL	0x00008000
#define I2C_FUNC_SMBUS_QUICK		0x00010000
#define I2C_FUNC_SMBUS_READ_BYTE	0x00020000
#define I2C_FUNC_SMBUS_WRITE_BYTE	0x00040000
#define I2C_FUNC_SMBUS_READ_BYTE_DATA	0x00080000
#define I2C_FUNC_SMBUS_WRITE_BYTE_DATA	0x00100000
#define I2C_FUNC_SMBUS_READ_WORD_DATA	0x00200000
#define I2C_FUNC_SMBUS_WRITE_WORD_DATA	0x00400000
#define I2C_FUNC_SMBUS_PROC_CALL	0x00800000
#define I2C_FUNC_SMBUS_READ_BLOCK_DATA	0x01000000
#define I2C_FUNC_SMBUS_WRITE_BLOCK_DATA 0x02000000
#define I2C_FUNC_SMBUS_READ_I2C_BLOCK	0x04000000
#define I2C_FUNC_SMBUS_WRITE_I2C_BLOCK	0x08000000

#define I2C_FUNC_SMBUS_BYTE		(I2C_FUNC_SMBUS_READ_BYTE | I2C_FUNC_SMBUS_WRITE_BYTE)
#define I2C_FUNC_SMBUS_BYTE_DATA	(I2C_FUNC_SMBUS_READ_BYTE_DATA | I2C_FUNC_SMBUS_WRITE_BYTE_DATA)
#define I2C_FUNC_SMBUS_WORD_DATA	(I2C_FUNC_SMBUS_READ_WORD_DATA | I2C_FUNC_SMBUS_WRITE_WORD_DATA)
#define I2C_FUNC_SMBUS_I2C_BLOCK	(I2C_FUNC_SMBUS_READ_I2C_BLOCK | I2C_FUNC_SMBUS_WRITE_I2C_BLOCK)
// Everything an adapter can emulate with plain messages.
#define I2C_FUNC_SMBUS_EMUL                                                                                            \
	(I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA |            \
	 I2C_FUNC_SMBUS_PROC_CALL | I2C_FUNC_SMBUS_WRITE_BLOCK_DATA | I2C_FUNC_SMBUS_I2C_BLOCK | I2C_FUNC_SMBUS_PEC)

#define I2C_SMBUS_BLOCK_MAX 32 // data bytes of an SMBus block

union i2c_smbus_data {
	__u8 byte;
	__u16 word;
	__u8 block[I2C_SMBUS_BLOCK_MAX + 2]; // block[0] is the length; one more for a user's PEC
};

// read_write of an SMBus transaction.
#define I2C_SMBUS_READ	1
#define I2C_SMBUS_WRITE 0

// The SMBus transaction kinds (size).
#define I2C_SMBUS_QUICK		   0
#define I2C_SMBUS_BYTE		   1
#define I2C_SMBUS_BYTE_DATA	   2
#define I2C_SMBUS_WORD_DATA	   3
#define I2C_SMBUS_PROC_CALL	   4
#define I2C_SMBUS_BLOCK_DATA	   5
#define I2C_SMBUS_I2C_BLOCK_BROKEN 6
#define I2C_SMBUS_BLOCK_PROC_CALL  7
#define I2C_SMBUS_I2C_BLOCK_DATA   8

// Client flags (the low ones are the messages' own).
#define I2C_CLIENT_PEC	0x04
#define I2C_CLIENT_TEN	0x10 // the same bit as I2C_M_TEN
#define I2C_CLIENT_SCCB 0x9000

// Adapter classes: which kinds of probing drivers may look at it.
#define I2C_CLASS_HWMON	     (1 << 0)
#define I2C_CLASS_DDC	     (1 << 3)
#define I2C_CLASS_SPD	     (1 << 7)
#define I2C_CLASS_DEPRECATED (1 << 8)

// The adapter's driver. master_xfer returns the number of messages done or a
// negative errno; smbus_xfer 0 or a negative errno, -EOPNOTSUPP sending the
// core on to emulate the transaction with master_xfer.
struct i2c_algorithm {
	int (*master_xfer)(struct i2c_adapter *adap, struct i2c_msg *msgs, int num);
	int (*smbus_xfer)(struct i2c_adapter *adap, u16 addr, unsigned short flags, char read_write, u8 command,
			  int size, union i2c_smbus_data *data);
	u32 (*functionality)(struct i2c_adapter *adap);
};

struct i2c_adapter {
	struct module *owner;
	unsigned int klass; // the kernel's "class" (a C++ keyword)
	const struct i2c_algorithm *algo;
	void *algo_data;
	struct mutex bus_lock; // held around every call of master_xfer and smbus_xfer
	int timeout;	       // in jiffies; HZ if 0 at registration
	int retries;	       // further tries of a transfer that gives -EAGAIN
	struct device dev;     // "i2c-<nr>" on the i2c bus
	int nr;
	char name[48];
	void *kernel_private; // the core's record while registered (the wait for the last reference)
};

static inline struct i2c_adapter *to_i2c_adapter(struct device *d)
{
	return reinterpret_cast<struct i2c_adapter *>(reinterpret_cast<char *>(d) -
						      __builtin_offsetof(struct i2c_adapter, dev));
}
static inline void *i2c_get_adapdata(const struct i2c_adapter *adap) { return dev_get_drvdata(&adap->dev); }
static inline void i2c_set_adapdata(struct i2c_adapter *adap, void *data) { dev_set_drvdata(&adap->dev, data); }
static inline int i2c_adapter_id(struct i2c_adapter *adap) { return adap->nr; }

// A device at an address on an adapter: "<nr>-<addr as %04x>" on the i2c bus.
struct i2c_client {
	unsigned short flags; // I2C_CLIENT_TEN, I2C_CLIENT_PEC
	unsigned short addr;  // 7-bit (or ten-bit) address, in the low bits
	char name[I2C_NAME_SIZE];
	struct i2c_adapter *adapter;
	struct device dev;
	int irq;
};

static inline struct i2c_client *to_i2c_client(struct device *d)
{
	return reinterpret_cast<struct i2c_client *>(reinterpret_cast<char *>(d) -
						     __builtin_offsetof(struct i2c_client, dev));
}
static inline void *i2c_get_clientdata(const struct i2c_client *client) { return dev_get_drvdata(&client->dev); }
static inline void i2c_set_clientdata(struct i2c_client *client, void *data) { dev_set_drvdata(&client->dev, data); }

// What a client is made from.
struct i2c_board_info {
	char type[I2C_NAME_SIZE];
	unsigned short flags;
	unsigned short addr;
	void *platform_data;
	int irq;
};

#define I2C_BOARD_INFO(dev_type, dev_addr) .type = dev_type, .addr = (dev_addr)

struct i2c_device_id {
	char name[I2C_NAME_SIZE];
	unsigned long driver_data;
};

// A driver of clients, bound by its id_table's names (or its own name).
struct i2c_driver {
	int (*probe)(struct i2c_client *client, const struct i2c_device_id *id);
	int (*remove)(struct i2c_client *client);
	struct device_driver driver;
	const struct i2c_device_id *id_table;
};

static inline struct i2c_driver *to_i2c_driver(struct device_driver *d)
{
	return reinterpret_cast<struct i2c_driver *>(reinterpret_cast<char *>(d) -
						     __builtin_offsetof(struct i2c_driver, driver));
}

extern "C" {
// Registers the adapter with the lowest free bus number (its nr is
// replaced); 0 or a negative errno.
int i2c_add_adapter(struct i2c_adapter *adap);
// Registers the adapter with the bus number in its nr; -EBUSY if taken.
int i2c_add_numbered_adapter(struct i2c_adapter *adap);
// Unregisters the adapter's clients, then the adapter, and waits until the
// last reference to it (an open /dev/i2c-N among them) is gone.
void i2c_del_adapter(struct i2c_adapter *adap);
struct i2c_adapter *i2c_get_adapter(int nr);
void i2c_put_adapter(struct i2c_adapter *adap);

// 4.4's form: the new client, or NULL (an invalid or busy address, no memory).
struct i2c_client *i2c_new_device(struct i2c_adapter *adap, struct i2c_board_info const *info);
void i2c_unregister_device(struct i2c_client *client);
struct i2c_client *i2c_verify_client(struct device *dev);

int i2c_register_driver(struct module *owner, struct i2c_driver *driver);
void i2c_del_driver(struct i2c_driver *driver);

// The number of messages done, or a negative errno; the bus lock is held
// around the adapter's master_xfer. -EOPNOTSUPP without one.
int i2c_transfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num);
// The same with the bus lock already held.
int __i2c_transfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num);
int i2c_master_send(const struct i2c_client *client, const char *buf, int count);
int i2c_master_recv(const struct i2c_client *client, char *buf, int count);
void i2c_lock_adapter(struct i2c_adapter *adap);
void i2c_unlock_adapter(struct i2c_adapter *adap);

// 0 (or a read's data) or a negative errno; the adapter's smbus_xfer under the
// bus lock, or the transaction emulated with master_xfer.
s32 i2c_smbus_xfer(struct i2c_adapter *adap, u16 addr, unsigned short flags, char read_write, u8 command, int protocol,
		   union i2c_smbus_data *data);
s32 i2c_smbus_read_byte(const struct i2c_client *client);
s32 i2c_smbus_write_byte(const struct i2c_client *client, u8 value);
s32 i2c_smbus_read_byte_data(const struct i2c_client *client, u8 command);
s32 i2c_smbus_write_byte_data(const struct i2c_client *client, u8 command, u8 value);
s32 i2c_smbus_read_word_data(const struct i2c_client *client, u8 command);
s32 i2c_smbus_write_word_data(const struct i2c_client *client, u8 command, u16 value);
}

#define i2c_add_driver(driver) i2c_register_driver(THIS_MODULE, driver)

static inline u32 i2c_get_functionality(struct i2c_adapter *adap) { return adap->algo->functionality(adap); }
static inline int i2c_check_functionality(struct i2c_adapter *adap, u32 func)
{
	return (func & i2c_get_functionality(adap)) == func;
}
