#pragma once
#include <linux/types.h>
#include <linux/wait.h>

// A task: a kernel thread, a worker, or a program's thread in a system call.
// Its contents belong to the kernel layer.
struct task_struct;

#define TASK_RUNNING	     0
#define TASK_INTERRUPTIBLE   1
#define TASK_UNINTERRUPTIBLE 2
#define TASK_NORMAL	     (TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE)
#define TASK_COMM_LEN	     16
#define MAX_SCHEDULE_TIMEOUT 0x7fffffffffffffffL

extern "C" {
struct task_struct *get_current(void);
void set_current_state(long state);
long schedule_timeout(long timeout);
long schedule_timeout_interruptible(long timeout);
long schedule_timeout_uninterruptible(long timeout);
void schedule(void);
int wake_up_process(struct task_struct *task);
void get_task_struct(struct task_struct *task);
void put_task_struct(struct task_struct *task);
const char *task_comm(struct task_struct *task);
// A signal sent to the task waits to be delivered at the end of its system
// call; interruptible sleeps do not start, or end, while one is pending.
int signal_pending(struct task_struct *p);
[[noreturn]] void do_exit(long code);
}
// The kernel layer's own sources, which mix these headers with the host's
// C++ library, spell it get_current().
#ifndef QUORVEL_KERNEL_IMPL
#define current get_current()
#endif
#define __set_current_state(s) set_current_state(s)
