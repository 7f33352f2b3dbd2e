#pragma once
#include <linux/types.h>
#include <linux/wait.h>

struct file;

#define POLLIN	   0x0001
#define POLLPRI	   0x0002
#define POLLOUT	   0x0004
#define POLLERR	   0x0008
#define POLLHUP	   0x0010
#define POLLNVAL   0x0020
#define POLLRDNORM 0x0040
#define POLLRDBAND 0x0080
#define POLLWRNORM 0x0100
#define POLLWRBAND 0x0200

typedef struct poll_table_struct {
	void (*_qproc)(struct file *, wait_queue_head_t *, struct poll_table_struct *);
	unsigned long _key;
} poll_table;

// One registration of the polling task: on a kernel wait queue, or on an
// open file of the host (a real tty), whose readiness the sleep watches.
struct poll_table_entry {
	struct file *filp;
	wait_queue_head_t *wait_address;
	wait_queue_t wait;
	int host_fd;
};

#define POLL_INLINE_ENTRIES 8

// A poll in progress: poll_initwait makes the calling task its owner; every
// poll operation called with &pt registers what the task should wake on;
// schedule_timeout then sleeps until one of them is ready; poll_freewait
// drops the registrations.
struct poll_wqueues {
	poll_table pt;
	struct task_struct *polling_task;
	int triggered;
	int error;
	int inline_index;
	struct poll_table_entry inline_entries[POLL_INLINE_ENTRIES];
};

extern "C" {
void poll_initwait(struct poll_wqueues *pwq);
void poll_freewait(struct poll_wqueues *pwq);
}

inline void poll_wait(struct file *filp, wait_queue_head_t *wait_address, poll_table *p)
{
	if (p && p->_qproc && wait_address)
		p->_qproc(filp, wait_address, p);
}
