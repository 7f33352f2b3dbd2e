#pragma once
#include <linux/wait.h>

// A one-way signal: waiters sleep until complete() has been called as often
// as they wait, or complete_all() once.
struct completion {
	unsigned int done;
	wait_queue_head_t wait;
};

#define COMPLETION_INITIALIZER(work)                                                                                   \
	{                                                                                                              \
		0, __WAIT_QUEUE_HEAD_INITIALIZER((work).wait)                                                          \
	}
#define DECLARE_COMPLETION(work)	 struct completion work = COMPLETION_INITIALIZER(work)
#define DECLARE_COMPLETION_ONSTACK(work) DECLARE_COMPLETION(work)
#define init_completion(x)		 __init_completion((x), "&(" #x ")->wait")
#define reinit_completion(x)		 ((x)->done = 0)

extern "C" {
void __init_completion(struct completion *x, const char *name);
void complete(struct completion *x);
void complete_all(struct completion *x);
void wait_for_completion(struct completion *x);
// The jiffies left (at least 1) once completed; 0 on timeout.
unsigned long wait_for_completion_timeout(struct completion *x, unsigned long timeout);
int wait_for_completion_interruptible(struct completion *x);
long wait_for_completion_interruptible_timeout(struct completion *x, unsigned long timeout);
bool try_wait_for_completion(struct completion *x);
bool completion_done(struct completion *x);
}
