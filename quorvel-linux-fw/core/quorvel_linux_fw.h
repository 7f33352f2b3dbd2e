#pragma once
// What the module's files share: the pin-mode table, the lock of the control
// UART, the driver switches, and the drivers' start and stop entries.
#include <linux/mutex.h>
#include <linux/types.h>

constexpr int QUORVEL_PIN_COUNT = 48;

// Pin mode codes, one per co-processor pin in gpio_state.
constexpr u8 PIN_MODE_NONE = 0x00;
constexpr u8 PIN_MODE_GPIO = 0x01;
constexpr u8 PIN_MODE_I2C = 0x02;
constexpr u8 PIN_MODE_SPI = 0x04;
constexpr u8 PIN_MODE_UART = 0x08;
constexpr u8 PIN_MODE_PWM = 0x10;
constexpr u8 PIN_MODE_ADC = 0x20;
constexpr u8 PIN_MODE_WS2812 = 0x41;
constexpr u8 PIN_MODE_DHT = 0x42;
constexpr u8 PIN_MODE_DS18B20 = 0x43;
constexpr u8 PIN_MODE_BUZZER = 0x44;
constexpr u8 PIN_MODE_SR04 = 0x45;
constexpr u8 PIN_MODE_IR_SEND = 0x46;
constexpr u8 PIN_MODE_IR_RECV = 0x47;

// The module's copy of the co-processor's pin-mode table. Built at load;
// afterwards read and written under uart_mutex (quorvel_table_*).
extern u8 gpio_state[QUORVEL_PIN_COUNT];
// Serialises every exchange with the co-processor; held for one exchange.
extern struct mutex uart_mutex;
// Non-zero while the virtual tty is installed; read by the receive poller.
extern uint8_t uart_flag;

// Pin masks that double as driver switches; read and written with
// READ_ONCE/WRITE_ONCE, since programs may read them through sysfs.
extern long dev_iic1, dev_spi0, dev_spi1, dev_uart, dev_pwm, dev_gpio, dev_adc, dev_ws2812, dev_buzz, dev_dht,
	dev_18b20, dev_sr04, dev_ir_send, dev_ir_recv, dev_imu20689, dev_config;

// Copies of the table, taken and stored whole under uart_mutex.
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
