// SPDX-License-Identifier: GPL-2.0
/*
 * The SPI core. The module's masters are 4.4's spi_master in the module's
 * own layout; each stands for a 6.1 spi_controller that the glue allocates,
 * with the module's master (and its driver data) in the controller's own
 * driver data, so that the two live and go together. The controller's
 * setup, cleanup and transfer_one_message reach the module's hooks with
 * module-shaped devices and messages:
 *
 * - a device's mirror is made at its first setup and kept in the kernel
 *   device's controller_state until its cleanup; its settings are copied in
 *   before each hook and the ones setup may change copied back after;
 * - a message is copied into the controller's one module-shaped message
 *   (the core hands a controller one message at a time), its transfers into
 *   the controller's array of QK_SPI_XFERS module-shaped ones. A message of
 *   more transfers is handed to the module in parts of that many, one after
 *   the other; the parts' actual_length add up and a failed part's status
 *   is the message's. Nothing is allocated on the way: the transfers reach
 *   the module without a copy of their bytes.
 *
 * 4.4's spi_busnum_to_master is gone by 6.1: the glue finds a controller
 * among those it registered. 6.1's spidev binds only by its id table, so a
 * device with the modalias "spidev" gets driver_override "spidev", which
 * binds it as 4.4's spidev bound it by name.
 */
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/spi/spi.h>
#include <linux/string.h>

#include "qk.h"

/* A controller's driver data: the glue's record, then the module's master
 * and the module's driver data behind it. */
#define QK_SPI_XFERS 16

struct qk_spi_glue {
	struct spi_controller *real;
	struct list_head node;	      /* on qk_spi_masters while registered */
	struct spi_message *real_msg; /* the message the module is given */
	struct spi_transfer *next;    /* its first transfer not yet handed over */
	unsigned int done_length;     /* actual_length of the parts done */
	int status;		      /* the first failed part's status, or 0 */
	bool part_pending;	      /* a part is with the module */
	bool in_parts;		      /* qk_spi_run_parts is handing them over */
	struct qk_spi_transfer xfers[QK_SPI_XFERS]; /* a part's transfers */
	struct qk_spi_message msg;		     /* and the part itself */
	struct qk_spi_master mod; /* last: the module's driver data follows */
};

static DEFINE_MUTEX(qk_spi_lock); /* guards qk_spi_masters */
static LIST_HEAD(qk_spi_masters);

struct qk_spi_master *qk_spi_alloc_master(struct qk_device *host, unsigned int size);
int qk_spi_register_master(struct qk_spi_master *master);
void qk_spi_unregister_master(struct qk_spi_master *master);
struct qk_spi_master *qk_spi_busnum_to_master(u16 bus_num);
void qk_spi_master_put(struct qk_spi_master *master);
struct qk_spi_device *qk_spi_new_device(struct qk_spi_master *master, struct qk_spi_board_info *chip);
void qk_spi_finalize_current_message(struct qk_spi_master *master);

static struct qk_spi_glue *qk_spi_glue_of(struct qk_spi_master *master) { return master->kernel_private; }

static struct qk_spi_glue *qk_spi_glue_of_ctlr(struct spi_controller *ctlr) { return spi_controller_get_devdata(ctlr); }

static void qk_spi_device_in(struct qk_spi_device *d, struct spi_device *spi)
{
	d->max_speed_hz = spi->max_speed_hz;
	d->chip_select = spi->chip_select;
	d->bits_per_word = spi->bits_per_word;
	d->mode = (u16)spi->mode;
	d->irq = spi->irq;
	d->controller_data = spi->controller_data;
	strscpy(d->modalias, spi->modalias, sizeof(d->modalias));
}

/* The device's mirror, made at its first setup. */
static struct qk_spi_device *qk_spi_device_of(struct spi_device *spi)
{
	struct qk_spi_device *d = spi->controller_state;

	if (d)
		return d;
	d = kzalloc(sizeof(*d), GFP_KERNEL);
	if (!d)
		return NULL;
	d->dev.kobj.name = dev_name(&spi->dev);
	d->dev.kernel_private = &spi->dev;
	d->master = &qk_spi_glue_of_ctlr(spi->controller)->mod;
	d->cs_gpio = -ENOENT;
	spi->controller_state = d;
	return d;
}

static int qk_spi_setup(struct spi_device *spi)
{
	struct qk_spi_master *m = &qk_spi_glue_of_ctlr(spi->controller)->mod;
	struct qk_spi_device *d = qk_spi_device_of(spi);
	int ret;

	if (!d)
		return -ENOMEM;
	qk_spi_device_in(d, spi);
	ret = m->setup ? m->setup(d) : 0;
	spi->max_speed_hz = d->max_speed_hz;
	spi->bits_per_word = d->bits_per_word;
	spi->mode = (spi->mode & ~0xffffU) | d->mode;
	return ret;
}

static void qk_spi_cleanup(struct spi_device *spi)
{
	struct qk_spi_master *m = &qk_spi_glue_of_ctlr(spi->controller)->mod;
	struct qk_spi_device *d = spi->controller_state;

	if (!d)
		return;
	if (m->cleanup)
		m->cleanup(d);
	spi->controller_state = NULL;
	kfree(d);
}

/* The next part of the message, up to QK_SPI_XFERS transfers from g->next,
 * into the module-shaped message. */
static void qk_spi_fill_part(struct qk_spi_glue *g)
{
	struct spi_message *msg = g->real_msg;
	struct spi_transfer *t = g->next;
	unsigned int n = 0;

	memset(&g->msg, 0, sizeof(g->msg));
	INIT_LIST_HEAD(&g->msg.transfers);
	INIT_LIST_HEAD(&g->msg.queue);
	g->msg.spi = msg->spi->controller_state;
	g->msg.frame_length = msg->frame_length;
	g->msg.status = -EINPROGRESS;
	for (; n < QK_SPI_XFERS && &t->transfer_list != &msg->transfers; t = list_next_entry(t, transfer_list)) {
		struct qk_spi_transfer *x = &g->xfers[n++];

		memset(x, 0, sizeof(*x));
		x->tx_buf = t->tx_buf;
		x->rx_buf = t->rx_buf;
		x->len = t->len;
		x->cs_change = t->cs_change;
		x->tx_nbits = t->tx_nbits;
		x->rx_nbits = t->rx_nbits;
		x->bits_per_word = t->bits_per_word;
		x->delay_usecs = t->delay.unit == SPI_DELAY_UNIT_USECS ? t->delay.value : 0;
		x->speed_hz = t->speed_hz;
		list_add_tail(&x->transfer_list, &g->msg.transfers);
	}
	g->next = &t->transfer_list == &msg->transfers ? NULL : t;
}

/* Hands the parts to the module one after the other while it finishes each
 * before it returns (the module's masters do), then finalizes the message.
 * A part the module finishes later is taken up again from its finalize. */
static void qk_spi_run_parts(struct qk_spi_glue *g)
{
	struct spi_message *msg;

	g->in_parts = true;
	while (g->next && !g->part_pending) {
		qk_spi_fill_part(g);
		g->part_pending = true;
		g->mod.cur_msg = &g->msg;
		if (g->mod.transfer_one_message(&g->mod, &g->msg))
			dev_err(&g->real->dev, "failed to transfer one message from queue\n");
	}
	g->in_parts = false;
	if (g->part_pending || g->next)
		return;
	msg = g->real_msg;
	msg->actual_length = g->done_length;
	msg->status = g->status;
	g->real_msg = NULL;
	spi_finalize_current_message(g->real);
}

static int qk_spi_transfer_one_message(struct spi_controller *ctlr, struct spi_message *msg)
{
	struct qk_spi_glue *g = qk_spi_glue_of_ctlr(ctlr);

	if (!msg->spi->controller_state) {
		msg->status = -ENODEV;
		spi_finalize_current_message(ctlr);
		return 0;
	}
	g->real_msg = msg;
	g->next = list_first_entry_or_null(&msg->transfers, struct spi_transfer, transfer_list);
	g->done_length = 0;
	g->status = 0;
	g->part_pending = false;
	qk_spi_run_parts(g);
	return 0;
}

struct qk_spi_master *qk_spi_alloc_master(struct qk_device *host, unsigned int size)
{
	struct device *parent = qk_real_device(host);
	struct spi_controller *ctlr;
	struct qk_spi_glue *g;

	if (!parent)
		return NULL;
	ctlr = spi_alloc_master(parent, sizeof(*g) + size);
	if (!ctlr)
		return NULL;
	g = qk_spi_glue_of_ctlr(ctlr);
	g->real = ctlr;
	INIT_LIST_HEAD(&g->node);
	g->mod.dev.parent = host;
	g->mod.dev.kernel_private = &ctlr->dev;
	g->mod.dev.driver_data = &g->mod + 1;
	g->mod.bus_num = -1;
	g->mod.num_chipselect = 1;
	g->mod.kernel_private = g;
	return &g->mod;
}

int qk_spi_register_master(struct qk_spi_master *m)
{
	struct qk_spi_glue *g = qk_spi_glue_of(m);
	struct spi_controller *ctlr = g->real;
	int ret;

	if (m->transfer || !m->transfer_one_message) {
		pr_err("quorvel: SPI master without the core's queue: not translated for this kernel yet\n");
		return -EOPNOTSUPP;
	}
	ctlr->bus_num = m->bus_num;
	ctlr->num_chipselect = m->num_chipselect;
	ctlr->mode_bits = m->mode_bits;
	ctlr->bits_per_word_mask = m->bits_per_word_mask;
	ctlr->min_speed_hz = m->min_speed_hz;
	ctlr->max_speed_hz = m->max_speed_hz;
	ctlr->flags = m->flags; /* half duplex, no rx, no tx: the same bits */
	ctlr->setup = qk_spi_setup;
	ctlr->cleanup = qk_spi_cleanup;
	ctlr->transfer_one_message = qk_spi_transfer_one_message;
	ret = spi_register_controller(ctlr);
	if (ret)
		return ret;
	m->bus_num = ctlr->bus_num;
	m->dev.kobj.name = dev_name(&ctlr->dev);
	m->queued = true;
	mutex_lock(&qk_spi_lock);
	list_add_tail(&g->node, &qk_spi_masters);
	mutex_unlock(&qk_spi_lock);
	return 0;
}

void qk_spi_unregister_master(struct qk_spi_master *m)
{
	struct qk_spi_glue *g = qk_spi_glue_of(m);

	mutex_lock(&qk_spi_lock);
	list_del_init(&g->node);
	mutex_unlock(&qk_spi_lock);
	m->queued = false;
	/* Drops the allocation's reference, as 4.4's unregistration does. */
	spi_unregister_controller(g->real);
}

struct qk_spi_master *qk_spi_busnum_to_master(u16 bus_num)
{
	struct qk_spi_master *found = NULL;
	struct qk_spi_glue *g;

	mutex_lock(&qk_spi_lock);
	list_for_each_entry(g, &qk_spi_masters, node)
	{
		if (g->real->bus_num == bus_num) {
			get_device(&g->real->dev);
			found = &g->mod;
			break;
		}
	}
	mutex_unlock(&qk_spi_lock);
	return found;
}

void qk_spi_master_put(struct qk_spi_master *m)
{
	if (m)
		put_device(&qk_spi_glue_of(m)->real->dev);
}

struct qk_spi_device *qk_spi_new_device(struct qk_spi_master *m, struct qk_spi_board_info *chip)
{
	struct spi_device *spi = spi_alloc_device(qk_spi_glue_of(m)->real);

	if (!spi)
		return NULL;
	spi->chip_select = chip->chip_select;
	spi->max_speed_hz = chip->max_speed_hz;
	spi->mode = chip->mode;
	spi->irq = chip->irq;
	spi->controller_data = chip->controller_data;
	spi->dev.platform_data = (void *)chip->platform_data;
	strscpy(spi->modalias, chip->modalias, sizeof(spi->modalias));
	if (!strcmp(chip->modalias, "spidev")) {
		spi->driver_override = kstrdup("spidev", GFP_KERNEL);
		if (!spi->driver_override) {
			spi_dev_put(spi);
			return NULL;
		}
	}
	if (spi_add_device(spi)) {
		spi_dev_put(spi);
		return NULL;
	}
	/* Made by the setup spi_add_device called. */
	return spi->controller_state;
}

void qk_spi_finalize_current_message(struct qk_spi_master *m)
{
	struct qk_spi_glue *g = qk_spi_glue_of(m);

	if (WARN_ON_ONCE(!g->real_msg || !g->part_pending))
		return;
	g->done_length += g->msg.actual_length;
	if (g->msg.status && !g->status)
		g->status = g->msg.status;
	g->part_pending = false;
	m->cur_msg = NULL;
	if (!g->in_parts)
		qk_spi_run_parts(g);
}
