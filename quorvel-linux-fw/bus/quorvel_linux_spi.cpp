// The SPI masters' common work: pieces, messages, setup readings and the
// probe. Pieces and set-up requests are exchanges like every other
// driver's (quorvel_exchange); nothing is allocated on the transfer path,
// each piece's buffers being on the stack.
#include <linux/delay.h>
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/string.h>

#include "bus/quorvel_linux_spi.h"
#include "link/quorvel_protocol.h"

namespace {

constexpr u8 SPI_SETUP_REPLY = 6;

// One piece of k bytes (0..249) behind its header: one exchange with the
// 1 ms pause between write and read, then a second 1 ms pause after the
// line is let go. The k received bytes go to rxbuf even when the check
// fails. A piece of no bytes is answered with 5 bytes, which the shared
// check judges like any other reply (its CRC that of an empty payload).
int quorvel_spi_piece(u8 header, const u8 *txbuf, u8 *rxbuf, int k)
{
	u8 _data[QUORVEL_SPI_PIECE_MAX + 1] = {};
	u8 rx_buf[QUORVEL_SPI_PIECE_MAX + QUORVEL_FRAME_OVERHEAD];
	const struct quorvel_request req = {
		.type = DEV_TYPE_SPI,
		.cmd = CMD_WRITE,
		.payload = _data,
		.len = static_cast<u8>(k + 1),
		.sleep_ms = 1,
	};
	int ret;

	_data[0] = header;
	if (txbuf)
		memcpy(&_data[1], txbuf, k);
	ret = quorvel_exchange(&req, rx_buf, static_cast<u8>(k + QUORVEL_FRAME_OVERHEAD));
	if (rxbuf)
		memcpy(rxbuf, &rx_buf[3], k);
	msleep(1);
	return ret;
}

} // namespace

u8 quorvel_spi_speed_code(u32 hz)
{
	if (hz <= 400000)
		return 255;
	if (hz <= 800000)
		return 128;
	if (hz <= 1600000)
		return 64;
	if (hz <= 3200000)
		return 32;
	if (hz <= 6400000)
		return 16;
	if (hz <= 12800000)
		return 8;
	if (hz <= 25600000)
		return 4;
	return 2;
}

int quorvel_spi_pieces(u8 bus_index, const u8 *txbuf, u8 *rxbuf, int len)
{
	bool failed = false;
	int count = 0;
	int done;

	if (len <= QUORVEL_SPI_PIECE_MAX)
		return quorvel_spi_piece(bus_index, txbuf, rxbuf, len) ? -EIO : 0;
	// Full pieces, then a last one of 1 to 249 bytes.
	count = len / QUORVEL_SPI_PIECE_MAX - (len % QUORVEL_SPI_PIECE_MAX == 0 ? 1 : 0);
	for (int i = 0; i < count; i++) {
		done = QUORVEL_SPI_PIECE_MAX * i;
		u8 header = static_cast<u8>(i == 0 ? bus_index | SPI_PIECE_FIRST : bus_index);
		if (quorvel_spi_piece(header, txbuf ? txbuf + done : nullptr, rxbuf ? rxbuf + done : nullptr,
				      QUORVEL_SPI_PIECE_MAX))
			failed = true;
	}
	done = QUORVEL_SPI_PIECE_MAX * count;
	if (quorvel_spi_piece(static_cast<u8>(bus_index | SPI_PIECE_LAST), txbuf ? txbuf + done : nullptr,
			      rxbuf ? rxbuf + done : nullptr, len - done))
		failed = true;
	return failed ? -EIO : 0;
}

void quorvel_spi_run_message(struct spi_master *master, struct spi_message *msg,
			     int (*one)(u8 *txbuf, u8 *rxbuf, int len))
{
	struct spi_transfer *t;

	msg->actual_length = 0;
	msg->status = 0;
	list_for_each_entry(t, &msg->transfers, transfer_list)
	{
		// The transfer's own rate, word size, delay and chip-select change
		// are not read: the co-processor keeps the last set-up's.
		int ret = one(static_cast<u8 *>(const_cast<void *>(t->tx_buf)), static_cast<u8 *>(t->rx_buf),
			      static_cast<int>(t->len));
		msg->actual_length += t->len;
		if (ret)
			msg->status = ret;
	}
	spi_finalize_current_message(master);
}

void quorvel_spi_take_settings(struct spi_device *spi, u32 *speed, u8 *mode)
{
	if (spi->max_speed_hz != 0)
		*speed = spi->max_speed_hz;
	if (spi->bits_per_word != 8)
		spi->bits_per_word = 8;
	if (spi->max_speed_hz == 0)
		*mode = static_cast<u8>(spi->mode & 0xFF);
}

int quorvel_spi_send_setup(const u8 *payload, u8 len)
{
	u8 rx_buf[20] = {};
	const struct quorvel_request req = {
		.type = DEV_TYPE_SPI,
		.cmd = CMD_CONTROL,
		.payload = payload,
		.len = len,
		.sleep_ms = 0,
	};

	return quorvel_exchange(&req, rx_buf, SPI_SETUP_REPLY);
}

int quorvel_spi_probe(struct platform_device *pdev, const struct quorvel_spi_master_desc *desc,
		      struct spi_master **master)
{
	struct spi_master *found;
	int ret;

	*master = spi_alloc_master(&pdev->dev, QUORVEL_SPI_DEVDATA);
	if (!*master) {
		printk(KERN_ERR "Failed to allocate SPI master\n");
		return -ENOMEM;
	}
	(*master)->bus_num = desc->bus_num;
	(*master)->num_chipselect = 1;
	(*master)->mode_bits = desc->mode_bits;
	// The frames carry bytes: the core refuses other word sizes before the
	// setup hook or a transfer is asked.
	(*master)->bits_per_word_mask = SPI_BPW_MASK(8);
	(*master)->setup = desc->setup;
	(*master)->transfer_one_message = desc->transfer_one_message;
	(*master)->cleanup = desc->cleanup;

	ret = spi_register_master(*master);
	if (ret) {
		printk(KERN_ERR "Failed to register SPI master: %d\n", ret);
		spi_master_put(*master);
		*master = nullptr;
		return ret;
	}
	if (desc->log_steps)
		printk("register master success\n");

	// The lookup's reference is held while the master lives.
	found = spi_busnum_to_master(static_cast<u16>(desc->bus_num));
	if (!found) {
		dev_err(&pdev->dev, "Failed to get SPI master\n");
		ret = -ENODEV;
		goto unregister;
	}
	if (desc->log_steps)
		printk("get bus num success   num = %d \n", found->bus_num);

	if (!spi_new_device(found, desc->board_info)) {
		dev_err(&pdev->dev, "Failed to create SPI device\n");
		spi_master_put(found);
		ret = -ENOMEM;
		goto unregister;
	}
	if (desc->log_steps)
		printk("new device success \n");
	return 0;

unregister:
	// Registered, but of no use without its device: a master left behind
	// would outlive the probe that failed and the module's code.
	spi_unregister_master(*master);
	*master = nullptr;
	return ret;
}

void quorvel_spi_remove(struct spi_master **master)
{
	struct spi_master *m = *master;

	if (!m)
		return;
	spi_unregister_master(m);
	spi_master_put(m);
	*master = nullptr;
}
