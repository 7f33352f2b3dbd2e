#pragma once
// The kernel's clock: nanoseconds since boot, and ticks at HZ.
#include <cstdint>

namespace kern::clock {

void reset(unsigned hz); // at boot
int64_t now_ns();        // since boot
unsigned hz();
unsigned long jiffies_now();
int64_t jiffy_start_ns(unsigned long j); // when tick j begins, ns since boot

} // namespace kern::clock
