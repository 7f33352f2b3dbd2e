#pragma once
// The kernel's byte FIFO: a power-of-two ring with free-running in and out
// counters. One reader and one writer need no lock between them; more of
// either take the _spinlocked forms, as in the kernel.
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/types.h>

struct __kfifo {
	unsigned int in;
	unsigned int out;
	unsigned int mask;
	unsigned int esize;
	void *data;
};

// `struct kfifo` is a FIFO of bytes whose buffer kfifo_alloc allocates.
struct kfifo {
	struct __kfifo kfifo;
};

extern "C" {
int __kfifo_alloc(struct __kfifo *fifo, unsigned int size, size_t esize, gfp_t gfp_mask);
void __kfifo_free(struct __kfifo *fifo);
int __kfifo_init(struct __kfifo *fifo, void *buffer, unsigned int size, size_t esize);
unsigned int __kfifo_in(struct __kfifo *fifo, const void *buf, unsigned int len);
unsigned int __kfifo_out(struct __kfifo *fifo, void *buf, unsigned int len);
unsigned int __kfifo_out_peek(struct __kfifo *fifo, void *buf, unsigned int len);
}

// Rounds size down to a power of two; -EINVAL below 2, -ENOMEM.
#define kfifo_alloc(fifo, size, gfp) __kfifo_alloc(&(fifo)->kfifo, (size), 1, (gfp))
#define kfifo_free(fifo)	     __kfifo_free(&(fifo)->kfifo)
#define kfifo_init(fifo, buf, size)  __kfifo_init(&(fifo)->kfifo, (buf), (size), 1)
#define kfifo_reset(fifo)                                                                                              \
	do {                                                                                                           \
		(fifo)->kfifo.in = 0;                                                                                  \
		(fifo)->kfifo.out = 0;                                                                                 \
	} while (0)
#define kfifo_reset_out(fifo) ((fifo)->kfifo.out = __atomic_load_n(&(fifo)->kfifo.in, __ATOMIC_ACQUIRE))
#define kfifo_size(fifo)      ((fifo)->kfifo.mask + 1)
#define kfifo_len(fifo)                                                                                                \
	(__atomic_load_n(&(fifo)->kfifo.in, __ATOMIC_ACQUIRE) - __atomic_load_n(&(fifo)->kfifo.out, __ATOMIC_ACQUIRE))
#define kfifo_is_empty(fifo)	     (kfifo_len(fifo) == 0)
#define kfifo_is_full(fifo)	     (kfifo_len(fifo) > (fifo)->kfifo.mask)
#define kfifo_avail(fifo)	     (kfifo_size(fifo) - kfifo_len(fifo))
#define kfifo_initialized(fifo)	     ((fifo)->kfifo.mask != 0)
#define kfifo_in(fifo, buf, n)	     __kfifo_in(&(fifo)->kfifo, (buf), (n))
#define kfifo_out(fifo, buf, n)	     __kfifo_out(&(fifo)->kfifo, (buf), (n))
#define kfifo_out_peek(fifo, buf, n) __kfifo_out_peek(&(fifo)->kfifo, (buf), (n))
#define kfifo_put(fifo, val)                                                                                           \
	({                                                                                                             \
		unsigned char __v = (val);                                                                             \
		__kfifo_in(&(fifo)->kfifo, &__v, 1);                                                                   \
	})
#define kfifo_get(fifo, val) __kfifo_out(&(fifo)->kfifo, (val), 1)
#define kfifo_in_spinlocked(fifo, buf, n, lock)                                                                        \
	({                                                                                                             \
		unsigned long __flags;                                                                                 \
		unsigned int __ret;                                                                                    \
		spin_lock_irqsave(lock, __flags);                                                                      \
		__ret = kfifo_in(fifo, buf, n);                                                                        \
		spin_unlock_irqrestore(lock, __flags);                                                                 \
		__ret;                                                                                                 \
	})
#define kfifo_out_spinlocked(fifo, buf, n, lock)                                                                       \
	({                                                                                                             \
		unsigned long __flags;                                                                                 \
		unsigned int __ret;                                                                                    \
		spin_lock_irqsave(lock, __flags);                                                                      \
		__ret = kfifo_out(fifo, buf, n);                                                                       \
		spin_unlock_irqrestore(lock, __flags);                                                                 \
		__ret;                                                                                                 \
	})
