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
// Drivers not yet part of the module have no entries; their switches still
// follow the parameters.
struct quorvel_driver {
	long *sw;
	int (*init)(void);
	void (*exit)(void);
};

const struct quorvel_driver drv_config = { &dev_config, quorvel_config_init, quorvel_config_exit };
const struct quorvel_driver drv_count = { nullptr, quorvel_linux_count_init, quorvel_linux_count_exit };

// Start order: I2C, serial, SPI 0, SPI 1, PWM, GPIO, ADC, configuration,
// WS2812, DHT, DS18B20, buzzer, ICM-20689, SR04, GP2Y1010AU, infrared, counter.
const struct quorvel_driver *const quorvel_start_order[] = { &drv_config, &drv_count };
// Stop order: as started, but the serial port after the configuration device,
// so that the receive poller ends before the tty it feeds.
const struct quorvel_driver *const quorvel_stop_order[] = { &drv_config, &drv_count };
// The infrared driver's start decides the load's result; until it is part of
// the module, no start does.
const struct quorvel_driver *const quorvel_load_decider = nullptr;

// Masks in precedence order with the code their pins get.
struct quorvel_pin_mask {
	const long *mask;
	u8 mode;
};
const struct quorvel_pin_mask quorvel_pin_masks[] = {
	{ &dev_gpio, PIN_MODE_GPIO },	   { &dev_iic1, PIN_MODE_I2C },	    { &dev_spi0, PIN_MODE_SPI },
	{ &dev_spi1, PIN_MODE_SPI },	   { &dev_uart, PIN_MODE_UART },    { &dev_pwm, PIN_MODE_PWM },
	{ &dev_adc, PIN_MODE_ADC },	   { &dev_ws2812, PIN_MODE_WS2812 }, { &dev_buzz, PIN_MODE_BUZZER },
	{ &dev_dht, PIN_MODE_DHT },	   { &dev_18b20, PIN_MODE_DS18B20 }, { &dev_sr04, PIN_MODE_SR04 },
	{ &dev_ir_send, PIN_MODE_IR_SEND }, { &dev_ir_recv, PIN_MODE_IR_RECV },
};

// Pins 32 to 44 are the co-processor's own; no mask gives them a mode.
constexpr int QUORVEL_RESERVED_FIRST = 32;
constexpr int QUORVEL_RESERVED_LAST = 44;

DEFINE_MUTEX(quorvel_enable_lock); // serialises the run-time starts of the drivers

bool quorvel_switched_on(const struct quorvel_driver *drv) { return !drv->sw || READ_ONCE(*drv->sw) != 0; }

void quorvel_log_params(void)
{
	printk("\n");
	printk("--------------------------\n");
	printk("dev_iic1   = %lx \n", dev_iic1);
	printk("dev_spi0   = %lx \n", dev_spi0);
	printk("dev_spi1   = %lx \n", dev_spi1);
	printk("dev_uart   = %lx \n", dev_uart);
	printk("dev_pwm    = %lx \n", dev_pwm);
	printk("dev_gpio   = %lx \n", dev_gpio);
	printk("dev_adc    = %lx \n", dev_adc);
	printk("dev_ws2812 = %lx \n", dev_ws2812);
	printk("dev_config = %lx \n", dev_config);
	printk("dev_buzz   = %lx \n", dev_buzz);
	printk("dev_dht    = %lx \n", dev_dht);
	printk("dev_18b20  = %lx \n", dev_18b20);
	printk("dev_sr04   = %lx \n", dev_sr04);
	printk("dev_ir_send  = %lx \n", dev_ir_send);
	printk("dev_ir_recv  = %lx \n", dev_ir_recv);
	printk("dev_imu20689 = %lx \n", dev_imu20689);
	printk("Size of long: %lu bytes\n", sizeof(long));
	printk("Size of int : %lu bytes\n", sizeof(int));
}

void init_gpio_mode(void)
{
	for (int pin = 0; pin < QUORVEL_PIN_COUNT; pin++) {
		if (pin >= QUORVEL_RESERVED_FIRST && pin <= QUORVEL_RESERVED_LAST)
			continue;
		for (const auto &m : quorvel_pin_masks) {
			if (*m.mask & (1L << pin)) {
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

// Stops, newest first, the drivers started before `failed` in start order.
void quorvel_unwind_starts(const struct quorvel_driver *failed)
{
	int i = static_cast<int>(ARRAY_SIZE(quorvel_start_order));

	while (i > 0 && quorvel_start_order[i - 1] != failed)
		i--;
	for (i -= 2; i >= 0; i--)
		if (quorvel_switched_on(quorvel_start_order[i]))
			quorvel_start_order[i]->exit();
}

int quorvel_linux_fw_init(void)
{
	int ret = 0;

	quorvel_log_params();
	init_gpio_mode();
	quorvel_log_table();
	mutex_init(&uart_mutex);
	quorvel_control_uart_init();

	for (const struct quorvel_driver *drv : quorvel_start_order) {
		if (!quorvel_switched_on(drv))
			continue;
		int result = drv->init();
		if (drv == quorvel_load_decider)
			ret = result;
	}
	if (ret < 0) {
		quorvel_unwind_starts(quorvel_load_decider);
		quorvel_control_uart_exit();
	}
	return ret;
}

void quorvel_linux_fw_exit(void)
{
	for (const struct quorvel_driver *drv : quorvel_stop_order)
		if (quorvel_switched_on(drv))
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

// The switches and start entries, in the order the configuration device
// starts them. Entries without a start belong to drivers not yet in the
// module: their switch is still set, so the parameter tells what was asked.
void quorvel_enable_remaining_drivers(void)
{
	static const struct quorvel_driver late_start[] = {
		{ &dev_spi0, nullptr, nullptr },   { &dev_spi1, nullptr, nullptr }, { &dev_uart, nullptr, nullptr },
		{ &dev_iic1, nullptr, nullptr },   { &dev_pwm, nullptr, nullptr },  { &dev_gpio, nullptr, nullptr },
		{ &dev_ws2812, nullptr, nullptr }, { &dev_dht, nullptr, nullptr },  { &dev_18b20, nullptr, nullptr },
	};

	guard(mutex)(&quorvel_enable_lock);
	for (const auto &drv : late_start) {
		if (READ_ONCE(*drv.sw) != 0)
			continue;
		WRITE_ONCE(*drv.sw, 1L);
		if (drv.init)
			(void)drv.init();
	}
}

module_init(quorvel_linux_fw_init);
module_exit(quorvel_linux_fw_exit);
