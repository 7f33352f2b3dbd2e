// Failure injection: counts the fallible calls by name and fails the ones a
// rule names. A rule by name counts that name's calls from every thread, as
// the kernel's failslab and its kind do; the rule for every call counts only
// the calls of the thread that armed it, as the kernel's fail-nth counts only
// its own task's. Otherwise the poller, the workers and the pumps, whose calls
// come whenever the machine lets them run, would move the failure about.
#include <linux/printk.h>

#include "fault_inject.hpp"

#include <khost/fault.hpp>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Rule {
    std::string name; // empty: any fallible call of the arming thread
    unsigned first;   // call number (from 1) of the first failure
    unsigned last;    // and of the last
};

std::mutex fault_lock; // guards everything below
std::vector<Rule> rules;
std::map<std::string, unsigned> calls; // since the rules were last changed
std::thread::id counted;               // the thread whose calls all_calls counts
unsigned all_calls = 0;

// Restarts the counts, counting every call from now on for the caller.
void restart_counts()
{
    calls.clear();
    all_calls = 0;
    counted = std::this_thread::get_id();
}
std::vector<std::string> forced;
std::set<std::string> names;

} // namespace

namespace kern {

bool should_fail(const char *name)
{
    bool fail = false;
    {
        std::lock_guard hold(fault_lock);
        names.insert(name);
        unsigned mine = ++calls[name];
        unsigned any = std::this_thread::get_id() == counted ? ++all_calls : 0;
        for (const Rule &r : rules) {
            unsigned n = r.name.empty() ? any : r.name == name ? mine : 0;
            if (n >= r.first && n <= r.last)
                fail = true;
        }
        if (fail)
            forced.push_back(name);
    }
    if (fail)
        printk(KERN_NOTICE "FAULT_INJECTION: forcing a failure.\nname %s\n", name);
    return fail;
}

} // namespace kern

namespace khost {

void fail_nth(const std::string &name, unsigned nth, unsigned times)
{
    std::lock_guard hold(fault_lock);
    restart_counts();
    if (nth > 0 && times > 0)
        rules.push_back({name, nth, nth + times - 1});
}

void fail_clear()
{
    std::lock_guard hold(fault_lock);
    rules.clear();
    restart_counts();
    forced.clear();
}

unsigned fail_calls(const std::string &name)
{
    std::lock_guard hold(fault_lock);
    if (name.empty())
        return all_calls;
    auto it = calls.find(name);
    return it == calls.end() ? 0 : it->second;
}

std::vector<std::string> fail_forced()
{
    std::lock_guard hold(fault_lock);
    return forced;
}

std::vector<std::string> fail_names()
{
    std::lock_guard hold(fault_lock);
    return {names.begin(), names.end()};
}

} // namespace khost
