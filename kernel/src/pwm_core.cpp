// The PWM core: chips and their channels in one global number space, and the
// calls that reach a chip's driver, made as Linux 4.4's core makes them (its
// per-operation callbacks, not the later apply()).
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/module.h>
#include <linux/printk.h>
#include <linux/pwm.h>
#include <linux/slab.h>

#include "fault_inject.hpp"
#include "pwm_internal.hpp"

#include <bitset>
#include <mutex>

namespace {

constexpr unsigned max_pwms = 1024;

std::mutex pwm_lock;             // the number space and every chip's requested flags
std::bitset<max_pwms> allocated; // pwm_lock
// The flags are changed under two locks (requested under pwm_lock, enabled
// under the channel's), so each change is one atomic operation.
void set_flag(struct pwm_device *pwm, unsigned long bit) { __atomic_fetch_or(&pwm->flags, bit, __ATOMIC_RELAXED); }
void clear_flag(struct pwm_device *pwm, unsigned long bit) { __atomic_fetch_and(&pwm->flags, ~bit, __ATOMIC_RELAXED); }
bool test_flag(const struct pwm_device *pwm, unsigned long bit)
{
    return __atomic_load_n(&pwm->flags, __ATOMIC_RELAXED) & bit;
}

kern::pwm::ChipCore *core_of(const struct pwm_chip *chip)
{
    return static_cast<kern::pwm::ChipCore *>(chip->kernel_private);
}

// The first number of a free range of `count`: at `base` if it is given
// (-EEXIST if that range is taken), else the lowest that fits.
int alloc_pwms(int base, unsigned count)
{
    if (base >= static_cast<int>(max_pwms))
        return -EINVAL;
    unsigned start = base >= 0 ? static_cast<unsigned>(base) : 0;
    for (; start + count <= max_pwms; ++start) {
        unsigned i = 0;
        while (i < count && !allocated[start + i])
            ++i;
        if (i == count)
            break;
        if (base >= 0)
            return -EEXIST;
    }
    if (start + count > max_pwms)
        return -ENOSPC;
    return static_cast<int>(start);
}

} // namespace

namespace kern::pwm {

int config_period(struct pwm_device *pwm, int period_ns)
{
    mutex_lock(&pwm->lock);
    int duty = static_cast<int>(pwm->duty_cycle);
    mutex_unlock(&pwm->lock);
    return pwm_config(pwm, duty, period_ns);
}

int config_duty(struct pwm_device *pwm, int duty_ns)
{
    mutex_lock(&pwm->lock);
    int period = static_cast<int>(pwm->period);
    mutex_unlock(&pwm->lock);
    return pwm_config(pwm, duty_ns, period);
}

} // namespace kern::pwm

extern "C" {

int pwmchip_add(struct pwm_chip *chip)
{
    if (!chip || !chip->dev || !chip->ops || !chip->ops->config || !chip->ops->enable || !chip->ops->disable ||
        !chip->npwm)
        return -EINVAL;
    if (kern::should_fail("pwmchip_add"))
        return -ENOMEM;

    auto *pwms = static_cast<struct pwm_device *>(kcalloc(chip->npwm, sizeof(struct pwm_device), GFP_KERNEL));
    if (!pwms)
        return -ENOMEM;
    int base;
    {
        std::lock_guard hold(pwm_lock);
        base = alloc_pwms(chip->base, chip->npwm);
        if (base >= 0)
            for (unsigned i = 0; i < chip->npwm; ++i)
                allocated.set(base + i);
    }
    if (base < 0) {
        kfree(pwms);
        return base;
    }
    chip->base = base;
    for (unsigned i = 0; i < chip->npwm; ++i) {
        struct pwm_device *pwm = &pwms[i];
        pwm->chip = chip;
        pwm->pwm = base + i;
        pwm->hwpwm = i;
        pwm->polarity = PWM_POLARITY_NORMAL;
        mutex_init(&pwm->lock);
    }
    chip->pwms = pwms;
    chip->kernel_private = new kern::pwm::ChipCore{};
    kern::pwm::sysfs_export_chip(chip);
    return 0;
}

int pwmchip_remove(struct pwm_chip *chip)
{
    if (!chip || !core_of(chip))
        return -EINVAL;
    kern::pwm::ChipCore *core = core_of(chip);
    {
        std::lock_guard hold(pwm_lock);
        for (unsigned i = 0; i < chip->npwm; ++i)
            if (test_flag(&chip->pwms[i], PWMF_REQUESTED))
                return -EBUSY;
        core->removing = true;
        for (unsigned i = 0; i < chip->npwm; ++i)
            allocated.reset(chip->base + i);
    }
    // Outside the lock: taking the directory away waits for calls in its
    // files, which take the lock.
    kern::pwm::sysfs_unexport_chip(chip);
    for (unsigned i = 0; i < chip->npwm; ++i)
        mutex_destroy(&chip->pwms[i].lock);
    kfree(chip->pwms);
    chip->pwms = nullptr;
    chip->kernel_private = nullptr;
    delete core;
    return 0;
}

struct pwm_device *pwm_request_from_chip(struct pwm_chip *chip, unsigned int index, const char *label)
{
    if (!chip || !core_of(chip) || index >= chip->npwm)
        return ERR_PTR<struct pwm_device>(-EINVAL);
    std::lock_guard hold(pwm_lock);
    if (core_of(chip)->removing)
        return ERR_PTR<struct pwm_device>(-ENODEV);
    struct pwm_device *pwm = &chip->pwms[index];
    if (test_flag(pwm, PWMF_REQUESTED))
        return ERR_PTR<struct pwm_device>(-EBUSY);
    if (!try_module_get(chip->ops->owner))
        return ERR_PTR<struct pwm_device>(-ENODEV);
    if (chip->ops->request) {
        if (int err = chip->ops->request(chip, pwm)) {
            module_put(chip->ops->owner);
            return ERR_PTR<struct pwm_device>(err);
        }
    }
    set_flag(pwm, PWMF_REQUESTED);
    pwm->label = label;
    return pwm;
}

// As 4.4, freeing leaves the channel as it is (enabled, if it was): only
// free() is called.
void pwm_put(struct pwm_device *pwm)
{
    if (!pwm)
        return;
    std::lock_guard hold(pwm_lock);
    if (!(test_flag(pwm, PWMF_REQUESTED))) {
        printk(KERN_WARNING "PWM device already freed\n");
        return;
    }
    clear_flag(pwm, PWMF_REQUESTED);
    if (pwm->chip->ops->free)
        pwm->chip->ops->free(pwm->chip, pwm);
    pwm->label = nullptr;
    module_put(pwm->chip->ops->owner);
}

int pwm_config(struct pwm_device *pwm, int duty_ns, int period_ns)
{
    if (!pwm || duty_ns < 0 || period_ns <= 0 || duty_ns > period_ns)
        return -EINVAL;
    mutex_lock(&pwm->lock);
    int err = pwm->chip->ops->config(pwm->chip, pwm, duty_ns, period_ns);
    if (!err) { // read without the lock by pwm_get_period and pwm_get_duty_cycle
        __atomic_store_n(&pwm->duty_cycle, static_cast<unsigned int>(duty_ns), __ATOMIC_RELAXED);
        __atomic_store_n(&pwm->period, static_cast<unsigned int>(period_ns), __ATOMIC_RELAXED);
    }
    mutex_unlock(&pwm->lock);
    return err;
}

int pwm_set_polarity(struct pwm_device *pwm, enum pwm_polarity polarity)
{
    if (!pwm || !pwm->chip->ops)
        return -EINVAL;
    if (!pwm->chip->ops->set_polarity)
        return -ENOSYS;
    mutex_lock(&pwm->lock);
    int err = -EBUSY;
    if (!test_flag(pwm, PWMF_ENABLED)) {
        err = pwm->chip->ops->set_polarity(pwm->chip, pwm, polarity);
        if (!err)
            __atomic_store_n(&pwm->polarity, polarity, __ATOMIC_RELAXED);
    }
    mutex_unlock(&pwm->lock);
    return err;
}

// Enabling an enabled channel, or disabling a disabled one, does not reach
// the driver.
int pwm_enable(struct pwm_device *pwm)
{
    if (!pwm)
        return -EINVAL;
    int err = 0;
    mutex_lock(&pwm->lock);
    if (!test_flag(pwm, PWMF_ENABLED)) {
        set_flag(pwm, PWMF_ENABLED);
        err = pwm->chip->ops->enable(pwm->chip, pwm);
        if (err)
            clear_flag(pwm, PWMF_ENABLED);
    }
    mutex_unlock(&pwm->lock);
    return err;
}

void pwm_disable(struct pwm_device *pwm)
{
    if (!pwm)
        return;
    mutex_lock(&pwm->lock);
    if (test_flag(pwm, PWMF_ENABLED)) {
        clear_flag(pwm, PWMF_ENABLED);
        pwm->chip->ops->disable(pwm->chip, pwm);
    }
    mutex_unlock(&pwm->lock);
}

} // extern "C"
