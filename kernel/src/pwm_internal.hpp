#pragma once
// Shared by the PWM core (pwm_core.cpp) and its sysfs interface (pwm_sysfs.cpp).
#include <linux/pwm.h>

namespace kern::pwm {

// The record behind pwm_chip::kernel_private while the chip is added.
struct ChipCore {
    struct device *sysfs_dev = nullptr; // /sys/class/pwm/pwmchip<base>, or null if it could not be made
    bool removing = false;              // pwmchip_remove has begun: no channel may be requested
};

// The chip's directory under /sys/class/pwm, made at pwmchip_add and taken
// away at pwmchip_remove. Making it may fail; the chip works without it, as
// on Linux, with a message in the log.
void sysfs_export_chip(struct pwm_chip *chip);
void sysfs_unexport_chip(struct pwm_chip *chip);

// config with the duty cycle or the period the channel has now, read under
// the channel's lock so that two writers cannot lose each other's value.
int config_period(struct pwm_device *pwm, int period_ns);
int config_duty(struct pwm_device *pwm, int duty_ns);

} // namespace kern::pwm
