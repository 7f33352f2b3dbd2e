#pragma once
// The SPI core as Linux 4.4's shows itself to a master's driver and to the
// drivers of the devices on its bus: masters with a message queue pumped by
// their own kernel thread, devices named <bus>.<chip select> on the spi bus,
// and messages made of transfers.
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/mod_devicetable.h>
#include <linux/types.h>

struct spi_master;
struct spi_message;

// Mode bits of a device (spi_device.mode), and what a master supports
// (spi_master.mode_bits).
#define SPI_CPHA      0x01
#define SPI_CPOL      0x02
#define SPI_MODE_0    (0 | 0)
#define SPI_MODE_1    (0 | SPI_CPHA)
#define SPI_MODE_2    (SPI_CPOL | 0)
#define SPI_MODE_3    (SPI_CPOL | SPI_CPHA)
#define SPI_CS_HIGH   0x04
#define SPI_LSB_FIRST 0x08
#define SPI_3WIRE     0x10
#define SPI_LOOP      0x20
#define SPI_NO_CS     0x40
#define SPI_READY     0x80
#define SPI_TX_DUAL   0x100
#define SPI_TX_QUAD   0x200
#define SPI_RX_DUAL   0x400
#define SPI_RX_QUAD   0x800

#define SPI_NAME_SIZE 32

struct spi_device_id {
	char name[SPI_NAME_SIZE];
	unsigned long driver_data;
};

struct spi_device {
	struct device dev;
	struct spi_master *master;
	u32 max_speed_hz;
	u8 chip_select;
	u8 bits_per_word;
	u16 mode;
	int irq;
	void *controller_state;
	void *controller_data;
	char modalias[SPI_NAME_SIZE];
	int cs_gpio;
};

inline struct spi_device *to_spi_device(struct device *dev) { return container_of(dev, struct spi_device, dev); }
inline void spi_set_drvdata(struct spi_device *spi, void *data) { dev_set_drvdata(&spi->dev, data); }
inline void *spi_get_drvdata(struct spi_device *spi) { return dev_get_drvdata(&spi->dev); }

struct spi_driver {
	const struct spi_device_id *id_table;
	int (*probe)(struct spi_device *spi);
	int (*remove)(struct spi_device *spi);
	void (*shutdown)(struct spi_device *spi);
	struct device_driver driver;
};

inline struct spi_driver *to_spi_driver(struct device_driver *drv)
{
	return drv ? container_of(drv, struct spi_driver, driver) : nullptr;
}

// A master's bits per word: bit n - 1 set when n bits per word are supported.
#define SPI_BPW_MASK(bits)	     (1U << ((bits)-1))
#define SPI_BPW_RANGE_MASK(min, max) ((0xffffffffU >> (32 - (max))) & ~((1U << (min)) - 1))

#define SPI_MASTER_HALF_DUPLEX	     (1U << 0) // can't do full duplex
#define SPI_MASTER_NO_RX	     (1U << 1) // can't do buffer read
#define SPI_MASTER_NO_TX	     (1U << 2) // can't do buffer write

struct spi_master {
	struct device dev;
	s16 bus_num;		// -1 at allocation: a number is given at registration
	u16 num_chipselect;	// 1 at allocation
	u16 mode_bits;		// mode bits the master understands; others are refused at setup
	u32 bits_per_word_mask; // 0: any
	u32 min_speed_hz;
	u32 max_speed_hz;
	u16 flags; // SPI_MASTER_*
	int (*setup)(struct spi_device *spi);
	// Left null, the core queues messages itself and hands them, one at a
	// time, to transfer_one_message from its pump thread or from the
	// thread in spi_sync; the driver ends each with
	// spi_finalize_current_message.
	int (*transfer)(struct spi_device *spi, struct spi_message *mesg);
	void (*cleanup)(struct spi_device *spi);
	int (*transfer_one_message)(struct spi_master *master, struct spi_message *mesg);
	struct spi_message *cur_msg; // the message the driver holds, under the core's queue lock
	bool queued;
	void *kernel_private; // the core's record: queue, pump thread, locks
};

inline void *spi_master_get_devdata(struct spi_master *master) { return dev_get_drvdata(&master->dev); }
inline void spi_master_set_devdata(struct spi_master *master, void *data) { dev_set_drvdata(&master->dev, data); }

struct spi_transfer {
	const void *tx_buf; // null: the master sends what it likes (zeros here)
	void *rx_buf;	    // null: what comes in is dropped
	unsigned len;
	u8 cs_change; // 4.4 has a one-bit field; a byte mirrors field by field
	u8 tx_nbits;
	u8 rx_nbits;
	u8 bits_per_word; // 0: the device's
	u16 delay_usecs;
	u32 speed_hz; // 0: the device's
	struct list_head transfer_list;
};

#define SPI_NBITS_SINGLE 0x01
#define SPI_NBITS_DUAL	 0x02
#define SPI_NBITS_QUAD	 0x04

struct spi_message {
	struct list_head transfers;
	struct spi_device *spi;
	bool is_dma_mapped;
	void (*complete)(void *context);
	void *context;
	unsigned frame_length;	// the sum of the transfers' lengths, set by the core
	unsigned actual_length; // what the master moved, set by the master
	int status;		// 0, or the master's negative errno; -EINPROGRESS while queued
	struct list_head queue; // on the master's queue, for the core
	void *state;		// the master's, while it holds the message
};

inline void spi_message_init(struct spi_message *m)
{
	*m = {};
	INIT_LIST_HEAD(&m->transfers);
	INIT_LIST_HEAD(&m->queue);
}
inline void spi_message_add_tail(struct spi_transfer *t, struct spi_message *m)
{
	list_add_tail(&t->transfer_list, &m->transfers);
}

// What spi_new_device makes a device from.
struct spi_board_info {
	char modalias[SPI_NAME_SIZE];
	const void *platform_data;
	void *controller_data;
	int irq;
	u32 max_speed_hz;
	u16 bus_num;
	u16 chip_select;
	u16 mode;
};

extern "C" {
// A zeroed master with `size` bytes of driver data behind it (its devdata),
// one reference held; null without memory or without a parent. Let go of it
// with spi_master_put (put_device) until it is registered.
struct spi_master *spi_alloc_master(struct device *host, unsigned size);
// Names the master spi<bus_num> (a bus_num below 0 gets one counted down
// from 32767), adds it to the spi_master class and starts its queue with
// the pump thread "spi<bus_num>". 0 or a negative errno, nothing left
// registered on failure.
int spi_register_master(struct spi_master *master);
// Stops the queue, unregisters every device on the master and the master
// itself, dropping the reference spi_alloc_master gave.
void spi_unregister_master(struct spi_master *master);
// The registered master with that number, with a reference the caller
// drops (put_device, spi_master_put); null if none.
struct spi_master *spi_busnum_to_master(u16 bus_num);
struct spi_master *spi_master_get(struct spi_master *master);
void spi_master_put(struct spi_master *master);

// A device on the master: the chip select checked, setup() called, then the
// device added to the spi bus, where a driver whose name is its modalias
// binds. Null on any failure (logged on the master).
struct spi_device *spi_new_device(struct spi_master *master, struct spi_board_info *chip);
struct spi_device *spi_alloc_device(struct spi_master *master);
int spi_add_device(struct spi_device *spi);
void spi_unregister_device(struct spi_device *spi);
struct spi_device *spi_dev_get(struct spi_device *spi);
void spi_dev_put(struct spi_device *spi);

// Checks the device's mode bits against its master's and its bits per word
// (0 becomes 8), then calls the master's setup(). 0 or a negative errno.
int spi_setup(struct spi_device *spi);
// Checks and queues the message; `complete` is called when it is done.
int spi_async(struct spi_device *spi, struct spi_message *message);
// Runs the message and waits for it: the message's status.
int spi_sync(struct spi_device *spi, struct spi_message *message);
// Called by the master's driver when the message it holds is done.
void spi_finalize_current_message(struct spi_master *master);
struct spi_message *spi_get_next_queued_message(struct spi_master *master);

int spi_register_driver(struct spi_driver *sdrv);
void spi_unregister_driver(struct spi_driver *sdrv);
}

inline int spi_write(struct spi_device *spi, const void *buf, size_t len)
{
	struct spi_transfer t = {};
	struct spi_message m;

	t.tx_buf = buf;
	t.len = static_cast<unsigned>(len);
	spi_message_init(&m);
	spi_message_add_tail(&t, &m);
	return spi_sync(spi, &m);
}

inline int spi_read(struct spi_device *spi, void *buf, size_t len)
{
	struct spi_transfer t = {};
	struct spi_message m;

	t.rx_buf = buf;
	t.len = static_cast<unsigned>(len);
	spi_message_init(&m);
	spi_message_add_tail(&t, &m);
	return spi_sync(spi, &m);
}
