#pragma once
// Tasks: every thread that runs kernel code has one. Kernel threads and
// workers get theirs at creation; a program's thread gets one at its first
// system call and keeps it for its life.
#include <linux/sched.h>
#include <linux/poll.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

// A lock the task holds, as lock checking records it (kern::lockdep).
struct held_lock {
    const void *lock;
    unsigned int cls; // lock class; 0: not tracked
    bool spin;
    const void *ip; // where it was taken
};

struct task_struct {
    std::atomic<unsigned long> magic{0}; // TASK_ALIVE while the task may be used
    std::atomic<int> usage{1};
    std::string comm;
    int wake_fd = -1;
    std::atomic<long> state{TASK_RUNNING};

    // The poll in progress (poll_initwait .. poll_freewait): its host files
    // wake the task's sleep too.
    struct poll_wqueues *polling = nullptr;

    // A program thread serving another process: a host descriptor that
    // becomes readable (or hung up) when that process's caller is gone,
    // which is to the task what a fatal signal is on Linux. -1: none.
    int gone_fd = -1;

    // Kernel threads only.
    bool is_kthread = false;
    int (*threadfn)(void *) = nullptr;
    void *data = nullptr;
    std::atomic<bool> should_stop{false};
    std::mutex exit_lock; // guards exited and result
    std::condition_variable exit_cv;
    bool exited = false;
    int result = 0;

    // Lock checking: the locks held, in the order taken, and how many of
    // them are spinlocks (the task may not sleep while it holds one). Only
    // the task itself touches these.
    static constexpr int max_lock_depth = 48;
    held_lock held[max_lock_depth];
    int lock_depth = 0;
    int atomic_depth = 0;
    bool sleep_reported = false; // in this atomic section: one report is enough
};

namespace kern {

constexpr unsigned long TASK_ALIVE = 0x7a5c0de1UL;
constexpr unsigned long TASK_FREED = 0x6b6b6b6bUL; // the slab poison of a freed object

// A new task with one reference, owned by the caller.
task_struct *task_create(const std::string &comm);
// The task the calling thread runs as (created on first use).
task_struct *current_task();
// Makes `task` the calling thread's task (for kernel threads at their start).
void set_current_task(task_struct *task);
// Takes a reference to `task` if it is still alive (its memory not freed,
// its count not dropped to zero); false otherwise. Never follows a pointer
// to memory that was given back, so a stale task pointer is safe to ask about.
bool task_get_if_alive(task_struct *task);
// True while `task` has not been freed (for tests; follows no pointer).
bool task_alive(task_struct *task);

// Sleeps until woken, until a host file of the current poll is ready, or
// until the deadline (ns since boot; negative: none).
void sleep_until(task_struct *task, int64_t deadline_ns);

// schedule_timeout without its check: sleeps up to `timeout` jiffies in the
// state the caller set; the jiffies left.
long sleep_jiffies(long timeout);

// The check of every function that may sleep: a task holding a spinlock
// must not. Reports "BUG: sleeping function called from invalid context".
void check_might_sleep(const char *file, int line, const void *caller);

} // namespace kern

// In a kernel function that may sleep: the check, naming this place and the
// module's call site.
#define KERN_MIGHT_SLEEP() kern::check_might_sleep(__FILE__, __LINE__, __builtin_return_address(0))
