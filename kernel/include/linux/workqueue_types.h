#pragma once
// The work item's shape, apart from the queues' interface (workqueue.h) so
// that a backend can give it room of its own (kernel/linux/include).
#include <linux/list.h>

struct work_struct;
struct workqueue_struct;
typedef void (*work_func_t)(struct work_struct *work);

// A work item. While it is pending (queued, or waiting for its delay) it
// must stay in memory: freeing it then is reported.
struct work_struct {
	unsigned long data; // bit 0: pending; the rest belongs to the kernel
	struct list_head entry;
	work_func_t func;
};

// A work item queued once its delay (in jiffies) has passed. The fields
// after `work` belong to the kernel.
struct delayed_work {
	struct work_struct work;
	unsigned long __expires;
	struct workqueue_struct *wq;
	int cpu;
};

#define WORK_STRUCT_PENDING_BIT 0
#define WORK_CPU_UNBOUND	64

#define __WORK_INITIALIZER(n, f)                                                                                       \
	{                                                                                                              \
		0, LIST_HEAD_INIT((n).entry), (f)                                                                      \
	}
#define __DELAYED_WORK_INITIALIZER(n, f, tflags)                                                                       \
	{                                                                                                              \
		__WORK_INITIALIZER((n).work, (f)), 0, nullptr, 0                                                       \
	}
