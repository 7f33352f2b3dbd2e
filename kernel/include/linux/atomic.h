#pragma once
// Atomic counters with the kernel's names, built on the compiler's builtins.
#include <linux/types.h>

typedef struct {
	int counter;
} atomic_t;

#define ATOMIC_INIT(i)                                                                                                 \
	{                                                                                                              \
		(i)                                                                                                    \
	}

inline int atomic_read(const atomic_t *v) { return __atomic_load_n(&v->counter, __ATOMIC_RELAXED); }
inline void atomic_set(atomic_t *v, int i) { __atomic_store_n(&v->counter, i, __ATOMIC_RELAXED); }
inline int atomic_add_return(int i, atomic_t *v) { return __atomic_add_fetch(&v->counter, i, __ATOMIC_SEQ_CST); }
inline int atomic_sub_return(int i, atomic_t *v) { return __atomic_sub_fetch(&v->counter, i, __ATOMIC_SEQ_CST); }
inline int atomic_inc_return(atomic_t *v) { return atomic_add_return(1, v); }
inline int atomic_dec_return(atomic_t *v) { return atomic_sub_return(1, v); }
inline void atomic_inc(atomic_t *v) { atomic_add_return(1, v); }
inline void atomic_dec(atomic_t *v) { atomic_sub_return(1, v); }
inline bool atomic_dec_and_test(atomic_t *v) { return atomic_dec_return(v) == 0; }
inline int atomic_cmpxchg(atomic_t *v, int old, int n)
{
	__atomic_compare_exchange_n(&v->counter, &old, n, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
	return old;
}
inline int atomic_xchg(atomic_t *v, int n) { return __atomic_exchange_n(&v->counter, n, __ATOMIC_SEQ_CST); }

// Bit operations on an unsigned long bitmap.
#define BITS_PER_LONG 64
#define BIT(nr)	      (1UL << (nr))
inline bool test_and_set_bit(long nr, volatile unsigned long *addr)
{
	unsigned long mask = BIT(nr % BITS_PER_LONG);
	return __atomic_fetch_or(addr + nr / BITS_PER_LONG, mask, __ATOMIC_SEQ_CST) & mask;
}
inline bool test_and_clear_bit(long nr, volatile unsigned long *addr)
{
	unsigned long mask = BIT(nr % BITS_PER_LONG);
	return __atomic_fetch_and(addr + nr / BITS_PER_LONG, ~mask, __ATOMIC_SEQ_CST) & mask;
}
inline bool test_bit(long nr, const volatile unsigned long *addr)
{
	return (__atomic_load_n(addr + nr / BITS_PER_LONG, __ATOMIC_ACQUIRE) >> (nr % BITS_PER_LONG)) & 1;
}
inline void set_bit(long nr, volatile unsigned long *addr) { test_and_set_bit(nr, addr); }
inline void clear_bit(long nr, volatile unsigned long *addr) { test_and_clear_bit(nr, addr); }
