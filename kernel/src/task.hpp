#pragma once
// Tasks: every thread that runs kernel code has one. Kernel threads and
// workers get theirs at creation; a program's thread gets one at its first
// system call and keeps it for its life.
#include <linux/sched.h>
#include <linux/poll.h>

#include <atomic>
#include <condition_variable>
#include <csetjmp>
#include <mutex>
#include <string>

struct task_struct {
    std::atomic<int> usage{1};
    std::string comm;
    int wake_fd = -1;
    std::atomic<long> state{TASK_RUNNING};

    // The poll in progress (poll_initwait .. poll_freewait): its host files
    // wake the task's sleep too.
    struct poll_wqueues *polling = nullptr;

    // Kernel threads only.
    bool is_kthread = false;
    int (*threadfn)(void *) = nullptr;
    void *data = nullptr;
    std::atomic<bool> should_stop{false};
    std::jmp_buf exit_jump{};
    std::mutex exit_lock; // guards exited and result
    std::condition_variable exit_cv;
    bool exited = false;
    int result = 0;
};

namespace kern {

// A new task with one reference, owned by the caller.
task_struct *task_create(const std::string &comm);
// The task the calling thread runs as (created on first use).
task_struct *current_task();
// Makes `task` the calling thread's task (for kernel threads at their start).
void set_current_task(task_struct *task);

// Sleeps until woken, until a host file of the current poll is ready, or
// until the deadline (ns since boot; negative: none).
void sleep_until(task_struct *task, int64_t deadline_ns);

} // namespace kern
