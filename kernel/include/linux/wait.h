#pragma once
#include <linux/list.h>
#include <linux/spinlock.h>

struct task_struct;
struct wait_queue_entry;
typedef int (*wait_queue_func_t)(struct wait_queue_entry *wait, unsigned mode, int flags, void *key);

struct wait_queue_entry {
	unsigned int flags;
	void *private_data; // the waiting task
	wait_queue_func_t func;
	struct list_head task_list;
};
typedef struct wait_queue_entry wait_queue_t;

struct wait_queue_head {
	spinlock_t lock;
	struct list_head task_list;
};
typedef struct wait_queue_head wait_queue_head_t;

#define __WAIT_QUEUE_HEAD_INITIALIZER(name)                                                                            \
	{                                                                                                              \
		__SPIN_LOCK_UNLOCKED(name.lock), LIST_HEAD_INIT(name.task_list)                                        \
	}
#define DECLARE_WAIT_QUEUE_HEAD(name) wait_queue_head_t name = __WAIT_QUEUE_HEAD_INITIALIZER(name)
#define init_waitqueue_head(q)	      __init_waitqueue_head((q), #q)

extern "C" {
struct task_struct *get_current(void);
void __init_waitqueue_head(wait_queue_head_t *q, const char *name);
void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state);
void finish_wait(wait_queue_head_t *q, wait_queue_t *wait);
void init_wait_entry(wait_queue_t *wait, int flags);
void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr, void *key);
int default_wake_function(wait_queue_t *wait, unsigned mode, int flags, void *key);
long schedule_timeout(long timeout);
bool signal_pending_current(void);
void __might_sleep(const char *file, int line, int preempt_offset);
}
#ifndef might_sleep
#define might_sleep() __might_sleep(__FILE__, __LINE__, 0)
#endif

#define wake_up(q)		     __wake_up((q), 3, 1, nullptr)
#define wake_up_all(q)		     __wake_up((q), 3, 0, nullptr)
#define wake_up_interruptible(q)     __wake_up((q), 1, 1, nullptr)
#define wake_up_interruptible_all(q) __wake_up((q), 1, 0, nullptr)

#define DEFINE_WAIT(name)                                                                                              \
	wait_queue_t name = { 0, get_current(), default_wake_function, LIST_HEAD_INIT(name.task_list) }

// Sleeps until cond holds or the timeout (in jiffies) runs out; the jiffies
// left (at least 1) when cond came true, 0 on timeout.
#define wait_event_timeout(wq, cond, timeout)                                                                          \
	({                                                                                                             \
		long __ret = (timeout);                                                                                \
		might_sleep();                                                                                         \
		DEFINE_WAIT(__wait);                                                                                   \
		while (!(cond)) {                                                                                      \
			prepare_to_wait(&(wq), &__wait, 2);                                                            \
			if (cond)                                                                                      \
				break;                                                                                 \
			__ret = schedule_timeout(__ret);                                                               \
			if (!__ret) {                                                                                  \
				__ret = (cond) ? 1 : 0;                                                                \
				break;                                                                                 \
			}                                                                                              \
		}                                                                                                      \
		finish_wait(&(wq), &__wait);                                                                           \
		__ret;                                                                                                 \
	})
#define wait_event(wq, cond) ((void)wait_event_timeout(wq, cond, 0x7fffffffffffffffL))

// Sleeps interruptibly until cond holds, the timeout (in jiffies) runs out
// or a signal is pending: the jiffies left (at least 1) when cond came true,
// 0 on timeout, -ERESTARTSYS (-512) for a signal.
#define wait_event_interruptible_timeout(wq, cond, timeout)                                                            \
	({                                                                                                             \
		long __ret = (timeout);                                                                                \
		might_sleep();                                                                                         \
		DEFINE_WAIT(__wait);                                                                                   \
		while (!(cond)) {                                                                                      \
			prepare_to_wait(&(wq), &__wait, 1);                                                            \
			if (cond)                                                                                      \
				break;                                                                                 \
			if (signal_pending_current()) {                                                                \
				__ret = -512;                                                                          \
				break;                                                                                 \
			}                                                                                              \
			__ret = schedule_timeout(__ret);                                                               \
			if (!__ret) {                                                                                  \
				__ret = (cond) ? 1 : 0;                                                                \
				break;                                                                                 \
			}                                                                                              \
		}                                                                                                      \
		finish_wait(&(wq), &__wait);                                                                           \
		__ret;                                                                                                 \
	})
// 0 once cond holds, -ERESTARTSYS (-512) if a signal came first.
#define wait_event_interruptible(wq, cond)                                                                             \
	({                                                                                                             \
		long __r = wait_event_interruptible_timeout(wq, cond, 0x7fffffffffffffffL);                            \
		__r < 0 ? (int)__r : 0;                                                                                \
	})
