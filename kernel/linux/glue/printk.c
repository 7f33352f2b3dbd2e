// SPDX-License-Identifier: GPL-2.0
/*
 * The module's printk. The module was written for 4.4's rule: a message
 * without a level marker continues the line the same task left unfinished.
 * 6.1 starts a new record unless the message says KERN_CONT, which would cut
 * the module's table lines into one record per value. The glue keeps 4.4's
 * rule: it remembers which task left a line open and marks that task's next
 * message without a level as a continuation, unless another message was
 * logged in between (the kernel's own, or another task's), which closed the
 * line in 4.4 as it does in 6.1.
 */
#include <linux/kernel.h>
#include <linux/kmsg_dump.h>
#include <linux/printk.h>
#include <linux/sched.h>
#include <linux/spinlock.h>

#include "qk.h"

static DEFINE_RAW_SPINLOCK(qk_log_lock);
static char qk_log_text[1024];		     /* guarded by qk_log_lock */
static struct task_struct *qk_log_open_line; /* the task whose line is unfinished */
static u64 qk_log_open_seq;		     /* the log's next number when it was left so */

/*
 * The number the log gives its next complete record. A line left open is not
 * complete until it ends or another record comes, so the number moves on only
 * when someone else logs.
 */
static u64 qk_log_next_seq(void)
{
	struct kmsg_dump_iter iter;

	kmsg_dump_rewind(&iter);
	return iter.next_seq;
}

/* A level marker ('0'..'7' or 'd'): the message starts its own line. */
static bool qk_has_level(const char *text)
{
	char c = printk_get_level(text);

	return c && c != 'c';
}

int qk_vprintk(const char *fmt, va_list args)
{
	unsigned long flags;
	size_t len;
	bool cont;
	int n;

	raw_spin_lock_irqsave(&qk_log_lock, flags);
	n = vscnprintf(qk_log_text, sizeof(qk_log_text), fmt, args);
	len = strlen(qk_log_text);
	cont = qk_log_open_line == current && !qk_has_level(qk_log_text) &&
	       qk_log_open_seq == qk_log_next_seq();
	if (cont)
		printk(KERN_CONT "%s", qk_log_text);
	else
		printk("%s", qk_log_text);
	if (len) {
		qk_log_open_line = qk_log_text[len - 1] == '\n' ? NULL : current;
		qk_log_open_seq = qk_log_next_seq();
	}
	raw_spin_unlock_irqrestore(&qk_log_lock, flags);
	return n;
}

int qk_printk(const char *fmt, ...)
{
	va_list args;
	int n;

	va_start(args, fmt);
	n = qk_vprintk(fmt, args);
	va_end(args);
	return n;
}

/* The module's WARN_ON: the kernel's own warning, naming the module's line. */
void qk___warn_printk(const char *file, int line, const void *caller, const char *fmt, ...)
{
	WARN(1, "quorvel: at %s:%d, called from %pS\n", file, line, caller);
}
