#pragma once
// Lock checking, a small lockdep. Every kernel mutex and spinlock that has a
// name belongs to the lock class of that name. Each time a task takes a lock
// while holding others, the pairs "held, then taken" are recorded; a new
// pair that closes a cycle with pairs seen before is reported once as
// "WARNING: possible circular locking dependency detected", naming both
// locks, whichever threads and times the orders came from. Classes persist
// across module loads (they are names); the recorded pairs are forgotten at
// each boot.
#include <source_location>

struct task_struct;

namespace kern::lockdep {

// The class of a lock named `name`, cached in *cache (0: not yet looked up).
// 0 for a lock without a name, which is not tracked.
unsigned int class_of(const char *name, unsigned int *cache);
const char *class_name(unsigned int cls);

// `task` takes `lock`: records the pairs with the locks it holds (none for a
// trylock, which cannot wait) and reports a new cycle.
void acquire(task_struct *task, const void *lock, unsigned int cls, bool spin, bool trylock, const void *ip);
// `task` lets go of `lock`; false if it did not hold it.
bool release(task_struct *task, const void *lock);
bool holds(const task_struct *task, const void *lock);

// "N locks held by comm/pid:" and the list, in the kernel log.
void print_held_locks(const task_struct *task);
// "BUG: comm/pid still has locks held!" if `task` holds any, at the end of
// its thread (where) or of a work item.
bool check_no_locks_held(task_struct *task, const void *caller);

// At boot: forget the recorded pairs.
void reset();

} // namespace kern::lockdep
