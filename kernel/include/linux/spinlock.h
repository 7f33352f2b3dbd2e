#pragma once
#include <linux/types.h>
#include <linux/cleanup.h>

// The host lock lives in __host; all-zero bytes are a valid unlocked lock,
// so a statically defined spinlock needs no constructor.
typedef struct spinlock {
	alignas(8) unsigned char __host[64];
	const char *name;
} spinlock_t;

#define __SPIN_LOCK_UNLOCKED(lockname)                                                                                 \
	{                                                                                                              \
		{}, #lockname                                                                                          \
	}
#define DEFINE_SPINLOCK(x)   spinlock_t x = __SPIN_LOCK_UNLOCKED(x)
#define spin_lock_init(lock) __spin_lock_init((lock), #lock)

extern "C" {
void __spin_lock_init(spinlock_t *lock, const char *name);
void spin_lock(spinlock_t *lock);
void spin_unlock(spinlock_t *lock);
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
