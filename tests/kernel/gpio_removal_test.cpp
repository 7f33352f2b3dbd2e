// A chip removed while programs export its lines: once the removal has taken
// the chip's sysfs side down, an export or unexport finds no line of it, so
// nothing reaches the chip, or the lines gpiochip_remove frees, afterwards.
// Linux 4.4 left the chip findable until the end of the removal; 4.6 closed
// that.
#include <linux/errno.h>
#include <linux/gpio.h>
#include <linux/gpio/driver.h>

#include "gpiolib.hpp"
#include "khost/program.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

const std::string cls = "/sys/class/gpio";

// Counts what reaches it; its memory goes when the test says, as a driver's
// devres frees its chip after the remove.
struct CountingChip {
    struct gpio_chip chip {};
    std::atomic<int> requests{0};
    std::atomic<int> frees{0};

    explicit CountingChip(int base)
    {
        chip.label = "counting";
        chip.base = base;
        chip.ngpio = 4;
        chip.request = [](struct gpio_chip *c, unsigned) {
            ++of(c)->requests;
            return 0;
        };
        chip.free = [](struct gpio_chip *c, unsigned) { ++of(c)->frees; };
        chip.direction_input = [](struct gpio_chip *, unsigned) { return 0; };
        chip.direction_output = [](struct gpio_chip *, unsigned, int) { return 0; };
        chip.get = [](struct gpio_chip *, unsigned) { return 0; };
        chip.set = [](struct gpio_chip *, unsigned, int) {};
    }
    static CountingChip *of(struct gpio_chip *c) { return static_cast<CountingChip *>(gpiochip_get_data(c)); }
};

long write_text(khost::Program &prog, const std::string &path, const std::string &text)
{
    long fd = prog.open(path, 1);
    if (fd < 0)
        return fd;
    long n = prog.write(static_cast<int>(fd), text.data(), text.size());
    prog.close(static_cast<int>(fd));
    return n;
}

// The removal stopped just after its sysfs part (where 4.4 let an export in):
// the export finds no line and the chip is asked nothing.
TEST(GpioRemoval, AnExportAfterTheSysfsTeardownFindsNoLine)
{
    CountingChip c(340);
    ASSERT_EQ(0, gpiochip_add_data(&c.chip, &c));
    kern::gpio::sysfs_unregister(&c.chip);
    khost::Program prog;
    EXPECT_EQ(-EINVAL, write_text(prog, cls + "/export", "341\n"));
    EXPECT_EQ(-EINVAL, write_text(prog, cls + "/unexport", "341\n"));
    EXPECT_EQ(0, c.requests.load()) << "the chip being removed was asked for a line";
    gpiochip_remove(&c.chip);
    EXPECT_EQ(0, c.frees.load());
}

// Programs export and unexport a line while its chip is removed and its
// memory freed, round after round: under ASan or TSan the export must not
// touch the freed lines or chip, and every request the chip saw is freed.
TEST(GpioRemoval, ExportsRacingTheRemovalLeaveNothingBehind)
{
    for (int round = 0; round < 200; ++round) {
        auto c = std::make_unique<CountingChip>(360);
        ASSERT_EQ(0, gpiochip_add_data(&c->chip, c.get()));
        std::atomic<bool> removed{false};
        std::atomic<int> attempts{0};
        auto exporter = [&] {
            khost::Program prog("exporter");
            for (;;) {
                long n = write_text(prog, cls + "/export", "361\n");
                ++attempts;
                if (n > 0)
                    write_text(prog, cls + "/unexport", "361\n");
                else if (n == -EINVAL && removed)
                    return;
            }
        };
        std::thread a(exporter), b(exporter);
        while (attempts < 2 * (round % 4))
            std::this_thread::yield();
        gpiochip_remove(&c->chip);
        removed = true;
        a.join();
        b.join();
        EXPECT_EQ(c->requests.load(), c->frees.load()) << "round " << round;
        c.reset();
    }
}

} // namespace
