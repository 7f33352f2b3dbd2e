// The module's driver table walked with drivers of the test's own: which
// drivers the load, the unload and the run-time start start and stop, the
// load's unwinding when the driver that decides it fails after others
// started, and a run-time start racing that load. The module's own table
// cannot fail its load yet (its deciding driver is not built), so its
// unwinding is exercised here, on the same code.
#include <linux/mutex.h>

#include "core/quorvel_drivers.h"

#include <khost/kernel.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// What the fake drivers did, in order: "+N" a start, "-N" a stop.
std::mutex events_lock;
std::vector<std::string> events;
int start_result[8];               // what driver N's next start returns
std::function<void()> on_start[8]; // run inside driver N's start

void note(const std::string &event)
{
    std::lock_guard hold(events_lock);
    events.push_back(event);
}

std::vector<std::string> take_events()
{
    std::lock_guard hold(events_lock);
    return std::exchange(events, {});
}

template <int N> int fake_init()
{
    note("+" + std::to_string(N));
    if (on_start[N])
        on_start[N]();
    return start_result[N];
}

template <int N> void fake_exit() { note("-" + std::to_string(N)); }

template <int N> struct quorvel_driver fake(long *sw) { return {.sw = sw, .init = fake_init<N>, .exit = fake_exit<N>}; }

// Drivers 1..6 shaped like the module's: 1 and 2 switched, 3 always, 4 the
// load's decider, 5 always and after it (as the application counter comes
// after the infrared driver), 6 switched and not part of the module yet.
// The stop order puts 2 after 3, as the serial port follows the
// configuration device.
class DriverTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        khost::boot({});
        take_events();
        for (int i = 0; i < 8; i++) {
            start_result[i] = 0;
            on_start[i] = nullptr;
        }
    }
    void TearDown() override { khost::halt(); }

    long sw1 = 0, sw2 = 0, sw6 = 0;
    struct quorvel_driver d1 = fake<1>(&sw1), d2 = fake<2>(&sw2), d3 = fake<3>(nullptr), d4 = fake<4>(nullptr),
                          d5 = fake<5>(nullptr), d6 = {.sw = &sw6};
    struct quorvel_driver *const start[6] = {&d1, &d2, &d3, &d6, &d4, &d5};
    struct quorvel_driver *const stop[6] = {&d1, &d3, &d2, &d6, &d4, &d5};
    struct quorvel_driver *const late[3] = {&d6, &d2, &d1};
    struct quorvel_driver_table table = {
        .start_order = quorvel_order(start),
        .stop_order = quorvel_order(stop),
        .late_order = quorvel_order(late),
        .load_decider = &d4,
        .lock = __MUTEX_INITIALIZER(table.lock),
    };
};

TEST_F(DriverTable, UnloadStopsWhatStartedWhateverTheSwitchesSayNow)
{
    sw1 = 0x30;
    ASSERT_EQ(quorvel_drivers_load(&table), 0);
    EXPECT_THAT(take_events(), ElementsAre("+1", "+3", "+4", "+5"));
    // sysfs may change the switches at run time.
    sw1 = 0;
    sw2 = 1;
    quorvel_drivers_unload(&table);
    EXPECT_THAT(take_events(), ElementsAre("-1", "-3", "-4", "-5"));
    EXPECT_FALSE(d1.started || d3.started || d4.started || d5.started);
}

TEST_F(DriverTable, AFailedStartIsNotStoppedAndDoesNotDecideTheLoad)
{
    sw2 = 1;
    start_result[2] = -ENOMEM;
    start_result[3] = -EBUSY;
    ASSERT_EQ(quorvel_drivers_load(&table), 0);
    EXPECT_THAT(take_events(), ElementsAre("+2", "+3", "+4", "+5"));
    quorvel_drivers_unload(&table);
    EXPECT_THAT(take_events(), ElementsAre("-4", "-5"));
}

TEST_F(DriverTable, AFailedDeciderUnwindsEveryDriverThatStartedInStopOrder)
{
    sw1 = sw2 = sw6 = 1;
    start_result[2] = -EIO;
    start_result[4] = -ENODEV;
    EXPECT_EQ(quorvel_drivers_load(&table), -ENODEV);
    // 5 starts after the decider, and is stopped all the same; 2 and 4 did
    // not start, and 6 is not part of the module.
    EXPECT_THAT(take_events(), ElementsAre("+1", "+2", "+3", "+4", "+5", "-1", "-3", "-5"));
    for (const auto *drv : stop)
        EXPECT_FALSE(drv->started);
    // Nothing starts on a table that unwound.
    quorvel_drivers_start_late(&table);
    EXPECT_THAT(take_events(), IsEmpty());
}

TEST_F(DriverTable, LateStartStartsWhatDoesNotRunOnce)
{
    sw2 = 5;
    start_result[2] = -EIO;
    ASSERT_EQ(quorvel_drivers_load(&table), 0);
    take_events();
    // A switch turned on without a start, and a driver whose start failed,
    // do not run: the late start starts both. A switch of 0 becomes 1, a
    // mask stays as it was.
    sw1 = 0;
    start_result[2] = 0;
    quorvel_drivers_start_late(&table);
    EXPECT_THAT(take_events(), ElementsAre("+2", "+1"));
    EXPECT_EQ(sw1, 1);
    EXPECT_EQ(sw2, 5);
    EXPECT_EQ(sw6, 1) << "a driver not yet built still has its switch set";
    // A running driver is left alone, even with its switch turned off.
    sw1 = 0;
    quorvel_drivers_start_late(&table);
    EXPECT_THAT(take_events(), IsEmpty());
    quorvel_drivers_unload(&table);
    EXPECT_THAT(take_events(), ElementsAre("-1", "-3", "-2", "-4", "-5"));
}

TEST_F(DriverTable, LateStartFailingStaysStoppedUntilItStarts)
{
    ASSERT_EQ(quorvel_drivers_load(&table), 0);
    take_events();
    start_result[1] = -ENOMEM;
    quorvel_drivers_start_late(&table);
    EXPECT_THAT(take_events(), ElementsAre("+2", "+1"));
    EXPECT_FALSE(d1.started);
    quorvel_drivers_unload(&table);
    EXPECT_THAT(take_events(), ElementsAre("-3", "-2", "-4", "-5"));
}

// The configuration device's node exists from its start on, while the load
// goes on: a program may ask for the late start then. It waits for the load,
// and starts nothing if the load failed; the unwinding does not wait for it
// forever (on the module, the stop of the configuration device waits for
// that very call to return).
std::vector<std::string> race_the_load(struct quorvel_driver_table *table, int decider_result)
{
    std::atomic<bool> asking{false};
    std::thread program;
    on_start[3] = [&] {
        program = std::thread([&] {
            asking = true;
            quorvel_drivers_start_late(table);
        });
    };
    on_start[4] = [&] {
        while (!asking)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // most often, it is waiting by now
    };
    start_result[4] = decider_result;
    EXPECT_EQ(quorvel_drivers_load(table), decider_result);
    program.join();
    return take_events();
}

TEST_F(DriverTable, LateStartRacingALoadThatSucceedsComesAfterIt)
{
    EXPECT_THAT(race_the_load(&table, 0), ElementsAre("+3", "+4", "+5", "+2", "+1"));
    quorvel_drivers_unload(&table);
    EXPECT_THAT(take_events(), ElementsAre("-1", "-3", "-2", "-4", "-5"));
}

TEST_F(DriverTable, LateStartRacingALoadThatFailsStartsNothing)
{
    EXPECT_THAT(race_the_load(&table, -ENODEV), ElementsAre("+3", "+4", "+5", "-3", "-5"));
    EXPECT_EQ(sw1, 0);
}

} // namespace
