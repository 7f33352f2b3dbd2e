#pragma once
#include <cstddef>

namespace kern::workqueue {
void start(); // at boot
void stop();  // at halt: runs what is queued, drops delays still running, ends the workers
// True on a worker while it runs a work item.
bool in_work_item();
// Code at [begin, begin + size) goes away (a module's image): forgets what
// was learnt about work functions there.
void forget_code(const void *begin, size_t size);
// Tasks waiting in a flush, cancel or drain (for tests).
int waiters();
} // namespace kern::workqueue

namespace kern {
// Debug objects: true while some work item is pending or running, when a
// free must be checked.
bool debug_objects_active();
// Memory [addr, addr + size) is being freed (kfree, a module's image at
// unload): a pending work item in it is reported as the kernel's debug
// objects report it, and taken off its queue so that it never runs from
// freed memory; one running on another task is reported too.
void debug_check_no_obj_freed(const void *addr, size_t size, const void *caller);
} // namespace kern
