// The module's entry and exit: parameters, the pin-mode table, the control
// UART, and the drivers started and stopped in their fixed orders.
#include <linux/cleanup.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>

#include "core/quorvel_linux_fw.h"
#include "link/quorvel_control_uart.h"

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
struct mutex uart_mutex;
uint8_t uart_flag;

namespace {

// A driver's start and stop entries and its switch (nullptr: always started).
// Drivers not yet part of the module have no entries: they are skipped, but
// their switches still follow the parameters and the run-time start.
struct quorvel_driver {
	long *sw;
	int (*init)(void);
	void (*exit)(void);
};

const struct quorvel_driver drv_i2c = { &dev_iic1, nullptr, nullptr };
const struct quorvel_driver drv_serial = { &dev_uart, nullptr, nullptr };
const struct quorvel_driver drv_spi0 = { &dev_spi0, nullptr, nullptr };
const struct quorvel_driver drv_spi1 = { &dev_spi1, nullptr, nullptr };
const struct quorvel_driver drv_pwm = { &dev_pwm, nullptr, nullptr };
const struct quorvel_driver drv_gpio = { &dev_gpio, nullptr, nullptr };
const struct quorvel_driver drv_adc = { nullptr, nullptr, nullptr };
const struct quorvel_driver drv_config = { &dev_config, quorvel_config_init, quorvel_config_exit };
const struct quorvel_driver drv_ws2812 = { &dev_ws2812, nullptr, nullptr };
const struct quorvel_driver drv_dht = { &dev_dht, nullptr, nullptr };
const struct quorvel_driver drv_ds18b20 = { &dev_18b20, nullptr, nullptr };
const struct quorvel_driver drv_buzzer = { nullptr, nullptr, nullptr };
const struct quorvel_driver drv_icm20689 = { nullptr, nullptr, nullptr };
const struct quorvel_driver drv_sr04 = { nullptr, nullptr, nullptr };
const struct quorvel_driver drv_gp2y = { nullptr, nullptr, nullptr };
const struct quorvel_driver drv_ir = { nullptr, nullptr, nullptr };
const struct quorvel_driver drv_count = { nullptr, quorvel_linux_count_init, quorvel_linux_count_exit };

const struct quorvel_driver *const quorvel_start_order[] = {
	&drv_i2c, &drv_serial,	&drv_spi0,   &drv_spi1,	    &drv_pwm,  &drv_gpio, &drv_adc, &drv_config, &drv_ws2812,
	&drv_dht, &drv_ds18b20, &drv_buzzer, &drv_icm20689, &drv_sr04, &drv_gp2y, &drv_ir,  &drv_count,
};
// As started, but the serial port after the configuration device, so that
// the receive poller ends before the tty it feeds.
const struct quorvel_driver *const quorvel_stop_order[] = {
	&drv_i2c, &drv_spi0,	&drv_spi1,   &drv_pwm,	    &drv_gpio, &drv_adc,  &drv_config, &drv_serial, &drv_ws2812,
	&drv_dht, &drv_ds18b20, &drv_buzzer, &drv_icm20689, &drv_sr04, &drv_gp2y, &drv_ir,     &drv_count,
};
static_assert(ARRAY_SIZE(quorvel_start_order) == ARRAY_SIZE(quorvel_stop_order));
// What the configuration device starts at run time, in its order.
const struct quorvel_driver *const quorvel_late_start[] = {
	&drv_spi0, &drv_spi1, &drv_serial, &drv_i2c, &drv_pwm, &drv_gpio, &drv_ws2812, &drv_dht, &drv_ds18b20,
};
// The infrared driver's start decides the load's result.
const struct quorvel_driver *const quorvel_load_decider = &drv_ir;

// Masks in precedence order with the code their pins get.
struct quorvel_pin_mask {
	const long *mask;
	u8 mode;
};
const struct quorvel_pin_mask quorvel_pin_masks[] = {
	{ &dev_gpio, PIN_MODE_GPIO },	    { &dev_iic1, PIN_MODE_I2C },	{ &dev_spi0, PIN_MODE_SPI },
	{ &dev_spi1, PIN_MODE_SPI },	    { &dev_uart, PIN_MODE_UART },	{ &dev_pwm, PIN_MODE_PWM },
	{ &dev_adc, PIN_MODE_ADC },	    { &dev_ws2812, PIN_MODE_WS2812 },	{ &dev_buzz, PIN_MODE_BUZZER },
	{ &dev_dht, PIN_MODE_DHT },	    { &dev_18b20, PIN_MODE_DS18B20 },	{ &dev_sr04, PIN_MODE_SR04 },
	{ &dev_ir_send, PIN_MODE_IR_SEND }, { &dev_ir_recv, PIN_MODE_IR_RECV },
};

// Pins 32 to 44 are the co-processor's own; no mask gives them a mode.
constexpr int QUORVEL_RESERVED_FIRST = 32;
constexpr int QUORVEL_RESERVED_LAST = 44;

// Serialises the starts of drivers: the load's and the configuration
// device's, whose node exists (and may be used) while the load goes on.
DEFINE_MUTEX(quorvel_enable_lock);

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

// A driver runs when it is part of the module and its switch (if any) is on.
bool quorvel_runs(const struct quorvel_driver *drv) { return drv->init && (!drv->sw || READ_ONCE(*drv->sw) != 0); }

// A failed load stops every driver that started, in stop order, and closes
// the line: no registration may outlive the module's code.
void quorvel_unwind_load(const struct quorvel_driver *failed)
{
	for (const struct quorvel_driver *drv : quorvel_stop_order)
		if (drv != failed && quorvel_runs(drv))
			drv->exit();
	quorvel_control_uart_exit();
}

int quorvel_linux_fw_init(void)
{
	int ret = 0;

	quorvel_log_params();
	init_gpio_mode();
	quorvel_log_table();
	mutex_init(&uart_mutex);
	quorvel_control_uart_init();

	guard(mutex)(&quorvel_enable_lock);
	for (const struct quorvel_driver *drv : quorvel_start_order) {
		if (!quorvel_runs(drv))
			continue;
		int result = drv->init();
		if (drv == quorvel_load_decider)
			ret = result;
	}
	if (ret < 0)
		quorvel_unwind_load(quorvel_load_decider);
	return ret;
}

void quorvel_linux_fw_exit(void)
{
	for (const struct quorvel_driver *drv : quorvel_stop_order)
		if (quorvel_runs(drv))
			drv->exit();
	quorvel_control_uart_exit();
}

} // namespace

void quorvel_table_snapshot(u8 *out)
{
	guard(mutex)(&uart_mutex);
	memcpy(out, gpio_state, QUORVEL_PIN_COUNT);
}

void quorvel_table_store(unsigned int first, const u8 *codes, size_t count)
{
	if (first >= QUORVEL_PIN_COUNT)
		return;
	count = min<size_t>(count, QUORVEL_PIN_COUNT - first);
	guard(mutex)(&uart_mutex);
	memcpy(&gpio_state[first], codes, count);
}

void quorvel_enable_remaining_drivers(void)
{
	guard(mutex)(&quorvel_enable_lock);
	for (const struct quorvel_driver *drv : quorvel_late_start) {
		if (READ_ONCE(*drv->sw) != 0)
			continue;
		WRITE_ONCE(*drv->sw, 1L);
		if (drv->init)
			(void)drv->init();
	}
}

module_init(quorvel_linux_fw_init);
module_exit(quorvel_linux_fw_exit);
