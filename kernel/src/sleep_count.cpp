// Sleep counts: per thread (a task runs on one thread for its life), per
// task name, and in all.
#include "sleep_count.hpp"
#include "task.hpp"

#include <khost/sleeps.hpp>

#include <map>
#include <mutex>

namespace {

std::mutex count_lock; // guards everything below
std::map<std::string, khost::SleepCount> by_comm;
khost::SleepCount all;
thread_local khost::SleepCount mine; // read and written by its own thread only

} // namespace

namespace kern::sleeps {

void begin(task_struct *task, unsigned long ticks)
{
    mine.sleeps++;
    mine.ticks += ticks;
    std::lock_guard hold(count_lock);
    for (auto *c : {&by_comm[task->comm], &all}) {
        c->sleeps++;
        c->ticks += ticks;
    }
}

void end(task_struct *task, bool timed_out)
{
    if (!timed_out)
        return;
    mine.timeouts++;
    std::lock_guard hold(count_lock);
    by_comm[task->comm].timeouts++;
    all.timeouts++;
}

} // namespace kern::sleeps

namespace khost {

SleepCount sleeps_of_current() { return mine; }

SleepCount sleeps_of(const std::string &comm)
{
    std::lock_guard hold(count_lock);
    auto it = by_comm.find(comm);
    return it == by_comm.end() ? SleepCount{} : it->second;
}

SleepCount sleeps_all()
{
    std::lock_guard hold(count_lock);
    return all;
}

} // namespace khost
