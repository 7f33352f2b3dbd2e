#pragma once
// The work item as the module sees it on a real kernel: the kernel's own
// struct work_struct, in place (the kernel queues and runs it as its own),
// whose first fields no configuration changes, with room after them for
// what the kernel's lock debugging adds.
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
	// The rest of the kernel's work_struct: its lock debugging's map of the
	// item (none in Debian's kernel). The glue checks that it fits.
	unsigned long __kernel_private[12];
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
		0, LIST_HEAD_INIT((n).entry), (f), {}                                                                  \
	}
#define __DELAYED_WORK_INITIALIZER(n, f, tflags)                                                                       \
	{                                                                                                              \
		__WORK_INITIALIZER((n).work, (f)), 0, nullptr, 0                                                       \
	}
