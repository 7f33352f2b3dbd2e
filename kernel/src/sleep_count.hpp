#pragma once
// Counting schedule_timeout's sleeps for khost/sleeps.hpp.
struct task_struct;

namespace kern::sleeps {

// A sleep of `task` (the calling thread's) begins, asking for `ticks`.
void begin(task_struct *task, unsigned long ticks);
// It has ended; timed_out if it lasted until its timeout.
void end(task_struct *task, bool timed_out);

} // namespace kern::sleeps
