// The PWM core's sysfs interface, as Linux 4.4 has it: /sys/class/pwm/
// pwmchip<base>/ with export, unexport and npwm, and for each exported
// channel a directory pwm<index>/ with period, duty_cycle, polarity and
// enable. Every write goes through the core's calls, with their checks,
// before the driver is asked.
#include <linux/device.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/pwm.h>
#include <linux/slab.h>

#include "pwm_internal.hpp"

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// A channel's directory: a device under the chip's, freed at its last put.
struct pwm_export {
    struct device child;
    struct pwm_device *pwm;
};

struct pwm_export *export_of(struct device *dev) { return reinterpret_cast<struct pwm_export *>(dev); }
struct pwm_device *child_to_pwm(struct device *dev) { return export_of(dev)->pwm; }
struct pwm_chip *chip_of(struct device *dev) { return static_cast<struct pwm_chip *>(dev_get_drvdata(dev)); }

bool test_and_set_exported(struct pwm_device *pwm)
{
    return __atomic_fetch_or(&pwm->flags, PWMF_EXPORTED, __ATOMIC_ACQ_REL) & PWMF_EXPORTED;
}
bool test_and_clear_exported(struct pwm_device *pwm)
{
    return __atomic_fetch_and(&pwm->flags, ~static_cast<unsigned long>(PWMF_EXPORTED), __ATOMIC_ACQ_REL) &
           PWMF_EXPORTED;
}

ssize_t period_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%u\n", pwm_get_period(child_to_pwm(dev)));
}
// The value is taken as 4.4 takes it: unsigned, then handed on as int, so
// that one above INT_MAX is refused by the core's check.
ssize_t period_store(struct device *dev, struct device_attribute *, const char *buf, size_t size)
{
    unsigned val;
    if (int err = kstrtouint(buf, 0, &val))
        return err;
    int err = kern::pwm::config_period(child_to_pwm(dev), static_cast<int>(val));
    return err ? err : static_cast<ssize_t>(size);
}

ssize_t duty_cycle_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%u\n", pwm_get_duty_cycle(child_to_pwm(dev)));
}
ssize_t duty_cycle_store(struct device *dev, struct device_attribute *, const char *buf, size_t size)
{
    unsigned val;
    if (int err = kstrtouint(buf, 0, &val))
        return err;
    int err = kern::pwm::config_duty(child_to_pwm(dev), static_cast<int>(val));
    return err ? err : static_cast<ssize_t>(size);
}

ssize_t enable_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%d\n", pwm_is_enabled(child_to_pwm(dev)));
}
ssize_t enable_store(struct device *dev, struct device_attribute *, const char *buf, size_t size)
{
    int val;
    if (int err = kstrtoint(buf, 0, &val))
        return err;
    int err = 0;
    switch (val) {
    case 0:
        pwm_disable(child_to_pwm(dev));
        break;
    case 1:
        err = pwm_enable(child_to_pwm(dev));
        break;
    default:
        err = -EINVAL;
    }
    return err ? err : static_cast<ssize_t>(size);
}

ssize_t polarity_show(struct device *dev, struct device_attribute *, char *buf)
{
    bool inversed = pwm_get_polarity(child_to_pwm(dev)) == PWM_POLARITY_INVERSED;
    return snprintf(buf, PAGE_SIZE, "%s\n", inversed ? "inversed" : "normal");
}
ssize_t polarity_store(struct device *dev, struct device_attribute *, const char *buf, size_t size)
{
    enum pwm_polarity polarity;
    if (sysfs_streq(buf, "inversed"))
        polarity = PWM_POLARITY_INVERSED;
    else if (sysfs_streq(buf, "normal"))
        polarity = PWM_POLARITY_NORMAL;
    else
        return -EINVAL;
    int err = pwm_set_polarity(child_to_pwm(dev), polarity);
    return err ? err : static_cast<ssize_t>(size);
}

DEVICE_ATTR_RW(period);
DEVICE_ATTR_RW(duty_cycle);
DEVICE_ATTR_RW(enable);
DEVICE_ATTR_RW(polarity);

struct attribute *pwm_attrs[] = {
    &dev_attr_period.attr, &dev_attr_duty_cycle.attr, &dev_attr_enable.attr, &dev_attr_polarity.attr, nullptr,
};
ATTRIBUTE_GROUPS(pwm);

void pwm_export_release(struct device *child) { kfree(export_of(child)); }

int pwm_export_child(struct device *parent, struct pwm_device *pwm)
{
    if (test_and_set_exported(pwm))
        return -EBUSY;
    auto *exp = static_cast<struct pwm_export *>(kzalloc(sizeof(struct pwm_export), GFP_KERNEL));
    if (!exp) {
        test_and_clear_exported(pwm);
        return -ENOMEM;
    }
    exp->pwm = pwm;
    exp->child.release = pwm_export_release;
    exp->child.parent = parent;
    exp->child.groups = pwm_groups;
    dev_set_name(&exp->child, "pwm%u", pwm->hwpwm);
    if (int err = device_register(&exp->child)) {
        test_and_clear_exported(pwm);
        put_device(&exp->child);
        return err;
    }
    return 0;
}

// The export device of each channel, found by its name under the chip's.
int match_export(struct device *dev, void *data)
{
    return dev->release == pwm_export_release && export_of(dev)->pwm == data;
}
struct device *find_export(struct device *parent, struct pwm_device *pwm)
{
    struct device *found = nullptr;
    struct Find {
        struct pwm_device *pwm;
        struct device **found;
    } find{pwm, &found};
    device_for_each_child(parent, &find, [](struct device *dev, void *data) {
        auto *f = static_cast<Find *>(data);
        if (!match_export(dev, f->pwm))
            return 0;
        *f->found = get_device(dev);
        return 1;
    });
    return found;
}

int pwm_unexport_child(struct device *parent, struct pwm_device *pwm)
{
    if (!test_and_clear_exported(pwm))
        return -ENODEV;
    struct device *child = find_export(parent, pwm);
    if (!child)
        return -ENODEV;
    device_unregister(child);
    put_device(child);
    return 0;
}

ssize_t export_store(struct device *parent, struct device_attribute *, const char *buf, size_t len)
{
    struct pwm_chip *chip = chip_of(parent);
    unsigned hwpwm;
    if (int err = kstrtouint(buf, 0, &hwpwm))
        return err;
    if (hwpwm >= chip->npwm)
        return -ENODEV;
    struct pwm_device *pwm = pwm_request_from_chip(chip, hwpwm, "sysfs");
    if (IS_ERR(pwm))
        return PTR_ERR(pwm);
    if (int err = pwm_export_child(parent, pwm)) {
        pwm_put(pwm);
        return err;
    }
    return static_cast<ssize_t>(len);
}

ssize_t unexport_store(struct device *parent, struct device_attribute *, const char *buf, size_t len)
{
    struct pwm_chip *chip = chip_of(parent);
    unsigned hwpwm;
    if (int err = kstrtouint(buf, 0, &hwpwm))
        return err;
    if (hwpwm >= chip->npwm)
        return -ENODEV;
    struct pwm_device *pwm = &chip->pwms[hwpwm];
    if (int err = pwm_unexport_child(parent, pwm))
        return err;
    pwm_put(pwm);
    return static_cast<ssize_t>(len);
}

ssize_t npwm_show(struct device *parent, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%u\n", chip_of(parent)->npwm);
}

DEVICE_ATTR_WO(export);
DEVICE_ATTR_WO(unexport);
DEVICE_ATTR_RO(npwm);

struct attribute *pwm_chip_attrs[] = {
    &dev_attr_export.attr,
    &dev_attr_unexport.attr,
    &dev_attr_npwm.attr,
    nullptr,
};
ATTRIBUTE_GROUPS(pwm_chip);

struct device_class pwm_class = {
    .name = "pwm",
    .dev_groups = pwm_chip_groups,
};

// The class exists from the first chip on, as from boot on Linux, and is
// never taken away.
bool pwm_class_ready()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        ready = class_register(&pwm_class) == 0;
        if (!ready)
            printk(KERN_ERR "pwm: cannot register the pwm class\n");
    });
    return ready;
}

} // namespace

namespace kern::pwm {

void sysfs_export_chip(struct pwm_chip *chip)
{
    if (!pwm_class_ready())
        return;
    struct device *dev = device_create(&pwm_class, chip->dev, MKDEV(0, 0), chip, "pwmchip%d", chip->base);
    if (IS_ERR(dev)) {
        dev_warn(chip->dev, "device_create failed for pwm_chip sysfs export\n");
        return;
    }
    static_cast<ChipCore *>(chip->kernel_private)->sysfs_dev = dev;
}

void sysfs_unexport_chip(struct pwm_chip *chip)
{
    auto *core = static_cast<ChipCore *>(chip->kernel_private);
    if (!core->sysfs_dev)
        return;
    device_unregister(core->sysfs_dev);
    core->sysfs_dev = nullptr;
}

} // namespace kern::pwm
