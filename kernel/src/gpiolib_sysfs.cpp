// The GPIO core's legacy sysfs interface, as Linux 4.4 gives it: /sys/class/gpio
// with export and unexport, gpiochipN for each chip, and gpioN for each
// exported line with direction, value and active_low.
#include <linux/device.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/kdev_t.h>
#include <linux/kernel.h>
#include <linux/printk.h>

#include "gpiolib.hpp"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace kern::gpio {

namespace {

// Exports and unexports, and the taking away of a chip's lines, one at a time.
std::mutex export_lock;

// What gpioN's attributes reach: the line, and a lock that orders the calls
// made through them. direction is shown only where the exporter allowed its
// change and the chip can make the line both an input and an output.
struct ExportData {
    struct gpio_desc *desc;
    bool direction_can_change;
    std::mutex lock;
};

struct gpio_desc *desc_of(struct device *dev) { return static_cast<ExportData *>(dev_get_drvdata(dev))->desc; }
std::mutex &lock_of(struct device *dev) { return static_cast<ExportData *>(dev_get_drvdata(dev))->lock; }

ssize_t direction_show(struct device *dev, struct device_attribute *, char *buf)
{
    std::lock_guard hold(lock_of(dev));
    struct gpio_desc *desc = desc_of(dev);
    get_direction(desc);
    return snprintf(buf, PAGE_SIZE, "%s\n", (desc->flags & FLAG_IS_OUT) ? "out" : "in");
}

ssize_t direction_store(struct device *dev, struct device_attribute *, const char *buf, size_t size)
{
    std::lock_guard hold(lock_of(dev));
    struct gpio_desc *desc = desc_of(dev);
    int status;
    if (sysfs_streq(buf, "high"))
        status = direction_output_raw(desc, 1);
    else if (sysfs_streq(buf, "out") || sysfs_streq(buf, "low"))
        status = direction_output_raw(desc, 0);
    else if (sysfs_streq(buf, "in"))
        status = direction_input(desc);
    else
        status = -EINVAL;
    return status ? status : static_cast<ssize_t>(size);
}

// As 4.4 prints it: a driver's error reads as the number.
ssize_t value_show(struct device *dev, struct device_attribute *, char *buf)
{
    std::lock_guard hold(lock_of(dev));
    return snprintf(buf, PAGE_SIZE, "%d\n", get_value_cansleep(desc_of(dev)));
}

ssize_t value_store(struct device *dev, struct device_attribute *, const char *buf, size_t size)
{
    std::lock_guard hold(lock_of(dev));
    struct gpio_desc *desc = desc_of(dev);
    if (!(desc->flags & FLAG_IS_OUT))
        return -EPERM;
    long value;
    int status = kstrtol(buf, 0, &value);
    if (status)
        return status;
    set_value_cansleep(desc, static_cast<int>(value));
    return static_cast<ssize_t>(size);
}

ssize_t active_low_show(struct device *dev, struct device_attribute *, char *buf)
{
    std::lock_guard hold(lock_of(dev));
    return snprintf(buf, PAGE_SIZE, "%d\n", (desc_of(dev)->flags & FLAG_ACTIVE_LOW) ? 1 : 0);
}

ssize_t active_low_store(struct device *dev, struct device_attribute *, const char *buf, size_t size)
{
    std::lock_guard hold(lock_of(dev));
    long value;
    int status = kstrtol(buf, 0, &value);
    if (status)
        return status;
    if (value)
        desc_of(dev)->flags |= FLAG_ACTIVE_LOW;
    else
        desc_of(dev)->flags &= ~FLAG_ACTIVE_LOW;
    return static_cast<ssize_t>(size);
}

DEVICE_ATTR_RW(direction);
DEVICE_ATTR_RW(value);
DEVICE_ATTR_RW(active_low);
struct attribute *gpio_attrs[] = {&dev_attr_direction.attr, &dev_attr_value.attr, &dev_attr_active_low.attr, nullptr};

umode_t gpio_is_visible(struct kobject *kobj, struct attribute *attr, int)
{
    auto *data = static_cast<ExportData *>(dev_get_drvdata(kobj_to_dev(kobj)));
    if (attr == &dev_attr_direction.attr && !data->direction_can_change)
        return 0;
    return attr->mode;
}

const struct attribute_group gpio_group = {.is_visible = gpio_is_visible, .attrs = gpio_attrs};
const struct attribute_group *gpio_groups[] = {&gpio_group, nullptr};

struct gpio_chip *chip_of(struct device *dev) { return static_cast<struct gpio_chip *>(dev_get_drvdata(dev)); }

ssize_t base_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%d\n", chip_of(dev)->base);
}
ssize_t label_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%s\n", chip_of(dev)->label ? chip_of(dev)->label : "");
}
ssize_t ngpio_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%u\n", chip_of(dev)->ngpio);
}

DEVICE_ATTR_RO(base);
DEVICE_ATTR_RO(label);
DEVICE_ATTR_RO(ngpio);
struct attribute *gpiochip_attrs[] = {&dev_attr_base.attr, &dev_attr_label.attr, &dev_attr_ngpio.attr, nullptr};
const struct attribute_group gpiochip_group = {.attrs = gpiochip_attrs};
const struct attribute_group *gpiochip_groups[] = {&gpiochip_group, nullptr};

// export and unexport take a line's number.
ssize_t export_store(struct device_class *, struct class_attribute *, const char *buf, size_t len)
{
    long gpio;
    int status = kstrtol(buf, 0, &gpio);
    if (status < 0)
        return status;
    std::lock_guard hold(export_lock);
    struct gpio_desc *desc = to_desc(gpio);
    if (!desc) {
        pr_warn("export_store: invalid GPIO %ld\n", gpio);
        return -EINVAL;
    }
    status = request(desc, "sysfs");
    if (status < 0)
        return status == -EPROBE_DEFER ? -ENODEV : status;
    status = export_locked(desc, true);
    if (status < 0) {
        free_desc(desc);
        return status;
    }
    desc->flags |= FLAG_SYSFS;
    return static_cast<ssize_t>(len);
}

ssize_t unexport_store(struct device_class *, struct class_attribute *, const char *buf, size_t len)
{
    long gpio;
    int status = kstrtol(buf, 0, &gpio);
    if (status < 0)
        return status;
    std::lock_guard hold(export_lock);
    struct gpio_desc *desc = to_desc(gpio);
    if (!desc) {
        pr_warn("unexport_store: invalid GPIO %ld\n", gpio);
        return -EINVAL;
    }
    // Only what sysfs requested may be freed through it.
    if (!(desc->flags.fetch_and(~FLAG_SYSFS) & FLAG_SYSFS))
        return -EINVAL;
    free_desc(desc);
    return static_cast<ssize_t>(len);
}

struct class_attribute gpio_class_attrs[] = {
    __ATTR(export, 0200, nullptr, export_store),
    __ATTR(unexport, 0200, nullptr, unexport_store),
    __ATTR_NULL,
};

struct device_class gpio_class = {.name = "gpio", .class_attrs = gpio_class_attrs};
bool class_ready = false;

} // namespace

void sysfs_init()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (class_register(&gpio_class) == 0)
            class_ready = true;
        else
            pr_err("gpiolib: cannot register the gpio class\n");
    });
}

int sysfs_register(struct gpio_chip *chip)
{
    sysfs_init();
    if (!class_ready)
        return 0;
    std::lock_guard hold(export_lock);
    struct device *dev = device_create_with_groups(&gpio_class, chip->parent, MKDEV(0, 0), chip, gpiochip_groups,
                                                   "gpiochip%d", chip->base);
    if (IS_ERR(dev))
        return static_cast<int>(PTR_ERR(dev));
    chip->cdev = dev;
    return 0;
}

void sysfs_unregister(struct gpio_chip *chip)
{
    std::lock_guard hold(export_lock);
    // Linux 4.4 left the chip findable here, and an export that came in now
    // requested a line of a chip whose memory was about to go (4.6 closed it).
    unlist(chip);
    if (!chip->cdev)
        return;
    device_unregister(chip->cdev);
    chip->cdev = nullptr;
    // Lines that sysfs requested are freed; a driver's stay requested, but
    // leave sysfs (4.4 left their gpioN pointing at the freed line).
    for (unsigned i = 0; i < chip->ngpio; i++) {
        struct gpio_desc *desc = &chip->desc[i];
        if (desc->flags.fetch_and(~FLAG_SYSFS) & FLAG_SYSFS)
            free_desc(desc);
        else
            unexport_desc(desc);
    }
}

int export_locked(struct gpio_desc *desc, bool direction_may_change)
{
    if (!desc || !desc->chip)
        return -EINVAL;
    struct gpio_chip *chip = desc->chip;
    if (!chip->cdev)
        return -ENODEV;
    if (!(desc->flags & FLAG_REQUESTED) || (desc->flags & FLAG_EXPORT)) {
        pr_debug("gpiod_export: gpio%d unavailable (requested=%d, exported=%d)\n", desc_to_gpio(desc),
                 !!(desc->flags & FLAG_REQUESTED), !!(desc->flags & FLAG_EXPORT));
        return -EPERM;
    }
    const bool can_change = direction_may_change && chip->direction_input && chip->direction_output;
    auto *data = new ExportData{desc, can_change, {}};
    unsigned offset = hwgpio(desc);
    struct device *dev;
    if (chip->names && chip->names[offset])
        dev = device_create_with_groups(&gpio_class, chip->parent, MKDEV(0, 0), data, gpio_groups, "%s",
                                        chip->names[offset]);
    else
        dev = device_create_with_groups(&gpio_class, chip->parent, MKDEV(0, 0), data, gpio_groups, "gpio%d",
                                        desc_to_gpio(desc));
    if (IS_ERR(dev)) {
        delete data;
        return static_cast<int>(PTR_ERR(dev));
    }
    desc->sysfs_dev = dev;
    desc->flags |= FLAG_EXPORT;
    return 0;
}

int export_desc(struct gpio_desc *desc, bool direction_may_change)
{
    std::lock_guard hold(export_lock);
    return export_locked(desc, direction_may_change);
}

void unexport_desc(struct gpio_desc *desc)
{
    if (!(desc->flags.fetch_and(~FLAG_EXPORT) & FLAG_EXPORT))
        return;
    struct device *dev = desc->sysfs_dev;
    desc->sysfs_dev = nullptr;
    auto *data = static_cast<ExportData *>(dev_get_drvdata(dev));
    // Waits for calls inside gpioN's attributes.
    device_unregister(dev);
    delete data;
}

} // namespace kern::gpio
