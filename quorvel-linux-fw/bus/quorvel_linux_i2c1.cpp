// The I2C adapter "quorvel_i2c1_adapter": every message and SMBus
// transaction the I2C core hands it becomes one exchange with the
// co-processor, which drives the bus and answers whether the target
// acknowledged. Plain messages go as CMD_READ and CMD_WRITE, SMBus
// transactions as CMD_REG_READ, CMD_REG_WRITE and (quick) CMD_CONTROL; every
// payload starts with 0x11 and the target's address.
#include <linux/device.h>
#include <linux/i2c.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/slab.h>

#include "bus/quorvel_linux_i2c.h"
#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"

namespace {

constexpr u8 QUORVEL_I2C_TAG = 0x11; // first payload byte of every request
constexpr size_t QUORVEL_I2C_BUF = 255;
constexpr size_t QUORVEL_SMBUS_BUF = 50;

quorvel_i2c_bus_t *to_quorvel_bus(struct i2c_adapter *adap) { return container_of(adap, quorvel_i2c_bus_t, adapter); }

// ---- SMBus request routines: one exchange each, 0 or -EIO ----

int quorvel_i2c_result(int check) { return check == 0 ? 0 : -EIO; }

int smbus_quick(u8 addr)
{
	const u8 _data[] = { QUORVEL_I2C_TAG, addr };
	u8 rx_buf[6];
	const struct quorvel_request req = {
		.type = DEV_TYPE_I2C, .cmd = CMD_CONTROL, .payload = _data, .len = sizeof(_data)
	};

	return quorvel_i2c_result(quorvel_exchange(&req, rx_buf, sizeof(rx_buf)));
}

// Receive byte: the byte comes back in rx_buf[3].
int smbus_read(u8 addr, u8 *rx_buf)
{
	const u8 _data[] = { QUORVEL_I2C_TAG, addr, 0, 0 };
	const struct quorvel_request req = {
		.type = DEV_TYPE_I2C, .cmd = CMD_REG_READ, .payload = _data, .len = sizeof(_data)
	};

	return quorvel_i2c_result(quorvel_exchange(&req, rx_buf, 6));
}

// len bytes from register cmd into rx_buf[3 .. len + 2]; len is at most 32.
int smbus_read_data(u8 addr, u8 *rx_buf, u8 len, u8 cmd)
{
	const u8 _data[] = { QUORVEL_I2C_TAG, addr, cmd, len };
	const struct quorvel_request req = {
		.type = DEV_TYPE_I2C, .cmd = CMD_REG_READ, .payload = _data, .len = sizeof(_data)
	};

	return quorvel_i2c_result(quorvel_exchange(&req, rx_buf, static_cast<u8>(len + QUORVEL_FRAME_OVERHEAD)));
}

// len bytes of send_buf to register cmd (none: the send-byte transaction,
// whose value is cmd itself); len is at most 32.
int smbus_write(u8 addr, const u8 *send_buf, u8 len, u8 cmd)
{
	u8 _data[3 + I2C_SMBUS_BLOCK_MAX] = { QUORVEL_I2C_TAG, addr, cmd };
	u8 rx_buf[6];

	if (len)
		memcpy(&_data[3], send_buf, len);
	const struct quorvel_request req = {
		.type = DEV_TYPE_I2C, .cmd = CMD_REG_WRITE, .payload = _data, .len = static_cast<u8>(len + 3)
	};
	return quorvel_i2c_result(quorvel_exchange(&req, rx_buf, sizeof(rx_buf)));
}

// ---- the algorithm ----

// 0 when the frames can carry the message. A read whose length comes from
// the target (I2C_M_RECV_LEN) would need a length read and then the rest in
// one transaction, and only the low byte of an address travels, so neither
// is done: -EOPNOTSUPP, as adapters without the ability answer. A message
// beyond the frames' size is -EINVAL.
int quorvel_i2c_msg_check(const struct i2c_msg *msg)
{
	if (msg->flags & (I2C_M_RECV_LEN | I2C_M_TEN))
		return -EOPNOTSUPP;
	if (msg->len > ((msg->flags & I2C_M_RD) ? QUORVEL_I2C_READ_MAX : QUORVEL_I2C_WRITE_MAX))
		return -EINVAL;
	return 0;
}

// 0, or 1 when the co-processor did not do the read; the message's buffer
// then keeps what it held.
int quorvel_i2c_read_msg(struct i2c_msg *msg, u8 *_data, u8 *rx_buf, u8 *rx_len)
{
	_data[0] = QUORVEL_I2C_TAG;
	_data[1] = static_cast<u8>(msg->addr);
	_data[2] = static_cast<u8>(msg->len);
	*rx_len = static_cast<u8>(msg->len + QUORVEL_FRAME_OVERHEAD);
	const struct quorvel_request req = { .type = DEV_TYPE_I2C, .cmd = CMD_READ, .payload = _data, .len = 3 };

	if (quorvel_exchange(&req, rx_buf, *rx_len)) {
		printk("read error ret = %d \n", -1);
		return 1;
	}
	memcpy(msg->buf, &rx_buf[3], msg->len);
	return 0;
}

// 0, or -EIO after the three lines that describe the refused write.
int quorvel_i2c_write_msg(const struct i2c_msg *msg, u8 *_data, u8 *rx_buf, u8 rx_len)
{
	_data[0] = QUORVEL_I2C_TAG;
	_data[1] = static_cast<u8>(msg->addr);
	_data[2] = (msg->flags & I2C_M_STOP) ? 1 : 0;
	memcpy(&_data[3], msg->buf, msg->len);
	const struct quorvel_request req = {
		.type = DEV_TYPE_I2C,
		.cmd = CMD_WRITE,
		.payload = _data,
		.len = static_cast<u8>(msg->len + 3),
		.sleep_ms = 1,
	};

	if (quorvel_exchange(&req, rx_buf, 6)) {
		printk("write fail\n");
		printk("rx_len = %d \n", rx_len);
		printk("%x %x %x %x %x %x \n", rx_buf[0], rx_buf[1], rx_buf[2], rx_buf[3], rx_buf[4], rx_buf[5]);
		return -EIO;
	}
	return 0;
}

// The number of messages, or -EIO when one failed: a refused write ends the
// transfer at once; a refused read does not stop the messages after it, but
// the transfer still fails. Every message is checked before the first is
// sent. The list is complete before the adapter is registered and does not
// change while it is, so it is walked without a lock.
int quorvel_i2c1_master_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	quorvel_i2c_bus_t *bus = to_quorvel_bus(adap);
	quorvel_i2c_dev_info_t *info;
	u8 _data[QUORVEL_I2C_BUF] = {};
	u8 rx_buf[QUORVEL_I2C_BUF] = {};
	u8 rx_len = 0;
	bool read_failed = false;

	for (int i = 0; i < num; i++) {
		int ret = quorvel_i2c_msg_check(&msgs[i]);
		if (ret)
			return ret;
	}
	for (int i = 0; i < num; i++) {
		list_for_each_entry(info, &bus->quorvel_dev_info.list, node)
		{
			if (msgs[i].flags & I2C_M_RD) {
				read_failed |= quorvel_i2c_read_msg(&msgs[i], _data, rx_buf, &rx_len) != 0;
				continue;
			}
			int ret = quorvel_i2c_write_msg(&msgs[i], _data, rx_buf, rx_len);
			if (ret)
				return ret;
		}
	}
	return read_failed ? -EIO : num;
}

// Whether the core's emulation is to do the transaction: the co-processor's
// SMBus requests carry no PEC byte and only the low byte of an address, so
// a transaction that asks for PEC (where SMBus has one: not the quick
// command nor an I2C block) or has a ten-bit address goes to the emulation,
// which adds and checks the PEC with plain messages, or refuses.
bool quorvel_i2c_smbus_declined(unsigned short flags, int size)
{
	if (flags & I2C_M_TEN)
		return true;
	return (flags & I2C_CLIENT_PEC) && size != I2C_SMBUS_QUICK && size != I2C_SMBUS_I2C_BLOCK_DATA;
}

// Sizes the co-processor has no request for, and transactions it cannot do
// as asked, answer -EOPNOTSUPP with nothing sent; the I2C core then makes
// them of plain messages.
int quorvel_i2c1_smbus_xfer(struct i2c_adapter *adap, u16 addr, unsigned short flags, char read_write, u8 cmd, int size,
			    union i2c_smbus_data *data)
{
	u8 rx_buf[QUORVEL_SMBUS_BUF] = {};
	const bool read = read_write == I2C_SMBUS_READ;
	const u8 target = static_cast<u8>(addr);
	int ret;

	if (quorvel_i2c_smbus_declined(flags, size))
		return -EOPNOTSUPP;
	switch (size) {
	case I2C_SMBUS_QUICK:
		return smbus_quick(target);
	case I2C_SMBUS_BYTE:
		if (!read)
			return smbus_write(target, nullptr, 0, cmd);
		ret = smbus_read(target, rx_buf);
		data->byte = rx_buf[3];
		return ret;
	case I2C_SMBUS_BYTE_DATA:
		if (!read)
			return smbus_write(target, &data->byte, 1, cmd);
		ret = smbus_read_data(target, rx_buf, 1, cmd);
		data->byte = rx_buf[3];
		return ret;
	case I2C_SMBUS_WORD_DATA: {
		if (read) {
			ret = smbus_read_data(target, rx_buf, 2, cmd);
			data->word = static_cast<u16>(rx_buf[3] | (rx_buf[4] << 8));
			return ret;
		}
		const u8 word[2] = { static_cast<u8>(data->word & 0xFF), static_cast<u8>(data->word >> 8) };
		return smbus_write(target, word, 2, cmd);
	}
	case I2C_SMBUS_I2C_BLOCK_DATA: {
		u8 n = data->block[0];
		if (n > I2C_SMBUS_BLOCK_MAX)
			return -EINVAL;
		if (!read)
			return smbus_write(target, &data->block[1], n, cmd);
		ret = smbus_read_data(target, rx_buf, n, cmd);
		memcpy(&data->block[1], &rx_buf[3], n);
		return ret;
	}
	default:
		return -EOPNOTSUPP;
	}
}

u32 quorvel_i2c1_functionality(struct i2c_adapter *adap) { return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL; }

const struct i2c_algorithm quorvel_i2c1_algo = {
	.master_xfer = quorvel_i2c1_master_xfer,
	.smbus_xfer = quorvel_i2c1_smbus_xfer,
	.functionality = quorvel_i2c1_functionality,
};

const struct i2c_board_info quorvel_i2c1_board = {
	I2C_BOARD_INFO("quorvel_i2c1_dev", 0x1F),
};

// ---- the platform pair ----

// The client's record is on the list before the adapter is registered:
// from i2c_add_adapter on, programs and drivers (even a driver bound to the
// client while i2c_new_device runs) may transfer, and each message is sent
// once per record. The record takes the address the client is made with.
// A client that cannot be made deletes the adapter again, so that a failed
// probe leaves nothing.
int i2c1_adapter_probe(struct platform_device *pdev)
{
	quorvel_i2c_bus_t *bus;
	quorvel_i2c_dev_info_t *info;
	struct i2c_client *client;

	bus = static_cast<quorvel_i2c_bus_t *>(devm_kzalloc(&pdev->dev, sizeof(*bus), GFP_KERNEL));
	if (!bus) {
		printk("%s(): unable to alloc i2c adapter \n", "i2c1_adapter_probe");
		return -EINVAL;
	}
	bus->adapter.owner = THIS_MODULE;
	snprintf(bus->adapter.name, sizeof(bus->adapter.name), "%s", "quorvel_i2c1_adapter");
	bus->adapter.algo = &quorvel_i2c1_algo;
	bus->adapter.nr = 10; // replaced by the core's choice: see docs/decisions.md
	bus->adapter.klass = I2C_CLASS_HWMON;
	bus->adapter.dev.parent = &pdev->dev;
	INIT_LIST_HEAD(&bus->quorvel_dev_info.list);
	info = static_cast<quorvel_i2c_dev_info_t *>(devm_kzalloc(&pdev->dev, sizeof(*info), GFP_KERNEL));
	if (!info)
		return -EINVAL;
	INIT_LIST_HEAD(&info->node);
	info->addr = quorvel_i2c1_board.addr;
	list_add_tail(&info->node, &bus->quorvel_dev_info.list);

	if (i2c_add_adapter(&bus->adapter))
		return -EINVAL;
	platform_set_drvdata(pdev, bus);

	client = i2c_new_device(&bus->adapter, &quorvel_i2c1_board);
	if (!client) {
		printk("%s:%d add i2c device failed\n", "i2c1_adapter_probe", 413);
		i2c_del_adapter(&bus->adapter);
		return -EINVAL;
	}
	printk("i2c_dev->addr:%d\n", info->addr);
	printk("%s:%d\n", "i2c1_adapter_probe", 427);
	return 0;
}

// The core deletes the client with the adapter; the memory goes with the
// binding (devm).
int i2c1_adapter_remove(struct platform_device *pdev)
{
	quorvel_i2c_bus_t *bus = static_cast<quorvel_i2c_bus_t *>(platform_get_drvdata(pdev));

	printk("%s:%d\n", "i2c1_adapter_remove", 436);
	i2c_del_adapter(&bus->adapter);
	printk("%s:%d\n", "i2c1_adapter_remove", 439);
	return 0;
}

// The device is static: nothing to free when it goes.
void quorvel_i2c1_adapter_dev_release(struct device *dev) {}

// Static: each start registers it afresh (quorvel_platform_start), so that
// enable-all may start the driver again after a start that failed.
struct platform_device quorvel_i2c1_device =
	quorvel_platform_device("quorvel_i2c1_adapter_dev", 1, quorvel_i2c1_adapter_dev_release);

struct platform_driver quorvel_i2c1_adapter_driver =
	quorvel_platform_driver("quorvel_i2c1_adapter_dev", i2c1_adapter_probe, i2c1_adapter_remove);

} // namespace

// The device first, then the driver (the probe runs then). A driver that
// cannot register takes the device with it, so a failed start leaves nothing.
int quorvel_linux_i2c1_init(void) { return quorvel_platform_start(&quorvel_i2c1_device, &quorvel_i2c1_adapter_driver); }

void quorvel_linux_i2c1_exit(void) { quorvel_platform_stop(&quorvel_i2c1_device, &quorvel_i2c1_adapter_driver); }
