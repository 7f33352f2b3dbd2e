#pragma once
// A lock held without sleeping, as the module sees it on a real kernel:
// room for the kernel's own spinlock_t, whose layout the kernel's lock
// debugging changes, made in place by the glue when the lock is first used
// or initialised. All zeros is a lock not made yet, so DEFINE_SPINLOCK needs
// no constructor; `name` names the lock's class for the kernel's lock
// checker. The glue checks at build time that the kernel's spinlock fits.
#include <linux/types.h>
#include <linux/cleanup.h>
#include <linux/lockdep.h>

struct task_struct;

typedef struct spinlock {
	unsigned long __room[12]; // the kernel's spinlock_t, once made
	const char *name;
	int __made;
} spinlock_t;

#define __SPIN_LOCK_UNLOCKED(lockname)                                                                                 \
	{                                                                                                              \
		{}, #lockname, 0                                                                                       \
	}
#define DEFINE_SPINLOCK(x)   spinlock_t x = __SPIN_LOCK_UNLOCKED(x)
#define spin_lock_init(lock) __spin_lock_init((lock), #lock)

extern "C" {
void __spin_lock_init(spinlock_t *lock, const char *name);
void spin_lock(spinlock_t *lock);
int spin_trylock(spinlock_t *lock);
void spin_unlock(spinlock_t *lock);
bool spin_is_locked(spinlock_t *lock);
}
// The module's interrupt-safe forms take the plain lock: none of its locks
// is taken in interrupt context (the kernel's lock checker would say so).
#define spin_lock_irqsave(lock, flags)                                                                                 \
	do {                                                                                                           \
		(flags) = 0;                                                                                           \
		spin_lock(lock);                                                                                       \
	} while (0)
#define spin_unlock_irqrestore(lock, flags)                                                                            \
	do {                                                                                                           \
		(void)(flags);                                                                                         \
		spin_unlock(lock);                                                                                     \
	} while (0)
#define spin_lock_irq(lock)   spin_lock(lock)
#define spin_unlock_irq(lock) spin_unlock(lock)
#define spin_lock_bh(lock)    spin_lock(lock)
#define spin_unlock_bh(lock)  spin_unlock(lock)

DEFINE_GUARD(spinlock, spinlock_t *, spin_lock(_T), spin_unlock(_T));
DEFINE_GUARD(spinlock_irqsave, spinlock_t *, spin_lock(_T), spin_unlock(_T));
