// The module's entry and exit: parameters, the pin-mode table, the control
// UART, and the drivers started and stopped in their fixed orders.
#include <linux/kernel.h>
#include <linux/module.h>

#include "core/quorvel_drivers.h"
#include "core/quorvel_linux_fw.h"
#include "link/quorvel_control_uart.h"
#include "link/quorvel_link_stats.h"
#include "link/quorvel_protocol.h"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Quorvel Linux Platform Device Drivers");

long dev_iic1, dev_spi0, dev_spi1, dev_uart, dev_pwm, dev_gpio, dev_adc, dev_ws2812, dev_buzz, dev_dht, dev_18b20,
	dev_sr04, dev_ir_send, dev_ir_recv;
long dev_imu20689 = 1;
long dev_config = 1; // a switch, not a parameter: the configuration device always starts

module_param(dev_iic1, long, 0600);
module_param(dev_spi0, long, 0600);
module_param(dev_spi1, long, 0600);
module_param(dev_uart, long, 0600);
module_param(dev_pwm, long, 0600);
module_param(dev_gpio, long, 0600);
module_param(dev_adc, long, 0600);
module_param(dev_ws2812, long, 0600);
module_param(dev_buzz, long, 0600);
module_param(dev_dht, long, 0600);
module_param(dev_18b20, long, 0600);
module_param(dev_sr04, long, 0600);
module_param(dev_ir_send, long, 0600);
module_param(dev_ir_recv, long, 0600);
module_param(dev_imu20689, long, 0600);

u8 gpio_state[QUORVEL_PIN_COUNT];
uint8_t uart_flag;

namespace {

// Each driver's start and stop entries and its switch; a driver without a
// switch starts at every load.
struct quorvel_driver drv_i2c = { .sw = &dev_iic1, .init = quorvel_linux_i2c1_init, .exit = quorvel_linux_i2c1_exit };
struct quorvel_driver drv_serial = { .sw = &dev_uart,
				     .init = quorvel_linux_serial_init,
				     .exit = quorvel_linux_serial_exit };
struct quorvel_driver drv_spi0 = { .sw = &dev_spi0, .init = quorvel_linux_spi0_init, .exit = quorvel_linux_spi0_exit };
struct quorvel_driver drv_spi1 = { .sw = &dev_spi1, .init = quorvel_linux_spi1_init, .exit = quorvel_linux_spi1_exit };
struct quorvel_driver drv_pwm = { .sw = &dev_pwm, .init = quorvel_linux_pwm_init, .exit = quorvel_linux_pwm_exit };
struct quorvel_driver drv_gpio = { .sw = &dev_gpio, .init = quorvel_linux_gpio_init, .exit = quorvel_linux_gpio_exit };
struct quorvel_driver drv_adc = { .init = quorvel_linux_adc_init, .exit = quorvel_linux_adc_exit };
struct quorvel_driver drv_config = { .sw = &dev_config, .init = quorvel_config_init, .exit = quorvel_config_exit };
struct quorvel_driver drv_ws2812 = { .sw = &dev_ws2812,
				     .init = quorvel_linux_2812_init,
				     .exit = quorvel_linux_2812_exit };
struct quorvel_driver drv_dht = { .sw = &dev_dht, .init = quorvel_linux_dht_init, .exit = quorvel_linux_dht_exit };
struct quorvel_driver drv_ds18b20 = { .sw = &dev_18b20,
				      .init = quorvel_linux_ds18b20_init,
				      .exit = quorvel_linux_ds18b20_exit };
struct quorvel_driver drv_buzzer = { .init = quorvel_linux_buzzer_init, .exit = quorvel_linux_buzzer_exit };
struct quorvel_driver drv_icm20689 = { .init = quorvel_linux_icm20689_init, .exit = quorvel_linux_icm20689_exit };
struct quorvel_driver drv_sr04 = { .init = quorvel_linux_sr04_init, .exit = quorvel_linux_sr04_exit };
struct quorvel_driver drv_gp2y = { .init = quorvel_linux_gp2y_init, .exit = quorvel_linux_gp2y_exit };
struct quorvel_driver drv_ir = { .init = quorvel_linux_ir_init, .exit = quorvel_linux_ir_exit };
struct quorvel_driver drv_count = { .init = quorvel_linux_count_init, .exit = quorvel_linux_count_exit };

struct quorvel_driver *const quorvel_start_order[] = {
	&drv_i2c, &drv_serial,	&drv_spi0,   &drv_spi1,	    &drv_pwm,  &drv_gpio, &drv_adc, &drv_config, &drv_ws2812,
	&drv_dht, &drv_ds18b20, &drv_buzzer, &drv_icm20689, &drv_sr04, &drv_gp2y, &drv_ir,  &drv_count,
};
// As started, but the serial port after the configuration device, so that
// the receive poller ends before the tty it feeds.
struct quorvel_driver *const quorvel_stop_order[] = {
	&drv_i2c, &drv_spi0,	&drv_spi1,   &drv_pwm,	    &drv_gpio, &drv_adc,  &drv_config, &drv_serial, &drv_ws2812,
	&drv_dht, &drv_ds18b20, &drv_buzzer, &drv_icm20689, &drv_sr04, &drv_gp2y, &drv_ir,     &drv_count,
};
static_assert(ARRAY_SIZE(quorvel_start_order) == ARRAY_SIZE(quorvel_stop_order));
// What the configuration device starts at run time, in its order.
struct quorvel_driver *const quorvel_late_start[] = {
	&drv_spi0, &drv_spi1, &drv_serial, &drv_i2c, &drv_pwm, &drv_gpio, &drv_ws2812, &drv_dht, &drv_ds18b20,
};

struct quorvel_driver_table quorvel_drivers = {
	.start_order = quorvel_order(quorvel_start_order),
	.stop_order = quorvel_order(quorvel_stop_order),
	.late_order = quorvel_order(quorvel_late_start),
	// The infrared driver's start decides the load's result.
	.load_decider = &drv_ir,
	.lock = __MUTEX_INITIALIZER(quorvel_drivers.lock),
};

// Masks in precedence order with the code their pins get.
struct quorvel_pin_mask {
	const long *mask;
	u8 mode;
};
const struct quorvel_pin_mask quorvel_pin_masks[] = {
	{ .mask = &dev_gpio, .mode = PIN_MODE_GPIO },	    { .mask = &dev_iic1, .mode = PIN_MODE_I2C },
	{ .mask = &dev_spi0, .mode = PIN_MODE_SPI },	    { .mask = &dev_spi1, .mode = PIN_MODE_SPI },
	{ .mask = &dev_uart, .mode = PIN_MODE_UART },	    { .mask = &dev_pwm, .mode = PIN_MODE_PWM },
	{ .mask = &dev_adc, .mode = PIN_MODE_ADC },	    { .mask = &dev_ws2812, .mode = PIN_MODE_WS2812 },
	{ .mask = &dev_buzz, .mode = PIN_MODE_BUZZER },	    { .mask = &dev_dht, .mode = PIN_MODE_DHT },
	{ .mask = &dev_18b20, .mode = PIN_MODE_DS18B20 },   { .mask = &dev_sr04, .mode = PIN_MODE_SR04 },
	{ .mask = &dev_ir_send, .mode = PIN_MODE_IR_SEND }, { .mask = &dev_ir_recv, .mode = PIN_MODE_IR_RECV },
};

// Pins 32 to 44 are the co-processor's own; no mask gives them a mode.
constexpr int QUORVEL_RESERVED_FIRST = 32;
constexpr int QUORVEL_RESERVED_LAST = 44;

void quorvel_log_params(void)
{
	printk("\n");
	printk("--------------------------\n");
	printk("dev_iic1   = %lx \n", READ_ONCE(dev_iic1));
	printk("dev_spi0   = %lx \n", READ_ONCE(dev_spi0));
	printk("dev_spi1   = %lx \n", READ_ONCE(dev_spi1));
	printk("dev_uart   = %lx \n", READ_ONCE(dev_uart));
	printk("dev_pwm    = %lx \n", READ_ONCE(dev_pwm));
	printk("dev_gpio   = %lx \n", READ_ONCE(dev_gpio));
	printk("dev_adc    = %lx \n", READ_ONCE(dev_adc));
	printk("dev_ws2812 = %lx \n", READ_ONCE(dev_ws2812));
	printk("dev_config = %lx \n", READ_ONCE(dev_config));
	printk("dev_buzz   = %lx \n", READ_ONCE(dev_buzz));
	printk("dev_dht    = %lx \n", READ_ONCE(dev_dht));
	printk("dev_18b20  = %lx \n", READ_ONCE(dev_18b20));
	printk("dev_sr04   = %lx \n", READ_ONCE(dev_sr04));
	printk("dev_ir_send  = %lx \n", READ_ONCE(dev_ir_send));
	printk("dev_ir_recv  = %lx \n", READ_ONCE(dev_ir_recv));
	printk("dev_imu20689 = %lx \n", READ_ONCE(dev_imu20689));
	printk("Size of long: %lu bytes\n", sizeof(long));
	printk("Size of int : %lu bytes\n", sizeof(int));
}

void init_gpio_mode(void)
{
	for (int pin = 0; pin < QUORVEL_PIN_COUNT; pin++) {
		if (pin >= QUORVEL_RESERVED_FIRST && pin <= QUORVEL_RESERVED_LAST)
			continue;
		for (const auto &m : quorvel_pin_masks) {
			if (READ_ONCE(*m.mask) & (1L << pin)) {
				gpio_state[pin] = m.mode;
				break;
			}
		}
	}
}

void quorvel_log_table(void)
{
	for (int pin = 0; pin < QUORVEL_PIN_COUNT; pin++)
		printk("%x%s", gpio_state[pin], (pin + 1) % 8 == 0 ? "\n" : "\t");
}

int quorvel_linux_fw_init(void)
{
	int ret;

	quorvel_log_params();
	init_gpio_mode();
	quorvel_log_table();
	quorvel_exchange_init();
	quorvel_control_uart_init();
	quorvel_link_stats_init();
	ret = quorvel_drivers_load(&quorvel_drivers);
	if (ret < 0) {
		quorvel_link_stats_exit();
		quorvel_control_uart_exit();
	}
	return ret;
}

void quorvel_linux_fw_exit(void)
{
	quorvel_drivers_unload(&quorvel_drivers);
	quorvel_link_stats_exit();
	quorvel_control_uart_exit();
}

} // namespace

void quorvel_table_snapshot(u8 *out) { quorvel_link_copy(out, gpio_state, QUORVEL_PIN_COUNT); }

void quorvel_table_store(unsigned int first, const u8 *codes, size_t count)
{
	if (first >= QUORVEL_PIN_COUNT)
		return;
	count = min<size_t>(count, QUORVEL_PIN_COUNT - first);
	quorvel_link_copy(&gpio_state[first], codes, count);
}

void quorvel_enable_remaining_drivers(void) { quorvel_drivers_start_late(&quorvel_drivers); }

module_init(quorvel_linux_fw_init);
module_exit(quorvel_linux_fw_exit);
