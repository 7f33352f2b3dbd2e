#pragma once
#include <string>

struct task_struct;

namespace kern {
// A kernel thread, created asleep; nullptr if the host refuses a thread.
task_struct *kthread_spawn(int (*fn)(void *), void *data, const std::string &name);
// Waits for a kernel thread to end; its result.
int kthread_wait_exit(task_struct *task);
// Joins the host threads of kernel threads that have ended.
void reap_kthreads();
} // namespace kern
