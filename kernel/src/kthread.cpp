// Kernel threads. Each runs on its own host thread with its task as current.
// The thread holds one reference to its task and drops it when it ends, so a
// task that ended by itself may be gone unless the creator took a reference
// (get_task_struct), as with the kernel's own kthreads.
#include <linux/kthread.h>
#include <linux/kernel.h>

#include "fault_inject.hpp"

#include "kthread_internal.hpp"
#include "task.hpp"

#include <mutex>
#include <pthread.h>
#include <vector>

namespace {

std::mutex zombie_lock; // guards zombies
// Ended threads not yet joined. Never destroyed: a thread may still be on its
// way out while the process exits.
std::vector<pthread_t> &zombies = *new std::vector<pthread_t>;

// The thread joins the zombies before it tells its waiters it has ended, so
// that a waiter's reap always finds it.
void finish(task_struct *task, int result)
{
    {
        std::lock_guard hold(zombie_lock);
        zombies.push_back(pthread_self());
    }
    {
        std::lock_guard hold(task->exit_lock);
        task->exited = true;
        task->result = result;
    }
    task->exit_cv.notify_all();
    kern::set_current_task(nullptr);
    put_task_struct(task);
}

void *trampoline(void *arg)
{
    auto *task = static_cast<task_struct *>(arg);
    kern::set_current_task(task);
    // Created asleep: runs once wake_up_process has been called.
    while (task->state.load() != TASK_RUNNING)
        kern::sleep_until(task, -1);
    // A thread stopped before it was ever woken does not run its body.
    if (task->should_stop) {
        finish(task, -EINTR);
        return nullptr;
    }

    int result;
    if (setjmp(task->exit_jump) == 0)
        result = task->threadfn(task->data);
    else
        result = task->result; // do_exit
    finish(task, result);
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

int kthread_stop(struct task_struct *k)
{
    get_task_struct(k);
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
    task->result = static_cast<int>(code);
    longjmp(task->exit_jump, 1);
}

} // extern "C"
