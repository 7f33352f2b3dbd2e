// Lock checking: each misuse that lock debugging reports on Linux is
// committed here and its report taken; orders that agree are not reported.
#include <linux/delay.h>
#include <linux/jiffies.h>
#include <linux/kthread.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/wait.h>
#include <linux/workqueue.h>

#include <khost/kernel.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

class Locks : public ::testing::Test {
protected:
    void SetUp() override { khost::boot({"", 1000, 1}); }
    void TearDown() override { khost::halt(); }
};

// The one report taken, which must contain every needle.
void expect_one_report(const std::vector<std::string> &needles)
{
    auto reports = khost::take_warnings();
    ASSERT_EQ(reports.size(), 1u) << testing::PrintToString(reports);
    for (const auto &n : needles)
        EXPECT_NE(reports[0].find(n), std::string::npos) << "'" << n << "' not in: " << reports[0];
}

// Runs fn on a thread of its own, a task of its own, and waits for it.
template <typename Fn> void as_other_task(Fn fn)
{
    std::thread t(fn);
    t.join();
}

DEFINE_MUTEX(lock_a);
DEFINE_MUTEX(lock_b);
DEFINE_MUTEX(lock_c);
DEFINE_SPINLOCK(spin);

TEST_F(Locks, MutexReleasedByATaskThatDoesNotHoldItIsReported)
{
    struct mutex m;
    mutex_init(&m);
    std::atomic<bool> locked{false}, released{false};
    std::thread holder([&] {
        mutex_lock(&m);
        locked = true;
        while (!released)
            msleep(1);
    });
    while (!locked)
        msleep(1);
    mutex_unlock(&m);
    expect_one_report({"WARNING: bad unlock balance detected!", "&m", "held by task"});
    EXPECT_FALSE(mutex_is_locked(&m)) << "released anyway, as the kernel does";
    released = true;
    holder.join();

    mutex_unlock(&m);
    expect_one_report({"bad unlock balance", "no more locks to release"});
}

TEST_F(Locks, MutexDestroyedWhileHeldOrUsedAfterDestroyIsReported)
{
    struct mutex m;
    mutex_init(&m);
    mutex_lock(&m);
    mutex_destroy(&m);
    expect_one_report({"DEBUG_LOCKS_WARN_ON(mutex_is_locked(lock))", "&m destroyed while held"});
    mutex_unlock(&m);
    mutex_lock(&m);
    expect_one_report({"DEBUG_LOCKS_WARN_ON(lock->magic != lock)", "used after mutex_destroy"});
    mutex_unlock(&m);
    mutex_destroy(&m);
    EXPECT_TRUE(khost::take_warnings().empty()) << "destroying an unlocked mutex is fine";
}

TEST_F(Locks, MutexTakenTwiceByOneTaskIsReportedInsteadOfHanging)
{
    mutex_lock(&lock_a);
    mutex_lock(&lock_a);
    expect_one_report({"WARNING: possible recursive locking detected", "lock_a"});
    mutex_unlock(&lock_a);
    EXPECT_TRUE(mutex_is_locked(&lock_a)) << "the nested release leaves the outer hold";
    mutex_unlock(&lock_a);
    EXPECT_FALSE(mutex_is_locked(&lock_a));
    EXPECT_TRUE(khost::take_warnings().empty());
    EXPECT_TRUE(mutex_trylock(&lock_a));
    EXPECT_FALSE(mutex_trylock(&lock_a)) << "a trylock of a held mutex just fails";
    mutex_unlock(&lock_a);
}

DECLARE_WAIT_QUEUE_HEAD(never_woken);

TEST_F(Locks, SleepingWhileASpinlockIsHeldIsReportedOncePerHold)
{
    spin_lock(&spin);
    msleep(1);
    expect_one_report({"BUG: sleeping function called from invalid context at kernel/src/time.cpp"});
    msleep(1);
    mutex_lock(&lock_b);
    mutex_unlock(&lock_b);
    EXPECT_TRUE(khost::take_warnings().empty()) << "reported once while the spinlock is held";
    spin_unlock(&spin);

    scoped_guard(spinlock, &spin) mutex_lock(&lock_b);
    mutex_unlock(&lock_b);
    expect_one_report({"BUG: sleeping function called from invalid context at kernel/src/mutex.cpp"});
    int line = __LINE__ + 1;
    scoped_guard(spinlock, &spin)(void) wait_event_timeout(never_woken, false, 1);
    expect_one_report({"locking_test.cpp:" + std::to_string(line)});
    scoped_guard(spinlock, &spin) kfree(kmalloc(8, GFP_KERNEL));
    expect_one_report({"sleeping function called from invalid context at kernel/src/slab.cpp"});
    scoped_guard(spinlock, &spin) kfree(kmalloc(8, GFP_ATOMIC));
    EXPECT_TRUE(khost::take_warnings().empty()) << "GFP_ATOMIC does not sleep";
    msleep(1);
    EXPECT_TRUE(khost::take_warnings().empty()) << "no spinlock held, no report";
}

TEST_F(Locks, SpinlockMisuseIsReported)
{
    spin_lock(&spin);
    spin_lock(&spin);
    expect_one_report({"BUG: spinlock recursion on CPU#0"});
    spin_unlock(&spin);
    spin_unlock(&spin);
    EXPECT_FALSE(spin_is_locked(&spin));
    spin_unlock(&spin);
    expect_one_report({"BUG: spinlock already unlocked on CPU#0"});

    std::atomic<bool> locked{false}, released{false};
    std::thread holder([&] {
        spin_lock(&spin);
        locked = true;
        while (!released)
            std::this_thread::yield();
        spin_unlock(&spin); // released for it meanwhile: its own record goes quietly
    });
    while (!locked)
        std::this_thread::yield();
    spin_unlock(&spin);
    expect_one_report({"BUG: spinlock wrong owner on CPU#0"});
    released = true;
    holder.join();
    EXPECT_TRUE(khost::take_warnings().empty());
}

TEST_F(Locks, InvertedOrderIsReportedOnceEvenWithoutADeadlock)
{
    as_other_task([] {
        mutex_lock(&lock_a);
        mutex_lock(&lock_b);
        mutex_unlock(&lock_b);
        mutex_unlock(&lock_a);
    });
    EXPECT_TRUE(khost::take_warnings().empty());
    // Later, on another task, the other order: no deadlock happens, the
    // cycle is reported all the same.
    as_other_task([] {
        mutex_lock(&lock_b);
        mutex_lock(&lock_a);
        mutex_unlock(&lock_a);
        mutex_unlock(&lock_b);
    });
    expect_one_report({"WARNING: possible circular locking dependency detected",
                       "trying to acquire lock (lock_a) but task is already holding lock (lock_b)"});
    as_other_task([] {
        mutex_lock(&lock_b);
        mutex_lock(&lock_a);
        mutex_unlock(&lock_a);
        mutex_unlock(&lock_b);
    });
    EXPECT_TRUE(khost::take_warnings().empty()) << "reported the first time only";
}

TEST_F(Locks, ACycleThroughThreeLocksIsReported)
{
    auto nest = [](struct mutex *outer, struct mutex *inner) {
        as_other_task([=] {
            scoped_guard(mutex, outer) scoped_guard(mutex, inner) {}
        });
    };
    nest(&lock_a, &lock_b);
    nest(&lock_b, &lock_c);
    EXPECT_TRUE(khost::take_warnings().empty());
    nest(&lock_c, &lock_a);
    expect_one_report({"circular locking dependency", "(lock_a) -> (lock_b) -> (lock_c)"});
}

TEST_F(Locks, OrdersThatAgreeAreNotReportedAndBootForgetsOrders)
{
    for (int i = 0; i < 3; i++)
        as_other_task([] {
            guard(mutex)(&lock_a);
            guard(spinlock)(&spin);
        });
    EXPECT_TRUE(khost::take_warnings().empty());
    khost::halt();
    khost::boot({"", 1000, 1});
    as_other_task([] {
        guard(spinlock)(&spin);
        EXPECT_TRUE(spin_trylock(&spin) == 0);
    });
    EXPECT_TRUE(khost::take_warnings().empty());
}

TEST_F(Locks, AssertHeldWarnsUnlessTheTaskHoldsTheLock)
{
    mutex_lock(&lock_a);
    lockdep_assert_held(&lock_a);
    EXPECT_TRUE(khost::take_warnings().empty());
    mutex_unlock(&lock_a);
    lockdep_assert_held(&lock_a);
    expect_one_report({"lockdep_assert_held"});
}

std::atomic<bool> holder_ran;

int hold_and_return(void *)
{
    int ret = mutex_trylock(&lock_c) ? 0 : -1;
    holder_ran = true;
    return ret;
}

TEST_F(Locks, AThreadEndingWithALockHeldIsReported)
{
    struct task_struct *t = kthread_create(hold_and_return, nullptr, "holder");
    get_task_struct(t);
    holder_ran = false;
    wake_up_process(t);
    while (!holder_ran)
        msleep(1);
    EXPECT_EQ(kthread_stop(t), 0);
    put_task_struct(t);
    expect_one_report({"BUG: holder/", "still has locks held!", "lock_c"});
    mutex_init(&lock_c); // its holder is gone
}

void leak_lock_fn(struct work_struct *) { spin_lock(&spin); }

TEST_F(Locks, AWorkItemReturningWithALockHeldIsReported)
{
    DECLARE_WORK(leaker, leak_lock_fn);
    schedule_work(&leaker);
    flush_work(&leaker);
    expect_one_report({"BUG: workqueue leaked lock or atomic: kworker/0:"});
    spin_lock_init(&spin); // its holder left it locked
}

} // namespace
