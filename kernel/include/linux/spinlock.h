#pragma once
#include <linux/types.h>
#include <linux/cleanup.h>
#include <linux/lockdep.h>

struct task_struct;

// A lock held without sleeping: a task that holds one may not sleep. All-zero
// bytes are a valid unlocked lock, so a statically defined spinlock needs no
// constructor. The fields other than `name` belong to the kernel.
typedef struct spinlock {
	int __state;
	unsigned int __class;
	struct task_struct *__owner;
	const char *name;
	unsigned int __recursion;
} spinlock_t;

#define __SPIN_LOCK_UNLOCKED(lockname)                                                                                 \
	{                                                                                                              \
		0, 0, nullptr, #lockname, 0                                                                            \
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
// There are no interrupts here; the flags only keep the kernel's signature.
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
