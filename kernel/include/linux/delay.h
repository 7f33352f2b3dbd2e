#pragma once
#include <linux/types.h>

extern "C" {
// Sleeps at least ms milliseconds, rounded up to whole ticks as the kernel does.
void msleep(unsigned int msecs);
unsigned long msleep_interruptible(unsigned int msecs);
void usleep_range(unsigned long min, unsigned long max);
void udelay(unsigned long usecs);
void mdelay(unsigned long msecs);
}
inline void ssleep(unsigned int seconds) { msleep(seconds * 1000); }
