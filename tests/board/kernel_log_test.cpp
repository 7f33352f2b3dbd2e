// The guest's dmesg: the kernel's records as the board shows them.
#include "guest/kernel_log.hpp"

#include <gtest/gtest.h>

namespace {

using board::KernelRecord;
using board::render_dmesg;

KernelRecord rec(uint64_t seq, std::string text, bool cont = false, int level = 6)
{
    return {seq, level, 1'500'000 + static_cast<int64_t>(seq), std::move(text), cont};
}

// A line the module continues after the kernel's clock spoke in between
// stays one line, as on a kernel with nothing to say; anything else that
// breaks a line breaks it, as Linux does.
TEST(GuestDmesg, AContinuationAfterAnAsynchronousNoteJoinsItsLine)
{
    EXPECT_EQ(render_dmesg({rec(1, "84 6 10 0 0 "),
                            rec(2, "clocksource: timekeeping watchdog on CPU0: Marking clocksource 'tsc' as unstable"),
                            rec(3, "84 6 10 0 0 ", true), rec(4, "gpio done")}),
              "[    1.500001] 84 6 10 0 0 84 6 10 0 0 \n"
              "[    1.500002] clocksource: timekeeping watchdog on CPU0: Marking clocksource 'tsc' as unstable\n"
              "[    1.500004] gpio done\n");
    EXPECT_EQ(render_dmesg({rec(1, "open "), rec(2, "gpio gpiochip200: a note of the core"), rec(3, "205", true)}),
              "[    1.500001] open \n[    1.500002] gpio gpiochip200: a note of the core\n[    1.500003] 205\n")
        << "a message of the kernel's own doing splits the line, as 4.4 does";
    EXPECT_EQ(render_dmesg({rec(1, "random: crng init done"), rec(2, "late", true)}),
              "[    1.500001] random: crng init done\n[    1.500002] late\n")
        << "nothing open to continue";
}

TEST(GuestDmesg, DelayedReleasesLeaveOutAndLinesSplitAndEscape)
{
    EXPECT_EQ(render_dmesg({rec(1, "a "),
                            rec(2, "kobject: 'quorvel-gpio' (0000): kobject_release, parent 0000 (delayed 1000)"),
                            rec(3, "b\nc\x01\td", true), rec(4, "e", true, 3)}),
              "[    1.500001] a b\n[    1.500003] c\\x01\td\n[    1.500004] <3>e\n");
}

} // namespace
