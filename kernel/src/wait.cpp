// Wait queues: a list of waiting entries under the queue's spinlock; a
// wake-up calls each entry's function, which wakes its task.
#include <linux/sched.h>
#include <linux/wait.h>

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

// nr: how many entries to wake (0: all).
void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr, void *key)
{
    guard(spinlock)(&q->lock);
    wait_queue_t *wait;
    list_for_each_entry(wait, &q->task_list, task_list)
    {
        if (wait->func(wait, mode, 0, key) && nr && --nr == 0)
            break;
    }
}

} // extern "C"
