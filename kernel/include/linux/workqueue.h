#pragma once
#include <linux/list.h>

struct work_struct;
typedef void (*work_func_t)(struct work_struct *work);

struct work_struct {
	unsigned long data; // bit 0: pending
	struct list_head entry;
	work_func_t func;
};

#define WORK_STRUCT_PENDING_BIT 0
#define __WORK_INITIALIZER(n, f)                                                                                       \
	{                                                                                                              \
		0, LIST_HEAD_INIT((n).entry), (f)                                                                      \
	}
#define DECLARE_WORK(n, f) struct work_struct n = __WORK_INITIALIZER(n, f)
#define INIT_WORK(w, f)	   __init_work((w), (f))

extern "C" {
void __init_work(struct work_struct *work, work_func_t func);
// Queues work on the system work queue; false if it was already pending.
bool schedule_work(struct work_struct *work);
// Waits until work has run, if it was pending or running; true if it waited.
bool flush_work(struct work_struct *work);
// Takes work off the queue, or waits for it to finish if it is running;
// true if it was pending.
bool cancel_work_sync(struct work_struct *work);
void flush_scheduled_work(void);
bool work_pending(const struct work_struct *work);
}
