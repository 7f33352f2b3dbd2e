// Time: the monotonic clock since boot, ticks (jiffies) at HZ, and the
// delays built on them. Sleeps round up to whole ticks as the kernel's do.
#include <linux/delay.h>
#include <linux/jiffies.h>
#include <linux/ktime.h>
#include <linux/sched.h>

#include "clock.hpp"
#include "host/host.hpp"
#include "task.hpp"

#include <atomic>

namespace kern::clock {
namespace {
std::atomic<int64_t> boot_ns{host::monotonic_ns()};
std::atomic<unsigned> tick_hz{250};
} // namespace

void reset(unsigned hz)
{
    tick_hz = hz ? hz : 250;
    boot_ns = host::monotonic_ns();
}

int64_t now_ns() { return host::monotonic_ns() - boot_ns.load(); }
unsigned hz() { return tick_hz; }
unsigned long jiffies_now() { return static_cast<unsigned long>(now_ns() * hz() / 1'000'000'000); }
int64_t jiffy_start_ns(unsigned long j)
{
    // Rounded up so that the tick has surely begun at that time.
    return static_cast<int64_t>((static_cast<__int128>(j) * 1'000'000'000 + hz() - 1) / hz());
}

} // namespace kern::clock

using namespace kern;

extern "C" {

unsigned int __kernel_hz(void) { return clock::hz(); }
unsigned long __kernel_jiffies(void) { return clock::jiffies_now(); }

unsigned long msecs_to_jiffies(unsigned int m) { return (static_cast<unsigned long>(m) * clock::hz() + 999) / 1000; }

unsigned long usecs_to_jiffies(unsigned int u)
{
    return (static_cast<unsigned long>(u) * clock::hz() + 999'999) / 1'000'000;
}

unsigned int jiffies_to_msecs(unsigned long j) { return static_cast<unsigned int>(j * 1000 / clock::hz()); }

ktime_t ktime_get(void) { return clock::now_ns(); }

namespace {
void sleep_ticks(unsigned int msecs, long state)
{
    long timeout = static_cast<long>(msecs_to_jiffies(msecs)) + 1;
    while (timeout) {
        set_current_state(state);
        timeout = kern::sleep_jiffies(timeout);
    }
}
} // namespace

void msleep(unsigned int msecs)
{
    KERN_MIGHT_SLEEP();
    sleep_ticks(msecs, TASK_UNINTERRUPTIBLE);
}

// Ends early when a signal is pending: the milliseconds left.
unsigned long msleep_interruptible(unsigned int msecs)
{
    KERN_MIGHT_SLEEP();
    long timeout = static_cast<long>(msecs_to_jiffies(msecs)) + 1;
    while (timeout && !signal_pending_current()) {
        set_current_state(TASK_INTERRUPTIBLE);
        timeout = kern::sleep_jiffies(timeout);
    }
    return jiffies_to_msecs(static_cast<unsigned long>(timeout));
}

// High-resolution sleep: the kernel may stretch it up to max to batch wake-ups;
// sleeping exactly min is the least surprising choice here.
void usleep_range(unsigned long min, unsigned long max)
{
    KERN_MIGHT_SLEEP();
    host::sleep_ns(static_cast<int64_t>(min) * 1000);
}

void udelay(unsigned long usecs) { host::sleep_ns(static_cast<int64_t>(usecs) * 1000); }
void mdelay(unsigned long msecs) { host::sleep_ns(static_cast<int64_t>(msecs) * 1'000'000); }

} // extern "C"
