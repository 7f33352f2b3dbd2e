#pragma once
#include <linux/poll.h>

namespace kern {
// Called by the poll operation of a host-backed file: the polling task's
// next sleep also ends when host_fd becomes ready.
void poll_wait_host(struct file *filp, int host_fd, poll_table *pt);
} // namespace kern
