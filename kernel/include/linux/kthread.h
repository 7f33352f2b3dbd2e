#pragma once
#include <linux/sched.h>
#include <linux/numa.h>
#include <linux/err.h>
#include <linux/list.h>
#include <linux/spinlock.h>

extern "C" {
// The thread is created asleep; wake_up_process starts it.
__printf(4, 5) struct task_struct *kthread_create_on_node(int (*threadfn)(void *data), void *data, int node,
							  const char *namefmt, ...);
bool kthread_should_stop(void);
// Raises the stop request, wakes the thread and waits for it to end; the
// thread's result. A thread that ended by itself is not waited for, as long
// as the caller holds a reference to its task (get_task_struct before the
// thread can end); without one the task is gone, which is reported.
int kthread_stop(struct task_struct *k);
}

#define kthread_create(threadfn, data, namefmt, ...)                                                                   \
	kthread_create_on_node(threadfn, data, NUMA_NO_NODE, namefmt, ##__VA_ARGS__)
#define kthread_run(threadfn, data, namefmt, ...)                                                                      \
	({                                                                                                             \
		struct task_struct *__k = kthread_create(threadfn, data, namefmt, ##__VA_ARGS__);                      \
		if (!IS_ERR(__k))                                                                                      \
			wake_up_process(__k);                                                                          \
		__k;                                                                                                   \
	})

// A kthread worker: one kernel thread running kthread_worker_fn takes work
// items from its list, one at a time, in the order they were queued.
struct kthread_work;
typedef void (*kthread_work_func_t)(struct kthread_work *work);

struct kthread_worker {
	spinlock_t lock; // guards work_list and current_work
	struct list_head work_list;
	struct task_struct *task;
	struct kthread_work *current_work;
};

struct kthread_work {
	struct list_head node; // on the worker's list while queued
	kthread_work_func_t func;
	struct kthread_worker *worker;
};

#define KTHREAD_WORKER_INIT(worker)                                                                                    \
	{                                                                                                              \
		__SPIN_LOCK_UNLOCKED((worker).lock), LIST_HEAD_INIT((worker).work_list), nullptr, nullptr              \
	}
#define KTHREAD_WORK_INIT(work, fn)                                                                                    \
	{                                                                                                              \
		LIST_HEAD_INIT((work).node), (fn), nullptr                                                             \
	}
#define DEFINE_KTHREAD_WORKER(worker) struct kthread_worker worker = KTHREAD_WORKER_INIT(worker)
#define DEFINE_KTHREAD_WORK(work, fn) struct kthread_work work = KTHREAD_WORK_INIT(work, fn)

extern "C" {
void __init_kthread_worker(struct kthread_worker *worker, const char *name);
void init_kthread_work(struct kthread_work *work, kthread_work_func_t fn);
// The thread function of a worker: kthread_run(kthread_worker_fn, worker, ...).
int kthread_worker_fn(void *worker_ptr);
// Queues work unless it is already queued; true if queued.
bool queue_kthread_work(struct kthread_worker *worker, struct kthread_work *work);
// Waits until work, if queued or running, has run.
void flush_kthread_work(struct kthread_work *work);
// Waits until everything queued on the worker so far has run.
void flush_kthread_worker(struct kthread_worker *worker);
// A worker with its own thread, already running; ERR_PTR on failure.
__printf(2, 3) struct kthread_worker *kthread_create_worker(unsigned int flags, const char *namefmt, ...);
// Flushes the worker, stops its thread and frees it.
void kthread_destroy_worker(struct kthread_worker *worker);
}
#define init_kthread_worker(worker) __init_kthread_worker((worker), "(" #worker ")->lock")

// The names later kernels give the same calls.
#define kthread_init_worker(worker)	 init_kthread_worker(worker)
#define kthread_init_work(work, fn)	 init_kthread_work((work), (fn))
#define kthread_queue_work(worker, work) queue_kthread_work((worker), (work))
#define kthread_flush_work(work)	 flush_kthread_work(work)
#define kthread_flush_worker(worker)	 flush_kthread_worker(worker)
