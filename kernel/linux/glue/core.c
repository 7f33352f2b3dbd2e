// SPDX-License-Identifier: GPL-2.0
/*
 * The module's kernel services that map one to one onto 6.1's: memory and
 * strings, copies to and from programs, time and sleeps, random numbers,
 * work items, tasks and kernel threads (locks: lock.c). Where 6.1 changed a name or
 * a signature since 4.4, the change is absorbed here.
 */
#include <linux/delay.h>
#include <linux/jiffies.h>
#include <linux/kernel.h>
#include <linux/kthread.h>
#include <linux/ktime.h>
#include <linux/mutex.h>
#include <linux/random.h>
#include <linux/sched.h>
#include <linux/sched/signal.h>
#include <linux/sched/task.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/workqueue.h>

#include "qk.h"

/* Memory and strings: the kernel's own routines. */
void *qk_memcpy(void *dst, const void *src, size_t n) { return memcpy(dst, src, n); }
void *qk_memmove(void *dst, const void *src, size_t n) { return memmove(dst, src, n); }
void *qk_memset(void *dst, int c, size_t n) { return memset(dst, c, n); }
int qk_memcmp(const void *a, const void *b, size_t n) { return memcmp(a, b, n); }
size_t qk_strlen(const char *s) { return strlen(s); }
size_t qk_strnlen(const char *s, size_t max) { return strnlen(s, max); }
int qk_strcmp(const char *a, const char *b) { return strcmp(a, b); }
int qk_strncmp(const char *a, const char *b, size_t n) { return strncmp(a, b, n); }
int qk_vsnprintf(char *buf, size_t size, const char *fmt, va_list args) { return vsnprintf(buf, size, fmt, args); }

int qk_snprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list args;
	int n;

	va_start(args, fmt);
	n = vsnprintf(buf, size, fmt, args);
	va_end(args);
	return n;
}

int qk_kstrtol(const char *s, unsigned int base, long *res) { return kstrtol(s, base, res); }
int qk_kstrtoul(const char *s, unsigned int base, unsigned long *res) { return kstrtoul(s, base, res); }

/* The module's allocation flags are its own numbers (qk.h, checked). */
gfp_t qk_gfp(unsigned int flags)
{
	gfp_t gfp = (flags & QK_GFP_ATOMIC) ? GFP_ATOMIC : GFP_KERNEL;

	return (flags & QK_GFP_ZERO) ? gfp | __GFP_ZERO : gfp;
}

void *qk_kmalloc(size_t size, unsigned int flags) { return kmalloc(size, qk_gfp(flags)); }
void *qk_kzalloc(size_t size, unsigned int flags) { return kzalloc(size, qk_gfp(flags)); }
void *qk_kcalloc(size_t n, size_t size, unsigned int flags) { return kcalloc(n, size, qk_gfp(flags)); }
void qk_kfree(const void *p) { kfree(p); }

/* Copies from and to programs; a failed copy_from_user zero-fills, as in 4.4. */
unsigned long qk_copy_to_user(void __user *to, const void *from, unsigned long n) { return copy_to_user(to, from, n); }

unsigned long qk_copy_from_user(void *to, const void __user *from, unsigned long n)
{
	return copy_from_user(to, from, n);
}

unsigned long qk_clear_user(void __user *to, unsigned long n) { return clear_user(to, n); }

/*
 * 6.1 has no address limit to raise: set_fs is gone. The module raises it
 * only around operations on the line it opened itself, whose operations in
 * the glue take kernel pointers (fs.c), so both calls are empty here.
 */
struct qk_mm_segment qk_get_fs(void) { return (struct qk_mm_segment){ .seg = TASK_SIZE_MAX }; }

void qk_set_fs(struct qk_mm_segment fs) {}

/* Time and sleeps. */
ktime_t qk_ktime_get(void) { return ktime_get(); }
void qk_msleep(unsigned int msecs) { msleep(msecs); }
unsigned long qk_msleep_interruptible(unsigned int msecs) { return msleep_interruptible(msecs); }
void qk_usleep_range(unsigned long min, unsigned long max) { usleep_range(min, max); }
void qk_udelay(unsigned long usecs) { udelay(usecs); }
void qk_mdelay(unsigned long msecs) { mdelay(msecs); }
unsigned int qk___kernel_hz(void) { return HZ; }
unsigned long qk___kernel_jiffies(void) { return jiffies; }
unsigned long qk_msecs_to_jiffies(unsigned int m) { return msecs_to_jiffies(m); }
unsigned long qk_usecs_to_jiffies(unsigned int u) { return usecs_to_jiffies(u); }
unsigned int qk_jiffies_to_msecs(unsigned long j) { return jiffies_to_msecs(j); }

/* 4.4's prandom_u32 is 6.1's get_random_u32. */
u32 qk_prandom_u32(void) { return get_random_u32(); }
void qk_prandom_bytes(void *buf, size_t n) { get_random_bytes(buf, n); }

/*
 * Work items have the kernel's layout in the module's view; work queues are
 * the kernel's, opaque to the module. The system's queues are data the
 * module reads whenever it likes, before the glue could copy the kernel's
 * pointers: each is the address of a token here, which qk_wq turns into the
 * kernel's queue when it is used.
 */
static char qk_wq_tokens[6];
struct workqueue_struct *qk_system_wq = (struct workqueue_struct *)&qk_wq_tokens[0];
struct workqueue_struct *qk_system_highpri_wq = (struct workqueue_struct *)&qk_wq_tokens[1];
struct workqueue_struct *qk_system_long_wq = (struct workqueue_struct *)&qk_wq_tokens[2];
struct workqueue_struct *qk_system_unbound_wq = (struct workqueue_struct *)&qk_wq_tokens[3];
struct workqueue_struct *qk_system_freezable_wq = (struct workqueue_struct *)&qk_wq_tokens[4];
struct workqueue_struct *qk_system_power_efficient_wq = (struct workqueue_struct *)&qk_wq_tokens[5];

static struct workqueue_struct *qk_wq(struct workqueue_struct *wq)
{
	struct workqueue_struct *const system[] = {
		system_wq,	   system_highpri_wq,	system_long_wq,
		system_unbound_wq, system_freezable_wq, system_power_efficient_wq,
	};
	char *token = (char *)wq;

	BUILD_BUG_ON(ARRAY_SIZE(system) != ARRAY_SIZE(qk_wq_tokens));
	if (token >= qk_wq_tokens && token < qk_wq_tokens + ARRAY_SIZE(qk_wq_tokens))
		return system[token - qk_wq_tokens];
	return wq;
}

/* The module's "any CPU" is its own number. */
static int qk_cpu(int cpu) { return cpu == QK_WORK_CPU_UNBOUND ? WORK_CPU_UNBOUND : cpu; }

bool qk_queue_work_on(int cpu, struct workqueue_struct *wq, struct work_struct *work)
{
	return queue_work_on(qk_cpu(cpu), qk_wq(wq), work);
}

bool qk_flush_work(struct work_struct *work) { return flush_work(work); }
bool qk_cancel_work_sync(struct work_struct *work) { return cancel_work_sync(work); }
bool qk_work_pending(const struct work_struct *work) { return work_pending(work); }

/* Tasks. */
struct task_struct *qk_get_current(void) { return current; }
int qk_signal_pending(struct task_struct *p) { return signal_pending(p); }
void qk_set_current_state(long state) { set_current_state(state); }
long qk_schedule_timeout(long timeout) { return schedule_timeout(timeout); }
long qk_schedule_timeout_interruptible(long timeout) { return schedule_timeout_interruptible(timeout); }
long qk_schedule_timeout_uninterruptible(long timeout) { return schedule_timeout_uninterruptible(timeout); }
void qk_schedule(void) { schedule(); }
int qk_wake_up_process(struct task_struct *task) { return wake_up_process(task); }
void qk_get_task_struct(struct task_struct *task) { get_task_struct(task); }
void qk_put_task_struct(struct task_struct *task) { put_task_struct(task); }

/* 6.1 does not export do_exit; a kernel thread ends with kthread_exit. */
void __noreturn qk_do_exit(long code)
{
	WARN_ON_ONCE(!(current->flags & PF_KTHREAD));
	kthread_complete_and_exit(NULL, code);
}

struct task_struct *qk_kthread_create_on_node(int (*threadfn)(void *data), void *data, int node, const char *namefmt,
					      ...)
{
	char name[TASK_COMM_LEN];
	va_list args;

	va_start(args, namefmt);
	vsnprintf(name, sizeof(name), namefmt, args);
	va_end(args);
	return kthread_create_on_node(threadfn, data, node, "%s", name);
}

bool qk_kthread_should_stop(void) { return kthread_should_stop(); }
int qk_kthread_stop(struct task_struct *task) { return kthread_stop(task); }
