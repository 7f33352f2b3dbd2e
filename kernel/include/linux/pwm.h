#pragma once
// The PWM core as a PWM chip's driver sees it: the chip and its channels, the
// per-operation callbacks the core calls (request, free, config,
// set_polarity, enable, disable), and the consumer calls that lead to them.
#include <linux/types.h>
#include <linux/mutex.h>

struct device;
struct module;
struct pwm_chip;

enum pwm_polarity {
	PWM_POLARITY_NORMAL,
	PWM_POLARITY_INVERSED,
};

// Bits of pwm_device::flags.
enum {
	PWMF_REQUESTED = 1 << 0,
	PWMF_ENABLED = 1 << 1,
	PWMF_EXPORTED = 1 << 2,
};

// One channel. period and duty_cycle (nanoseconds) and polarity are what the
// driver last accepted; the core records them only when its callback returns 0.
struct pwm_device {
	const char *label;
	unsigned long flags;
	unsigned int hwpwm; // index within the chip
	unsigned int pwm;   // number in the global space
	struct pwm_chip *chip;
	void *chip_data;
	struct mutex lock; // serialises enable, disable, config and polarity changes

	unsigned int period;
	unsigned int duty_cycle;
	enum pwm_polarity polarity;
};

// The driver's callbacks. config, enable and disable are required; request,
// free and set_polarity may be left out (a chip without set_polarity refuses
// polarity changes with -ENOSYS).
struct pwm_ops {
	int (*request)(struct pwm_chip *chip, struct pwm_device *pwm);
	void (*free)(struct pwm_chip *chip, struct pwm_device *pwm);
	int (*config)(struct pwm_chip *chip, struct pwm_device *pwm, int duty_ns, int period_ns);
	int (*set_polarity)(struct pwm_chip *chip, struct pwm_device *pwm, enum pwm_polarity polarity);
	int (*enable)(struct pwm_chip *chip, struct pwm_device *pwm);
	void (*disable)(struct pwm_chip *chip, struct pwm_device *pwm);
	struct module *owner;
};

// base: the first number in the global space, or -1 for the core to choose
// the lowest free range. The chip's sysfs directory is pwmchip<base>.
struct pwm_chip {
	struct device *dev;
	const struct pwm_ops *ops;
	int base;
	unsigned int npwm;
	struct pwm_device *pwms; // the core's, from pwmchip_add to pwmchip_remove
	bool can_sleep;
	void *kernel_private; // the core's record while added
};

extern "C" {
int pwmchip_add(struct pwm_chip *chip);
// -EBUSY while any channel is requested (exported through sysfs included).
int pwmchip_remove(struct pwm_chip *chip);

// The consumer's side, as sysfs uses it.
struct pwm_device *pwm_request_from_chip(struct pwm_chip *chip, unsigned int index, const char *label);
void pwm_put(struct pwm_device *pwm);
int pwm_config(struct pwm_device *pwm, int duty_ns, int period_ns);
int pwm_set_polarity(struct pwm_device *pwm, enum pwm_polarity polarity);
int pwm_enable(struct pwm_device *pwm);
void pwm_disable(struct pwm_device *pwm);
}

static inline bool pwm_is_enabled(const struct pwm_device *pwm)
{
	return __atomic_load_n(&pwm->flags, __ATOMIC_RELAXED) & PWMF_ENABLED;
}
// Read without the channel's lock, as sysfs reads them while another
// program's write changes them: each value once, old or new.
static inline unsigned int pwm_get_period(const struct pwm_device *pwm)
{
	return pwm ? __atomic_load_n(&pwm->period, __ATOMIC_RELAXED) : 0;
}
static inline unsigned int pwm_get_duty_cycle(const struct pwm_device *pwm)
{
	return pwm ? __atomic_load_n(&pwm->duty_cycle, __ATOMIC_RELAXED) : 0;
}
static inline enum pwm_polarity pwm_get_polarity(const struct pwm_device *pwm)
{
	return pwm ? __atomic_load_n(&pwm->polarity, __ATOMIC_RELAXED) : PWM_POLARITY_NORMAL;
}
static inline void pwm_set_chip_data(struct pwm_device *pwm, void *data) { pwm->chip_data = data; }
static inline void *pwm_get_chip_data(struct pwm_device *pwm) { return pwm->chip_data; }
static inline bool pwm_can_sleep(const struct pwm_device *pwm) { return pwm->chip->can_sleep; }
