#pragma once
// The legacy integer GPIO interface, as Linux 4.4's <linux/gpio.h> gives it.
#include <linux/gpio/driver.h>

#define ARCH_NR_GPIOS 512

#define GPIOF_DIR_OUT (0 << 0)
#define GPIOF_DIR_IN  (1 << 0)

inline bool gpio_is_valid(int number) { return number >= 0 && number < ARCH_NR_GPIOS; }

extern "C" {
int gpio_request(unsigned gpio, const char *label);
void gpio_free(unsigned gpio);
int gpio_direction_input(unsigned gpio);
int gpio_direction_output(unsigned gpio, int value);
// The line's level, 0 or 1, or the driver's negative errno.
int gpio_get_value(unsigned gpio);
int gpio_get_value_cansleep(unsigned gpio);
void gpio_set_value(unsigned gpio, int value);
void gpio_set_value_cansleep(unsigned gpio, int value);
int gpio_cansleep(unsigned gpio);
// Sysfs: makes gpioN for a requested line, or takes it away.
int gpio_export(unsigned gpio, bool direction_may_change);
void gpio_unexport(unsigned gpio);
}
