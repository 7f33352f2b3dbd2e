#pragma once
// Compiler annotations the module uses. Freestanding: no standard headers.

#define __user
#define __kernel
#define __iomem
#define __force
#define __must_check	    [[nodiscard]]
#define __maybe_unused	    [[maybe_unused]]
#define __always_unused	    [[maybe_unused]]
#define __used		    __attribute__((used))
#define __section(s)	    __attribute__((section(s)))
#define __visible	    __attribute__((visibility("default")))
#define __printf(a, b)	    __attribute__((format(printf, a, b)))
#define likely(x)	    __builtin_expect(!!(x), 1)
#define unlikely(x)	    __builtin_expect(!!(x), 0)
#define barrier()	    __asm__ __volatile__("" ::: "memory")

#define READ_ONCE(x)	    __atomic_load_n(&(x), __ATOMIC_RELAXED)
#define WRITE_ONCE(x, v)    __atomic_store_n(&(x), (v), __ATOMIC_RELAXED)

#define ___PASTE(a, b)	    a##b
#define __PASTE(a, b)	    ___PASTE(a, b)
#define __UNIQUE_ID(prefix) __PASTE(__PASTE(__UNIQUE_ID_, prefix), __COUNTER__)
