#pragma once
// The sleeps kernel code makes in schedule_timeout, and so in everything
// built on it (msleep, the module's bounded wait for a byte...), counted by
// the kernel layer. A test tells "one bounded wait" from "two" by counting
// them, not by timing them: a count does not change on a loaded machine.
//
//     auto before = khost::sleeps_of_current();
//     ...                                  // kernel code on this thread
//     auto d = khost::sleeps_of_current() - before;
//     EXPECT_LE(d.timeouts, 1u);
#include <cstdint>
#include <string>

namespace khost {

struct SleepCount {
    uint64_t sleeps = 0;   // schedule_timeout calls that put the task to sleep
    uint64_t timeouts = 0; // those of them that lasted until their timeout
    uint64_t ticks = 0;    // the ticks they asked for (an endless sleep asks none)

    SleepCount operator-(const SleepCount &earlier) const
    {
        return {sleeps - earlier.sleeps, timeouts - earlier.timeouts, ticks - earlier.ticks};
    }
};

// Counted since the process started; take differences. A sleep counts when it
// begins, its timeout when it ends.
//   sleeps_of_current(): the calling thread's task (a program's thread, or a
//                        test running kernel code on its own thread);
//   sleeps_of(comm):     every task of that name ("my_thread", "program"...);
//   sleeps_all():        every task.
SleepCount sleeps_of_current();
SleepCount sleeps_of(const std::string &comm);
SleepCount sleeps_all();

} // namespace khost
