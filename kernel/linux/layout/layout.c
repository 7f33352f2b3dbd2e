// SPDX-License-Identifier: GPL-2.0
/*
 * Sizes and offsets of the structures the module shares with the kernel, as
 * the kernel's headers lay them out (KERNEL_*), and of the glue's mirrors of
 * the module's own structures (MIRROR_*), for every structure and field that
 * layouts.h lists. Compiled to assembly and turned into quorvel_layout.h, as
 * the kernel makes its asm-offsets; the module's side checks itself against
 * it (layout_check.cpp).
 */
#include <linux/i2c.h>
#include <linux/kbuild.h>
#include <linux/kfifo.h>
#include <linux/mod_devicetable.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/serial.h>
#include <linux/spinlock.h>
#include <linux/termios.h>
#include <linux/tty.h>
#include <linux/workqueue.h>

#include "qk.h"
#include "layouts.h"

/* Per structure its size and alignment; per field its offset and size. */
#define QK_DEFINE_S(prefix, id, type)                                                                                  \
	typedef type qk_layout_##id;                                                                                   \
	DEFINE(prefix##_SIZEOF_##id, sizeof(type));                                                                    \
	DEFINE(prefix##_ALIGNOF_##id, __alignof__(type));
#define QK_DEFINE_F(prefix, id, m)                                                                                     \
	DEFINE(prefix##_OFF_##id##_##m, offsetof(qk_layout_##id, m));                                                  \
	DEFINE(prefix##_FSIZE_##id##_##m, sizeof(((qk_layout_##id *)0)->m));

#define K_S(id, type, module_type, header) QK_DEFINE_S(KERNEL, id, type)
#define K_F(id, m)			   QK_DEFINE_F(KERNEL, id, m)
#define M_S(id, type, module_type, header) QK_DEFINE_S(MIRROR, id, type)
#define M_F(id, m)			   QK_DEFINE_F(MIRROR, id, m)
#define NONE(id)

void common(void);
void common(void)
{
	QK_KERNEL_LAYOUTS(K_S, K_F, NONE)
	QK_MIRROR_LAYOUTS(M_S, M_F, NONE)

	DEFINE(KERNEL_NCCS, NCCS);

	/* The module's numbers that the glue translates. */
	DEFINE(MIRROR_GFP_KERNEL, QK_GFP_KERNEL);
	DEFINE(MIRROR_GFP_ATOMIC, QK_GFP_ATOMIC);
	DEFINE(MIRROR_GFP_ZERO, QK_GFP_ZERO);
	DEFINE(MIRROR_WORK_CPU_UNBOUND, QK_WORK_CPU_UNBOUND);
}
