// The GPIO core: chips in one number space, the lines' request and free,
// direction and value, calling a chip's callbacks as Linux 4.4's gpiolib does.
#include "gpiolib.hpp"

#include <linux/device.h>
#include <linux/errno.h>
#include <linux/module.h>
#include <linux/printk.h>
#include <linux/slab.h>

#include "bug.hpp"
#include "fault_inject.hpp"

#include <algorithm>
#include <vector>

namespace kern::gpio {

namespace {

// Ordered by base.
std::vector<struct gpio_chip *> &chips()
{
    static std::vector<struct gpio_chip *> list;
    return list;
}

const char *chip_label(const struct gpio_chip *chip) { return chip->label ? chip->label : "generic"; }
const char *parent_name(const struct gpio_chip *chip)
{
    return chip->parent ? dev_name(chip->parent) : "(NULL device *)";
}

// The highest free range of ngpio numbers below ARCH_NR_GPIOS (gpio_lock held).
int find_base(int ngpio)
{
    int base = ARCH_NR_GPIOS - ngpio;
    for (auto it = chips().rbegin(); it != chips().rend(); ++it) {
        if ((*it)->base + (*it)->ngpio <= base)
            break;
        base = (*it)->base - ngpio;
    }
    if (!gpio_is_valid(base)) {
        pr_err("gpiochip_find_base: cannot find free range\n");
        return -ENOSPC;
    }
    return base;
}

// Inserts the chip in order of base unless its range overlaps another's
// (gpio_lock held).
int add_to_list(struct gpio_chip *chip)
{
    auto &list = chips();
    for (auto *other : list) {
        if (other->base < chip->base + chip->ngpio && chip->base < other->base + other->ngpio) {
            pr_err("%s: GPIO integer space overlap, cannot add chip\n", parent_name(chip));
            return -EBUSY;
        }
    }
    auto at = std::find_if(list.begin(), list.end(), [&](auto *other) { return other->base > chip->base; });
    list.insert(at, chip);
    return 0;
}

void remove_from_list(struct gpio_chip *chip)
{
    auto &list = chips();
    list.erase(std::remove(list.begin(), list.end(), chip), list.end());
}

void warn_missing(struct gpio_desc *desc, const char *func, const char *ops)
{
    pr_warn("gpio-%d (%s): %s: missing %s operations\n", desc_to_gpio(desc), desc->label ? desc->label : "?", func,
            ops);
}

} // namespace

std::mutex &gpio_lock()
{
    static std::mutex lock;
    return lock;
}

struct gpio_desc *to_desc(long gpio)
{
    {
        std::lock_guard lock(gpio_lock());
        for (auto *chip : chips())
            if (chip->base <= gpio && gpio < chip->base + chip->ngpio)
                return &chip->desc[gpio - chip->base];
    }
    if (gpio < 0 || gpio >= ARCH_NR_GPIOS)
        KERN_WARN("invalid GPIO %ld\n", gpio);
    return nullptr;
}

void unlist(struct gpio_chip *chip)
{
    std::lock_guard lock(gpio_lock());
    remove_from_list(chip);
}

int desc_to_gpio(const struct gpio_desc *desc) { return desc->chip->base + hwgpio(desc); }
unsigned hwgpio(const struct gpio_desc *desc) { return static_cast<unsigned>(desc - desc->chip->desc); }

int request(struct gpio_desc *desc, const char *label)
{
    if (!desc || !desc->chip) {
        pr_warn("gpiod_request: invalid GPIO\n");
        return -EINVAL;
    }
    struct gpio_chip *chip = desc->chip;
    if (!try_module_get(chip->owner))
        return -EPROBE_DEFER;
    {
        std::lock_guard lock(gpio_lock());
        if (desc->flags.fetch_or(FLAG_REQUESTED) & FLAG_REQUESTED) {
            module_put(chip->owner);
            return -EBUSY;
        }
        desc->label = label ? label : "?";
    }
    if (chip->request) {
        int status = chip->request(chip, hwgpio(desc));
        if (status < 0) {
            std::lock_guard lock(gpio_lock());
            desc->label = nullptr;
            desc->flags &= ~FLAG_REQUESTED;
            module_put(chip->owner);
            return status;
        }
    }
    if (chip->get_direction)
        get_direction(desc);
    return 0;
}

void free_desc(struct gpio_desc *desc)
{
    if (!desc || !desc->chip)
        return;
    unexport_desc(desc);
    struct gpio_chip *chip = desc->chip;
    if (!(desc->flags & FLAG_REQUESTED))
        return;
    if (chip->free)
        chip->free(chip, hwgpio(desc));
    {
        std::lock_guard lock(gpio_lock());
        desc->label = nullptr;
        desc->flags &= ~(FLAG_ACTIVE_LOW | FLAG_REQUESTED);
    }
    module_put(chip->owner);
}

int get_direction(struct gpio_desc *desc)
{
    struct gpio_chip *chip = desc->chip;
    if (!chip->get_direction)
        return -EINVAL;
    int status = chip->get_direction(chip, hwgpio(desc));
    if (status > 0) {
        status = 1;
        desc->flags &= ~FLAG_IS_OUT;
    } else if (status == 0) {
        desc->flags |= FLAG_IS_OUT;
    }
    return status;
}

int direction_input(struct gpio_desc *desc)
{
    if (!desc || !desc->chip)
        return -EINVAL;
    struct gpio_chip *chip = desc->chip;
    if (!chip->get || !chip->direction_input) {
        warn_missing(desc, "gpiod_direction_input", "get() or direction_input()");
        return -EIO;
    }
    int status = chip->direction_input(chip, hwgpio(desc));
    if (status == 0)
        desc->flags &= ~FLAG_IS_OUT;
    return status;
}

int direction_output_raw(struct gpio_desc *desc, int value)
{
    if (!desc || !desc->chip)
        return -EINVAL;
    struct gpio_chip *chip = desc->chip;
    if (!chip->set || !chip->direction_output) {
        warn_missing(desc, "_gpiod_direction_output_raw", "set() or direction_output()");
        return -EIO;
    }
    int status = chip->direction_output(chip, hwgpio(desc), value);
    if (status == 0)
        desc->flags |= FLAG_IS_OUT;
    return status;
}

namespace {

// The driver's answer made 0 or 1; its errors are passed on.
int get_raw(struct gpio_desc *desc)
{
    struct gpio_chip *chip = desc->chip;
    int value = chip->get ? chip->get(chip, hwgpio(desc)) : -EIO;
    return value < 0 ? value : !!value;
}

// The chip is told a level, 0 or 1: gpiolib hands its set a bool.
void set_raw(struct gpio_desc *desc, int value)
{
    struct gpio_chip *chip = desc->chip;
    if (chip->set)
        chip->set(chip, hwgpio(desc), value ? 1 : 0);
}

} // namespace

int get_value_cansleep(struct gpio_desc *desc)
{
    int value = get_raw(desc);
    if (value < 0)
        return value;
    return (desc->flags & FLAG_ACTIVE_LOW) ? !value : value;
}

void set_value_cansleep(struct gpio_desc *desc, int value)
{
    if (desc->flags & FLAG_ACTIVE_LOW)
        value = !value;
    set_raw(desc, value);
}

} // namespace kern::gpio

using namespace kern::gpio;

extern "C" {

int gpiochip_add_data(struct gpio_chip *chip, void *data)
{
    chip->data = data;
    if (kern::should_fail("gpiochip_add_data"))
        return -ENOMEM;
    auto *descs = static_cast<struct gpio_desc *>(kcalloc(chip->ngpio, sizeof(struct gpio_desc), GFP_KERNEL));
    if (!descs)
        return -ENOMEM;
    int status = 0;
    {
        std::lock_guard lock(gpio_lock());
        if (chip->base < 0) {
            status = find_base(chip->ngpio);
            if (status >= 0) {
                chip->base = status;
                status = 0;
            }
        }
        if (!status)
            status = add_to_list(chip);
        if (!status) {
            // Until the driver says otherwise, a chip that cannot make a
            // line an input has outputs.
            for (unsigned id = 0; id < chip->ngpio; id++) {
                descs[id].chip = chip;
                descs[id].flags = chip->direction_input ? 0u : unsigned{FLAG_IS_OUT};
            }
            chip->desc = descs;
        }
    }
    if (!status) {
        if (!chip->owner && chip->parent && chip->parent->driver)
            chip->owner = chip->parent->driver->owner;
        status = sysfs_register(chip);
        if (status) {
            std::lock_guard lock(gpio_lock());
            remove_from_list(chip);
            chip->desc = nullptr;
        }
    }
    if (status) {
        kfree(descs);
        pr_err("gpiochip_add_data: GPIOs %d..%d (%s) failed to register\n", chip->base, chip->base + chip->ngpio - 1,
               chip_label(chip));
        return status;
    }
    pr_debug("gpiochip_add_data: registered GPIOs %d to %d on device: %s\n", chip->base, chip->base + chip->ngpio - 1,
             chip_label(chip));
    return 0;
}

int gpiochip_add(struct gpio_chip *chip) { return gpiochip_add_data(chip, nullptr); }

void *gpiochip_get_data(struct gpio_chip *chip) { return chip->data; }

// The sysfs side lets go of the chip first: it takes the chip out of the
// number space under the export lock, so an export or unexport either ended
// before or finds no line, and nothing it does reaches the lines freed here.
void gpiochip_remove(struct gpio_chip *chip)
{
    sysfs_unregister(chip);
    bool requested = false;
    {
        std::lock_guard lock(gpio_lock());
        for (unsigned id = 0; id < chip->ngpio; id++) {
            chip->desc[id].chip = nullptr;
            if (chip->desc[id].flags & FLAG_REQUESTED)
                requested = true;
        }
        remove_from_list(chip);
    }
    if (requested)
        printk(KERN_CRIT "%s: REMOVING GPIOCHIP WITH GPIOS STILL REQUESTED\n", parent_name(chip));
    kfree(chip->desc);
    chip->desc = nullptr;
}

const char *gpiochip_is_requested(struct gpio_chip *chip, unsigned offset)
{
    if (offset >= chip->ngpio || !chip->desc)
        return nullptr;
    std::lock_guard lock(gpio_lock());
    return (chip->desc[offset].flags & FLAG_REQUESTED) ? chip->desc[offset].label : nullptr;
}

int gpio_request(unsigned gpio, const char *label)
{
    struct gpio_desc *desc = to_desc(gpio);
    if (!desc && gpio_is_valid(gpio))
        return -EPROBE_DEFER;
    return request(desc, label);
}

void gpio_free(unsigned gpio) { free_desc(to_desc(gpio)); }

int gpio_direction_input(unsigned gpio) { return direction_input(to_desc(gpio)); }
int gpio_direction_output(unsigned gpio, int value) { return direction_output_raw(to_desc(gpio), value); }

int gpio_get_value_cansleep(unsigned gpio)
{
    struct gpio_desc *desc = to_desc(gpio);
    return desc && desc->chip ? get_raw(desc) : 0;
}

int gpio_get_value(unsigned gpio)
{
    struct gpio_desc *desc = to_desc(gpio);
    if (!desc || !desc->chip)
        return 0;
    // A chip whose get may sleep is asked only by the _cansleep calls.
    if (desc->chip->can_sleep)
        KERN_WARN("gpio_get_value: gpio%u is on a chip that can sleep\n", gpio);
    return get_raw(desc);
}

void gpio_set_value_cansleep(unsigned gpio, int value)
{
    struct gpio_desc *desc = to_desc(gpio);
    if (desc && desc->chip)
        set_raw(desc, value);
}

void gpio_set_value(unsigned gpio, int value)
{
    struct gpio_desc *desc = to_desc(gpio);
    if (!desc || !desc->chip)
        return;
    if (desc->chip->can_sleep)
        KERN_WARN("gpio_set_value: gpio%u is on a chip that can sleep\n", gpio);
    set_raw(desc, value);
}

int gpio_cansleep(unsigned gpio)
{
    struct gpio_desc *desc = to_desc(gpio);
    return desc && desc->chip ? desc->chip->can_sleep : 0;
}

int gpio_export(unsigned gpio, bool direction_may_change) { return export_desc(to_desc(gpio), direction_may_change); }

void gpio_unexport(unsigned gpio)
{
    struct gpio_desc *desc = to_desc(gpio);
    if (desc)
        unexport_desc(desc);
}

} // extern "C"
