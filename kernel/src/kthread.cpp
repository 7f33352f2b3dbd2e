// Kernel threads. Each runs on its own host thread with its task as current.
// The thread holds one reference to its task and drops it when it ends, so a
// task that ended by itself may be gone unless the creator took a reference
// (get_task_struct), as with the kernel's own kthreads.
//
// How a thread ends. Returning from its function and do_exit() end it the
// same way: the task's end (its result, the locks check, waking kthread_stop,
// dropping the thread's reference) is done by a thread-local object's
// destructor, which the host runs at the end of every thread however it
// ended. do_exit() ends the host thread with pthread_exit, which unwinds the
// thread's frames the way a thread cancellation does: frames with cleanups
// run them, the module's frames (built without exceptions, like kernel C)
// are passed over as the kernel's do_exit passes over C frames. No frame is
// jumped over with longjmp, and nothing runs after the thread has ended.
// The alternatives were weaker: a longjmp back to the thread's start skips
// C++ frames (undefined behaviour), and a thread parked for ever after
// do_exit would hold its host thread to the end of the process.
#include <linux/kthread.h>
#include <linux/bug.h>
#include <linux/kernel.h>
#include <linux/slab.h>

#include "bug.hpp"
#include "fault_inject.hpp"
#include "kthread_internal.hpp"
#include "lockdep.hpp"
#include "task.hpp"
#include "workqueue_internal.hpp"

#include <climits>
#include <linux/completion.h>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace {

std::mutex zombie_lock; // guards zombies
// Ended threads not yet joined. Never destroyed: a thread may still be on its
// way out while the process exits.
std::vector<pthread_t> &zombies = *new std::vector<pthread_t>;

// The end of a kernel thread, run by the host as the thread ends. The thread
// joins the zombies before it tells its waiters it has ended, so that a
// waiter's reap always finds it.
struct ThreadEnd {
    task_struct *task = nullptr;
    ~ThreadEnd()
    {
        if (!task)
            return;
        kern::lockdep::check_no_locks_held(task, reinterpret_cast<const void *>(task->threadfn));
        {
            std::lock_guard hold(zombie_lock);
            zombies.push_back(pthread_self());
        }
        {
            std::lock_guard hold(task->exit_lock);
            task->exited = true;
        }
        task->exit_cv.notify_all();
        kern::set_current_task(nullptr);
        put_task_struct(task);
    }
};
thread_local ThreadEnd thread_end;

void *trampoline(void *arg)
{
    auto *task = static_cast<task_struct *>(arg);
    kern::set_current_task(task);
    thread_end.task = task;
    // Created asleep: runs once wake_up_process has been called.
    while (task->state.load() != TASK_RUNNING)
        kern::sleep_until(task, -1);
    // A thread stopped before it was ever woken does not run its body.
    if (task->should_stop) {
        task->result = -EINTR;
        return nullptr;
    }
    task->result = task->threadfn(task->data);
    return nullptr;
}

} // namespace

namespace kern {

task_struct *kthread_spawn(int (*fn)(void *), void *data, const std::string &name)
{
    reap_kthreads();
    task_struct *task = task_create(name);
    task->is_kthread = true;
    task->threadfn = fn;
    task->data = data;
    task->state = TASK_UNINTERRUPTIBLE;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, trampoline, task) != 0) {
        put_task_struct(task);
        return nullptr;
    }
    return task;
}

void reap_kthreads()
{
    std::vector<pthread_t> ended;
    {
        std::lock_guard hold(zombie_lock);
        ended.swap(zombies);
    }
    for (pthread_t t : ended)
        pthread_join(t, nullptr);
}

int kthread_wait_exit(task_struct *task)
{
    std::unique_lock lock(task->exit_lock);
    task->exit_cv.wait(lock, [task] { return task->exited; });
    return task->result;
}

} // namespace kern

extern "C" {

struct task_struct *kthread_create_on_node(int (*threadfn)(void *data), void *data, int node, const char *namefmt, ...)
{
    if (kern::should_fail("kthread_create_on_node"))
        return ERR_PTR<task_struct>(-ENOMEM);
    char name[TASK_COMM_LEN];
    va_list args;
    va_start(args, namefmt);
    vsnprintf(name, sizeof name, namefmt, args);
    va_end(args);
    task_struct *task = kern::kthread_spawn(threadfn, data, name);
    return task ? task : ERR_PTR<task_struct>(-ENOMEM);
}

bool kthread_should_stop(void) { return kern::current_task()->should_stop.load(); }

// A task whose thread ended while nobody held a reference is freed; on Linux
// the stop then reads freed memory. Here the freed task is recognised and
// the stop reported as KASAN reports the read, with nothing followed.
int kthread_stop(struct task_struct *k)
{
    KERN_MIGHT_SLEEP();
    if (!kern::task_get_if_alive(k)) {
        KERN_BUG("KASAN: use-after-free in kthread_stop");
        printk(KERN_ERR "the task at %p ended and was freed before kthread_stop: the caller held no reference "
                        "(get_task_struct before the thread can end)\n",
               static_cast<void *>(k));
        return -ESRCH;
    }
    k->should_stop = true;
    wake_up_process(k);
    int result = kern::kthread_wait_exit(k);
    put_task_struct(k);
    kern::reap_kthreads();
    return result;
}

void do_exit(long code)
{
    task_struct *task = kern::current_task();
    if (!task->is_kthread) {
        printk(KERN_ERR "do_exit called outside a kernel thread\n");
        __builtin_trap();
    }
    if (kern::workqueue::in_work_item())
        KERN_BUG("do_exit called from a work item");
    task->result = static_cast<int>(code);
    pthread_exit(nullptr);
}

// ---- kthread workers ----

void __init_kthread_worker(struct kthread_worker *worker, const char *name)
{
    __spin_lock_init(&worker->lock, name);
    INIT_LIST_HEAD(&worker->work_list);
    worker->task = nullptr;
    worker->current_work = nullptr;
}

void init_kthread_work(struct kthread_work *work, kthread_work_func_t fn)
{
    INIT_LIST_HEAD(&work->node);
    work->func = fn;
    work->worker = nullptr;
}

int kthread_worker_fn(void *worker_ptr)
{
    auto *worker = static_cast<struct kthread_worker *>(worker_ptr);
    scoped_guard(spinlock, &worker->lock)
    {
        WARN_ON(worker->task && worker->task != get_current());
        worker->task = get_current();
    }
    for (;;) {
        set_current_state(TASK_INTERRUPTIBLE);
        if (kthread_should_stop()) {
            set_current_state(TASK_RUNNING);
            scoped_guard(spinlock, &worker->lock) worker->task = nullptr;
            return 0;
        }
        struct kthread_work *work = nullptr;
        scoped_guard(spinlock, &worker->lock)
        {
            if (!list_empty(&worker->work_list)) {
                work = list_first_entry(&worker->work_list, struct kthread_work, node);
                list_del_init(&work->node);
            }
            worker->current_work = work;
        }
        if (!work) {
            schedule();
            continue;
        }
        set_current_state(TASK_RUNNING);
        int depth = kern::current_task()->lock_depth;
        work->func(work);
        if (kern::current_task()->lock_depth != depth)
            kern::lockdep::check_no_locks_held(kern::current_task(), reinterpret_cast<const void *>(work->func));
    }
}

namespace {

void insert_kthread_work(struct kthread_worker *worker, struct kthread_work *work, struct list_head *pos)
{
    list_add_tail(&work->node, pos);
    work->worker = worker;
    if (worker->task)
        wake_up_process(worker->task);
}

struct kthread_flush_work {
    struct kthread_work work;
    struct completion done;
};

void kthread_flush_work_fn(struct kthread_work *work)
{
    complete(&container_of(work, struct kthread_flush_work, work)->done);
}

} // namespace

bool queue_kthread_work(struct kthread_worker *worker, struct kthread_work *work)
{
    guard(spinlock)(&worker->lock);
    if (!list_empty(&work->node))
        return false;
    insert_kthread_work(worker, work, &worker->work_list);
    return true;
}

// A barrier queued right behind work (or first, if work is running) and
// waited for: later requeues of work are not waited for.
void flush_kthread_work(struct kthread_work *work)
{
    KERN_MIGHT_SLEEP();
    struct kthread_worker *worker = work->worker;
    if (!worker)
        return;
    struct kthread_flush_work fwork = {KTHREAD_WORK_INIT(fwork.work, kthread_flush_work_fn),
                                       COMPLETION_INITIALIZER(fwork.done)};
    bool noop = false;
    scoped_guard(spinlock, &worker->lock)
    {
        if (!list_empty(&work->node))
            insert_kthread_work(worker, &fwork.work, work->node.next);
        else if (worker->current_work == work)
            insert_kthread_work(worker, &fwork.work, worker->work_list.next);
        else
            noop = true;
    }
    if (!noop)
        wait_for_completion(&fwork.done);
}

void flush_kthread_worker(struct kthread_worker *worker)
{
    KERN_MIGHT_SLEEP();
    struct kthread_flush_work fwork = {KTHREAD_WORK_INIT(fwork.work, kthread_flush_work_fn),
                                       COMPLETION_INITIALIZER(fwork.done)};
    queue_kthread_work(worker, &fwork.work);
    wait_for_completion(&fwork.done);
}

struct kthread_worker *kthread_create_worker(unsigned int flags, const char *namefmt, ...)
{
    auto *worker = static_cast<struct kthread_worker *>(kzalloc(sizeof(struct kthread_worker), GFP_KERNEL));
    if (!worker)
        return ERR_PTR<struct kthread_worker>(-ENOMEM);
    init_kthread_worker(worker);
    char name[TASK_COMM_LEN];
    va_list args;
    va_start(args, namefmt);
    vsnprintf(name, sizeof name, namefmt, args);
    va_end(args);
    struct task_struct *task = kthread_create(kthread_worker_fn, worker, "%s", name);
    if (IS_ERR(task)) {
        kfree(worker);
        return ERR_CAST<struct kthread_worker>(task);
    }
    // Set before the thread runs, so that work queued at once wakes it.
    scoped_guard(spinlock, &worker->lock) { worker->task = task; }
    wake_up_process(task);
    return worker;
}

void kthread_destroy_worker(struct kthread_worker *worker)
{
    struct task_struct *task = worker->task;
    if (WARN_ON(!task))
        return;
    flush_kthread_worker(worker);
    kthread_stop(task);
    WARN_ON(!list_empty(&worker->work_list));
    kfree(worker);
}

} // extern "C"
