// Tasks and sleeping. A sleeping task waits on its own eventfd, which
// wake_up_process signals, and on the host files of the poll it is in.
#include <linux/sched.h>

#include "clock.hpp"
#include "host/host.hpp"
#include "sleep_count.hpp"
#include "task.hpp"

#include <cstdio>

namespace kern {
namespace {

// Drops the reference of a program thread's task when the thread ends.
struct ThreadTask {
    task_struct *task = nullptr;
    ~ThreadTask()
    {
        if (task)
            put_task_struct(task);
    }
};
thread_local ThreadTask thread_task;
thread_local task_struct *running_as = nullptr;

} // namespace

task_struct *task_create(const std::string &comm)
{
    auto *task = new task_struct;
    task->comm = comm.substr(0, TASK_COMM_LEN - 1);
    task->wake_fd = host::wakefd_create();
    if (task->wake_fd < 0) {
        std::fprintf(stderr, "kernel: no eventfd for task %s (%d)\n", comm.c_str(), task->wake_fd);
        std::abort();
    }
    return task;
}

task_struct *current_task()
{
    if (running_as)
        return running_as;
    if (!thread_task.task)
        thread_task.task = task_create("program");
    return thread_task.task;
}

void set_current_task(task_struct *task) { running_as = task; }

void sleep_until(task_struct *task, int64_t deadline_ns)
{
    // Drain before looking at the state: a wake-up that comes after the look
    // signals the eventfd after the drain, so it cannot be lost.
    host::wakefd_drain(task->wake_fd);
    if (task->state.load() == TASK_RUNNING)
        return;

    int watch[POLL_INLINE_ENTRIES];
    int n_watch = 0;
    if (auto *pwq = task->polling) {
        for (int i = 0; i < pwq->inline_index; i++)
            if (pwq->inline_entries[i].host_fd >= 0)
                watch[n_watch++] = pwq->inline_entries[i].host_fd;
    }
    int64_t timeout = deadline_ns < 0 ? -1 : deadline_ns - clock::now_ns();
    if (deadline_ns < 0 || timeout > 0)
        host::wait_any(task->wake_fd, watch, n_watch, timeout);
    task->state = TASK_RUNNING;
}

} // namespace kern

using namespace kern;

extern "C" {

struct task_struct *get_current(void) { return current_task(); }

void set_current_state(long state) { current_task()->state = state; }

// A task still running (woken before it slept) returns at once and is not
// counted as sleeping.
long schedule_timeout(long timeout)
{
    task_struct *task = current_task();
    bool sleeps = task->state.load() != TASK_RUNNING;
    if (timeout == MAX_SCHEDULE_TIMEOUT) {
        if (sleeps)
            kern::sleeps::begin(task, 0);
        sleep_until(task, -1);
        return MAX_SCHEDULE_TIMEOUT;
    }
    if (timeout < 0)
        timeout = 0;
    if (sleeps)
        kern::sleeps::begin(task, static_cast<unsigned long>(timeout));
    unsigned long expire = clock::jiffies_now() + static_cast<unsigned long>(timeout);
    sleep_until(task, clock::jiffy_start_ns(expire));
    long left = static_cast<long>(expire - clock::jiffies_now());
    if (sleeps)
        kern::sleeps::end(task, left <= 0);
    return left < 0 ? 0 : left;
}

long schedule_timeout_interruptible(long timeout)
{
    set_current_state(TASK_INTERRUPTIBLE);
    return schedule_timeout(timeout);
}

long schedule_timeout_uninterruptible(long timeout)
{
    set_current_state(TASK_UNINTERRUPTIBLE);
    return schedule_timeout(timeout);
}

void schedule(void) { schedule_timeout(MAX_SCHEDULE_TIMEOUT); }

// No signals reach kernel code here.
bool signal_pending_current(void) { return false; }

int wake_up_process(struct task_struct *task)
{
    long state = task->state.load();
    do {
        if (state == TASK_RUNNING)
            return 0;
    } while (!task->state.compare_exchange_weak(state, TASK_RUNNING));
    host::wakefd_signal(task->wake_fd);
    return 1;
}

void get_task_struct(struct task_struct *task) { task->usage.fetch_add(1); }

void put_task_struct(struct task_struct *task)
{
    if (task->usage.fetch_sub(1) != 1)
        return;
    host::close_fd(task->wake_fd);
    delete task;
}

const char *task_comm(struct task_struct *task) { return task->comm.c_str(); }

} // extern "C"
