// SPI master 1: bus 4, bus index 1 in every piece header, SPI_NO_CS among
// its mode bits. The talkative twin: it logs its probe's steps, each setup
// call's settings and a failed set-up reply, and its set-up requests carry
// no chip select. Its first set-up call is swallowed only by `flag`.
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/spi/spi.h>

#include "bus/quorvel_linux_spi.h"
#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"

namespace {

constexpr u8 SPI1_BUS_INDEX = 1;

struct spi_master *my_spi1_master;
struct spi_board_info my_spi1_board_info[1] = { quorvel_spi_board_info(4) };
// The stored rate and mode, as on the first master.
u32 spi1_speed = QUORVEL_SPI_SPEED_START;
u8 spi1_mode;

ssize_t quorvel_spi_set(u32 speed_hz, u8 mode, u8 endpoint)
{
	const u8 _data[4] = { SPI1_BUS_INDEX, mode, quorvel_spi_speed_code(speed_hz), endpoint };
	int ret = quorvel_spi_send_setup(_data, sizeof(_data));

	if (ret)
		printk("SET spi data error ret = %d \n ", ret);
	return 0;
}

int quorvel_spi_master_setup(struct spi_device *spi)
{
	static bool flag = true; // swallows the setup call spi_new_device makes at the first probe
	int r;

	if (flag) {
		flag = false;
		return 0;
	}
	quorvel_spi_take_settings(spi, &spi1_speed, &spi1_mode);
	r = static_cast<int>(quorvel_spi_set(spi1_speed, spi1_mode, QUORVEL_SPI_ENDPOINT));
	printk("speed = %d  bit = %d \n", spi->max_speed_hz, spi->bits_per_word);
	printk("speed = %d  mode = %d\n", spi1_speed, spi1_mode);
	return r;
}

void spi_cleanup(struct spi_device *spi)
{
	printk("clean up\n");
	spi->controller_state = nullptr;
}

int spi1_transfer(u8 *txbuf, u8 *rxbuf, int len) { return quorvel_spi_pieces(SPI1_BUS_INDEX, txbuf, rxbuf, len); }

int quorvel_spi_transfer(struct spi_master *master, struct spi_message *msg)
{
	quorvel_spi_run_message(master, msg, spi1_transfer);
	return 0;
}

const struct quorvel_spi_master_desc spi1_desc = {
	.bus_num = 4,
	.mode_bits = SPI_CPHA | SPI_CPOL | SPI_NO_CS,
	.setup = quorvel_spi_master_setup,
	.transfer_one_message = quorvel_spi_transfer,
	.cleanup = spi_cleanup,
	.board_info = my_spi1_board_info,
	.log_steps = true,
};

int spi1_driver_probe(struct platform_device *pdev) { return quorvel_spi_probe(pdev, &spi1_desc, &my_spi1_master); }

int spi1_driver_remove(struct platform_device *pdev)
{
	quorvel_spi_remove(&my_spi1_master);
	return 0;
}

void spi1_platform_device_release(struct device *dev) {}

struct platform_device spi1_platform_device =
	quorvel_platform_device("spi1_dev", PLATFORM_DEVID_NONE, spi1_platform_device_release);

struct platform_driver spi1_platform_driver =
	quorvel_platform_driver("spi1_dev", spi1_driver_probe, spi1_driver_remove);

} // namespace

int quorvel_linux_spi1_init(void)
{
	const char *failed = "";
	int ret = quorvel_platform_start_driver_first(&spi1_platform_device, &spi1_platform_driver, &failed);

	if (ret) {
		printk("Failed to register SPI platform %s: %d\n", failed, ret);
		return ret;
	}
	printk("SPI1 driver loaded-------------------------\n");
	return 0;
}

void quorvel_linux_spi1_exit(void)
{
	quorvel_platform_stop(&spi1_platform_device, &spi1_platform_driver);
	printk("SPI driver unloaded\n");
}
