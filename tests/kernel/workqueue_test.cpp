// Work queues as a driver sees them: a blocked item does not delay another,
// an item never runs twice at once, flushes wait for what was queued at
// their call, delayed work keeps its delay and stops when cancelled,
// ordered queues keep order, destroy drains; kthread workers; work freed
// while queued is reported. Waits are counted events and the kernel's
// jiffies, never wall-clock bounds.
#include <linux/completion.h>
#include <linux/jiffies.h>
#include <linux/kthread.h>
#include <linux/mutex.h>
#include <linux/delay.h>
#include <linux/slab.h>
#include <linux/workqueue.h>

#include "workqueue_internal.hpp"

#include <khost/kernel.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

class Work : public ::testing::Test {
protected:
    void SetUp() override { khost::boot({"", 1000, 1}); }
    void TearDown() override { khost::halt(); }
};

bool took(const std::vector<std::string> &reports, const std::string &needle)
{
    for (const auto &r : reports)
        if (r.find(needle) != std::string::npos)
            return true;
    return false;
}

// Sleeps a tick at a time until cond holds.
template <typename Cond> void wait_until(Cond cond)
{
    while (!cond())
        msleep(1);
}

// A work item that counts its runs and, while a gate is set, waits on it.
struct Gated {
    struct work_struct work;
    struct completion *gate = nullptr;
    std::atomic<int> started{0}, finished{0}, inside{0}, most_inside{0};
};

void gated_fn(struct work_struct *work)
{
    auto *g = container_of(work, Gated, work);
    g->started++;
    int now = ++g->inside;
    int seen = g->most_inside.load();
    while (now > seen && !g->most_inside.compare_exchange_weak(seen, now)) {}
    if (g->gate)
        wait_for_completion(g->gate);
    g->inside--;
    g->finished++;
}

TEST_F(Work, ABlockedItemDoesNotDelayAnother)
{
    DECLARE_COMPLETION(gate);
    Gated blocked, other;
    INIT_WORK(&blocked.work, gated_fn);
    INIT_WORK(&other.work, gated_fn);
    blocked.gate = &gate;
    ASSERT_TRUE(schedule_work(&blocked.work));
    wait_until([&] { return blocked.started == 1; });
    ASSERT_TRUE(schedule_work(&other.work));
    flush_work(&other.work);
    EXPECT_EQ(other.finished.load(), 1) << "the other item ran while the first one blocks";
    EXPECT_EQ(blocked.finished.load(), 0);
    complete(&gate);
    flush_work(&blocked.work);
    EXPECT_EQ(blocked.finished.load(), 1);
}

TEST_F(Work, AnItemNeverRunsOnTwoWorkersAtOnce)
{
    DECLARE_COMPLETION(gate);
    Gated item, marker;
    INIT_WORK(&item.work, gated_fn);
    INIT_WORK(&marker.work, gated_fn);
    item.gate = &gate;
    ASSERT_TRUE(schedule_work(&item.work));
    wait_until([&] { return item.started == 1; });
    EXPECT_TRUE(schedule_work(&item.work)) << "running is not pending: it queues again";
    EXPECT_FALSE(schedule_work(&item.work)) << "pending: not queued twice";
    // Queued behind the requeue: once it has run, a worker has taken the requeue.
    ASSERT_TRUE(schedule_work(&marker.work));
    flush_work(&marker.work);
    EXPECT_EQ(item.started.load(), 1) << "the requeue waits for the worker running the item";
    complete_all(&gate);
    flush_work(&item.work);
    EXPECT_EQ(item.finished.load(), 2);
    EXPECT_EQ(item.most_inside.load(), 1);
}

// Run 1 waits until someone flushes, then queues run 2 and returns; run 2
// waits on a gate.
struct Requeuer {
    struct work_struct work;
    struct completion gate;
    std::atomic<int> started{0}, finished{0};
};

void requeue_fn(struct work_struct *work)
{
    auto *r = container_of(work, Requeuer, work);
    if (++r->started == 1) {
        wait_until([] { return kern::workqueue::waiters() == 1; });
        schedule_work(work);
    } else {
        wait_for_completion(&r->gate);
    }
    r->finished++;
}

TEST_F(Work, FlushWaitsOnlyForTheInstanceQueuedAtItsCall)
{
    Requeuer r;
    INIT_WORK(&r.work, requeue_fn);
    init_completion(&r.gate);
    ASSERT_TRUE(schedule_work(&r.work));
    wait_until([&] { return r.started == 1; });
    EXPECT_TRUE(flush_work(&r.work));
    EXPECT_EQ(r.finished.load(), 1) << "returned once the first run ended, with the second one not done";
    complete(&r.gate);
    flush_work(&r.work);
    EXPECT_EQ(r.finished.load(), 2);
    EXPECT_FALSE(flush_work(&r.work)) << "idle: nothing to wait for";
}

TEST_F(Work, CancelTakesPendingWorkOffTheQueueAndWaitsForARunningOne)
{
    DECLARE_COMPLETION(gate);
    struct workqueue_struct *wq = alloc_ordered_workqueue("cancel", 0);
    Gated first, second;
    INIT_WORK(&first.work, gated_fn);
    INIT_WORK(&second.work, gated_fn);
    first.gate = &gate;
    queue_work(wq, &first.work);
    queue_work(wq, &second.work);
    wait_until([&] { return first.started == 1; });
    EXPECT_TRUE(cancel_work_sync(&second.work));
    EXPECT_FALSE(work_pending(&second.work));
    std::thread opener([&] {
        wait_until([] { return kern::workqueue::waiters() == 1; });
        complete(&gate);
    });
    EXPECT_FALSE(cancel_work_sync(&first.work)) << "running, not pending";
    EXPECT_EQ(first.finished.load(), 1) << "the cancel waited for the run";
    opener.join();
    destroy_workqueue(wq);
    EXPECT_EQ(second.started.load(), 0);
}

// A delayed item that notes the tick it ran at and may queue itself again.
struct Timed {
    struct delayed_work dwork;
    struct completion ran;
    std::atomic<unsigned long> ran_at{0};
    std::atomic<int> runs{0};
    unsigned long requeue_delay = 0;
};

void timed_fn(struct work_struct *work)
{
    auto *t = container_of(to_delayed_work(work), Timed, dwork);
    t->ran_at = jiffies;
    t->runs++;
    if (t->requeue_delay)
        schedule_delayed_work(&t->dwork, t->requeue_delay);
    complete(&t->ran);
}

void init_timed(Timed *t)
{
    INIT_DELAYED_WORK(&t->dwork, timed_fn);
    init_completion(&t->ran);
}

TEST_F(Work, DelayedWorkRunsOnceItsDelayHasPassed)
{
    Timed t;
    init_timed(&t);
    unsigned long queued_at = jiffies;
    ASSERT_TRUE(schedule_delayed_work(&t.dwork, 20));
    EXPECT_TRUE(delayed_work_pending(&t.dwork));
    EXPECT_FALSE(schedule_delayed_work(&t.dwork, 1)) << "already pending";
    wait_for_completion(&t.ran);
    EXPECT_GE(t.ran_at - queued_at, 20u);
    EXPECT_FALSE(delayed_work_pending(&t.dwork));
}

TEST_F(Work, CancelledDelayedWorkNeverRuns)
{
    Timed cancelled, later;
    init_timed(&cancelled);
    init_timed(&later);
    schedule_delayed_work(&cancelled.dwork, 30);
    EXPECT_TRUE(cancel_delayed_work_sync(&cancelled.dwork));
    EXPECT_FALSE(delayed_work_pending(&cancelled.dwork));
    EXPECT_FALSE(cancel_delayed_work(&cancelled.dwork)) << "nothing left to cancel";
    // Timers run in the order they come due: once this one has run, the
    // cancelled one would have too.
    schedule_delayed_work(&later.dwork, 40);
    wait_for_completion(&later.ran);
    EXPECT_EQ(cancelled.runs.load(), 0);
}

TEST_F(Work, CancelDelayedWorkSyncStopsAnItemThatRequeuesItself)
{
    Timed loop, later;
    init_timed(&loop);
    init_timed(&later);
    loop.requeue_delay = 1;
    schedule_delayed_work(&loop.dwork, 1);
    wait_until([&] { return loop.runs >= 3; });
    cancel_delayed_work_sync(&loop.dwork);
    int runs = loop.runs;
    EXPECT_FALSE(delayed_work_pending(&loop.dwork));
    schedule_delayed_work(&later.dwork, 5);
    wait_for_completion(&later.ran);
    EXPECT_EQ(loop.runs.load(), runs) << "no run after the cancel";
}

TEST_F(Work, ModAndFlushOfDelayedWork)
{
    Timed t;
    init_timed(&t);
    EXPECT_FALSE(mod_delayed_work(system_wq, &t.dwork, 100000)) << "was idle";
    EXPECT_TRUE(mod_delayed_work(system_wq, &t.dwork, 0)) << "was pending: now due at once";
    wait_for_completion(&t.ran);
    EXPECT_EQ(t.runs.load(), 1);

    schedule_delayed_work(&t.dwork, 100000);
    EXPECT_TRUE(flush_delayed_work(&t.dwork)) << "the delay is cut short and the run waited for";
    EXPECT_EQ(t.runs.load(), 2);
}

std::vector<int> order;
std::atomic<int> inside, most_inside;

struct Numbered {
    struct work_struct work;
    int n;
};

void numbered_fn(struct work_struct *work)
{
    int now = ++inside;
    if (now > most_inside)
        most_inside = now;
    msleep(1); // gives a second worker the chance to overlap
    order.push_back(container_of(work, Numbered, work)->n);
    inside--;
}

TEST_F(Work, OrderedQueuesRunOneItemAtATimeInOrder)
{
    for (auto *wq : {alloc_ordered_workqueue("ordered/%d", 0, 1), create_singlethread_workqueue("single")}) {
        order.clear();
        inside = most_inside = 0;
        Numbered items[6];
        for (int i = 0; i < 6; i++) {
            items[i].n = i;
            INIT_WORK(&items[i].work, numbered_fn);
            ASSERT_TRUE(queue_work(wq, &items[i].work));
        }
        flush_workqueue(wq);
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
        EXPECT_EQ(most_inside.load(), 1);
        destroy_workqueue(wq);
    }
}

TEST_F(Work, MaxActiveHoldsBackTheRest)
{
    DECLARE_COMPLETION(gate);
    struct workqueue_struct *wq = alloc_workqueue("two", 0, 2);
    Gated items[4];
    for (auto &g : items) {
        INIT_WORK(&g.work, gated_fn);
        g.gate = &gate;
        queue_work(wq, &g.work);
    }
    wait_until([&] { return items[0].started + items[1].started == 2; });
    Gated marker;
    INIT_WORK(&marker.work, gated_fn);
    schedule_work(&marker.work);
    flush_work(&marker.work);
    EXPECT_EQ(items[2].started + items[3].started, 0) << "two run at a time";
    complete_all(&gate);
    flush_workqueue(wq);
    for (auto &g : items)
        EXPECT_EQ(g.finished.load(), 1);
    destroy_workqueue(wq);
}

struct workqueue_struct *chain_wq;
std::atomic<int> chain_runs;
struct work_struct chain_first, chained;

void chain_fn(struct work_struct *work)
{
    msleep(1);
    chain_runs++;
    if (work == &chain_first)
        queue_work(chain_wq, &chained); // from its own queue: allowed while it drains
}

TEST_F(Work, DestroyRunsWhatIsQueuedAndWhatThatQueues)
{
    chain_wq = alloc_workqueue("drain", 0, 0);
    chain_runs = 0;
    struct work_struct second;
    INIT_WORK(&chain_first, chain_fn);
    INIT_WORK(&second, chain_fn);
    INIT_WORK(&chained, chain_fn);
    queue_work(chain_wq, &chain_first);
    queue_work(chain_wq, &second);
    destroy_workqueue(chain_wq);
    EXPECT_EQ(chain_runs.load(), 3);
    EXPECT_FALSE(work_pending(&chained));
}

TEST_F(Work, QueueingFromOutsideWhileDestroyDrainsIsRefused)
{
    DECLARE_COMPLETION(gate);
    struct workqueue_struct *wq = alloc_workqueue("going", 0, 0);
    Gated blocked, late;
    INIT_WORK(&blocked.work, gated_fn);
    INIT_WORK(&late.work, gated_fn);
    blocked.gate = &gate;
    queue_work(wq, &blocked.work);
    wait_until([&] { return blocked.started == 1; });
    std::thread destroyer([wq] { destroy_workqueue(wq); });
    wait_until([] { return kern::workqueue::waiters() == 1; });
    EXPECT_FALSE(queue_work(wq, &late.work));
    auto reports = khost::take_warnings();
    EXPECT_TRUE(took(reports, "queued while the queue drains")) << testing::PrintToString(reports);
    EXPECT_FALSE(work_pending(&late.work));
    complete(&gate);
    destroyer.join();
    EXPECT_EQ(late.started.load(), 0);
}

TEST_F(Work, DestroyWithADelayStillRunningIsReported)
{
    struct workqueue_struct *wq = alloc_workqueue("armed", 0, 0);
    Timed t;
    init_timed(&t);
    queue_delayed_work(wq, &t.dwork, 100000);
    destroy_workqueue(wq);
    EXPECT_TRUE(took(khost::take_warnings(), "still waiting for its delay"));
    EXPECT_FALSE(delayed_work_pending(&t.dwork));
}

struct Owner {
    int before;
    struct work_struct work;
    struct delayed_work dwork;
};

void never_fn(struct work_struct *) { ADD_FAILURE() << "a cancelled item ran"; }

TEST_F(Work, FreeingAQueuedItemIsReportedAndCancelsIt)
{
    DECLARE_COMPLETION(gate);
    struct workqueue_struct *wq = alloc_ordered_workqueue("busy", 0);
    Gated blocker;
    INIT_WORK(&blocker.work, gated_fn);
    blocker.gate = &gate;
    queue_work(wq, &blocker.work);

    auto *owner = static_cast<Owner *>(kzalloc(sizeof(Owner), GFP_KERNEL));
    INIT_WORK(&owner->work, never_fn);
    INIT_DELAYED_WORK(&owner->dwork, never_fn);
    queue_work(wq, &owner->work); // waits behind the blocker
    queue_delayed_work(wq, &owner->dwork, 100000);
    kfree(owner);
    auto reports = khost::take_warnings();
    EXPECT_TRUE(took(reports, "ODEBUG: free active (active state 0) object type: work_struct"))
        << testing::PrintToString(reports);
    EXPECT_TRUE(
        took(reports, "ODEBUG: free active (active state 0) object type: timer_list hint: delayed_work_timer_fn"));

    complete(&gate);
    destroy_workqueue(wq);
    EXPECT_TRUE(khost::take_warnings().empty()) << "nothing of the freed items was left";
}

struct SelfFreeing {
    struct work_struct work;
    struct completion *done;
};

void self_free_fn(struct work_struct *work)
{
    auto *s = container_of(work, SelfFreeing, work);
    struct completion *done = s->done;
    kfree(s);
    complete(done);
}

TEST_F(Work, AnItemMayFreeItselfWhileItRuns)
{
    DECLARE_COMPLETION(done);
    auto *s = static_cast<SelfFreeing *>(kmalloc(sizeof(SelfFreeing), GFP_KERNEL));
    INIT_WORK(&s->work, self_free_fn);
    s->done = &done;
    schedule_work(&s->work);
    wait_for_completion(&done);
    flush_scheduled_work();
}

// A module image going away with a static item still queued: the loader
// checks the image's memory as kfree checks a block.
struct delayed_work left_queued;

TEST_F(Work, MemoryGoingAwayWithAStaticItemQueuedIsReported)
{
    INIT_DELAYED_WORK(&left_queued, never_fn);
    schedule_delayed_work(&left_queued, 100000);
    kern::debug_check_no_obj_freed(&left_queued, sizeof left_queued, nullptr);
    EXPECT_TRUE(took(khost::take_warnings(), "ODEBUG: free active"));
    EXPECT_FALSE(delayed_work_pending(&left_queued));
}

TEST_F(Work, AModuleUnloadedWithItsStaticWorkWaitingIsReported)
{
    ASSERT_EQ(khost::insmod(WORK_LEFT_MODULE, {}), 0);
    ASSERT_EQ(khost::rmmod("work_left"), 0);
    auto reports = khost::take_warnings();
    ASSERT_EQ(reports.size(), 1u) << testing::PrintToString(reports);
    EXPECT_NE(reports[0].find("ODEBUG: free active (active state 0) object type: timer_list"), std::string::npos)
        << reports[0];
    EXPECT_FALSE(kern::debug_objects_active()) << "cancelled: nothing runs from the unmapped image";
}

TEST_F(Work, ReinitialisingAPendingItemIsReported)
{
    Timed t;
    init_timed(&t);
    schedule_delayed_work(&t.dwork, 100000);
    INIT_DELAYED_WORK(&t.dwork, timed_fn);
    EXPECT_TRUE(took(khost::take_warnings(), "ODEBUG: init active"));
    EXPECT_FALSE(delayed_work_pending(&t.dwork));
}

struct Flusher {
    struct work_struct work;
    struct workqueue_struct *wq;
};

void flush_self_fn(struct work_struct *work)
{
    auto *f = container_of(work, Flusher, work);
    EXPECT_FALSE(flush_work(work)) << "not waited for: it would wait for itself";
    flush_workqueue(f->wq);
}

TEST_F(Work, AnItemWaitingForItselfIsReportedNotHung)
{
    Flusher f;
    f.wq = alloc_workqueue("self", 0, 0);
    INIT_WORK(&f.work, flush_self_fn);
    queue_work(f.wq, &f.work);
    flush_workqueue(f.wq);
    auto reports = khost::take_warnings();
    EXPECT_EQ(reports.size(), 2u) << testing::PrintToString(reports);
    EXPECT_TRUE(took(reports, "possible recursive locking detected"));
    destroy_workqueue(f.wq);
}

DEFINE_MUTEX(config_lock);

void takes_config_lock(struct work_struct *) { guard(mutex)(&config_lock); }

TEST_F(Work, WaitingUnderALockForAnItemThatTakesItIsReported)
{
    DECLARE_WORK(update, takes_config_lock);
    schedule_work(&update);
    flush_work(&update);
    EXPECT_TRUE(khost::take_warnings().empty());
    // Would deadlock whenever the item runs at that moment; reported even
    // though it does not run now.
    scoped_guard(mutex, &config_lock) cancel_work_sync(&update);
    auto reports = khost::take_warnings();
    ASSERT_EQ(reports.size(), 1u) << testing::PrintToString(reports);
    EXPECT_NE(reports[0].find("possible circular locking dependency"), std::string::npos);
    EXPECT_NE(reports[0].find("(work_completion)"), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find("config_lock"), std::string::npos);
}

TEST_F(Work, FlushingAnOrderedQueueUnderALockItsItemsTakeIsReported)
{
    struct workqueue_struct *wq = alloc_ordered_workqueue("cfg", 0);
    DECLARE_WORK(update, takes_config_lock);
    queue_work(wq, &update);
    flush_workqueue(wq);
    EXPECT_TRUE(khost::take_warnings().empty());
    scoped_guard(mutex, &config_lock) flush_workqueue(wq);
    auto reports = khost::take_warnings();
    ASSERT_EQ(reports.size(), 1u) << testing::PrintToString(reports);
    EXPECT_NE(reports[0].find("(wq_completion)cfg"), std::string::npos) << reports[0];
    destroy_workqueue(wq);
}

void exits_fn(struct work_struct *) { do_exit(0); }

TEST_F(Work, DoExitInAWorkItemIsReportedAndThePoolGoesOn)
{
    DECLARE_WORK(exiter, exits_fn);
    schedule_work(&exiter);
    flush_work(&exiter);
    auto reports = khost::take_warnings();
    ASSERT_EQ(reports.size(), 1u) << testing::PrintToString(reports);
    EXPECT_NE(reports[0].find("BUG: do_exit called from a work item"), std::string::npos);
    EXPECT_FALSE(work_pending(&exiter));
    Gated after;
    INIT_WORK(&after.work, gated_fn);
    schedule_work(&after.work);
    flush_work(&after.work);
    EXPECT_EQ(after.finished.load(), 1);
}

TEST_F(Work, QueueingOnADestroyedQueueIsReported)
{
    struct workqueue_struct *wq = alloc_workqueue("gone", 0, 0);
    destroy_workqueue(wq);
    struct work_struct work;
    INIT_WORK(&work, never_fn);
    EXPECT_FALSE(queue_work(wq, &work));
    EXPECT_TRUE(took(khost::take_warnings(), "KASAN: use-after-free"));
}

// ---- kthread workers ----

struct Step {
    struct kthread_work work;
    int n;
    struct completion *gate;
};

std::vector<int> steps;

void step_fn(struct kthread_work *work)
{
    auto *s = container_of(work, Step, work);
    if (s->gate)
        wait_for_completion(s->gate);
    steps.push_back(s->n);
}

TEST_F(Work, KthreadWorkerRunsItsItemsInOrderOnItsThread)
{
    struct kthread_worker worker;
    init_kthread_worker(&worker);
    struct task_struct *task = kthread_run(kthread_worker_fn, &worker, "pump");
    ASSERT_FALSE(IS_ERR(task));
    DECLARE_COMPLETION(gate);
    steps.clear();
    Step items[3];
    for (int i = 0; i < 3; i++) {
        items[i].n = i;
        items[i].gate = i == 0 ? &gate : nullptr;
        init_kthread_work(&items[i].work, step_fn);
        EXPECT_TRUE(queue_kthread_work(&worker, &items[i].work));
    }
    EXPECT_FALSE(queue_kthread_work(&worker, &items[2].work)) << "already queued";
    complete(&gate);
    flush_kthread_work(&items[1].work);
    flush_kthread_worker(&worker);
    EXPECT_EQ(steps, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(kthread_stop(task), 0);
}

TEST_F(Work, KthreadWorkerUnderItsLaterNames)
{
    struct kthread_worker *worker = kthread_create_worker(0, "pump/%d", 1);
    ASSERT_FALSE(IS_ERR(worker));
    steps.clear();
    Step item{};
    item.n = 7;
    kthread_init_work(&item.work, step_fn);
    kthread_queue_work(worker, &item.work);
    kthread_flush_worker(worker);
    EXPECT_EQ(steps, (std::vector<int>{7}));
    kthread_destroy_worker(worker);
}

TEST_F(Work, CompletionWaitRunsOutOnTheKernelsClock)
{
    DECLARE_COMPLETION(never);
    unsigned long before = jiffies;
    EXPECT_EQ(wait_for_completion_timeout(&never, 5), 0u);
    EXPECT_GE(jiffies - before, 5u);
    complete(&never);
    EXPECT_TRUE(completion_done(&never));
    EXPECT_GT(wait_for_completion_timeout(&never, 5), 0u);
    EXPECT_FALSE(try_wait_for_completion(&never));
}

} // namespace
