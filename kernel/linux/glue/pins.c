// SPDX-License-Identifier: GPL-2.0
/*
 * The pin cores: GPIO chips, PWM chips and IIO devices. The module's chip or
 * device keeps its own layout; the glue registers a kernel one in its place
 * whose callbacks pass each call on to the module's, with the module's chip
 * and channel. Where 6.1 calls a chip differently from 4.4, the glue gives
 * the module 4.4's calls (docs/backends.md lists each case).
 */
#include <linux/delay.h>
#include <linux/device.h>
#include <linux/gpio/driver.h>
#include <linux/iio/iio.h>
#include <linux/jiffies.h>
#include <linux/kernel.h>
#include <linux/mutex.h>
#include <linux/pwm.h>
#include <linux/slab.h>

#include "qk.h"

/* ---- GPIO ------------------------------------------------------------- */

struct qk_gpio {
	struct gpio_chip real;
	struct qk_gpio_chip *mod;
	bool adding;
};

static struct qk_gpio *qk_gpio_of(struct gpio_chip *gc) { return gpiochip_get_data(gc); }

static int qk_gpio_request(struct gpio_chip *gc, unsigned int offset)
{
	struct qk_gpio_chip *mod = qk_gpio_of(gc)->mod;

	return mod->request ? mod->request(mod, offset) : 0;
}

static void qk_gpio_free(struct gpio_chip *gc, unsigned int offset)
{
	struct qk_gpio_chip *mod = qk_gpio_of(gc)->mod;

	if (mod->free)
		mod->free(mod, offset);
}

/*
 * 6.1 asks every line's direction while the chip is being added; 4.4 did
 * not ask, and took every line for an input when the chip can make one.
 */
static int qk_gpio_get_direction(struct gpio_chip *gc, unsigned int offset)
{
	struct qk_gpio *g = qk_gpio_of(gc);

	if (READ_ONCE(g->adding))
		return g->mod->direction_input ? GPIO_LINE_DIRECTION_IN : GPIO_LINE_DIRECTION_OUT;
	return g->mod->get_direction(g->mod, offset);
}

static int qk_gpio_direction_input(struct gpio_chip *gc, unsigned int offset)
{
	struct qk_gpio_chip *mod = qk_gpio_of(gc)->mod;

	return mod->direction_input(mod, offset);
}

static int qk_gpio_direction_output(struct gpio_chip *gc, unsigned int offset, int value)
{
	struct qk_gpio_chip *mod = qk_gpio_of(gc)->mod;

	return mod->direction_output(mod, offset, value);
}

static int qk_gpio_get(struct gpio_chip *gc, unsigned int offset)
{
	struct qk_gpio_chip *mod = qk_gpio_of(gc)->mod;

	return mod->get(mod, offset);
}

static void qk_gpio_set(struct gpio_chip *gc, unsigned int offset, int value)
{
	struct qk_gpio_chip *mod = qk_gpio_of(gc)->mod;

	mod->set(mod, offset, value);
}

static void qk_gpio_set_multiple(struct gpio_chip *gc, unsigned long *mask, unsigned long *bits)
{
	struct qk_gpio_chip *mod = qk_gpio_of(gc)->mod;

	mod->set_multiple(mod, mask, bits);
}

int qk_gpiochip_add_data(struct qk_gpio_chip *mod, void *data)
{
	struct qk_gpio *g = kzalloc(sizeof(*g), GFP_KERNEL);
	int ret;

	if (!g)
		return -ENOMEM;
	g->mod = mod;
	g->real.label = mod->label;
	g->real.parent = qk_real_device(mod->parent);
	g->real.owner = THIS_MODULE;
	g->real.request = qk_gpio_request;
	g->real.free = qk_gpio_free;
	g->real.get_direction = mod->get_direction ? qk_gpio_get_direction : NULL;
	g->real.direction_input = mod->direction_input ? qk_gpio_direction_input : NULL;
	g->real.direction_output = mod->direction_output ? qk_gpio_direction_output : NULL;
	g->real.get = mod->get ? qk_gpio_get : NULL;
	g->real.set = mod->set ? qk_gpio_set : NULL;
	g->real.set_multiple = mod->set_multiple ? qk_gpio_set_multiple : NULL;
	g->real.base = mod->base;
	g->real.ngpio = mod->ngpio;
	g->real.names = mod->names;
	g->real.can_sleep = mod->can_sleep;
	mod->data = data;
	mod->desc = g;
	g->adding = true;
	ret = gpiochip_add_data(&g->real, g);
	WRITE_ONCE(g->adding, false);
	if (ret) {
		mod->desc = NULL;
		kfree(g);
		return ret;
	}
	mod->base = g->real.base;
	return 0;
}

int qk_gpiochip_add(struct qk_gpio_chip *mod) { return qk_gpiochip_add_data(mod, NULL); }

void qk_gpiochip_remove(struct qk_gpio_chip *mod)
{
	struct qk_gpio *g = mod->desc;

	if (WARN(!g, "quorvel: GPIO chip %s removed but not added\n", mod->label))
		return;
	gpiochip_remove(&g->real);
	mod->desc = NULL;
	kfree(g);
}

void *qk_gpiochip_get_data(struct qk_gpio_chip *mod) { return mod->data; }

const char *qk_gpiochip_is_requested(struct qk_gpio_chip *mod, unsigned int offset)
{
	struct qk_gpio *g = mod->desc;

	return g ? gpiochip_is_requested(&g->real, offset) : NULL;
}

/* ---- PWM -------------------------------------------------------------- */

/*
 * 6.1's core applies a whole state; the module's chip has 4.4's separate
 * operations. apply() makes of each state change the calls 4.4's core made
 * for the sysfs write that caused it, with 4.4's checks, and records what
 * the module accepted in its channel as 4.4's core did.
 */
struct qk_pwm {
	struct pwm_chip real;
	struct qk_pwm_chip *mod;
};

static struct qk_pwm_chip *qk_pwm_mod(struct pwm_chip *chip) { return container_of(chip, struct qk_pwm, real)->mod; }

static int qk_pwm_request(struct pwm_chip *chip, struct pwm_device *pwm)
{
	struct qk_pwm_chip *mod = qk_pwm_mod(chip);
	struct qk_pwm_device *p = &mod->pwms[pwm->hwpwm];
	int ret = mod->ops->request ? mod->ops->request(mod, p) : 0;

	if (!ret)
		p->flags |= QK_PWMF_REQUESTED;
	return ret;
}

static void qk_pwm_free(struct pwm_chip *chip, struct pwm_device *pwm)
{
	struct qk_pwm_chip *mod = qk_pwm_mod(chip);
	struct qk_pwm_device *p = &mod->pwms[pwm->hwpwm];

	if (mod->ops->free)
		mod->ops->free(mod, p);
	p->flags &= ~QK_PWMF_REQUESTED;
	p->chip_data = NULL;
}

static int qk_pwm_polarity(struct qk_pwm_chip *mod, struct qk_pwm_device *p, enum pwm_polarity polarity)
{
	int ret;

	if ((int)polarity == p->polarity)
		return 0;
	if (!mod->ops->set_polarity)
		return -ENOSYS;
	if (p->flags & QK_PWMF_ENABLED)
		return -EBUSY;
	ret = mod->ops->set_polarity(mod, p, polarity);
	if (!ret)
		p->polarity = polarity;
	return ret;
}

static int qk_pwm_config(struct qk_pwm_chip *mod, struct qk_pwm_device *p, u64 duty, u64 period)
{
	int ret;

	if (duty == p->duty_cycle && period == p->period)
		return 0;
	if (period > INT_MAX || duty > INT_MAX)
		return -EINVAL;
	ret = mod->ops->config(mod, p, (int)duty, (int)period);
	if (!ret) {
		p->duty_cycle = duty;
		p->period = period;
	}
	return ret;
}

static int qk_pwm_enable(struct qk_pwm_chip *mod, struct qk_pwm_device *p, bool enabled)
{
	int ret;

	if (enabled == !!(p->flags & QK_PWMF_ENABLED))
		return 0;
	if (!enabled) {
		p->flags &= ~QK_PWMF_ENABLED;
		mod->ops->disable(mod, p);
		return 0;
	}
	ret = mod->ops->enable(mod, p);
	if (!ret)
		p->flags |= QK_PWMF_ENABLED;
	return ret;
}

static int qk_pwm_apply(struct pwm_chip *chip, struct pwm_device *pwm, const struct pwm_state *state)
{
	struct qk_pwm_chip *mod = qk_pwm_mod(chip);
	struct qk_pwm_device *p = &mod->pwms[pwm->hwpwm];
	int ret;

	qk_mutex_lock(&p->lock);
	ret = qk_pwm_polarity(mod, p, state->polarity);
	if (!ret)
		ret = qk_pwm_config(mod, p, state->duty_cycle, state->period);
	if (!ret)
		ret = qk_pwm_enable(mod, p, state->enabled);
	qk_mutex_unlock(&p->lock);
	return ret;
}

static const struct pwm_ops qk_pwm_ops = {
	.request = qk_pwm_request,
	.free = qk_pwm_free,
	.apply = qk_pwm_apply,
	.owner = THIS_MODULE,
};

int qk_pwmchip_add(struct qk_pwm_chip *mod)
{
	struct qk_pwm *w;
	unsigned int i;
	int ret;

	if (!mod->ops || !mod->ops->config || !mod->ops->enable || !mod->ops->disable || !mod->npwm)
		return -EINVAL;
	w = kzalloc(sizeof(*w), GFP_KERNEL);
	if (!w)
		return -ENOMEM;
	mod->pwms = kcalloc(mod->npwm, sizeof(*mod->pwms), GFP_KERNEL);
	if (!mod->pwms) {
		kfree(w);
		return -ENOMEM;
	}
	/* The channels' locks are made before the kernel can call apply. */
	for (i = 0; i < mod->npwm; i++) {
		mod->pwms[i].hwpwm = i;
		mod->pwms[i].chip = mod;
		qk___mutex_init(&mod->pwms[i].lock, "&pwm->lock");
	}
	w->mod = mod;
	w->real.dev = qk_real_device(mod->dev);
	w->real.ops = &qk_pwm_ops;
	w->real.base = -1;
	w->real.npwm = mod->npwm;
	ret = pwmchip_add(&w->real);
	if (ret) {
		kfree(mod->pwms);
		mod->pwms = NULL;
		kfree(w);
		return ret;
	}
	for (i = 0; i < mod->npwm; i++)
		mod->pwms[i].pwm = w->real.pwms[i].pwm;
	mod->base = w->real.base;
	mod->kernel_private = w;
	return 0;
}

/* 6.1 takes a chip away with its exported channels; it cannot refuse. */
int qk_pwmchip_remove(struct qk_pwm_chip *mod)
{
	struct qk_pwm *w = mod->kernel_private;

	if (WARN(!w, "quorvel: PWM chip removed but not added\n"))
		return -EINVAL;
	pwmchip_remove(&w->real);
	kfree(mod->pwms);
	mod->pwms = NULL;
	mod->kernel_private = NULL;
	kfree(w);
	return 0;
}

/* ---- IIO -------------------------------------------------------------- */

/*
 * The module's device, with its private area after it, is the glue's
 * allocation; the kernel's device is made with it and holds a pointer back.
 * The module's id starts as the number the kernel gave that device. On 6.1
 * the number is the kernel's alone and is also the minor of the device's
 * node, so a device the module numbered otherwise is registered as a kernel
 * device that holds that number (see qk_iio_numbered): name and minor agree,
 * and no other IIO device of the guest can be given the same one.
 */
struct qk_iio {
	struct iio_dev *real;
	struct iio_chan_spec *channels;
	struct iio_info info;
};

static size_t qk_iio_head(void) { return ALIGN(sizeof(struct qk_iio_dev), QK_IIO_ALIGN); }

static struct qk_iio_dev *qk_iio_mod(struct iio_dev *real) { return *(struct qk_iio_dev **)iio_priv(real); }

static struct qk_iio *qk_iio_of(struct qk_iio_dev *mod) { return mod->kernel_private; }

static const struct qk_iio_chan_spec *qk_iio_chan(struct iio_dev *real, struct iio_chan_spec const *chan)
{
	struct qk_iio_dev *mod = qk_iio_mod(real);

	return &mod->channels[chan - qk_iio_of(mod)->channels];
}

static int qk_iio_read_raw(struct iio_dev *real, struct iio_chan_spec const *chan, int *val, int *val2, long mask)
{
	struct qk_iio_dev *mod = qk_iio_mod(real);

	return mod->info->read_raw(mod, qk_iio_chan(real, chan), val, val2, mask);
}

static int qk_iio_write_raw(struct iio_dev *real, struct iio_chan_spec const *chan, int val, int val2, long mask)
{
	struct qk_iio_dev *mod = qk_iio_mod(real);

	return mod->info->write_raw(mod, qk_iio_chan(real, chan), val, val2, mask);
}

struct qk_iio_dev *qk_iio_device_alloc(int sizeof_priv)
{
	struct qk_iio_dev *mod = kzalloc(qk_iio_head() + sizeof_priv, GFP_KERNEL);
	struct qk_iio *q = kzalloc(sizeof(*q), GFP_KERNEL);

	if (!mod || !q)
		goto fail;
	q->real = iio_device_alloc(NULL, sizeof(mod));
	if (!q->real)
		goto fail;
	*(struct qk_iio_dev **)iio_priv(q->real) = mod;
	mod->id = iio_device_id(q->real);
	mod->kernel_private = q;
	qk___mutex_init(&mod->mlock, "&indio_dev->mlock");
	return mod;
fail:
	kfree(q);
	kfree(mod);
	return NULL;
}

void qk_iio_device_free(struct qk_iio_dev *mod)
{
	struct qk_iio *q;

	if (!mod)
		return;
	q = qk_iio_of(mod);
	iio_device_free(q->real);
	kfree(q);
	kfree(mod);
}

static void qk_iio_devm_free(void *mod) { qk_iio_device_free(mod); }

struct qk_iio_dev *qk_devm_iio_device_alloc(struct qk_device *dev, int sizeof_priv)
{
	struct qk_iio_dev *mod = qk_iio_device_alloc(sizeof_priv);

	if (!mod)
		return NULL;
	if (qk_devm_add_action_or_reset(dev, qk_iio_devm_free, mod))
		return NULL;
	mod->dev.parent = dev;
	return mod;
}

/* Before the driver unbinds: the managed free runs now and is forgotten. */
void qk_devm_iio_device_free(struct qk_device *dev, struct qk_iio_dev *mod)
{
	devm_release_action(qk_real_device(dev), qk_iio_devm_free, mod); /* WARNs if not there */
}

static int qk_iio_channels(struct qk_iio_dev *mod, struct qk_iio *q)
{
	int i;

	q->channels = kcalloc(mod->num_channels, sizeof(*q->channels), GFP_KERNEL);
	if (!q->channels)
		return -ENOMEM;
	for (i = 0; i < mod->num_channels; i++) {
		const struct qk_iio_chan_spec *c = &mod->channels[i];
		struct iio_chan_spec *r = &q->channels[i];

		r->type = c->type;
		r->channel = c->channel;
		r->channel2 = c->channel2;
		r->address = c->address;
		r->scan_index = -1; /* no buffers: the values are read one by one */
		r->info_mask_separate = c->info_mask_separate;
		r->extend_name = c->extend_name;
		r->datasheet_name = c->datasheet_name;
		r->indexed = c->indexed;
		r->output = c->output;
	}
	return 0;
}

/*
 * A kernel device numbered `id`. The kernel gives each new device the lowest
 * free number, so the glue takes numbers until it is given `id`, and gives
 * the lower ones back. A number another device of the guest holds is
 * refused (-EBUSY) rather than shared: the name and the node would clash.
 */
static struct iio_dev *qk_iio_numbered(int id)
{
	struct iio_dev **below, *found = ERR_PTR(-EBUSY);
	int n = 0, i;

	if (id < 0)
		return ERR_PTR(-EINVAL);
	below = kcalloc(id + 1, sizeof(*below), GFP_KERNEL);
	if (!below)
		return ERR_PTR(-ENOMEM);
	while (n <= id) {
		struct iio_dev *real = iio_device_alloc(NULL, sizeof(struct qk_iio_dev *));

		if (!real) {
			found = ERR_PTR(-ENOMEM);
			break;
		}
		if (iio_device_id(real) == id) {
			found = real;
			break;
		}
		if (iio_device_id(real) > id) {
			iio_device_free(real);
			break;
		}
		below[n++] = real;
	}
	for (i = 0; i < n; i++)
		iio_device_free(below[i]);
	kfree(below);
	return found;
}

/*
 * A kernel that delays every release (DEBUG_KOBJECT_RELEASE) gives a
 * device's number back one to four seconds after the device went: the
 * module's earlier devices' numbers and those the walk above gave back
 * alike. There a refused number is asked for again for that long.
 */
static struct iio_dev *qk_iio_numbered_once_free(int id)
{
	unsigned long until = jiffies + 5 * HZ;
	struct iio_dev *real;

	while (IS_ERR(real = qk_iio_numbered(id)) && PTR_ERR(real) == -EBUSY &&
	       IS_ENABLED(CONFIG_DEBUG_KOBJECT_RELEASE) && time_before(jiffies, until))
		msleep(100);
	return real;
}

/* The module renumbered its device: it moves to a kernel device of that number. */
static int qk_iio_renumber(struct qk_iio_dev *mod, struct qk_iio *q)
{
	struct iio_dev *real;

	if (mod->id == iio_device_id(q->real))
		return 0;
	real = qk_iio_numbered_once_free(mod->id);
	if (IS_ERR(real)) {
		pr_err("quorvel: iio:device%d: the number is not free in this kernel (%ld)\n", mod->id, PTR_ERR(real));
		return PTR_ERR(real);
	}
	*(struct qk_iio_dev **)iio_priv(real) = mod;
	iio_device_free(q->real);
	q->real = real;
	return 0;
}

int qk_iio_device_register(struct qk_iio_dev *mod)
{
	struct qk_iio *q = qk_iio_of(mod);
	struct iio_dev *real;
	int ret;

	if (mod->info->attrs)
		return -EOPNOTSUPP; /* driver attributes on an IIO device are not translated */
	ret = qk_iio_renumber(mod, q);
	if (ret)
		return ret;
	real = q->real;
	ret = qk_iio_channels(mod, q);
	if (ret)
		return ret;
	q->info.read_raw = mod->info->read_raw ? qk_iio_read_raw : NULL;
	q->info.write_raw = mod->info->write_raw ? qk_iio_write_raw : NULL;
	real->info = &q->info;
	real->channels = q->channels;
	real->num_channels = mod->num_channels;
	real->name = mod->name;
	real->modes = mod->modes;
	real->dev.parent = qk_real_device(mod->dev.parent);
	ret = iio_device_register(real); /* named iio:device<id> by the kernel */
	if (ret) {
		kfree(q->channels);
		q->channels = NULL;
		return ret;
	}
	mod->dev.kernel_private = &real->dev;
	mod->dev.kobj.name = dev_name(&real->dev);
	return 0;
}

void qk_iio_device_unregister(struct qk_iio_dev *mod)
{
	struct qk_iio *q = qk_iio_of(mod);

	iio_device_unregister(q->real);
	mod->dev.kernel_private = NULL;
	mod->dev.kobj.name = NULL;
	kfree(q->channels);
	q->channels = NULL;
}

static void qk_iio_devm_unregister(void *mod) { qk_iio_device_unregister(mod); }

int qk_devm_iio_device_register(struct qk_device *dev, struct qk_iio_dev *mod)
{
	int ret = qk_iio_device_register(mod);

	if (ret)
		return ret;
	return qk_devm_add_action_or_reset(dev, qk_iio_devm_unregister, mod);
}
