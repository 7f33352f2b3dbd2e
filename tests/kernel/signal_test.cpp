// Signals sent to a program's thread: each interruptible wait of kernel
// code ends (or does not begin) while one is pending, with the result Linux
// gives; uninterruptible ones are not affected; the end of a system call
// delivers the signal, and the call it interrupted returns -EINTR.
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/errno.h>
#include <linux/jiffies.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/wait.h>

#include <khost/kernel.hpp>
#include <khost/program.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

class Signals : public ::testing::Test {
protected:
    void SetUp() override { khost::boot({"", 1000, 1}); }
    void TearDown() override { khost::halt(); }
};

// Runs `wait` on a thread of its own, sends that thread a signal once
// `sleeping` says it waits, and gives the wait's result.
template <typename Wait, typename Sleeping> long interrupted(Wait wait, Sleeping sleeping)
{
    std::promise<khost::SignalTarget> target;
    auto result = std::async(std::launch::async, [&] {
        target.set_value(khost::SignalTarget::current_thread());
        return wait();
    });
    auto thread = target.get_future().get();
    while (!sleeping())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    thread.send();
    return result.get();
}

bool has_waiter(wait_queue_head_t *q)
{
    guard(spinlock)(&q->lock);
    return !list_empty(&q->task_list);
}

TEST_F(Signals, InterruptibleWaitsEnd)
{
    DECLARE_WAIT_QUEUE_HEAD(wq);
    EXPECT_EQ(interrupted([&] { return static_cast<long>(wait_event_interruptible(wq, false)); },
                          [&] { return has_waiter(&wq); }),
              -ERESTARTSYS);
    EXPECT_EQ(interrupted([&] { return wait_event_interruptible_timeout(wq, false, 100000L); },
                          [&] { return has_waiter(&wq); }),
              -ERESTARTSYS);

    struct completion done;
    init_completion(&done);
    EXPECT_EQ(interrupted([&] { return static_cast<long>(wait_for_completion_interruptible(&done)); },
                          [&] { return has_waiter(&done.wait); }),
              -ERESTARTSYS);

    DEFINE_MUTEX(held);
    mutex_lock(&held);
    std::atomic<bool> trying{false};
    EXPECT_EQ(interrupted(
                  [&] {
                      trying = true;
                      return static_cast<long>(mutex_lock_interruptible(&held));
                  },
                  [&] { return trying.load(); }),
              -EINTR);
    mutex_unlock(&held);

    std::atomic<bool> sleeping{false};
    long left = interrupted(
        [&] {
            sleeping = true;
            return static_cast<long>(msleep_interruptible(100000));
        },
        [&] { return sleeping.load(); });
    EXPECT_GT(left, 0) << "the milliseconds left";
}

// A pending signal: interruptible waits do not begin, uninterruptible ones
// wait as usual; a system call's return delivers it.
TEST_F(Signals, APendingSignalStopsInterruptibleWaitsUntilDelivered)
{
    khost::SignalTarget::current_thread().send();
    EXPECT_TRUE(signal_pending(get_current()));
    EXPECT_EQ(schedule_timeout_interruptible(100000), 100000) << "returns at once";
    EXPECT_GE(msleep_interruptible(100000), 100000u);
    msleep(2); // not interruptible: sleeps
    EXPECT_TRUE(signal_pending(get_current()));
    khost::Program p;
    EXPECT_EQ(p.close(99), -EBADF);
    EXPECT_FALSE(signal_pending(get_current())) << "delivered at the end of the call";
}

// poll(2) waiting for a file is interrupted with -EINTR.
TEST_F(Signals, PollIsInterrupted)
{
    khost::Program p;
    std::vector<khost::PollFd> none;
    std::atomic<bool> polling{false};
    EXPECT_EQ(interrupted(
                  [&] {
                      polling = true;
                      return p.poll(none, -1);
                  },
                  [&] { return polling.load(); }),
              -EINTR);
}

} // namespace
