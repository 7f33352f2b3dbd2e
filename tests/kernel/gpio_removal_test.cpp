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
#include "vfs.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>
#include <sched.h>

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

// Both threads on one CPU, the removal's at idle priority: a thread it
// wakes runs at once, before the removal goes on.
void share_one_cpu(bool idle)
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
        int first = 0;
        while (first < CPU_SETSIZE && !CPU_ISSET(first, &allowed))
            ++first;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        pthread_setaffinity_np(pthread_self(), sizeof(one), &one);
    }
    if (idle) {
        struct sched_param param {};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
    }
}

// The race Linux 4.4 had, made to happen: the removal wakes an exporter while
// it holds the export lock (freeing the line sysfs exported), so the export
// comes in the moment the removal lets go of the lock. A chip still findable
// then is asked for the line, and its request waits for the removal to end
// before the core goes on with a line gpiochip_remove has freed (ASan's
// heap-use-after-free, TSan's race with the free). Now the export finds no
// line and the chip is asked nothing.
TEST(GpioRemoval, AnExportWokenByTheRemovalFindsNoLine)
{
    struct Race {
        CountingChip chip{380};
        std::mutex lock;
        std::condition_variable changed;
        bool freeing = false;
        bool removed = false;
        std::atomic<int> late{0};
    };
    static Race *race;
    auto r = std::make_unique<Race>();
    race = r.get();
    r->chip.chip.request = [](struct gpio_chip *c, unsigned) {
        ++CountingChip::of(c)->requests;
        if (!kern::vfs::exists(cls + "/gpiochip380")) {
            ++race->late;
            std::unique_lock hold(race->lock);
            race->changed.wait(hold, [] { return race->removed; });
        }
        return 0;
    };
    r->chip.chip.free = [](struct gpio_chip *c, unsigned) {
        ++CountingChip::of(c)->frees;
        {
            std::lock_guard hold(race->lock);
            race->freeing = true;
        }
        race->changed.notify_all();
    };
    ASSERT_EQ(0, gpiochip_add_data(&r->chip.chip, &r->chip));
    khost::Program prog;
    ASSERT_EQ(4, write_text(prog, cls + "/export", "381\n"));

    long exported = 0;
    std::thread exporter([&] {
        share_one_cpu(false);
        khost::Program own("exporter");
        long fd = own.open(cls + "/export", 1);
        {
            std::unique_lock hold(r->lock);
            r->changed.wait(hold, [&] { return r->freeing; });
        }
        exported = own.write(static_cast<int>(fd), "382\n", 4);
    });
    std::thread remover([&] {
        share_one_cpu(true);
        gpiochip_remove(&r->chip.chip);
        {
            std::lock_guard hold(r->lock);
            r->removed = true;
        }
        r->changed.notify_all();
    });
    remover.join();
    exporter.join();
    EXPECT_EQ(-EINVAL, exported);
    EXPECT_EQ(0, r->late.load()) << "the chip was asked for a line after its removal began";
    EXPECT_EQ(r->chip.requests.load(), r->chip.frees.load());
}

} // namespace
