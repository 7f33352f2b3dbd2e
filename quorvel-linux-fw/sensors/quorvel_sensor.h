#pragma once
// What the sensor and actuator drivers share beyond the character-device
// skeleton (core/quorvel_platform.h): the 4-byte store some of them keep, and
// the measurement that the DHT, DS18B20, SR04 and GP2Y1010AU drivers make
// alike, each with its own numbers.
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/quorvel.h>
#include <linux/types.h>

// The device's store (struct privateData, the ioctl's argument layout in the
// programs' header): the last reading (or what a program wrote). Zero at
// load, kept across opens and rebinding until the module goes.

// A store and the lock that makes each of its reads and writes whole: several
// programs may measure, read and write one device at once, and none may see
// half of another's reading. Never held across an exchange or a copy.
struct quorvel_store {
	struct privateData *pData;
	struct mutex *lock;
};

void quorvel_store_get(const struct quorvel_store *s, u8 *out);
void quorvel_store_put(const struct quorvel_store *s, const u8 *in, size_t n);

// A write's bytes sent on as they are: one CMD_WRITE request of `type`
// carrying the program's `size` bytes (at most QUORVEL_WRITE_MAX), its 6-byte
// acknowledgement read after a pause of `sleep_ms`. The reply's check
// result, or QUORVEL_WRITE_UNREAD when the bytes cannot be read (then
// nothing is sent).
constexpr size_t QUORVEL_WRITE_MAX = 50; // the frame buffers hold 55 bytes
constexpr int QUORVEL_WRITE_UNREAD = -3;
[[nodiscard]] int quorvel_write_through(u8 type, unsigned int sleep_ms, const char __user *buf, size_t size);

// A triggered measurement: the program's 4 argument bytes go out unchanged
// as a CMD_CONTROL payload, and the reading comes back in the argument.
// A sensor names what differs from a four-byte reading.
struct quorvel_measure_desc {
	u8 type;			 // frame device type
	unsigned int cmd;		 // the one ioctl number the device takes
	u8 reply_len = 9;		 // 9: four reading bytes; 7: two
	u8 reading_len = 4;		 // reply bytes 3.. stored at the start of the store
	unsigned long give_back_len = 4; // argument bytes written back: 4, or the SR04's 2
	size_t read_max = 4;		 // largest read; the DHT's reaches past its 4 bytes
};

// 0 with the reading, or after a failed exchange the store's bytes (the last
// good reading); -ENOTTY for another number, -EFAULT for an argument that
// cannot be read (nothing sent) or written back.
[[nodiscard]] long quorvel_measure_ioctl(const struct quorvel_measure_desc *desc, const struct quorvel_store *s,
					 unsigned int cmd, unsigned long arg);
// The first `size` bytes of the store; a read past the store's 4 bytes (the
// DHT takes up to 10) is short: it returns the 4 bytes there are.
[[nodiscard]] ssize_t quorvel_store_read(const struct quorvel_measure_desc *desc, const struct quorvel_store *s,
					 char __user *buf, size_t size);
// Up to 4 bytes over the start of the store; nothing is sent.
[[nodiscard]] ssize_t quorvel_store_write(const struct quorvel_store *s, const char __user *buf, size_t size);

// One triggered sensor: its measurement, the name of its ioctl number,
// which an open logs, and its store, the one part that changes.
struct quorvel_sensor {
	struct quorvel_measure_desc measure;
	const char *cmd_name;
	mutable struct privateData pData = {};
	mutable struct mutex pData_lock = __MUTEX_INITIALIZER(pData_lock);

	constexpr struct quorvel_store store() const { return { .pData = &pData, .lock = &pData_lock }; }
};

// Points the file at the store and logs the ioctl number the device takes.
int quorvel_sensor_open(const struct quorvel_sensor *sensor, struct file *file);

// A sensor's file operations, each passing on to the shared measurement and
// store with the sensor's own numbers. `write` overwrites the store; a sensor
// whose writes go elsewhere (the DHT) gives its own.
template <const struct quorvel_sensor &S> struct quorvel_sensor_file {
	static int open(struct inode *inode, struct file *file) { return quorvel_sensor_open(&S, file); }
	static int release(struct inode *inode, struct file *file) { return 0; }
	static ssize_t read(struct file *file, char __user *buf, size_t size, loff_t *offset)
	{
		const struct quorvel_store store = S.store();

		return quorvel_store_read(&S.measure, &store, buf, size);
	}
	static ssize_t write(struct file *file, const char __user *buf, size_t size, loff_t *offset)
	{
		const struct quorvel_store store = S.store();

		return quorvel_store_write(&store, buf, size);
	}
	static long ioctl(struct file *file, unsigned int cmd, unsigned long arg)
	{
		const struct quorvel_store store = S.store();

		return quorvel_measure_ioctl(&S.measure, &store, cmd, arg);
	}
	static constexpr struct file_operations fops = { .owner = THIS_MODULE,
							 .read = read,
							 .write = write,
							 .unlocked_ioctl = ioctl,
							 .open = open,
							 .release = release };
};
