// The measurement and the store shared by the triggered sensors.
#include <linux/cleanup.h>
#include <linux/kernel.h>
#include <linux/mutex.h>
#include <linux/uaccess.h>

#include "link/quorvel_protocol.h"
#include "sensors/quorvel_sensor.h"

// The ioctl numbers as the programs' header has them.
static_assert(DHT_IOCTL_CMD == 0x40044403 && DS18B20_READ_CMD == 0x40044400);
static_assert(SR04_READ_CMD == 0x40045301 && GP2Y_READ_CMD == 0x40044700);

namespace {

struct ioData {
	u8 data[4];
};

// The largest reply of a measurement, as the frame buffers are sized.
constexpr size_t QUORVEL_MEASURE_BUF = 55;

} // namespace

void quorvel_store_get(const struct quorvel_store *s, u8 *out)
{
	guard(mutex)(s->lock);
	memcpy(out, s->pData->data, sizeof(s->pData->data));
}

void quorvel_store_put(const struct quorvel_store *s, const u8 *in, size_t n)
{
	guard(mutex)(s->lock);
	memcpy(s->pData->data, in, min(n, sizeof(s->pData->data)));
}

int quorvel_write_through(u8 type, unsigned int sleep_ms, const char __user *buf, size_t size)
{
	u8 _data[QUORVEL_WRITE_MAX];
	u8 rx_buf[6];
	const struct quorvel_request req = {
		.type = type,
		.cmd = CMD_WRITE,
		.payload = _data,
		.len = static_cast<u8>(size),
		.sleep_ms = sleep_ms,
	};

	if (size > sizeof(_data) || copy_from_user(_data, buf, size))
		return QUORVEL_WRITE_UNREAD;
	return quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
}

long quorvel_measure_ioctl(const struct quorvel_measure_desc *desc, const struct quorvel_store *s, unsigned int cmd,
			   unsigned long arg)
{
	void __user *argp = reinterpret_cast<void __user *>(arg);
	u8 rx_buf[QUORVEL_MEASURE_BUF];
	struct ioData mydata;
	struct quorvel_request req = {
		.type = desc->type,
		.cmd = CMD_CONTROL,
		.payload = mydata.data,
		.len = sizeof(mydata.data),
		.sleep_ms = 1,
	};
	int ret;

	if (cmd != desc->cmd)
		return -ENOTTY;
	if (copy_from_user(&mydata, argp, sizeof(mydata))) {
		printk("copy error\n");
		return -EFAULT;
	}
	ret = quorvel_exchange(&req, rx_buf, desc->reply_len);
	if (ret == 0) {
		memcpy(mydata.data, &rx_buf[3], desc->reading_len);
		quorvel_store_put(s, mydata.data, desc->reading_len);
	} else {
		// The store's purpose: the last good reading stands in for a
		// failed one.
		quorvel_store_get(s, mydata.data);
	}
	if (copy_to_user(argp, &mydata, desc->give_back_len))
		return -EFAULT;
	return 0;
}

ssize_t quorvel_store_read(const struct quorvel_measure_desc *desc, const struct quorvel_store *s, char __user *buf,
			   size_t size)
{
	u8 bytes[sizeof(s->pData->data)];

	if (size > desc->read_max)
		return -EINVAL;
	size = min(size, sizeof(bytes));
	quorvel_store_get(s, bytes);
	if (copy_to_user(buf, bytes, size))
		return -EFAULT;
	return static_cast<ssize_t>(size);
}

// Copied in whole before the store is touched: a buffer that cannot be read
// leaves the store as it was.
ssize_t quorvel_store_write(const struct quorvel_store *s, const char __user *buf, size_t size)
{
	u8 bytes[sizeof(s->pData->data)];

	if (size > sizeof(bytes))
		return -EINVAL;
	if (copy_from_user(bytes, buf, size)) {
		printk("copy error\n");
		return -EFAULT;
	}
	quorvel_store_put(s, bytes, size);
	return static_cast<ssize_t>(size);
}

int quorvel_sensor_open(const struct quorvel_sensor *sensor, struct file *file)
{
	file->private_data = &sensor->pData;
	printk("%s  = %lx \n", sensor->cmd_name, static_cast<unsigned long>(sensor->measure.cmd));
	return 0;
}
