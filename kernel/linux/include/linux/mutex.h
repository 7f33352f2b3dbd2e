#pragma once
// A sleeping lock as the module sees it on a real kernel: room for the
// kernel's own struct mutex, whose layout the kernel's lock debugging
// changes (Debian's has none, a debug kernel adds owners, magic and a
// lockdep map), made in place by the glue when the lock is first used or
// initialised. All zeros is a lock not made yet, so DEFINE_MUTEX needs no
// constructor; `name` names the lock's class for the kernel's lock checker.
// The glue checks at build time that the kernel's mutex fits.
#include <linux/types.h>
#include <linux/list.h>
#include <linux/cleanup.h>
#include <linux/lockdep.h>

struct task_struct;

struct mutex {
	unsigned long __room[24]; // the kernel's struct mutex, once made
	const char *name;
	int __made;
};

#define __MUTEX_INITIALIZER(lockname)                                                                                  \
	{                                                                                                              \
		{}, #lockname, 0                                                                                       \
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
void mutex_lock_nested(struct mutex *lock, unsigned int subclass);
}

DEFINE_GUARD(mutex, struct mutex *, mutex_lock(_T), mutex_unlock(_T));
