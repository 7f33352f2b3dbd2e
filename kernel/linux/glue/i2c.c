// SPDX-License-Identifier: GPL-2.0
/*
 * The I2C core: the module's adapter keeps its own layout; the glue
 * registers a kernel adapter in its place whose algorithm passes each
 * transfer and SMBus transaction on to the module's, with the module's
 * adapter. Messages and SMBus data have the kernel's layout, so they pass
 * through unchanged. The module's clients are the glue's records of the
 * kernel's; 6.1 has no i2c_new_device, so the glue makes them with
 * i2c_new_client_device and gives the module NULL where that fails.
 */
#include <linux/err.h>
#include <linux/i2c.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "qk.h"

struct qk_i2c {
	struct i2c_adapter real;
	struct qk_i2c_adapter *mod;
	struct list_head clients; /* struct qk_i2c_client_rec, made on this adapter */
};

struct qk_i2c_client_rec {
	struct qk_i2c_client mod; /* first: the module's pointer is the record's */
	struct i2c_client *real;
	struct list_head node;
};

static struct qk_i2c *qk_i2c_of(struct i2c_adapter *adap) { return container_of(adap, struct qk_i2c, real); }

static int qk_i2c_master_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	struct qk_i2c_adapter *mod = qk_i2c_of(adap)->mod;

	return mod->algo->master_xfer(mod, msgs, num);
}

static int qk_i2c_smbus_xfer(struct i2c_adapter *adap, u16 addr, unsigned short flags, char read_write, u8 command,
			     int size, union i2c_smbus_data *data)
{
	struct qk_i2c_adapter *mod = qk_i2c_of(adap)->mod;

	return mod->algo->smbus_xfer(mod, addr, flags, read_write, command, size, data);
}

static u32 qk_i2c_functionality(struct i2c_adapter *adap)
{
	struct qk_i2c_adapter *mod = qk_i2c_of(adap)->mod;

	return mod->algo->functionality(mod);
}

static const struct i2c_algorithm qk_i2c_algo = {
	.master_xfer = qk_i2c_master_xfer,
	.smbus_xfer = qk_i2c_smbus_xfer,
	.functionality = qk_i2c_functionality,
};

/* An adapter without smbus_xfer: the kernel emulates SMBus with messages. */
static const struct i2c_algorithm qk_i2c_algo_plain = {
	.master_xfer = qk_i2c_master_xfer,
	.functionality = qk_i2c_functionality,
};

int qk_i2c_add_adapter(struct qk_i2c_adapter *mod)
{
	struct qk_i2c *w;
	int ret;

	if (!mod->algo || !mod->algo->master_xfer || !mod->algo->functionality)
		return -EINVAL;
	w = kzalloc(sizeof(*w), GFP_KERNEL);
	if (!w)
		return -ENOMEM;
	w->mod = mod;
	INIT_LIST_HEAD(&w->clients);
	w->real.owner = THIS_MODULE;
	w->real.class = mod->klass;
	w->real.algo = mod->algo->smbus_xfer ? &qk_i2c_algo : &qk_i2c_algo_plain;
	w->real.timeout = mod->timeout;
	w->real.retries = mod->retries;
	w->real.dev.parent = qk_real_device(mod->dev.parent);
	strscpy(w->real.name, mod->name, sizeof(w->real.name));
	ret = i2c_add_adapter(&w->real);
	if (ret) {
		kfree(w);
		return ret;
	}
	mod->nr = w->real.nr;
	mod->kernel_private = w;
	return 0;
}

/* The kernel unregisters the adapter's clients with it; their records go. */
void qk_i2c_del_adapter(struct qk_i2c_adapter *mod)
{
	struct qk_i2c *w = mod->kernel_private;
	struct qk_i2c_client_rec *rec, *tmp;

	if (WARN(!w, "quorvel: I2C adapter deleted but not added\n"))
		return;
	i2c_del_adapter(&w->real);
	list_for_each_entry_safe(rec, tmp, &w->clients, node)
	{
		list_del(&rec->node);
		kfree(rec);
	}
	mod->kernel_private = NULL;
	kfree(w);
}

struct qk_i2c_client *qk_i2c_new_device(struct qk_i2c_adapter *mod, const struct qk_i2c_board_info *info)
{
	struct qk_i2c *w = mod->kernel_private;
	struct i2c_board_info real_info = {};
	struct qk_i2c_client_rec *rec;
	struct i2c_client *client;

	if (!w)
		return NULL;
	rec = kzalloc(sizeof(*rec), GFP_KERNEL);
	if (!rec)
		return NULL;
	strscpy(real_info.type, info->type, sizeof(real_info.type));
	real_info.flags = info->flags;
	real_info.addr = info->addr;
	real_info.platform_data = info->platform_data;
	real_info.irq = info->irq;
	client = i2c_new_client_device(&w->real, &real_info);
	if (IS_ERR(client)) {
		kfree(rec);
		return NULL;
	}
	rec->real = client;
	rec->mod.flags = client->flags;
	rec->mod.addr = client->addr;
	strscpy(rec->mod.name, client->name, sizeof(rec->mod.name));
	rec->mod.adapter = mod;
	rec->mod.irq = client->irq;
	rec->mod.dev.kernel_private = &client->dev;
	list_add_tail(&rec->node, &w->clients);
	return &rec->mod;
}

void qk_i2c_unregister_device(struct qk_i2c_client *mod)
{
	struct qk_i2c_client_rec *rec;

	if (!mod)
		return;
	rec = container_of(mod, struct qk_i2c_client_rec, mod);
	list_del(&rec->node);
	i2c_unregister_device(rec->real);
	kfree(rec);
}
