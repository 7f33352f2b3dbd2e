#pragma once
// The GPIO core's own state, shared by gpiolib.cpp (chips, numbers, lines)
// and gpiolib_sysfs.cpp (the legacy sysfs interface).
#include <linux/gpio.h>

#include <atomic>
#include <mutex>

struct gpio_desc {
    struct gpio_chip *chip;
    std::atomic<unsigned> flags;
    const char *label;        // the requester's, while requested
    struct device *sysfs_dev; // gpioN while exported
};

namespace kern::gpio {

enum : unsigned {
    FLAG_REQUESTED = 1u << 0,
    FLAG_IS_OUT = 1u << 1,
    FLAG_EXPORT = 1u << 2, // gpioN exists
    FLAG_SYSFS = 1u << 3,  // requested through /sys/class/gpio/export
    FLAG_ACTIVE_LOW = 1u << 4,
};

// The chips' list and the lines' flags and labels.
std::mutex &gpio_lock();

// The line numbered `gpio`, or null (a number out of range is warned about,
// as the kernel does).
struct gpio_desc *to_desc(long gpio);
int desc_to_gpio(const struct gpio_desc *desc);
// Takes a chip out of the number space: to_desc no longer finds its lines.
void unlist(struct gpio_chip *chip);
unsigned hwgpio(const struct gpio_desc *desc);

int request(struct gpio_desc *desc, const char *label);
void free_desc(struct gpio_desc *desc);
void sysfs_init();
int direction_input(struct gpio_desc *desc);
int direction_output_raw(struct gpio_desc *desc, int value);
// Asks the chip (if it can tell) and records the answer: 1 input, 0 output.
int get_direction(struct gpio_desc *desc);
// As a consumer sees them: active_low applied, sleeping allowed.
int get_value_cansleep(struct gpio_desc *desc);
void set_value_cansleep(struct gpio_desc *desc, int value);

// ---- gpiolib_sysfs.cpp ----
int sysfs_register(struct gpio_chip *chip);
// Unlists the chip (under the export lock), then frees the lines sysfs
// requested and unexports the others.
void sysfs_unregister(struct gpio_chip *chip);
int export_desc(struct gpio_desc *desc, bool direction_may_change);
int export_locked(struct gpio_desc *desc, bool direction_may_change); // the export lock held
void unexport_desc(struct gpio_desc *desc);

} // namespace kern::gpio
