// Wait queues: a list of waiting entries under the queue's spinlock; a
// wake-up calls each entry's function, which wakes its task. Completions
// are a count on a wait queue.
#include <linux/completion.h>
#include <linux/errno.h>
#include <linux/sched.h>
#include <linux/wait.h>

#include "task.hpp"

#include <climits>

namespace {

// nr: how many entries to wake (0: all). The queue's lock is held.
void wake_locked(wait_queue_head_t *q, unsigned int mode, int nr, void *key)
{
    wait_queue_t *wait;
    list_for_each_entry(wait, &q->task_list, task_list)
    {
        if (wait->func(wait, mode, 0, key) && nr && --nr == 0)
            break;
    }
}

// Waits until x is done or the timeout runs out; the jiffies left, 0 on
// timeout, -ERESTARTSYS if `state` is interruptible and a signal came
// first. The queue's lock is held on entry and exit.
long wait_done_locked(struct completion *x, long timeout, long state)
{
    DEFINE_WAIT(wait);
    while (!x->done && timeout) {
        if (state == TASK_INTERRUPTIBLE && signal_pending_current()) {
            timeout = -ERESTARTSYS;
            break;
        }
        if (list_empty(&wait.task_list))
            list_add_tail(&wait.task_list, &x->wait.task_list);
        set_current_state(state);
        spin_unlock(&x->wait.lock);
        timeout = kern::sleep_jiffies(timeout);
        spin_lock(&x->wait.lock);
    }
    if (!list_empty(&wait.task_list))
        list_del_init(&wait.task_list);
    set_current_state(TASK_RUNNING);
    if (timeout < 0)
        return timeout;
    if (!x->done)
        return 0;
    if (x->done != UINT_MAX)
        x->done--;
    return timeout ? timeout : 1;
}

long wait_done(struct completion *x, long timeout, long state = TASK_UNINTERRUPTIBLE)
{
    guard(spinlock)(&x->wait.lock);
    return wait_done_locked(x, timeout, state);
}

} // namespace

extern "C" {

void __init_waitqueue_head(wait_queue_head_t *q, const char *name)
{
    __spin_lock_init(&q->lock, name);
    INIT_LIST_HEAD(&q->task_list);
}

void init_wait_entry(wait_queue_t *wait, int flags)
{
    wait->flags = flags;
    wait->private_data = get_current();
    wait->func = default_wake_function;
    INIT_LIST_HEAD(&wait->task_list);
}

int default_wake_function(wait_queue_t *wait, unsigned mode, int flags, void *key)
{
    return wake_up_process(static_cast<struct task_struct *>(wait->private_data));
}

void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait)
{
    guard(spinlock)(&q->lock);
    list_add_tail(&wait->task_list, &q->task_list);
}

void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait)
{
    guard(spinlock)(&q->lock);
    list_del_init(&wait->task_list);
}

void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state)
{
    guard(spinlock)(&q->lock);
    if (list_empty(&wait->task_list))
        list_add_tail(&wait->task_list, &q->task_list);
    set_current_state(state);
}

void finish_wait(wait_queue_head_t *q, wait_queue_t *wait)
{
    set_current_state(TASK_RUNNING);
    guard(spinlock)(&q->lock);
    if (!list_empty(&wait->task_list))
        list_del_init(&wait->task_list);
}

void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr, void *key)
{
    guard(spinlock)(&q->lock);
    wake_locked(q, mode, nr, key);
}

void __init_completion(struct completion *x, const char *name)
{
    x->done = 0;
    __init_waitqueue_head(&x->wait, name);
}

void complete(struct completion *x)
{
    guard(spinlock)(&x->wait.lock);
    if (x->done != UINT_MAX)
        x->done++;
    wake_locked(&x->wait, TASK_NORMAL, 1, nullptr);
}

void complete_all(struct completion *x)
{
    guard(spinlock)(&x->wait.lock);
    x->done = UINT_MAX;
    wake_locked(&x->wait, TASK_NORMAL, 0, nullptr);
}

void wait_for_completion(struct completion *x)
{
    KERN_MIGHT_SLEEP();
    wait_done(x, MAX_SCHEDULE_TIMEOUT);
}

unsigned long wait_for_completion_timeout(struct completion *x, unsigned long timeout)
{
    KERN_MIGHT_SLEEP();
    return static_cast<unsigned long>(wait_done(x, static_cast<long>(timeout)));
}

int wait_for_completion_interruptible(struct completion *x)
{
    KERN_MIGHT_SLEEP();
    long r = wait_done(x, MAX_SCHEDULE_TIMEOUT, TASK_INTERRUPTIBLE);
    return r < 0 ? static_cast<int>(r) : 0;
}

long wait_for_completion_interruptible_timeout(struct completion *x, unsigned long timeout)
{
    KERN_MIGHT_SLEEP();
    return wait_done(x, static_cast<long>(timeout), TASK_INTERRUPTIBLE);
}

bool try_wait_for_completion(struct completion *x)
{
    guard(spinlock)(&x->wait.lock);
    if (!x->done)
        return false;
    if (x->done != UINT_MAX)
        x->done--;
    return true;
}

bool completion_done(struct completion *x)
{
    guard(spinlock)(&x->wait.lock);
    return x->done != 0;
}

} // extern "C"
