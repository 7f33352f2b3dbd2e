// Work queues as the kernel runs them. All queues share one pool of worker
// kernel threads ("kworker/0:N"). The pool grows while items wait: an item
// queued when no worker is idle gets a new worker, so an item that blocks
// never delays another; a worker that finds nothing to do and sees two
// others idle ends. Each queue lets at most max_active of its items run at
// once; the rest wait on the queue in the order queued, so a queue with
// max_active 1 (ordered, single-thread) runs its items one at a time in order.
//
// A work item is pending from queueing until a worker takes it; a pending
// item is not queued again. An item never runs on two workers at once: one
// requeued while it runs waits for the worker running it, which runs it next.
// Every queueing is numbered (a ticket); flush_work waits for the ticket of
// the instance pending or running at its call, so later requeues are not
// waited for, and flush_workqueue for the tickets of its queue up to the
// newest at its call. Delayed work waits on one timer thread, which queues
// each item when its tick comes.
#include <linux/workqueue.h>
#include <linux/atomic.h>
#include <linux/bug.h>
#include <linux/jiffies.h>

#include "bug.hpp"
#include "clock.hpp"
#include "host/host.hpp"
#include "kthread_internal.hpp"
#include "lockdep.hpp"
#include "task.hpp"
#include "workqueue_internal.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

struct Worker;

// One queueing of a work item on its way to a worker.
struct Item {
    work_struct *work;
    workqueue_struct *wq;
    uint64_t ticket;
};

enum class Where { None, Timer, Inactive, Worklist, Scheduled };

// A work item the pool knows: pending, running, or being cancelled. Items
// the pool does not know are idle.
struct WorkState {
    // The pending instance (ticket 0: none) and where it waits.
    uint64_t pending_ticket = 0;
    workqueue_struct *pending_wq = nullptr;
    Where where = Where::None;
    Worker *scheduled_on = nullptr; // Where::Scheduled
    unsigned long expires = 0;      // Where::Timer
    bool delayed = false;           // the item is a delayed_work's
    // The running instance.
    Worker *running = nullptr;
    uint64_t running_ticket = 0;
    // Cancellers waiting; while any, the item stays pending to queueing.
    int canceling = 0;
    work_func_t func = nullptr;
};

} // namespace

struct workqueue_struct {
    std::string name;
    unsigned int flags = 0;
    int max_active = WQ_DFL_ACTIVE;
    int nr_active = 0;          // on the worklist, scheduled or running
    std::deque<Item> inactive;  // past max_active, in order
    std::set<uint64_t> flights; // tickets queued or running, for flushes
    int draining = 0;
    unsigned int lockdep_class = 0; // "(wq_completion)name"
};

namespace {

struct Worker {
    task_struct *task = nullptr;
    std::deque<Item> scheduled; // items that collided with the one it runs
    work_struct *current = nullptr;
    workqueue_struct *current_wq = nullptr;
    bool woken = false;
    std::condition_variable cv;
};

constexpr size_t max_workers = WQ_MAX_ACTIVE;
constexpr size_t max_idle = 2;

std::mutex pool_lock;             // guards everything below
std::condition_variable done_cv;  // an item settled
std::condition_variable timer_cv; // the earliest timer changed
std::deque<Item> worklist;
std::vector<Worker *> workers, idle;
std::vector<task_struct *> ended; // tasks of workers that ended by themselves, not yet waited for
int worker_names = 0;
bool running = false;
bool stopping = false;
int waiting = 0; // tasks in wait_settled
task_struct *timer_task = nullptr;
uint64_t next_ticket = 1;
std::unordered_map<work_struct *, WorkState> &states = *new std::unordered_map<work_struct *, WorkState>;
std::map<std::pair<unsigned long, uint64_t>, work_struct *> timers; // by (expires, ticket)
std::unordered_set<workqueue_struct *> &live_wqs = *new std::unordered_set<workqueue_struct *>;
std::atomic<size_t> known_items{0}; // states.size(), read without the lock
// Lock classes of work functions, "(work_completion)function".
std::unordered_map<const void *, unsigned> &work_classes = *new std::unordered_map<const void *, unsigned>;

thread_local Worker *this_worker = nullptr;

void track_size() { known_items.store(states.size(), std::memory_order_relaxed); }

WorkState *state_of(work_struct *work)
{
    auto it = states.find(work);
    return it == states.end() ? nullptr : &it->second;
}

void forget_if_idle(work_struct *work, WorkState &st)
{
    if (!st.pending_ticket && !st.running && !st.canceling) {
        states.erase(work);
        track_size();
    }
}

std::string describe(const void *addr)
{
    char buf[256];
    host::dl_describe(addr, buf, sizeof buf);
    return buf;
}

// ---- lock checking of waits for work ----
//
// Waiting for a work item is, to lockdep, taking and letting go of a
// pseudo-lock of the item's class, which the worker holds while it runs the
// item (and one of the queue's class, for a queue that runs one item at a
// time). "Lock M held while waiting for W" and "W takes M" then make a
// cycle, reported even when the two never meet in time.

unsigned work_class_locked(work_func_t func)
{
    auto key = reinterpret_cast<const void *>(func);
    auto it = work_classes.find(key);
    if (it != work_classes.end())
        return it->second;
    unsigned cls = 0;
    kern::lockdep::class_of(("(work_completion)" + describe(key)).c_str(), &cls);
    work_classes.emplace(key, cls);
    return cls;
}

void annotate_wait_locked(work_struct *work, workqueue_struct *wq, const void *caller)
{
    task_struct *task = kern::current_task();
    if (wq && wq->max_active == 1) {
        kern::lockdep::acquire(task, wq, wq->lockdep_class, false, false, caller);
        kern::lockdep::release(task, wq);
    }
    if (work && work->func) {
        kern::lockdep::acquire(task, work, work_class_locked(work->func), false, false, caller);
        kern::lockdep::release(task, work);
    }
}

// ---- the pool ----

int worker_fn(void *data);

void spawn_worker_locked()
{
    auto *w = new Worker;
    w->task = kern::kthread_spawn(worker_fn, w, "kworker/0:" + std::to_string(worker_names++));
    if (!w->task) {
        printk(KERN_ERR "workqueue: cannot create a worker (%zu running)\n", workers.size());
        delete w;
        return;
    }
    get_task_struct(w->task); // the pool's, dropped once the thread has ended
    workers.push_back(w);
    wake_up_process(w->task);
}

// Collects the tasks of workers that ended by themselves.
void collect_ended_locked()
{
    for (auto it = ended.begin(); it != ended.end();) {
        task_struct *t = *it;
        bool gone;
        {
            std::lock_guard hold(t->exit_lock);
            gone = t->exited;
        }
        if (!gone) {
            ++it;
            continue;
        }
        put_task_struct(t);
        it = ended.erase(it);
    }
}

// A worker for an item just put on the worklist: an idle one, or a new one.
void kick_worker_locked()
{
    if (!running)
        return;
    if (!idle.empty()) {
        Worker *w = idle.back();
        idle.pop_back();
        w->woken = true;
        w->cv.notify_one();
        return;
    }
    collect_ended_locked();
    if (workers.size() < max_workers)
        spawn_worker_locked();
}

void activate_locked(const Item &item)
{
    WorkState &st = states.at(item.work);
    st.where = Where::Worklist;
    item.wq->nr_active++;
    worklist.push_back(item);
    kick_worker_locked();
}

// Puts a pending item on its way: the worklist, or its queue's waiting list
// past max_active.
void enqueue_locked(const Item &item)
{
    item.wq->flights.insert(item.ticket);
    if (item.wq->nr_active < item.wq->max_active) {
        activate_locked(item);
        return;
    }
    states.at(item.work).where = Where::Inactive;
    item.wq->inactive.push_back(item);
}

// One of wq's items settled: the next waiting one may go.
void retire_locked(workqueue_struct *wq, uint64_t ticket, bool was_active)
{
    wq->flights.erase(ticket);
    if (was_active)
        wq->nr_active--;
    while (wq->nr_active < wq->max_active && !wq->inactive.empty()) {
        Item next = wq->inactive.front();
        wq->inactive.pop_front();
        activate_locked(next);
    }
    done_cv.notify_all();
}

bool erase_item(std::deque<Item> &list, work_struct *work)
{
    auto it = std::find_if(list.begin(), list.end(), [work](const Item &i) { return i.work == work; });
    if (it == list.end())
        return false;
    list.erase(it);
    return true;
}

// Takes the pending instance off wherever it waits. The pending bit is the
// caller's to clear.
void unqueue_locked(work_struct *work, WorkState &st)
{
    workqueue_struct *wq = st.pending_wq;
    switch (st.where) {
    case Where::Timer:
        timers.erase({st.expires, st.pending_ticket});
        break;
    case Where::Inactive:
        erase_item(wq->inactive, work);
        retire_locked(wq, st.pending_ticket, false);
        break;
    case Where::Worklist:
        erase_item(worklist, work);
        retire_locked(wq, st.pending_ticket, true);
        break;
    case Where::Scheduled:
        erase_item(st.scheduled_on->scheduled, work);
        retire_locked(wq, st.pending_ticket, true);
        break;
    case Where::None:
        break;
    }
    st.where = Where::None;
    st.scheduled_on = nullptr;
    st.pending_ticket = 0;
    st.pending_wq = nullptr;
    done_cv.notify_all();
}

// A worker runs one item; the lock is dropped meanwhile. The settling is a
// destructor so that it is done however the item's function ends.
struct Running {
    std::unique_lock<std::mutex> &lock;
    Worker *me;
    Item item;
    ~Running()
    {
        task_struct *task = kern::current_task();
        kern::lockdep::release(task, item.work);
        kern::lockdep::release(task, item.wq);
        lock.lock();
        WorkState &st = states.at(item.work);
        st.running = nullptr;
        st.running_ticket = 0;
        me->current = nullptr;
        me->current_wq = nullptr;
        forget_if_idle(item.work, st);
        retire_locked(item.wq, item.ticket, true);
    }
};

void run_item(std::unique_lock<std::mutex> &lock, Worker *me, const Item &item)
{
    WorkState &st = states.at(item.work);
    st.where = Where::None;
    st.scheduled_on = nullptr;
    st.pending_ticket = 0;
    st.pending_wq = nullptr;
    st.running = me;
    st.running_ticket = item.ticket;
    work_func_t func = item.work->func;
    st.func = func;
    clear_bit(WORK_STRUCT_PENDING_BIT, &item.work->data);
    me->current = item.work;
    me->current_wq = item.wq;
    unsigned work_class = work_class_locked(func);
    lock.unlock();
    Running settle{lock, me, item};
    task_struct *task = kern::current_task();
    kern::lockdep::acquire(task, item.wq, item.wq->lockdep_class, false, false, reinterpret_cast<const void *>(func));
    kern::lockdep::acquire(task, item.work, work_class, false, false, reinterpret_cast<const void *>(func));
    int depth = task->lock_depth, atomic = task->atomic_depth;
    func(item.work);
    if (task->lock_depth != depth || task->atomic_depth != atomic) {
        kern::report_titled(
            ("BUG: workqueue leaked lock or atomic: " + task->comm + "/" + std::to_string(kern::task_pid(task)))
                .c_str(),
            reinterpret_cast<const void *>(func), "last function: %s",
            describe(reinterpret_cast<const void *>(func)).c_str());
        kern::lockdep::print_held_locks(task);
        // The locks stay held; the worker's own record of them goes.
        task->lock_depth = depth;
        task->atomic_depth = atomic;
    }
}

// The next item for `me`: one that collided with its last, else the
// worklist's first (handed to the worker running it, if one is).
bool next_item_locked(Worker *me, Item *out)
{
    while (me->scheduled.empty() && !worklist.empty()) {
        Item item = worklist.front();
        worklist.pop_front();
        WorkState &st = states.at(item.work);
        if (st.running && st.running != me) {
            st.where = Where::Scheduled;
            st.scheduled_on = st.running;
            st.running->scheduled.push_back(item);
            continue;
        }
        *out = item;
        return true;
    }
    if (me->scheduled.empty())
        return false;
    *out = me->scheduled.front();
    me->scheduled.pop_front();
    return true;
}

// A worker leaves the pool; its task is waited for later.
void leave_pool_locked(Worker *me)
{
    workers.erase(std::find(workers.begin(), workers.end(), me));
    if (auto it = std::find(idle.begin(), idle.end(), me); it != idle.end())
        idle.erase(it);
    ended.push_back(me->task);
    done_cv.notify_all();
    delete me;
}

// A worker that dies inside an item (do_exit) leaves the pool on its way out.
struct Membership {
    std::unique_lock<std::mutex> &lock;
    Worker *me;
    ~Membership()
    {
        if (!lock.owns_lock())
            lock.lock();
        leave_pool_locked(me);
    }
};

int worker_fn(void *data)
{
    auto *me = static_cast<Worker *>(data);
    this_worker = me;
    std::unique_lock lock(pool_lock);
    Membership member{lock, me};
    for (;;) {
        Item item;
        if (next_item_locked(me, &item)) {
            run_item(lock, me, item);
            continue;
        }
        if (stopping || idle.size() >= max_idle)
            break;
        me->woken = false;
        idle.push_back(me);
        me->cv.wait(lock, [me] { return me->woken || stopping; });
        if (!me->woken)
            idle.erase(std::find(idle.begin(), idle.end(), me));
    }
    this_worker = nullptr;
    return 0;
}

// ---- delays ----

int timer_fn(void *)
{
    std::unique_lock lock(pool_lock);
    while (!stopping) {
        if (timers.empty()) {
            timer_cv.wait(lock);
            continue;
        }
        auto first = timers.begin();
        unsigned long expires = first->first.first;
        if (!time_after_eq(kern::clock::jiffies_now(), expires)) {
            int64_t wait_ns = kern::clock::jiffy_start_ns(expires) - kern::clock::now_ns();
            timer_cv.wait_for(lock, std::chrono::nanoseconds(std::max<int64_t>(wait_ns, 0)));
            continue;
        }
        work_struct *work = first->second;
        timers.erase(first);
        WorkState &st = states.at(work);
        workqueue_struct *wq = st.pending_wq;
        if (wq->draining) {
            KERN_WARN("workqueue %s: delayed work %s came due while the queue drains", wq->name.c_str(),
                      describe(reinterpret_cast<const void *>(work->func)).c_str());
            st.where = Where::None;
            st.pending_ticket = 0;
            st.pending_wq = nullptr;
            clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
            forget_if_idle(work, st);
            continue;
        }
        // A new ticket: a flush of the queue made during the delay does not wait for it.
        st.pending_ticket = next_ticket++;
        enqueue_locked({work, wq, st.pending_ticket});
    }
    return 0;
}

// Waits on done_cv until pred holds, counted in `waiting`.
template <typename Pred> void wait_settled(std::unique_lock<std::mutex> &lock, Pred pred)
{
    waiting++;
    done_cv.wait(lock, pred);
    waiting--;
}

// ---- queueing ----

bool wq_alive_locked(workqueue_struct *wq) { return live_wqs.count(wq) != 0; }

// Refuses a queue that is gone; false if it is.
bool check_wq_locked(workqueue_struct *wq, const void *caller)
{
    if (wq && wq_alive_locked(wq))
        return true;
    kern::bug(std::source_location::current(), caller, "KASAN: use-after-free: work queued on %s",
              wq ? "a destroyed workqueue" : "no workqueue (NULL)");
    return false;
}

// A draining queue takes only items its own running items queue.
bool draining_refuses_locked(workqueue_struct *wq, work_struct *work, const void *caller)
{
    if (!wq->draining || (this_worker && this_worker->current_wq == wq))
        return false;
    kern::warn(std::source_location::current(), caller, "workqueue %s: %s queued while the queue drains for destroy",
               wq->name.c_str(), describe(reinterpret_cast<const void *>(work->func)).c_str());
    return true;
}

// The pending bit is taken; WorkState made pending. False if it already was.
bool grab_pending_locked(work_struct *work, WorkState *&st)
{
    st = state_of(work);
    if (st && (st->pending_ticket || st->canceling))
        return false;
    if (!st) {
        st = &states[work];
        track_size();
    }
    set_bit(WORK_STRUCT_PENDING_BIT, &work->data);
    st->func = work->func;
    return true;
}

void queue_locked(workqueue_struct *wq, work_struct *work, WorkState &st)
{
    st.pending_ticket = next_ticket++;
    st.pending_wq = wq;
    enqueue_locked({work, wq, st.pending_ticket});
}

void arm_locked(workqueue_struct *wq, struct delayed_work *dwork, WorkState &st, unsigned long delay)
{
    st.delayed = true;
    dwork->wq = wq;
    if (!delay) {
        queue_locked(wq, &dwork->work, st);
        return;
    }
    st.pending_ticket = next_ticket++;
    st.pending_wq = wq;
    st.where = Where::Timer;
    st.expires = kern::clock::jiffies_now() + delay;
    dwork->__expires = st.expires;
    bool first = timers.empty() || std::make_pair(st.expires, st.pending_ticket) < timers.begin()->first;
    timers.emplace(std::make_pair(st.expires, st.pending_ticket), &dwork->work);
    if (first)
        timer_cv.notify_one();
}

// A flush or cancel from inside what it would wait for never returns on
// Linux; lockdep reports it. Reported here, and not waited for.
bool waits_for_itself_locked(work_struct *work, workqueue_struct *wq, const void *caller)
{
    if (!this_worker)
        return false;
    const char *what = nullptr;
    if (work && this_worker->current == work)
        what = "its own work item";
    else if (work && wq && this_worker->current_wq == wq && wq->max_active == 1)
        what = "an item behind it on its ordered workqueue";
    else if (!work && wq && this_worker->current_wq == wq)
        what = "its own workqueue";
    if (!what)
        return false;
    task_struct *me = this_worker->task;
    kern::report_titled("WARNING: possible recursive locking detected", caller,
                        "%s/%d is trying to acquire lock (%s) but task is already holding lock (%s): "
                        "a work item waits for %s",
                        me->comm.c_str(), kern::task_pid(me), wq ? wq->name.c_str() : "(work_completion)",
                        wq ? wq->name.c_str() : "(work_completion)", what);
    return true;
}

// True once the instance `ticket` of work is neither pending nor running.
bool settled_locked(work_struct *work, uint64_t ticket)
{
    WorkState *st = state_of(work);
    return !st || (st->pending_ticket != ticket && st->running_ticket != ticket);
}

bool flush_work_locked(std::unique_lock<std::mutex> &lock, work_struct *work, const void *caller)
{
    WorkState *st = state_of(work);
    uint64_t ticket = 0;
    workqueue_struct *wq = nullptr;
    if (st && st->pending_ticket && st->where != Where::Timer) {
        ticket = st->pending_ticket;
        wq = st->pending_wq;
    } else if (st && st->running) {
        ticket = st->running_ticket;
        wq = st->running->current_wq;
    }
    if (ticket && waits_for_itself_locked(work, st->pending_ticket == ticket ? wq : nullptr, caller))
        return false;
    annotate_wait_locked(work, wq, caller);
    if (!ticket)
        return false;
    wait_settled(lock, [work, ticket] { return settled_locked(work, ticket); });
    return true;
}

// Waits for the items on wq up to the newest at the call.
void flush_wq_locked(std::unique_lock<std::mutex> &lock, workqueue_struct *wq, const void *caller)
{
    if (waits_for_itself_locked(nullptr, wq, caller))
        return;
    task_struct *task = kern::current_task();
    kern::lockdep::acquire(task, wq, wq->lockdep_class, false, false, caller);
    kern::lockdep::release(task, wq);
    if (wq->flights.empty())
        return;
    uint64_t newest = *wq->flights.rbegin();
    wait_settled(lock, [wq, newest] { return wq->flights.empty() || *wq->flights.begin() > newest; });
}

bool cancel_sync_locked(std::unique_lock<std::mutex> &lock, work_struct *work, const void *caller)
{
    WorkState *st = state_of(work);
    bool cancels_itself = st && st->running && st->running == this_worker;
    if (!cancels_itself)
        annotate_wait_locked(work, nullptr, caller);
    if (!st)
        return false;
    bool was_pending = st->pending_ticket != 0;
    if (was_pending)
        unqueue_locked(work, *st);
    if (st->running && waits_for_itself_locked(work, nullptr, caller)) {
        if (!st->canceling)
            clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
        return was_pending;
    }
    // Pending to queueing while it waits, so that an item that requeues
    // itself is stopped.
    st->canceling++;
    set_bit(WORK_STRUCT_PENDING_BIT, &work->data);
    wait_settled(lock, [st] { return !st->running; });
    if (--st->canceling == 0)
        clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
    forget_if_idle(work, *st);
    return was_pending;
}

workqueue_struct *create_wq_locked(std::string name, unsigned flags, int max_active)
{
    auto *wq = new workqueue_struct;
    wq->name = std::move(name);
    wq->flags = flags;
    wq->max_active = max_active;
    kern::lockdep::class_of(("(wq_completion)" + wq->name).c_str(), &wq->lockdep_class);
    live_wqs.insert(wq);
    return wq;
}

} // namespace

extern "C" {
struct workqueue_struct *system_wq;
struct workqueue_struct *system_highpri_wq;
struct workqueue_struct *system_long_wq;
struct workqueue_struct *system_unbound_wq;
struct workqueue_struct *system_freezable_wq;
struct workqueue_struct *system_power_efficient_wq;
}

namespace kern::workqueue {

void start()
{
    std::lock_guard hold(pool_lock);
    if (running)
        return;
    if (!system_wq) {
        system_wq = create_wq_locked("events", 0, WQ_DFL_ACTIVE);
        system_highpri_wq = create_wq_locked("events_highpri", WQ_HIGHPRI, WQ_DFL_ACTIVE);
        system_long_wq = create_wq_locked("events_long", 0, WQ_DFL_ACTIVE);
        system_unbound_wq = create_wq_locked("events_unbound", WQ_UNBOUND, WQ_MAX_ACTIVE);
        system_freezable_wq = create_wq_locked("events_freezable", WQ_FREEZABLE, WQ_DFL_ACTIVE);
        system_power_efficient_wq = create_wq_locked("events_power_efficient", WQ_POWER_EFFICIENT, WQ_DFL_ACTIVE);
    }
    running = true;
    stopping = false;
    spawn_worker_locked();
    for (size_t i = 1; i < worklist.size() && workers.size() < max_workers; i++)
        spawn_worker_locked(); // items queued while the kernel was down
    timer_task = kthread_spawn(timer_fn, nullptr, "ktimers/0");
    get_task_struct(timer_task);
    wake_up_process(timer_task);
}

void stop()
{
    std::vector<task_struct *> tasks;
    {
        std::unique_lock lock(pool_lock);
        if (!running)
            return;
        // Delays still running are dropped: nothing is left to run them.
        while (!timers.empty()) {
            work_struct *work = timers.begin()->second;
            WorkState &st = states.at(work);
            unqueue_locked(work, st);
            clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
            forget_if_idle(work, st);
        }
        stopping = true;
        for (Worker *w : idle)
            w->cv.notify_one();
        timer_cv.notify_all();
        done_cv.wait(lock, [] { return workers.empty(); });
        running = false;
        tasks.swap(ended);
        tasks.push_back(timer_task);
        timer_task = nullptr;
    }
    for (task_struct *t : tasks) {
        kthread_wait_exit(t);
        put_task_struct(t);
    }
    reap_kthreads();
}

bool in_work_item() { return this_worker && this_worker->current; }

void forget_code(const void *begin, size_t size)
{
    auto b = reinterpret_cast<uintptr_t>(begin), e = b + size;
    std::lock_guard hold(pool_lock);
    for (auto it = work_classes.begin(); it != work_classes.end();) {
        auto at = reinterpret_cast<uintptr_t>(it->first);
        it = at >= b && at < e ? work_classes.erase(it) : std::next(it);
    }
}

int waiters()
{
    std::lock_guard hold(pool_lock);
    return waiting;
}

} // namespace kern::workqueue

namespace kern {

bool debug_objects_active() { return known_items.load(std::memory_order_relaxed) != 0; }

void debug_check_no_obj_freed(const void *addr, size_t size, const void *caller)
{
    if (!debug_objects_active())
        return;
    auto begin = reinterpret_cast<uintptr_t>(addr), end = begin + size;
    std::lock_guard hold(pool_lock);
    std::vector<work_struct *> inside;
    for (auto &[work, st] : states) {
        auto at = reinterpret_cast<uintptr_t>(work);
        if (at >= begin && at < end)
            inside.push_back(work);
    }
    for (work_struct *work : inside) {
        WorkState &st = states.at(work);
        std::string hint = describe(reinterpret_cast<const void *>(st.func));
        if (st.pending_ticket) {
            bool timer = st.where == Where::Timer;
            warn(std::source_location::current(), caller,
                 "ODEBUG: free active (active state 0) object type: %s hint: %s", timer ? "timer_list" : "work_struct",
                 timer ? "delayed_work_timer_fn" : hint.c_str());
            // The kernel's fixup: the item is cancelled, so it never runs from freed memory.
            unqueue_locked(work, st);
            if (!st.canceling)
                clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
        }
        if (st.running && st.running->task != current_task())
            warn(std::source_location::current(), caller,
                 "work item %s freed while it runs on %s: the worker runs on in freed memory", hint.c_str(),
                 st.running->task->comm.c_str());
        forget_if_idle(work, st);
    }
}

} // namespace kern

extern "C" {

void __init_work(struct work_struct *work, work_func_t func)
{
    {
        std::lock_guard hold(pool_lock);
        WorkState *st = state_of(work);
        if (st && st->pending_ticket) {
            KERN_WARN("ODEBUG: init active (active state 0) object type: work_struct hint: %s",
                      describe(reinterpret_cast<const void *>(st->func)).c_str());
            unqueue_locked(work, *st);
            forget_if_idle(work, *st);
        }
    }
    work->data = 0;
    INIT_LIST_HEAD(&work->entry);
    work->func = func;
}

void __init_delayed_work(struct delayed_work *dwork, work_func_t func)
{
    __init_work(&dwork->work, func);
    dwork->__expires = 0;
    dwork->wq = nullptr;
    dwork->cpu = WORK_CPU_UNBOUND;
}

struct workqueue_struct *alloc_workqueue(const char *fmt, unsigned int flags, int max_active, ...)
{
    char name[64];
    va_list args;
    va_start(args, max_active);
    vsnprintf(name, sizeof name, fmt, args);
    va_end(args);
    if (max_active == 0)
        max_active = WQ_DFL_ACTIVE;
    if (max_active < 1 || max_active > WQ_MAX_ACTIVE) {
        printk(KERN_WARNING "workqueue: max_active %d requested for %s is out of range, clamping between %d and %d\n",
               max_active, name, 1, WQ_MAX_ACTIVE);
        max_active = std::clamp(max_active, 1, static_cast<int>(WQ_MAX_ACTIVE));
    }
    std::lock_guard hold(pool_lock);
    return create_wq_locked(name, flags, max_active);
}

void destroy_workqueue(struct workqueue_struct *wq)
{
    KERN_MIGHT_SLEEP();
    std::unique_lock lock(pool_lock);
    if (!check_wq_locked(wq, __builtin_return_address(0)))
        return;
    if (wq == system_wq || wq == system_highpri_wq || wq == system_long_wq || wq == system_unbound_wq ||
        wq == system_freezable_wq || wq == system_power_efficient_wq) {
        KERN_WARN("destroy_workqueue: %s is a system workqueue", wq->name.c_str());
        return;
    }
    if (waits_for_itself_locked(nullptr, wq, __builtin_return_address(0)))
        return;
    wq->draining++;
    wait_settled(lock, [wq] { return wq->flights.empty(); });
    wq->draining--;
    // A delay still running would queue on freed memory when it ends.
    std::vector<work_struct *> armed;
    for (auto &[key, work] : timers)
        if (states.at(work).pending_wq == wq)
            armed.push_back(work);
    for (work_struct *work : armed) {
        KERN_WARN("destroy_workqueue: %s has delayed work %s still waiting for its delay", wq->name.c_str(),
                  describe(reinterpret_cast<const void *>(work->func)).c_str());
        WorkState &st = states.at(work);
        unqueue_locked(work, st);
        clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
        forget_if_idle(work, st);
    }
    live_wqs.erase(wq);
    delete wq;
}

bool queue_work_on(int cpu, struct workqueue_struct *wq, struct work_struct *work)
{
    std::lock_guard hold(pool_lock);
    if (!check_wq_locked(wq, __builtin_return_address(0)))
        return false;
    WorkState *st;
    if (!grab_pending_locked(work, st))
        return false;
    if (draining_refuses_locked(wq, work, __builtin_return_address(0))) {
        clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
        forget_if_idle(work, *st);
        return false;
    }
    st->delayed = false;
    queue_locked(wq, work, *st);
    return true;
}

bool queue_delayed_work_on(int cpu, struct workqueue_struct *wq, struct delayed_work *dwork, unsigned long delay)
{
    std::lock_guard hold(pool_lock);
    if (!check_wq_locked(wq, __builtin_return_address(0)))
        return false;
    WorkState *st;
    if (!grab_pending_locked(&dwork->work, st))
        return false;
    if (draining_refuses_locked(wq, &dwork->work, __builtin_return_address(0))) {
        clear_bit(WORK_STRUCT_PENDING_BIT, &dwork->work.data);
        forget_if_idle(&dwork->work, *st);
        return false;
    }
    dwork->cpu = cpu;
    arm_locked(wq, dwork, *st, delay);
    return true;
}

bool mod_delayed_work_on(int cpu, struct workqueue_struct *wq, struct delayed_work *dwork, unsigned long delay)
{
    std::lock_guard hold(pool_lock);
    if (!check_wq_locked(wq, __builtin_return_address(0)))
        return false;
    struct work_struct *work = &dwork->work;
    WorkState *st = state_of(work);
    if (st && st->canceling)
        return true; // as the kernel: a cancel in progress wins, and counts as pending
    bool was_pending = st && st->pending_ticket;
    if (was_pending)
        unqueue_locked(work, *st);
    if (draining_refuses_locked(wq, work, __builtin_return_address(0))) {
        if (st) {
            clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
            forget_if_idle(work, *st);
        }
        return was_pending;
    }
    grab_pending_locked(work, st);
    dwork->cpu = cpu;
    arm_locked(wq, dwork, *st, delay);
    return was_pending;
}

bool flush_work(struct work_struct *work)
{
    KERN_MIGHT_SLEEP();
    std::unique_lock lock(pool_lock);
    return flush_work_locked(lock, work, __builtin_return_address(0));
}

bool cancel_work_sync(struct work_struct *work)
{
    KERN_MIGHT_SLEEP();
    std::unique_lock lock(pool_lock);
    return cancel_sync_locked(lock, work, __builtin_return_address(0));
}

bool flush_delayed_work(struct delayed_work *dwork)
{
    KERN_MIGHT_SLEEP();
    std::unique_lock lock(pool_lock);
    WorkState *st = state_of(&dwork->work);
    if (st && st->where == Where::Timer) {
        workqueue_struct *wq = st->pending_wq;
        timers.erase({st->expires, st->pending_ticket});
        st->where = Where::None;
        queue_locked(wq, &dwork->work, *st);
    }
    return flush_work_locked(lock, &dwork->work, __builtin_return_address(0));
}

bool cancel_delayed_work(struct delayed_work *dwork)
{
    std::lock_guard hold(pool_lock);
    struct work_struct *work = &dwork->work;
    WorkState *st = state_of(work);
    if (!st || !st->pending_ticket || st->canceling)
        return false;
    unqueue_locked(work, *st);
    clear_bit(WORK_STRUCT_PENDING_BIT, &work->data);
    forget_if_idle(work, *st);
    return true;
}

bool cancel_delayed_work_sync(struct delayed_work *dwork)
{
    KERN_MIGHT_SLEEP();
    std::unique_lock lock(pool_lock);
    return cancel_sync_locked(lock, &dwork->work, __builtin_return_address(0));
}

void flush_workqueue(struct workqueue_struct *wq)
{
    KERN_MIGHT_SLEEP();
    std::unique_lock lock(pool_lock);
    if (check_wq_locked(wq, __builtin_return_address(0)))
        flush_wq_locked(lock, wq, __builtin_return_address(0));
}

void drain_workqueue(struct workqueue_struct *wq)
{
    KERN_MIGHT_SLEEP();
    std::unique_lock lock(pool_lock);
    if (!check_wq_locked(wq, __builtin_return_address(0)))
        return;
    if (waits_for_itself_locked(nullptr, wq, __builtin_return_address(0)))
        return;
    wq->draining++;
    wait_settled(lock, [wq] { return wq->flights.empty(); });
    wq->draining--;
}

void flush_scheduled_work(void)
{
    KERN_MIGHT_SLEEP();
    std::unique_lock lock(pool_lock);
    if (system_wq)
        flush_wq_locked(lock, system_wq, __builtin_return_address(0));
}

bool work_pending(const struct work_struct *work) { return test_bit(WORK_STRUCT_PENDING_BIT, &work->data); }

} // extern "C"
