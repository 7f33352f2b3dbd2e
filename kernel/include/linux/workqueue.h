#pragma once
#include <linux/kernel.h>
#include <linux/list.h>

#include <linux/workqueue_types.h>

#define DECLARE_WORK(n, f)	      struct work_struct n = __WORK_INITIALIZER(n, f)
#define DECLARE_DELAYED_WORK(n, f)    struct delayed_work n = __DELAYED_WORK_INITIALIZER(n, f, 0)
#define DECLARE_DEFERRABLE_WORK(n, f) DECLARE_DELAYED_WORK(n, f)
#define INIT_WORK(w, f)		      __init_work((w), (f))
#define INIT_WORK_ONSTACK(w, f)	      __init_work((w), (f))
#define INIT_DELAYED_WORK(w, f)	      __init_delayed_work((w), (f))
#define INIT_DEFERRABLE_WORK(w, f)    __init_delayed_work((w), (f))
#define destroy_work_on_stack(w)      ((void)(w))
#define to_delayed_work(w)	      container_of((w), struct delayed_work, work)
#define delayed_work_pending(w)	      work_pending(&(w)->work)

// Work queue flags. There is one CPU here; the flags that place work on
// CPUs or mark it for memory reclaim, freezing or power saving are kept for
// the kernel's signatures and change nothing.
enum {
	WQ_UNBOUND = 1 << 1,
	WQ_FREEZABLE = 1 << 2,
	WQ_MEM_RECLAIM = 1 << 3,
	WQ_HIGHPRI = 1 << 4,
	WQ_CPU_INTENSIVE = 1 << 5,
	WQ_SYSFS = 1 << 6,
	WQ_POWER_EFFICIENT = 1 << 7,
	__WQ_DRAINING = 1 << 16,
	__WQ_ORDERED = 1 << 17,
	__WQ_LEGACY = 1 << 18,
	WQ_MAX_ACTIVE = 512,
	WQ_DFL_ACTIVE = WQ_MAX_ACTIVE / 2,
};

extern "C" {
// The system's queues, there from boot.
extern struct workqueue_struct *system_wq;
extern struct workqueue_struct *system_highpri_wq;
extern struct workqueue_struct *system_long_wq;
extern struct workqueue_struct *system_unbound_wq;
extern struct workqueue_struct *system_freezable_wq;
extern struct workqueue_struct *system_power_efficient_wq;

void __init_work(struct work_struct *work, work_func_t func);
void __init_delayed_work(struct delayed_work *dwork, work_func_t func);

// A queue running at most max_active of its items at once (0: the default,
// 256); items beyond wait their turn in the order queued. NULL on failure.
__printf(1, 4) struct workqueue_struct *alloc_workqueue(const char *fmt, unsigned int flags, int max_active, ...);
// Runs what is queued (and what that queues on it), then frees the queue.
// Queueing on it from elsewhere meanwhile is refused with a WARNING.
void destroy_workqueue(struct workqueue_struct *wq);

// Queues work unless it is already pending; true if queued.
bool queue_work_on(int cpu, struct workqueue_struct *wq, struct work_struct *work);
// Queues dwork once delay jiffies have passed, unless it is already pending.
bool queue_delayed_work_on(int cpu, struct workqueue_struct *wq, struct delayed_work *dwork, unsigned long delay);
// Queues dwork with a new delay, pending or not; true if it was pending.
bool mod_delayed_work_on(int cpu, struct workqueue_struct *wq, struct delayed_work *dwork, unsigned long delay);

// Waits until the instance of work queued or running at the call has run;
// later requeues are not waited for. True if it waited.
bool flush_work(struct work_struct *work);
// Takes work off its queue, or waits for it to finish if it is running;
// true if it was pending. Requeues meanwhile are refused.
bool cancel_work_sync(struct work_struct *work);
// Queues dwork now if its delay is still running, then flush_work.
bool flush_delayed_work(struct delayed_work *dwork);
// Takes dwork off its timer or queue without waiting; true if it was pending.
bool cancel_delayed_work(struct delayed_work *dwork);
bool cancel_delayed_work_sync(struct delayed_work *dwork);
// Waits until everything queued on wq before the call has run.
void flush_workqueue(struct workqueue_struct *wq);
// Waits until wq is empty, items it queues on itself included.
void drain_workqueue(struct workqueue_struct *wq);
void flush_scheduled_work(void);
bool work_pending(const struct work_struct *work);
}

#define alloc_ordered_workqueue(fmt, flags, ...)                                                                       \
	alloc_workqueue(fmt, WQ_UNBOUND | __WQ_ORDERED | (flags), 1, ##__VA_ARGS__)
#define create_workqueue(name) alloc_workqueue("%s", __WQ_LEGACY | WQ_MEM_RECLAIM, 1, (name))
#define create_freezable_workqueue(name)                                                                               \
	alloc_workqueue("%s", __WQ_LEGACY | WQ_FREEZABLE | WQ_UNBOUND | WQ_MEM_RECLAIM, 1, (name))
#define create_singlethread_workqueue(name) alloc_ordered_workqueue("%s", __WQ_LEGACY | WQ_MEM_RECLAIM, name)

static inline bool queue_work(struct workqueue_struct *wq, struct work_struct *work)
{
	return queue_work_on(WORK_CPU_UNBOUND, wq, work);
}
static inline bool queue_delayed_work(struct workqueue_struct *wq, struct delayed_work *dwork, unsigned long delay)
{
	return queue_delayed_work_on(WORK_CPU_UNBOUND, wq, dwork, delay);
}
static inline bool mod_delayed_work(struct workqueue_struct *wq, struct delayed_work *dwork, unsigned long delay)
{
	return mod_delayed_work_on(WORK_CPU_UNBOUND, wq, dwork, delay);
}
static inline bool schedule_work_on(int cpu, struct work_struct *work) { return queue_work_on(cpu, system_wq, work); }
static inline bool schedule_work(struct work_struct *work) { return queue_work(system_wq, work); }
static inline bool schedule_delayed_work_on(int cpu, struct delayed_work *dwork, unsigned long delay)
{
	return queue_delayed_work_on(cpu, system_wq, dwork, delay);
}
static inline bool schedule_delayed_work(struct delayed_work *dwork, unsigned long delay)
{
	return queue_delayed_work(system_wq, dwork, delay);
}
