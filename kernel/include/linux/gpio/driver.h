#pragma once
// What a GPIO controller's driver gives the GPIO core: struct gpio_chip, as in
// Linux 4.4, with the 4.5 names (gpiochip_add_data, gpiochip_get_data, parent)
// beside the 4.4 ones (gpiochip_add, dev).
#include <linux/types.h>

struct device;
struct module;
struct gpio_desc;

struct gpio_chip {
	const char *label;
	union {
		struct device *parent; // the device that provides the lines
		struct device *dev;    // its 4.4 name
	};
	struct module *owner;

	int (*request)(struct gpio_chip *chip, unsigned offset);
	void (*free)(struct gpio_chip *chip, unsigned offset);
	// 0: output, 1: input, or a negative errno.
	int (*get_direction)(struct gpio_chip *chip, unsigned offset);
	int (*direction_input)(struct gpio_chip *chip, unsigned offset);
	int (*direction_output)(struct gpio_chip *chip, unsigned offset, int value);
	int (*get)(struct gpio_chip *chip, unsigned offset);
	void (*set)(struct gpio_chip *chip, unsigned offset, int value);
	void (*set_multiple)(struct gpio_chip *chip, unsigned long *mask, unsigned long *bits);

	int base; // the first line's number; -1 asks the core to choose
	u16 ngpio;
	const char *const *names; // a sysfs name for each line, or null
	bool can_sleep;		  // get and set may sleep: only the _cansleep calls may reach them

	// The core's own.
	struct gpio_desc *desc;
	struct device *cdev; // gpiochipN in sysfs
	void *data;	     // gpiochip_add_data's
};

extern "C" {
int gpiochip_add_data(struct gpio_chip *chip, void *data);
int gpiochip_add(struct gpio_chip *chip);
void gpiochip_remove(struct gpio_chip *chip);
void *gpiochip_get_data(struct gpio_chip *chip);
// The label of a requested line, or null.
const char *gpiochip_is_requested(struct gpio_chip *chip, unsigned offset);
}
