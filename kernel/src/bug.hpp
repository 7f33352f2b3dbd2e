#pragma once
// Misuse of the kernel's interfaces is reported here the way Linux reports
// it, so that a driver that would WARN or oops on Linux does not pass
// silently: a "WARNING:" or "BUG:" record naming the check's place and the
// caller, then the run goes on. Tests fail when such a record is left behind.
#include <source_location>

struct task_struct;

namespace kern {

// "WARNING: CPU: 0 PID: N at FILE:LINE FUNCTION", the message, the caller.
void warn(const std::source_location &where, const void *caller, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// "BUG: " and the message, the place and the caller.
void bug(const std::source_location &where, const void *caller, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// "BUG: " and the message at a place the caller names (a check made at the
// module's own line, as might_sleep() is).
void bug_at(const char *file, int line, const void *caller, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
// A report whose first line is its own title, as lock debugging prints them
// ("WARNING: possible circular locking dependency detected").
void report_titled(const char *title, const void *caller, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// The task number reports name for `task`.
int task_pid(const struct task_struct *task);

} // namespace kern

// In a kernel function, the module's call site is our return address.
#define KERN_WARN(...) kern::warn(std::source_location::current(), __builtin_return_address(0), __VA_ARGS__)
#define KERN_BUG(...) kern::bug(std::source_location::current(), __builtin_return_address(0), __VA_ARGS__)
