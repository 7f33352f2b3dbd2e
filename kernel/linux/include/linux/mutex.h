#pragma once
// A sleeping lock with the real kernel's layout (no lock debugging in the
// kernel's configuration), so that DEFINE_MUTEX gives a lock the kernel's
// mutex_lock takes as it is. Checked against the kernel's headers when the
// module is built.
#include <linux/types.h>
#include <linux/list.h>
#include <linux/cleanup.h>
#include <linux/lockdep.h>

struct task_struct;

struct mutex {
	long owner;    // atomic_long_t
	u32 wait_lock; // raw_spinlock_t, 0 when unlocked
	u32 osq;       // optimistic spin queue, 0 when empty
	struct list_head wait_list;
};

#define __MUTEX_INITIALIZER(lockname)                                                                                  \
	{                                                                                                              \
		0, 0, 0, LIST_HEAD_INIT(lockname.wait_list)                                                            \
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
// Nesting two locks of one class is the kernel's lock debugging's business,
// which Debian's kernel does not build in.
#define mutex_lock_nested(lock, subclass) mutex_lock(lock)

DEFINE_GUARD(mutex, struct mutex *, mutex_lock(_T), mutex_unlock(_T));
