#pragma once
#include <linux/types.h>

// Nanoseconds of the monotonic clock since the kernel layer booted.
typedef s64 ktime_t;

extern "C" ktime_t ktime_get(void);
inline s64 ktime_to_ns(ktime_t kt) { return kt; }
inline s64 ktime_to_us(ktime_t kt) { return kt / 1000; }
inline s64 ktime_to_ms(ktime_t kt) { return kt / 1000000; }
inline ktime_t ktime_sub(ktime_t a, ktime_t b) { return a - b; }
inline u64 ktime_get_ns(void) { return (u64)ktime_get(); }
