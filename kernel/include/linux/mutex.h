#pragma once
#include <linux/types.h>
#include <linux/cleanup.h>
#include <linux/lockdep.h>

struct task_struct;

// A sleeping lock, held by one task at a time and released by that task.
// All-zero bytes are a valid unlocked mutex, so a statically defined one
// needs no constructor. `name` is the lock's name as lock debugging shows
// it ("&uart_mutex"); locks of one name are one lock class. The fields
// after `owner` belong to the kernel.
struct mutex {
	int __state; // 0 unlocked, 1 locked, 2 locked with sleepers
	unsigned int __class;
	struct task_struct *owner;
	const char *name;
	unsigned long __magic;
	unsigned int __recursion;
};

#define __MUTEX_INITIALIZER(lockname)                                                                                  \
	{                                                                                                              \
		0, 0, nullptr, #lockname, 0, 0                                                                         \
	}
#define DEFINE_MUTEX(m) struct mutex m = __MUTEX_INITIALIZER(m)
#define mutex_init(m)	__mutex_init((m), #m)

extern "C" {
void __mutex_init(struct mutex *lock, const char *name);
void mutex_lock(struct mutex *lock);
int mutex_lock_interruptible(struct mutex *lock);
int mutex_trylock(struct mutex *lock);
void mutex_unlock(struct mutex *lock);
bool mutex_is_locked(struct mutex *lock);
void mutex_destroy(struct mutex *lock);
}
// Nesting two locks of one class is not told apart here; the subclass is
// accepted for the kernel's signature.
#define mutex_lock_nested(lock, subclass) mutex_lock(lock)

DEFINE_GUARD(mutex, struct mutex *, mutex_lock(_T), mutex_unlock(_T));
