#pragma once
#include <linux/types.h>

// The tick rate is chosen when the kernel layer boots (250 unless set), so
// HZ is a value here rather than a constant.
extern "C" {
unsigned int __kernel_hz(void);
unsigned long __kernel_jiffies(void);
unsigned long msecs_to_jiffies(unsigned int m);
unsigned long usecs_to_jiffies(unsigned int u);
unsigned int jiffies_to_msecs(unsigned long j);
}
#define HZ		    (__kernel_hz())
#define jiffies		    (__kernel_jiffies())
#define time_after(a, b)    ((long)((b) - (a)) < 0)
#define time_before(a, b)   time_after(b, a)
#define time_after_eq(a, b) ((long)((a) - (b)) >= 0)
