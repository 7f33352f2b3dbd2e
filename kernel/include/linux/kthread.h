#pragma once
#include <linux/sched.h>
#include <linux/numa.h>
#include <linux/err.h>

extern "C" {
// The thread is created asleep; wake_up_process starts it.
__printf(4, 5) struct task_struct *kthread_create_on_node(int (*threadfn)(void *data), void *data, int node,
							  const char *namefmt, ...);
bool kthread_should_stop(void);
// Raises the stop request, wakes the thread and waits for it to end; the
// thread's result. A thread that ended by itself is not waited for, as long
// as the caller holds a reference to its task.
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
