#pragma once
// Polling on a real kernel: a poll in progress is the kernel's own struct
// poll_wqueues (its size comes from the kernel's headers), so that the
// kernel's poll_initwait, the line's poll operation and poll_freewait work
// on it as they do for select(2), and a byte arriving wakes the sleeper.
#include <linux/types.h>
#include <linux/wait.h>

#include <quorvel_layout.h>

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
	unsigned int _key;
} poll_table;

// The kernel's registrations (its poll_table_entry, POLL_INLINE_ENTRIES of
// them inline) are its own, inside __kernel_private.
struct poll_wqueues {
	poll_table pt;
	alignas(8) unsigned char __kernel_private[KERNEL_SIZEOF_poll_wqueues - sizeof(poll_table)];
};

extern "C" {
void poll_initwait(struct poll_wqueues *pwq);
void poll_freewait(struct poll_wqueues *pwq);
// The module's wait queues are not the kernel's: registration goes through
// the backend, which knows both.
void poll_wait(struct file *filp, wait_queue_head_t *wait_address, poll_table *p);
}
