// The GPIO controller: the co-processor's 48 pins as lines 200..247 of one
// gpio_chip, "quorvel-gpio". The chip keeps no pin state: every callback is
// one exchange, and the co-processor alone knows directions and levels.
#include <linux/gpio/driver.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/quorvel.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/sysfs.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"

namespace {

// Sub-codes of a CMD_WRITE frame, payload byte 1.
constexpr u8 GPIO_OP_OUTPUT = 1;
constexpr u8 GPIO_OP_INPUT = 2;
constexpr u8 GPIO_OP_SET_VALUE = 3;

// Every GPIO reply is a frame with a one-byte payload.
constexpr u8 GPIO_REPLY_LEN = 6;

struct virt_gpio_plat_data_s {
	int base_gpio;
	int gpio_num;
};

const struct virt_gpio_plat_data_s virt_gpio_data = {
	.base_gpio = QUORVEL_GPIO_BASE,
	.gpio_num = QUORVEL_PIN_COUNT,
};

// One per bound device, freed when the driver unbinds. The shadow words are
// shown in sysfs only; the callbacks never read them.
struct virt_gpio_chip_s {
	spinlock_t reg_lock; // taken by nothing: each callback is one exchange under uart_mutex
	u64 gpio_dir;
	u64 gpio_in; // the one word a program may write
	u64 gpio_out;
	u64 gpio_irq;
	struct gpio_chip chip;
};

// One frame out, one six-byte reply back: the check's result.
int virt_gpio_exchange(u8 cmd, const u8 *payload, u8 len, u8 *rx_buf)
{
	struct quorvel_request req = {
		.type = DEV_TYPE_GPIO,
		.cmd = cmd,
		.payload = payload,
		.len = len,
		.sleep_ms = 0,
	};

	return quorvel_exchange(&req, rx_buf, GPIO_REPLY_LEN);
}

int virt_gpio_write(unsigned offset, u8 op, int value)
{
	u8 _data[3] = { static_cast<u8>(offset), op, static_cast<u8>(value) };
	u8 rx_buf[GPIO_REPLY_LEN];

	return virt_gpio_exchange(CMD_WRITE, _data, sizeof(_data), rx_buf) == 0 ? 0 : -EINVAL;
}

// The co-processor's status is not consulted: only a malformed reply (or
// none) refuses the line.
int virt_gpio_request(struct gpio_chip *chip, unsigned offset)
{
	u8 _data[1] = { static_cast<u8>(offset) };
	u8 rx_buf[GPIO_REPLY_LEN];
	int ret = virt_gpio_exchange(CMD_OPEN, _data, sizeof(_data), rx_buf);

	for (u8 b : rx_buf)
		printk("%x ", b);
	return ret < 0 ? -EINVAL : 0;
}

void virt_gpio_free(struct gpio_chip *chip, unsigned offset)
{
	u8 _data[1] = { static_cast<u8>(offset) };
	u8 rx_buf[GPIO_REPLY_LEN];

	(void)virt_gpio_exchange(CMD_CLOSE, _data, sizeof(_data), rx_buf);
}

int virt_gpio_direction_input(struct gpio_chip *chip, unsigned offset)
{
	return virt_gpio_write(offset, GPIO_OP_INPUT, 0);
}

int virt_gpio_direction_output(struct gpio_chip *chip, unsigned offset, int value)
{
	return virt_gpio_write(offset, GPIO_OP_OUTPUT, value);
}

// The level as the co-processor gives it, 0..255; the GPIO core makes it 0 or 1.
int virt_gpio_get(struct gpio_chip *chip, unsigned offset)
{
	u8 _data[1] = { static_cast<u8>(offset) };
	u8 rx_buf[GPIO_REPLY_LEN];

	if (virt_gpio_exchange(CMD_READ, _data, sizeof(_data), rx_buf) != 0)
		return -EINVAL;
	return rx_buf[3];
}

// set returns nothing to the core: a refused or lost frame goes unreported.
void virt_gpio_set(struct gpio_chip *chip, unsigned offset, int value)
{
	(void)virt_gpio_write(offset, GPIO_OP_SET_VALUE, value);
}

struct virt_gpio_chip_s *virt_gpio_of(struct device *dev)
{
	return static_cast<virt_gpio_chip_s *>(dev_get_drvdata(dev));
}

ssize_t vgpio_dir_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	return snprintf(buf, PAGE_SIZE, "%lld\n", static_cast<long long>(virt_gpio_of(dev)->gpio_dir));
}

ssize_t vgpio_in_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	return snprintf(buf, PAGE_SIZE, "%lld\n", static_cast<long long>(READ_ONCE(virt_gpio_of(dev)->gpio_in)));
}

// Decimal digits up to the first other character; junk or nothing reads as
// 0, and the whole write counts as taken.
ssize_t vgpio_in_store(struct device *dev, struct device_attribute *attr, const char *buf, size_t count)
{
	u64 value = 0;

	for (size_t i = 0; i < count && buf[i] >= '0' && buf[i] <= '9'; i++)
		value = value * 10 + static_cast<u64>(buf[i] - '0');
	WRITE_ONCE(virt_gpio_of(dev)->gpio_in, value);
	return static_cast<ssize_t>(count);
}

ssize_t vgpio_out_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	return snprintf(buf, PAGE_SIZE, "%lld\n", static_cast<long long>(virt_gpio_of(dev)->gpio_out));
}

struct device_attribute dev_attr_vgpio_dir = __ATTR(vgpio_dir, 0400, vgpio_dir_show, nullptr);
struct device_attribute dev_attr_vgpio_in = __ATTR(vgpio_in, 0600, vgpio_in_show, vgpio_in_store);
struct device_attribute dev_attr_vgpio_out = __ATTR(vgpio_out, 0400, vgpio_out_show, nullptr);

struct attribute *virt_gpio_attrs[] = {
	&dev_attr_vgpio_dir.attr,
	&dev_attr_vgpio_in.attr,
	&dev_attr_vgpio_out.attr,
	nullptr,
};

const struct attribute_group virt_gpio_attr_group = {
	.attrs = virt_gpio_attrs,
};

int quorvel_gpio_probe(struct platform_device *pdev)
{
	const auto *pdata = static_cast<const virt_gpio_plat_data_s *>(dev_get_platdata(&pdev->dev));
	struct virt_gpio_chip_s *vchip;
	int ret;

	vchip = static_cast<virt_gpio_chip_s *>(devm_kzalloc(&pdev->dev, sizeof(*vchip), GFP_KERNEL));
	if (!vchip)
		return -ENOMEM;
	platform_set_drvdata(pdev, vchip);

	vchip->chip.label = dev_name(&pdev->dev);
	vchip->chip.parent = &pdev->dev;
	vchip->chip.owner = THIS_MODULE;
	vchip->chip.request = virt_gpio_request;
	vchip->chip.free = virt_gpio_free;
	vchip->chip.direction_input = virt_gpio_direction_input;
	vchip->chip.direction_output = virt_gpio_direction_output;
	vchip->chip.get = virt_gpio_get;
	vchip->chip.set = virt_gpio_set;
	vchip->chip.base = pdata->base_gpio;
	vchip->chip.ngpio = static_cast<u16>(pdata->gpio_num);
	vchip->chip.can_sleep = true;
	spin_lock_init(&vchip->reg_lock);

	ret = gpiochip_add_data(&vchip->chip, nullptr);
	if (ret)
		return ret;
	// The lines work without the shadow words' files: not worth failing for.
	if (sysfs_create_group(&pdev->dev.kobj, &virt_gpio_attr_group))
		printk("quorvel-gpio: no vgpio attributes\n");
	return 0;
}

int quorvel_gpio_remove(struct platform_device *pdev)
{
	auto *vchip = static_cast<virt_gpio_chip_s *>(platform_get_drvdata(pdev));

	gpiochip_remove(&vchip->chip);
	sysfs_remove_group(&pdev->dev.kobj, &virt_gpio_attr_group);
	return 0;
}

// The device is static: nothing to free when it goes.
void quorvel_pwm_gpio_release(struct device *dev) {}

struct platform_device quorvel_gpio_device =
	quorvel_platform_device("quorvel-gpio", PLATFORM_DEVID_NONE, quorvel_pwm_gpio_release,
				const_cast<virt_gpio_plat_data_s *>(&virt_gpio_data));

struct platform_driver quorvel_gpio_driver =
	quorvel_platform_driver("quorvel-gpio", quorvel_gpio_probe, quorvel_gpio_remove);

} // namespace

int quorvel_linux_gpio_init(void) { return quorvel_platform_start(&quorvel_gpio_device, &quorvel_gpio_driver); }

void quorvel_linux_gpio_exit(void) { quorvel_platform_stop(&quorvel_gpio_device, &quorvel_gpio_driver); }
