// Tasks and sleeping. A sleeping task waits on its own eventfd, which
// wake_up_process signals, and on the host files of the poll it is in.
//
// A task's memory is not given back when its last reference goes: it waits
// in a small quarantine first, marked freed, as KASAN holds freed objects
// back. A stale task pointer (kthread_stop of a thread that ended while no
// one held a reference) is then recognised and reported instead of followed.
#include <linux/sched.h>
#include <linux/kernel.h>

#include "bug.hpp"
#include "clock.hpp"
#include "host/host.hpp"
#include "lockdep.hpp"
#include "sleep_count.hpp"
#include "task.hpp"

#include <cstdio>
#include <deque>
#include <mutex>
#include <unordered_set>

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

// Tasks whose memory may be followed, and freed ones held back. Never
// destroyed: a thread may end while the process exits.
constexpr size_t quarantine_size = 32;
std::mutex registry_lock; // guards live and quarantine
std::unordered_set<task_struct *> &live = *new std::unordered_set<task_struct *>;
std::deque<task_struct *> &quarantine = *new std::deque<task_struct *>;

void free_task(task_struct *task)
{
    host::close_fd(task->wake_fd);
    task->wake_fd = -1;
    task_struct *evicted = nullptr;
    {
        std::lock_guard hold(registry_lock);
        live.erase(task);
        task->magic = TASK_FREED;
        quarantine.push_back(task);
        if (quarantine.size() > quarantine_size) {
            evicted = quarantine.front();
            quarantine.pop_front();
        }
    }
    delete evicted;
}

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
    task->magic = TASK_ALIVE;
    std::lock_guard hold(registry_lock);
    live.insert(task);
    return task;
}

bool task_get_if_alive(task_struct *task)
{
    std::lock_guard hold(registry_lock);
    if (!live.count(task))
        return false;
    int count = task->usage.load();
    do {
        if (count <= 0)
            return false; // on its way to the quarantine
    } while (!task->usage.compare_exchange_weak(count, count + 1));
    return true;
}

bool task_alive(task_struct *task)
{
    std::lock_guard hold(registry_lock);
    return live.count(task) != 0;
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

    int watch[POLL_INLINE_ENTRIES + 1];
    int n_watch = 0;
    // As a signal wakes only an interruptible sleep.
    if (task->gone_fd >= 0 && task->state.load() == TASK_INTERRUPTIBLE)
        watch[n_watch++] = task->gone_fd;
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

// A task still running (woken before it slept) returns at once and is not
// counted as sleeping.
long sleep_jiffies(long timeout)
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

void check_might_sleep(const char *file, int line, const void *caller)
{
    task_struct *task = current_task();
    if (task->atomic_depth == 0 || task->sleep_reported)
        return;
    task->sleep_reported = true;
    bug_at(file, line, caller, "sleeping function called from invalid context");
    printk(KERN_ERR "in_atomic(): 1, irqs_disabled(): 0, pid: %d, name: %s\n", task_pid(task), task->comm.c_str());
    lockdep::print_held_locks(task);
}

} // namespace kern

using namespace kern;

extern "C" {

struct task_struct *get_current(void) { return current_task(); }

void set_current_state(long state) { current_task()->state = state; }

void __might_sleep(const char *file, int line, int preempt_offset)
{
    check_might_sleep(file, line, __builtin_return_address(0));
}

long schedule_timeout(long timeout)
{
    KERN_MIGHT_SLEEP();
    return sleep_jiffies(timeout);
}

long schedule_timeout_interruptible(long timeout)
{
    KERN_MIGHT_SLEEP();
    set_current_state(TASK_INTERRUPTIBLE);
    return sleep_jiffies(timeout);
}

long schedule_timeout_uninterruptible(long timeout)
{
    KERN_MIGHT_SLEEP();
    set_current_state(TASK_UNINTERRUPTIBLE);
    return sleep_jiffies(timeout);
}

void schedule(void)
{
    KERN_MIGHT_SLEEP();
    sleep_jiffies(MAX_SCHEDULE_TIMEOUT);
}

// The only signal here is the end of the process a program thread serves:
// its caller's connection reads as ended.
bool signal_pending_current(void)
{
    const int fd = current_task()->gone_fd;
    return fd >= 0 && (host::poll_now(fd) & (POLLIN | POLLHUP | POLLERR));
}

// The task may run, end and be freed as soon as its state says running (a
// new kthread nobody holds a reference to does): a reference of ours keeps
// it until it has been signalled.
int wake_up_process(struct task_struct *task)
{
    long state = task->state.load();
    if (state == TASK_RUNNING)
        return 0;
    task->usage.fetch_add(1);
    bool woke = false;
    while (state != TASK_RUNNING) {
        if (task->state.compare_exchange_weak(state, TASK_RUNNING)) {
            woke = true;
            break;
        }
    }
    if (woke)
        host::wakefd_signal(task->wake_fd);
    put_task_struct(task);
    return woke;
}

void get_task_struct(struct task_struct *task)
{
    if (task->magic.load() != TASK_ALIVE) {
        KERN_WARN("refcount_t: addition on 0; use-after-free.");
        return;
    }
    task->usage.fetch_add(1);
}

void put_task_struct(struct task_struct *task)
{
    if (task->magic.load() != TASK_ALIVE) {
        KERN_WARN("refcount_t: underflow; use-after-free.");
        return;
    }
    if (task->usage.fetch_sub(1) != 1)
        return;
    free_task(task);
}

const char *task_comm(struct task_struct *task) { return task->comm.c_str(); }

} // extern "C"
