// A small lockdep: lock classes by name, the order pairs seen between them,
// and a report the first time a new pair closes a cycle. The fast path (a
// pair already seen, or a lock taken with nothing held) takes no lock; a new
// pair takes the graph's lock and searches for a path back.
#include <linux/printk.h>

#include "bug.hpp"
#include "lockdep.hpp"
#include "task.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace kern::lockdep {
namespace {

constexpr unsigned max_classes = 1024; // MAX_LOCKDEP_KEYS of this kernel
constexpr unsigned words = max_classes / 64;

std::mutex graph_lock; // guards classes, names, graph and turned_off
std::unordered_map<std::string, unsigned> &classes = *new std::unordered_map<std::string, unsigned>;
std::deque<std::string> &names = *new std::deque<std::string>{"(untracked)"}; // by class; stable addresses
// graph[a] has bit b: b was taken while a was held (pairs that closed no cycle).
uint64_t graph[max_classes][words];
// Every pair looked at, cycle or not, so that it is looked at once.
std::atomic<uint64_t> seen[max_classes * words];
bool turned_off = false;

bool test(const uint64_t *row, unsigned b) { return row[b / 64] >> (b % 64) & 1; }

bool seen_pair(unsigned a, unsigned b)
{
    return seen[a * words + b / 64].load(std::memory_order_relaxed) >> (b % 64) & 1;
}

// A path from `from` to `to` in the graph, as the classes along it; empty if none.
std::vector<unsigned> path(unsigned from, unsigned to)
{
    std::vector<unsigned> parent(names.size(), 0);
    std::vector<unsigned> queue{from};
    parent[from] = from;
    for (size_t i = 0; i < queue.size(); i++) {
        unsigned at = queue[i];
        if (at == to) {
            std::vector<unsigned> out{to};
            while (out.back() != from)
                out.push_back(parent[out.back()]);
            return {out.rbegin(), out.rend()};
        }
        for (unsigned next = 1; next < names.size(); next++) {
            if (test(graph[at], next) && !parent[next]) {
                parent[next] = at;
                queue.push_back(next);
            }
        }
    }
    return {};
}

void report_cycle(task_struct *task, unsigned held, unsigned taking, const std::vector<unsigned> &chain, const void *ip)
{
    std::string chain_text;
    for (unsigned c : chain)
        chain_text += (chain_text.empty() ? "(" : " -> (") + names[c] + ")";
    const char *a = names[held].c_str(), *b = names[taking].c_str();
    report_titled("WARNING: possible circular locking dependency detected", ip,
                  "%s/%d is trying to acquire lock (%s) but task is already holding lock (%s), "
                  "which lock already depends on the new lock.\n"
                  "the existing dependency chain is: %s\n"
                  " Possible unsafe locking scenario:\n"
                  "       CPU0                    CPU1\n"
                  "       lock(%s);\n"
                  "                               lock(%s);\n"
                  "                               lock(%s);\n"
                  "       lock(%s);\n"
                  " *** DEADLOCK ***",
                  task->comm.c_str(), task_pid(task), b, a, chain_text.c_str(), a, b, a, b);
}

// A pair not seen before: records it, or reports the cycle it closes.
void add_pair(task_struct *task, unsigned held, unsigned taking, const void *ip)
{
    std::vector<unsigned> chain;
    {
        std::lock_guard hold(graph_lock);
        if (turned_off || seen_pair(held, taking))
            return;
        seen[held * words + taking / 64].fetch_or(uint64_t(1) << (taking % 64), std::memory_order_relaxed);
        chain = path(taking, held);
        if (chain.empty()) {
            graph[held][taking / 64] |= uint64_t(1) << (taking % 64);
            return;
        }
    }
    report_cycle(task, held, taking, chain, ip);
}

} // namespace

unsigned int class_of(const char *name, unsigned int *cache)
{
    unsigned cls = __atomic_load_n(cache, __ATOMIC_RELAXED);
    if (cls || !name)
        return cls;
    std::lock_guard hold(graph_lock);
    auto it = classes.find(name);
    if (it != classes.end()) {
        cls = it->second;
    } else if (names.size() < max_classes) {
        cls = static_cast<unsigned>(names.size());
        names.emplace_back(name);
        classes.emplace(name, cls);
    } else {
        if (!turned_off)
            printk(KERN_ERR "BUG: MAX_LOCKDEP_KEYS too low!\nturning off the locking correctness validator.\n");
        turned_off = true;
        return 0;
    }
    __atomic_store_n(cache, cls, __ATOMIC_RELAXED);
    return cls;
}

const char *class_name(unsigned int cls)
{
    std::lock_guard hold(graph_lock);
    return cls < names.size() ? names[cls].c_str() : "?";
}

void acquire(task_struct *task, const void *lock, unsigned int cls, bool spin, bool trylock, const void *ip)
{
    if (cls && !trylock) {
        for (int i = 0; i < task->lock_depth; i++) {
            unsigned held = task->held[i].cls;
            if (held && held != cls && !seen_pair(held, cls))
                add_pair(task, held, cls, ip);
        }
    }
    if (task->lock_depth == task_struct::max_lock_depth) {
        printk(KERN_ERR "BUG: MAX_LOCK_DEPTH too low!\n");
        return;
    }
    task->held[task->lock_depth++] = {lock, cls, spin, ip};
}

bool release(task_struct *task, const void *lock)
{
    for (int i = task->lock_depth - 1; i >= 0; i--) {
        if (task->held[i].lock != lock)
            continue;
        std::memmove(&task->held[i], &task->held[i + 1], sizeof(held_lock) * (task->lock_depth - i - 1));
        task->lock_depth--;
        return true;
    }
    return false;
}

bool holds(const task_struct *task, const void *lock)
{
    for (int i = 0; i < task->lock_depth; i++)
        if (task->held[i].lock == lock)
            return true;
    return false;
}

void print_held_locks(const task_struct *task)
{
    if (!task->lock_depth) {
        printk(KERN_ERR "no locks held by %s/%d.\n", task->comm.c_str(), task_pid(task));
        return;
    }
    printk(KERN_ERR "%d lock%s held by %s/%d:\n", task->lock_depth, task->lock_depth > 1 ? "s" : "", task->comm.c_str(),
           task_pid(task));
    for (int i = 0; i < task->lock_depth; i++)
        printk(KERN_ERR " #%d: (%s) at %p\n", i, class_name(task->held[i].cls), task->held[i].ip);
}

bool check_no_locks_held(task_struct *task, const void *caller)
{
    if (!task->lock_depth)
        return true;
    std::string held;
    for (int i = 0; i < task->lock_depth; i++)
        held += std::string(i ? ", " : "") + class_name(task->held[i].cls);
    report_titled(("BUG: " + task->comm + "/" + std::to_string(task_pid(task)) + " still has locks held!").c_str(),
                  caller, "%s", held.c_str());
    return false;
}

void reset()
{
    std::lock_guard hold(graph_lock);
    std::memset(graph, 0, sizeof graph);
    for (auto &word : seen)
        word.store(0, std::memory_order_relaxed);
    turned_off = false;
}

} // namespace kern::lockdep
