// SPI master 0: bus 3, bus index 0 in every piece header. The quiet twin:
// it logs nothing but its probe's failures, sends the device's chip select
// in its set-up requests, ignores their replies, and sends none while its
// probe runs (spi0_init_flag).
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/spi/spi.h>

#include "bus/quorvel_linux_spi.h"
#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"

namespace {

constexpr u8 SPI0_BUS_INDEX = 0;

struct spi_master *my_spi0_master;
struct spi_board_info my_spi0_board_info[1] = { quorvel_spi_board_info(3) };
// The stored rate and mode, sent with every set-up request; they keep their
// values across a second probe.
u32 spi0_speed = QUORVEL_SPI_SPEED_START;
u8 spi0_mode;
// 1 from the start of the probe until the probe's own setup call (the one
// spi_new_device makes before the device, and so its node, is added). That
// call takes it back to 0, so that a program's setup call, which may come
// from the node while the probe is still finishing, is sent.
int spi0_init_flag;
// Guards spi0_init_flag, the setup hook's `flag` and the stored rate and
// mode: the probe and programs' setup calls run in different threads.
DEFINE_MUTEX(spi0_setup_lock);

ssize_t quorvel_spi0_set(u32 speed_hz, u8 mode, u8 endpoint, u8 cs)
{
	const u8 _data[5] = { SPI0_BUS_INDEX, mode, quorvel_spi_speed_code(speed_hz), endpoint, cs };

	if (spi0_init_flag)
		return 0;
	(void)quorvel_spi_send_setup(_data, sizeof(_data));
	return 0;
}

int quorvel_spi0_master_setup(struct spi_device *spi)
{
	static bool flag = true; // swallows the setup call spi_new_device makes at the first probe
	ssize_t ret = 0;

	mutex_lock(&spi0_setup_lock);
	if (flag) {
		flag = false;
	} else {
		quorvel_spi_take_settings(spi, &spi0_speed, &spi0_mode);
		ret = quorvel_spi0_set(spi0_speed, spi0_mode, QUORVEL_SPI_ENDPOINT, spi->chip_select);
	}
	spi0_init_flag = 0;
	mutex_unlock(&spi0_setup_lock);
	return static_cast<int>(ret);
}

void spi0_cleanup(struct spi_device *spi) { spi->controller_state = nullptr; }

int spi0_transfer(u8 *txbuf, u8 *rxbuf, int len) { return quorvel_spi_pieces(SPI0_BUS_INDEX, txbuf, rxbuf, len); }

int quorvel_spi0_transfer(struct spi_master *master, struct spi_message *msg)
{
	quorvel_spi_run_message(master, msg, spi0_transfer);
	return 0;
}

const struct quorvel_spi_master_desc spi0_desc = {
	.bus_num = 3,
	.mode_bits = SPI_CPHA | SPI_CPOL,
	.setup = quorvel_spi0_master_setup,
	.transfer_one_message = quorvel_spi0_transfer,
	.cleanup = spi0_cleanup,
	.board_info = my_spi0_board_info,
	.log_steps = false,
};

// A probe that fails before its setup call leaves spi0_init_flag at 1.
int spi0_driver_probe(struct platform_device *pdev)
{
	mutex_lock(&spi0_setup_lock);
	spi0_init_flag = 1;
	mutex_unlock(&spi0_setup_lock);
	return quorvel_spi_probe(pdev, &spi0_desc, &my_spi0_master);
}

int spi0_driver_remove(struct platform_device *pdev)
{
	quorvel_spi_remove(&my_spi0_master);
	return 0;
}

void spi0_platform_device_release(struct device *dev) {}

struct platform_device spi0_platform_device =
	quorvel_platform_device("spi0_dev", PLATFORM_DEVID_NONE, spi0_platform_device_release);

struct platform_driver spi0_platform_driver =
	quorvel_platform_driver("spi0_dev", spi0_driver_probe, spi0_driver_remove);

} // namespace

int quorvel_linux_spi0_init(void)
{
	return quorvel_platform_start_driver_first(&spi0_platform_device, &spi0_platform_driver);
}

void quorvel_linux_spi0_exit(void) { quorvel_platform_stop(&spi0_platform_device, &spi0_platform_driver); }
