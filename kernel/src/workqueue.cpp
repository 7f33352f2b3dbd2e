// The system work queue: one worker kernel thread that runs queued work items
// in order. A pending item is queued once; queueing it again has no effect
// until it has started to run.
#include <linux/workqueue.h>
#include <linux/atomic.h>

#include "kthread_internal.hpp"
#include "task.hpp"
#include "workqueue_internal.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

std::mutex wq_lock; // guards everything below
std::condition_variable wq_cv;
std::deque<work_struct *> queue;
work_struct *running = nullptr;
uint64_t completed = 0; // items finished, so that waiters see progress
bool stopping = false;
task_struct *worker = nullptr;

int worker_fn(void *)
{
    std::unique_lock lock(wq_lock);
    for (;;) {
        wq_cv.wait(lock, [] { return stopping || !queue.empty(); });
        if (queue.empty())
            return 0;
        work_struct *work = queue.front();
        queue.pop_front();
        running = work;
        clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
        lock.unlock();
        work->func(work);
        lock.lock();
        running = nullptr;
        completed++;
        wq_cv.notify_all();
    }
}

bool queued_locked(work_struct *work)
{
    for (auto *w : queue)
        if (w == work)
            return true;
    return false;
}

// Waits until `work` is neither queued nor running.
void wait_idle_locked(std::unique_lock<std::mutex> &lock, work_struct *work)
{
    wq_cv.wait(lock, [work] { return running != work && !queued_locked(work); });
}

} // namespace

namespace kern::workqueue {

void start()
{
    std::lock_guard hold(wq_lock);
    if (worker)
        return;
    stopping = false;
    worker = kthread_spawn(worker_fn, nullptr, "kworker/0:1");
    get_task_struct(worker);
    wake_up_process(worker);
}

void stop()
{
    task_struct *w;
    {
        std::lock_guard hold(wq_lock);
        if (!worker)
            return;
        stopping = true;
        w = worker;
        worker = nullptr;
    }
    wq_cv.notify_all();
    kthread_wait_exit(w);
    put_task_struct(w);
    reap_kthreads();
}

} // namespace kern::workqueue

extern "C" {

void __init_work(struct work_struct *work, work_func_t func)
{
    work->data = 0;
    INIT_LIST_HEAD(&work->entry);
    work->func = func;
}

bool schedule_work(struct work_struct *work)
{
    if (test_and_set_bit(WORK_STRUCT_PENDING_BIT, &work->data))
        return false;
    {
        std::lock_guard hold(wq_lock);
        queue.push_back(work);
    }
    wq_cv.notify_all();
    return true;
}

bool flush_work(struct work_struct *work)
{
    std::unique_lock lock(wq_lock);
    bool busy = running == work || queued_locked(work);
    wait_idle_locked(lock, work);
    return busy;
}

bool cancel_work_sync(struct work_struct *work)
{
    std::unique_lock lock(wq_lock);
    bool was_pending = false;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (*it == work) {
            queue.erase(it);
            clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
            was_pending = true;
            break;
        }
    }
    wait_idle_locked(lock, work);
    return was_pending;
}

void flush_scheduled_work(void)
{
    std::unique_lock lock(wq_lock);
    uint64_t target = completed + queue.size() + (running ? 1 : 0);
    wq_cv.wait(lock, [target] { return completed >= target; });
}

bool work_pending(const struct work_struct *work) { return test_bit(WORK_STRUCT_PENDING_BIT, &work->data); }

} // extern "C"
