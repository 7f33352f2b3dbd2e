#pragma once
#include <linux/types.h>
#include <linux/cleanup.h>

struct task_struct;

// A sleeping lock. The host lock lives in __host; all-zero bytes are a valid
// unlocked one, so a statically defined mutex needs no constructor. `name`
// is the lock's name as lock debugging shows it ("&uart_mutex").
struct mutex {
	alignas(8) unsigned char __host[64];
	struct task_struct *owner;
	const char *name;
};

#define __MUTEX_INITIALIZER(lockname)                                                                                  \
	{                                                                                                              \
		{}, nullptr, #lockname                                                                                 \
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

DEFINE_GUARD(mutex, struct mutex *, mutex_lock(_T), mutex_unlock(_T));
