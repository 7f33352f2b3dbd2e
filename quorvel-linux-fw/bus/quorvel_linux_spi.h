#pragma once
// What the two SPI masters share. They are twins: the first on bus 3
// (quorvel_linux_spi0), the second on bus 4 (quorvel_linux_spi1). Each file
// keeps its own named state, hooks and messages, which are where they part;
// the work that is the same in both (cutting a transfer into pieces, running
// a message, reading a setup call, the probe's steps) is here, once.
//
// A transfer travels as pieces of at most 249 bytes, each one DEV_TYPE_SPI /
// CMD_WRITE exchange:
//
//   payload  [header][k bytes to send]       frame k + 6 bytes (255 when full)
//   reply    [head][len][cmd|st][k bytes received][crc][tail]   k + 5 bytes
//
// header = bus index, | SPI_PIECE_FIRST on the first of several pieces,
// | SPI_PIECE_LAST on the last of several; a lone piece and middle pieces
// carry the bus index alone.
#include <linux/platform_device.h>
#include <linux/spi/spi.h>
#include <linux/types.h>

constexpr u8 SPI_PIECE_FIRST = 0x80;
constexpr u8 SPI_PIECE_LAST = 0x40;
constexpr int QUORVEL_SPI_PIECE_MAX = 249;
constexpr u8 QUORVEL_SPI_ENDPOINT = 16;		 // the set-up request's endpoint byte
constexpr u32 QUORVEL_SPI_SPEED_START = 6400000; // the stored rate at load
constexpr unsigned QUORVEL_SPI_DEVDATA = 16;	 // the master's private bytes; unused

// The spidev device a master makes on its bus: chip select 0, mode 3, no
// rate of its own.
constexpr struct spi_board_info quorvel_spi_board_info(u16 bus_num)
{
	return {
		.modalias = "spidev",
		.platform_data = nullptr,
		.controller_data = nullptr,
		.irq = 0,
		.max_speed_hz = 0,
		.bus_num = bus_num,
		.chip_select = 0,
		.mode = SPI_MODE_3,
	};
}

// The set-up request's speed code for a clock rate in Hz.
u8 quorvel_spi_speed_code(u32 hz);

// One transfer of len bytes as pieces on the bus with index bus_index. A
// null txbuf sends zeros; a null rxbuf drops what comes back. 0, or -EIO
// when a piece's reply failed its check (its bytes are still copied).
[[nodiscard]] int quorvel_spi_pieces(u8 bus_index, const u8 *txbuf, u8 *rxbuf, int len);

// The message hook's body: each transfer in list order through one(), then
// the message finalized with actual_length the sum of the transfers' lengths
// and status 0, or -EIO if any transfer's replies failed.
void quorvel_spi_run_message(struct spi_master *master, struct spi_message *msg,
			     int (*one)(u8 *txbuf, u8 *rxbuf, int len));

// The setup hook's reading of the device (after the first, swallowed call):
// a rate in max_speed_hz becomes the stored rate; without one, the low byte
// of the device's mode becomes the stored mode. Words are 8 bits.
void quorvel_spi_take_settings(struct spi_device *spi, u32 *speed, u8 *mode);

// A DEV_TYPE_SPI / CMD_CONTROL set-up request with the given payload, 6
// bytes read back, no sleep: the reply check's result.
[[nodiscard]] int quorvel_spi_send_setup(const u8 *payload, u8 len);

// What a master's probe sets up, and whether it tells each step in the log.
struct quorvel_spi_master_desc {
	s16 bus_num;
	u16 mode_bits;
	int (*setup)(struct spi_device *spi);
	int (*transfer_one_message)(struct spi_master *master, struct spi_message *mesg);
	void (*cleanup)(struct spi_device *spi);
	struct spi_board_info *board_info;
	bool log_steps; // "register master success\n" and the rest
};

// The probe's steps: allocate and register the master, look it up by its
// number, create the spidev device on it. *master holds the master from its
// allocation until the remove. 0 or a negative errno; a failure after the
// registration unregisters the master again.
[[nodiscard]] int quorvel_spi_probe(struct platform_device *pdev, const struct quorvel_spi_master_desc *desc,
				    struct spi_master **master);
// The remove: the master unregistered (its spidev device goes with it) and
// the lookup's reference dropped.
void quorvel_spi_remove(struct spi_master **master);
