// Tasks, kernel threads, the system work queue and sleeping.
#include <linux/delay.h>
#include <linux/jiffies.h>
#include <linux/kthread.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/wait.h>
#include <linux/workqueue.h>

#include "task.hpp"

#include <khost/fault.hpp>
#include <khost/kernel.hpp>
#include <khost/sleeps.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class Kernel : public ::testing::Test {
protected:
    void SetUp() override { khost::boot({"", 1000, 1}); }
    void TearDown() override { khost::halt(); }
};

std::atomic<int> loops;
std::atomic<bool> quit_by_itself;

int looping_thread(void *data)
{
    while (!kthread_should_stop()) {
        loops++;
        if (quit_by_itself)
            do_exit(7);
        msleep(1);
    }
    return 42;
}

TEST_F(Kernel, KthreadStopReturnsTheThreadsResult)
{
    loops = 0;
    quit_by_itself = false;
    struct task_struct *t = kthread_run(looping_thread, nullptr, "looper");
    ASSERT_FALSE(IS_ERR(t));
    while (loops < 3)
        std::this_thread::yield();
    EXPECT_EQ(kthread_stop(t), 42);
}

TEST_F(Kernel, KthreadCreatedAsleepRunsOnlyWhenWoken)
{
    loops = 0;
    quit_by_itself = false;
    struct task_struct *t = kthread_create(looping_thread, nullptr, "sleeper");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(loops.load(), 0);
    wake_up_process(t);
    while (loops == 0)
        std::this_thread::yield();
    EXPECT_EQ(kthread_stop(t), 42);
}

TEST_F(Kernel, ThreadStoppedBeforeItRanNeverRuns)
{
    loops = 0;
    quit_by_itself = false;
    struct task_struct *t = kthread_create(looping_thread, nullptr, "unborn");
    EXPECT_EQ(kthread_stop(t), -EINTR);
    EXPECT_EQ(loops.load(), 0);
}

TEST_F(Kernel, StoppingAThreadThatEndedByItselfDoesNotWait)
{
    loops = 0;
    quit_by_itself = true;
    struct task_struct *t = kthread_create(looping_thread, nullptr, "quitter");
    get_task_struct(t); // before it runs: keeps the task valid after the thread has ended
    wake_up_process(t);
    while (loops == 0)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(kthread_stop(t), 7);
    put_task_struct(t);
}

// Allocates and frees a buffer each round until stopped; counts the
// rounds and the allocations refused.
std::atomic<int> refused;

int allocating_thread(void *data)
{
    while (!kthread_should_stop()) {
        void *p = kmalloc(16, GFP_KERNEL);
        refused += p == nullptr;
        kfree(p);
        loops++;
        msleep(1);
    }
    return 0;
}

// The rule for every call counts the arming thread's calls only, as the
// kernel's fail-nth counts its own task's: a kernel thread allocating at the
// same time neither fails nor moves the failure off the caller's call.
TEST_F(Kernel, TheNthFallibleCallIsTheArmingThreadsOwn)
{
    loops = 0;
    refused = 0;
    struct task_struct *t = kthread_run(allocating_thread, nullptr, "allocator");
    ASSERT_FALSE(IS_ERR(t));
    khost::fail_nth("", 2);
    const int from = loops;
    while (loops < from + 3)
        msleep(1);
    EXPECT_EQ(khost::fail_calls(""), 0u) << "the kernel thread's calls are not counted";
    void *first = kmalloc(8, GFP_KERNEL);
    void *second = kmalloc(8, GFP_KERNEL);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr) << "the caller's second call fails";
    EXPECT_EQ(khost::fail_calls(""), 2u);
    EXPECT_EQ(kthread_stop(t), 0);
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(khost::fail_forced(), std::vector<std::string>{"kmalloc"});
    khost::fail_clear();
    kfree(first);
}

std::atomic<int> cleanups;

struct CountsItsEnd {
    ~CountsItsEnd() { cleanups++; }
};

int exits_from_deep_inside(void *)
{
    CountsItsEnd outer;
    [] {
        CountsItsEnd inner;
        do_exit(9);
    }();
    return 0; // never reached
}

TEST_F(Kernel, DoExitEndsTheThreadRunningTheCleanupsOfItsFrames)
{
    cleanups = 0;
    struct task_struct *t = kthread_create(exits_from_deep_inside, nullptr, "exiter");
    get_task_struct(t);
    wake_up_process(t);
    while (cleanups < 2)
        msleep(1);
    EXPECT_EQ(kthread_stop(t), 9);
    EXPECT_EQ(cleanups.load(), 2) << "each frame's cleanup ran once";
    put_task_struct(t);
}

std::atomic<bool> quitter_ran;

int quits_at_once(void *)
{
    quitter_ran = true;
    do_exit(0);
}

TEST_F(Kernel, StoppingAThreadThatEndedWithoutAReferenceIsReported)
{
    quitter_ran = false;
    struct task_struct *t = kthread_run(quits_at_once, nullptr, "unheld");
    while (!quitter_ran || kern::task_alive(t))
        msleep(1);
    EXPECT_EQ(kthread_stop(t), -ESRCH);
    auto reports = khost::take_warnings();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("BUG: KASAN: use-after-free in kthread_stop"), std::string::npos) << reports[0];
}

// The waker wakes only a task that is asleep (wake_up_process finds it not
// running), so the wake-up cannot come before the sleep.
TEST_F(Kernel, WakeUpEndsASleepEarly)
{
    struct task_struct *me = get_current();
    std::thread waker([me] {
        while (!wake_up_process(me))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    const auto before = khost::sleeps_of_current();
    set_current_state(TASK_INTERRUPTIBLE);
    long left = schedule_timeout(static_cast<long>(msecs_to_jiffies(5000)));
    waker.join();
    const auto slept = khost::sleeps_of_current() - before;
    EXPECT_GT(left, 0);
    EXPECT_EQ(slept.sleeps, 1u);
    EXPECT_EQ(slept.timeouts, 0u) << "woken, not timed out";
    EXPECT_EQ(slept.ticks, msecs_to_jiffies(5000));
}

TEST_F(Kernel, SleepsAreCountedPerTaskAndByName)
{
    const auto before = khost::sleeps_of_current();
    const auto named = khost::sleeps_of("program");
    const auto all = khost::sleeps_all();
    set_current_state(TASK_RUNNING);
    EXPECT_EQ(schedule_timeout(5), 5) << "a running task does not sleep";
    set_current_state(TASK_INTERRUPTIBLE);
    EXPECT_EQ(schedule_timeout(0), 0);
    msleep(2); // at 1000 Hz, 3 ticks
    const auto mine = khost::sleeps_of_current() - before;
    EXPECT_GE(mine.sleeps, 2u);
    EXPECT_EQ(mine.timeouts, mine.sleeps) << "nothing woke this thread";
    EXPECT_GE(mine.ticks, 3u);
    EXPECT_GE((khost::sleeps_of("program") - named).timeouts, mine.timeouts);
    EXPECT_GE((khost::sleeps_all() - all).timeouts, mine.timeouts);
    EXPECT_EQ(khost::sleeps_of("no such task").sleeps, 0u);
}

// As on Linux, what is left is counted from the expiry against the clock, so
// a tick that passes during the call may take one from it; the task never
// sleeps.
TEST_F(Kernel, ScheduleTimeoutWhileRunningReturnsAtOnce)
{
    set_current_state(TASK_RUNNING);
    const auto before = khost::sleeps_of_current();
    const long left = schedule_timeout(1000);
    EXPECT_EQ((khost::sleeps_of_current() - before).sleeps, 0u);
    EXPECT_LE(left, 1000);
    EXPECT_GT(left, 500) << "nearly all of the timeout is left";
}

TEST_F(Kernel, JiffiesFollowTheTickRate)
{
    EXPECT_EQ(HZ, 1000u);
    EXPECT_EQ(msecs_to_jiffies(1), 1u);
    EXPECT_EQ(msecs_to_jiffies(1500), 1500u);
    khost::halt();
    khost::boot({"", 250, 1});
    EXPECT_EQ(msecs_to_jiffies(1), 1u) << "rounded up to a whole tick";
    EXPECT_EQ(msecs_to_jiffies(10), 3u);
    EXPECT_EQ(jiffies_to_msecs(250), 1000u);
    unsigned long before = jiffies;
    msleep(10);
    EXPECT_GE(jiffies - before, 3u);
}

std::atomic<int> runs;
std::atomic<int> started;
void counting_work(struct work_struct *) { runs++; }
void slow_work(struct work_struct *)
{
    started++;
    msleep(30);
    runs++;
}

TEST_F(Kernel, PendingWorkIsQueuedOnce)
{
    runs = 0;
    started = 0;
    DECLARE_WORK(work, slow_work);
    EXPECT_TRUE(schedule_work(&work));
    while (started == 0)
        std::this_thread::yield();
    EXPECT_TRUE(schedule_work(&work)) << "running is not pending: it may queue again";
    EXPECT_FALSE(schedule_work(&work));
    EXPECT_TRUE(flush_work(&work));
    EXPECT_EQ(runs.load(), 2);
    EXPECT_FALSE(work_pending(&work));
}

TEST_F(Kernel, HaltRunsQueuedWork)
{
    runs = 0;
    DECLARE_WORK(work, counting_work);
    schedule_work(&work);
    khost::halt();
    EXPECT_EQ(runs.load(), 1);
    khost::boot({"", 1000, 1});
}

DEFINE_MUTEX(guarded);

TEST_F(Kernel, BreakLeavesAScopedGuardOnce)
{
    int rounds = 0;
    for (int i = 0; i < 3; i++) {
        scoped_guard(mutex, &guarded)
        {
            rounds++;
            EXPECT_TRUE(mutex_is_locked(&guarded));
            if (i == 1)
                break;
        }
        EXPECT_FALSE(mutex_is_locked(&guarded));
    }
    EXPECT_EQ(rounds, 3) << "break leaves the guard, not the loop around it";
}

DECLARE_WAIT_QUEUE_HEAD(queue);
std::atomic<bool> ready;

TEST_F(Kernel, WaitEventWakesOnCondition)
{
    ready = false;
    std::thread setter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ready = true;
        wake_up(&queue);
    });
    long left = wait_event_timeout(queue, ready.load(), static_cast<long>(msecs_to_jiffies(5000)));
    EXPECT_GT(left, 0);
    setter.join();
    EXPECT_EQ(wait_event_timeout(queue, false, 5), 0);
}

} // namespace
