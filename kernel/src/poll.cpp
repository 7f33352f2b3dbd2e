// Polls from kernel code: the poll operation of a file registers the polling
// task on the file's wait queue, or, for a host file, names the host
// descriptor that the task's next sleep watches as well.
#include <linux/poll.h>
#include <linux/sched.h>

#include "poll_host.hpp"
#include "task.hpp"

namespace {

struct poll_table_entry *next_entry(poll_table *pt)
{
    auto *pwq = container_of(pt, struct poll_wqueues, pt);
    if (pwq->inline_index >= POLL_INLINE_ENTRIES) {
        pwq->error = -ENOMEM;
        return nullptr;
    }
    auto *entry = &pwq->inline_entries[pwq->inline_index++];
    entry->filp = nullptr;
    entry->wait_address = nullptr;
    entry->host_fd = -1;
    return entry;
}

void queue_proc(struct file *filp, wait_queue_head_t *wq, poll_table *pt)
{
    auto *entry = next_entry(pt);
    if (!entry)
        return;
    auto *pwq = container_of(pt, struct poll_wqueues, pt);
    entry->filp = filp;
    entry->wait_address = wq;
    init_wait_entry(&entry->wait, 0);
    entry->wait.private_data = pwq->polling_task;
    add_wait_queue(wq, &entry->wait);
}

} // namespace

namespace kern {

void poll_wait_host(struct file *filp, int host_fd, poll_table *pt)
{
    if (!pt || pt->_qproc != queue_proc)
        return;
    if (auto *entry = next_entry(pt)) {
        entry->filp = filp;
        entry->host_fd = host_fd;
    }
}

} // namespace kern

extern "C" {

void poll_initwait(struct poll_wqueues *pwq)
{
    pwq->pt._qproc = queue_proc;
    pwq->pt._key = ~0UL;
    pwq->polling_task = get_current();
    pwq->triggered = 0;
    pwq->error = 0;
    pwq->inline_index = 0;
    pwq->polling_task->polling = pwq;
}

void poll_freewait(struct poll_wqueues *pwq)
{
    for (int i = 0; i < pwq->inline_index; i++) {
        auto *entry = &pwq->inline_entries[i];
        if (entry->wait_address)
            remove_wait_queue(entry->wait_address, &entry->wait);
    }
    pwq->inline_index = 0;
    if (pwq->polling_task && pwq->polling_task->polling == pwq)
        pwq->polling_task->polling = nullptr;
}

} // extern "C"
