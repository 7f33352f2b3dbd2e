// The PWM controller: 32 channels of the co-processor as one pwm_chip on the
// platform device "quorvel-pwm". Periods, duty cycles, polarity and the
// enabled state live in the PWM core and the co-processor; each operation
// the core calls is one exchange.
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/slab.h>
#include <linux/pwm.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"

namespace {

// Sub-codes of a CMD_WRITE frame, payload byte 1.
constexpr u8 PWM_OP_POLARITY = 0xF1;
constexpr u8 PWM_OP_CONFIG = 0xF2;
constexpr u8 PWM_OP_ENABLE = 0xF4;

constexpr unsigned int QUORVEL_PWM_CHANNELS = 32;
constexpr u8 PWM_REPLY_LEN = 6;

struct quorvel_pwm_chip {
	struct pwm_chip chip;
};

// One frame for channel `pwm` out, one six-byte reply back: the check's result.
int quorvel_pwm_exchange(u8 cmd, const u8 *payload, u8 len)
{
	struct quorvel_request req = {
		.type = DEV_TYPE_PWM,
		.cmd = cmd,
		.payload = payload,
		.len = len,
		.sleep_ms = 0,
	};
	u8 rx_buf[PWM_REPLY_LEN];

	return quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
}

int quorvel_pwm_write(struct pwm_device *pwm, u8 op, u8 arg)
{
	u8 data[3] = { static_cast<u8>(pwm->hwpwm), op, arg };

	return quorvel_pwm_exchange(CMD_WRITE, data, sizeof(data));
}

void put_le32(u8 *p, int v)
{
	u32 u = static_cast<u32>(v);

	p[0] = static_cast<u8>(u);
	p[1] = static_cast<u8>(u >> 8);
	p[2] = static_cast<u8>(u >> 16);
	p[3] = static_cast<u8>(u >> 24);
}

// -1 reaches the core's caller as -EPERM.
int quorvel_pwn_request(struct pwm_chip *chip, struct pwm_device *pwm)
{
	u8 data[1] = { static_cast<u8>(pwm->hwpwm) };

	return quorvel_pwm_exchange(CMD_OPEN, data, sizeof(data)) == 0 ? 0 : -1;
}

void quorvel_pwm_free(struct pwm_chip *chip, struct pwm_device *pwm)
{
	u8 data[1] = { static_cast<u8>(pwm->hwpwm) };

	(void)quorvel_pwm_exchange(CMD_CLOSE, data, sizeof(data));
}

// Duty cycle, then period, each little-endian. A refusal or no reply is
// -EIO, so that the core does not record values the co-processor never took.
int quorvel_pwm_config(struct pwm_chip *chip, struct pwm_device *pwm, int duty_ns, int period_ns)
{
	u8 data[10] = { static_cast<u8>(pwm->hwpwm), PWM_OP_CONFIG };

	put_le32(&data[2], duty_ns);
	put_le32(&data[6], period_ns);
	return quorvel_pwm_exchange(CMD_WRITE, data, sizeof(data)) == 0 ? 0 : -EIO;
}

int quorvel_pwm_polarity(struct pwm_chip *chip, struct pwm_device *pwm, enum pwm_polarity polarity)
{
	return quorvel_pwm_write(pwm, PWM_OP_POLARITY, static_cast<u8>(polarity)) == 0 ? 0 : -1;
}

int quorvel_pwm_enable(struct pwm_chip *chip, struct pwm_device *pwm)
{
	return quorvel_pwm_write(pwm, PWM_OP_ENABLE, 1) == 0 ? 0 : -1;
}

void quorvel_pwm_disable(struct pwm_chip *chip, struct pwm_device *pwm)
{
	(void)quorvel_pwm_write(pwm, PWM_OP_ENABLE, 0);
}

const struct pwm_ops ab8500_pwm_ops = {
	.request = quorvel_pwn_request,
	.free = quorvel_pwm_free,
	.config = quorvel_pwm_config,
	.set_polarity = quorvel_pwm_polarity,
	.enable = quorvel_pwm_enable,
	.disable = quorvel_pwm_disable,
	.owner = THIS_MODULE,
};

int quorvel_pwm_probe(struct platform_device *pdev)
{
	struct quorvel_pwm_chip *pc;
	int ret;

	pc = static_cast<quorvel_pwm_chip *>(devm_kzalloc(&pdev->dev, sizeof(*pc), GFP_KERNEL));
	if (!pc)
		return -ENOMEM;
	pc->chip.dev = &pdev->dev;
	pc->chip.ops = &ab8500_pwm_ops;
	pc->chip.base = pdev->id; // -1: the core takes the first free range
	pc->chip.npwm = QUORVEL_PWM_CHANNELS;
	pc->chip.can_sleep = true;

	ret = pwmchip_add(&pc->chip);
	if (ret < 0)
		return ret;
	platform_set_drvdata(pdev, pc);
	return 0;
}

// The core refuses (-EBUSY) while a channel is exported. Only the unload
// unbinds the driver (it has no bind and unbind files), and the module
// cannot be unloaded while a channel is exported, so that does not happen.
int quorvel_pwm_remove(struct platform_device *pdev)
{
	auto *pc = static_cast<quorvel_pwm_chip *>(platform_get_drvdata(pdev));
	int ret = pwmchip_remove(&pc->chip);

	return ret > 0 ? 0 : ret;
}

// The device is static: nothing to free when it goes.
void quorvel_pwm_gpio_release(struct device *dev) {}

struct platform_device quorvel_pwm_device = {
	.name = "quorvel-pwm",
	.id = PLATFORM_DEVID_NONE,
	.dev = { .release = quorvel_pwm_gpio_release },
};

// No unbind through sysfs: with a channel exported the core keeps the chip,
// whose memory would go with the unbound device.
struct platform_driver quorvel_pwm_driver = {
	.probe = quorvel_pwm_probe,
	.remove = quorvel_pwm_remove,
	.driver = { .name = "quorvel-pwm", .owner = THIS_MODULE, .suppress_bind_attrs = true },
};

} // namespace

int quorvel_linux_pwm_init(void) { return quorvel_platform_start(&quorvel_pwm_device, &quorvel_pwm_driver); }

void quorvel_linux_pwm_exit(void) { quorvel_platform_stop(&quorvel_pwm_device, &quorvel_pwm_driver); }
