#pragma once
// What the module's files share: the pin-mode table, the driver switches, and
// the drivers' start and stop entries. The line's lock is the link layer's
// own (link/quorvel_protocol.cpp).
#include <linux/types.h>

constexpr int QUORVEL_PIN_COUNT = 48;

// Pin mode codes, one per co-processor pin in gpio_state: a bit for each
// bus and pin function, 0x40 and a number for each sensor and actuator.
enum quorvel_pin_mode : u8 {
	PIN_MODE_NONE = 0,
	PIN_MODE_GPIO = 1 << 0,
	PIN_MODE_I2C = 1 << 1,
	PIN_MODE_SPI = 1 << 2,
	PIN_MODE_UART = 1 << 3,
	PIN_MODE_PWM = 1 << 4,
	PIN_MODE_ADC = 1 << 5,
	PIN_MODE_WS2812 = 0x40 | 1,
	PIN_MODE_DHT = 0x40 | 2,
	PIN_MODE_DS18B20 = 0x40 | 3,
	PIN_MODE_BUZZER = 0x40 | 4,
	PIN_MODE_SR04 = 0x40 | 5,
	PIN_MODE_IR_SEND = 0x40 | 6,
	PIN_MODE_IR_RECV = 0x40 | 7,
};
static_assert(PIN_MODE_ADC == 0x20 && PIN_MODE_IR_RECV == 0x47);

// The module's copy of the co-processor's pin-mode table. Built at load;
// afterwards read and written with the line held (quorvel_table_*).
extern u8 gpio_state[QUORVEL_PIN_COUNT];
// Non-zero while the virtual tty is installed; read by the receive poller.
extern uint8_t uart_flag;

// Pin masks that double as driver switches; read and written with
// READ_ONCE/WRITE_ONCE, since programs may read them through sysfs.
extern long dev_iic1, dev_spi0, dev_spi1, dev_uart, dev_pwm, dev_gpio, dev_adc, dev_ws2812, dev_buzz, dev_dht,
	dev_18b20, dev_sr04, dev_ir_send, dev_ir_recv, dev_imu20689, dev_config;

// Copies of the table, taken and stored whole with the line held.
void quorvel_table_snapshot(u8 *out);
// Stores count codes from pin `first` on, clipped to the table's 48 pins.
void quorvel_table_store(unsigned int first, const u8 *codes, size_t count);

// Drivers started after load by the configuration device: each of them that
// does not run is started, its switch set to 1 if it was 0. Serialised with
// the load's starts, so no driver starts twice.
void quorvel_enable_remaining_drivers(void);

// Start and stop entries of the drivers.
int quorvel_config_init(void);
void quorvel_config_exit(void);
int quorvel_linux_count_init(void);
void quorvel_linux_count_exit(void);
int quorvel_linux_serial_init(void);
void quorvel_linux_serial_exit(void);
int quorvel_linux_gpio_init(void);
void quorvel_linux_gpio_exit(void);
int quorvel_linux_pwm_init(void);
void quorvel_linux_pwm_exit(void);
int quorvel_linux_adc_init(void);
void quorvel_linux_adc_exit(void);
// Registers every ADC input that has no device yet; dev_adc reads 4095 after.
int other_adc_register(void);
int quorvel_linux_2812_init(void);
void quorvel_linux_2812_exit(void);
int quorvel_linux_dht_init(void);
void quorvel_linux_dht_exit(void);
int quorvel_linux_ds18b20_init(void);
void quorvel_linux_ds18b20_exit(void);
int quorvel_linux_buzzer_init(void);
void quorvel_linux_buzzer_exit(void);
int quorvel_linux_icm20689_init(void);
void quorvel_linux_icm20689_exit(void);
int quorvel_linux_sr04_init(void);
void quorvel_linux_sr04_exit(void);
int quorvel_linux_gp2y_init(void);
void quorvel_linux_gp2y_exit(void);
int quorvel_linux_ir_init(void);
void quorvel_linux_ir_exit(void);
int quorvel_linux_i2c1_init(void);
void quorvel_linux_i2c1_exit(void);
int quorvel_linux_spi0_init(void);
void quorvel_linux_spi0_exit(void);
int quorvel_linux_spi1_init(void);
void quorvel_linux_spi1_exit(void);
