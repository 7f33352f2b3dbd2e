// Mutexes and spinlocks, strict as the kernel's lock debugging is. Both are
// a lock word (0 unlocked, 1 locked, 2 locked with sleepers) that waits on
// the host's futex, so that any task may release one without undefined
// behaviour on the host's side, and all-zero bytes are an unlocked lock.
// On top of that each lock knows its owner and its class (kern::lockdep):
//   - a mutex released by a task that does not hold it, or released while
//     unlocked, is reported as lockdep reports a bad unlock balance;
//   - a mutex destroyed while held, or used after mutex_destroy, WARNs as
//     debug mutexes do;
//   - a task taking a lock it already holds is reported instead of hanging
//     for ever (lockdep's recursive locking report, the spinlock's
//     "recursion" BUG), and then goes on as if it had nested;
//   - a mutex taken while a spinlock is held is a sleep in atomic context.
#include <linux/errno.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/sched.h>
#include <linux/printk.h>

#include "bug.hpp"
#include "host/host.hpp"
#include "lockdep.hpp"
#include "task.hpp"

namespace {

// What mutex_destroy leaves, as the kernel's debug mutexes clear their magic.
constexpr unsigned long MUTEX_DESTROYED = 0x6b6b6b6bUL;

void lock_word(int *word)
{
    int seen = 0;
    if (__atomic_compare_exchange_n(word, &seen, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return;
    if (seen != 2)
        seen = __atomic_exchange_n(word, 2, __ATOMIC_ACQUIRE);
    while (seen != 0) {
        host::futex_wait(word, 2);
        seen = __atomic_exchange_n(word, 2, __ATOMIC_ACQUIRE);
    }
}

// lock_word for an interruptible lock: gives up (false) when a signal is
// pending. A signal's sender wakes the futex; the bounded wait covers a
// wake-up that came between our look at the signal and the futex wait.
bool lock_word_interruptible(int *word, task_struct *me)
{
    int seen = 0;
    if (__atomic_compare_exchange_n(word, &seen, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return true;
    me->futex_word = word;
    bool got = false;
    for (;;) {
        if (__atomic_exchange_n(word, 2, __ATOMIC_ACQUIRE) == 0) {
            got = true;
            break;
        }
        if (me->sigpending.load())
            break;
        host::futex_wait_for(word, 2, 10'000'000);
    }
    me->futex_word = nullptr;
    return got;
}

bool trylock_word(int *word)
{
    int seen = 0;
    return __atomic_compare_exchange_n(word, &seen, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void unlock_word(int *word)
{
    if (__atomic_exchange_n(word, 0, __ATOMIC_RELEASE) == 2)
        host::futex_wake(word, 1);
}

task_struct *owner_of(task_struct *const *field) { return __atomic_load_n(field, __ATOMIC_RELAXED); }
void set_owner(task_struct **field, task_struct *owner) { __atomic_store_n(field, owner, __ATOMIC_RELAXED); }

const char *lock_name(const char *name) { return name ? name : "(unnamed)"; }

void check_magic(struct mutex *lock, const void *caller)
{
    if (__atomic_load_n(&lock->__magic, __ATOMIC_RELAXED) == MUTEX_DESTROYED)
        kern::warn(std::source_location::current(), caller,
                   "DEBUG_LOCKS_WARN_ON(lock->magic != lock)\n%s used after mutex_destroy", lock_name(lock->name));
}

void report_recursion(task_struct *me, const char *name, const void *caller)
{
    kern::report_titled("WARNING: possible recursive locking detected", caller,
                        "%s/%d is trying to acquire lock (%s) but task is already holding lock (%s): "
                        "it would wait for itself for ever",
                        me->comm.c_str(), kern::task_pid(me), lock_name(name), lock_name(name));
}

// Released by a task that does not hold it: lockdep's report. The holder
// is named by number only: it may have ended since.
void report_bad_unlock(task_struct *me, const char *name, task_struct *owner, const void *caller)
{
    if (owner)
        kern::report_titled("WARNING: bad unlock balance detected!", caller,
                            "%s/%d is trying to release lock (%s) but it is held by task %d", me->comm.c_str(),
                            kern::task_pid(me), lock_name(name), kern::task_pid(owner));
    else
        kern::report_titled("WARNING: bad unlock balance detected!", caller,
                            "%s/%d is trying to release lock (%s) but there are no more locks to release!",
                            me->comm.c_str(), kern::task_pid(me), lock_name(name));
}

void mutex_lock_common(struct mutex *lock, const void *caller)
{
    kern::check_might_sleep(__FILE__, __LINE__, caller);
    check_magic(lock, caller);
    task_struct *me = kern::current_task();
    if (owner_of(&lock->owner) == me) {
        report_recursion(me, lock->name, caller);
        lock->__recursion++;
        return;
    }
    // A record left from when another task released it for us goes.
    kern::lockdep::release(me, lock);
    // Recorded before waiting, so that a deadlock in the making is reported
    // before it hangs.
    kern::lockdep::acquire(me, lock, kern::lockdep::class_of(lock->name, &lock->__class), false, false, caller);
    lock_word(&lock->__state);
    set_owner(&lock->owner, me);
}

} // namespace

extern "C" {

void __mutex_init(struct mutex *lock, const char *name)
{
    lock->__state = 0;
    lock->__class = 0;
    lock->owner = nullptr;
    lock->name = name;
    lock->__magic = reinterpret_cast<unsigned long>(lock);
    lock->__recursion = 0;
}

void mutex_lock(struct mutex *lock) { mutex_lock_common(lock, __builtin_return_address(0)); }

// As mutex_lock, but a pending signal ends the wait with -EINTR (the lock
// is taken without looking when it is free, as the kernel's fast path does).
int mutex_lock_interruptible(struct mutex *lock)
{
    const void *caller = __builtin_return_address(0);
    kern::check_might_sleep(__FILE__, __LINE__, caller);
    check_magic(lock, caller);
    task_struct *me = kern::current_task();
    if (owner_of(&lock->owner) == me) {
        report_recursion(me, lock->name, caller);
        lock->__recursion++;
        return 0;
    }
    kern::lockdep::release(me, lock);
    kern::lockdep::acquire(me, lock, kern::lockdep::class_of(lock->name, &lock->__class), false, false, caller);
    if (!lock_word_interruptible(&lock->__state, me)) {
        kern::lockdep::release(me, lock);
        return -EINTR;
    }
    set_owner(&lock->owner, me);
    return 0;
}

// A held mutex, even one the caller holds, is simply not taken.
int mutex_trylock(struct mutex *lock)
{
    check_magic(lock, __builtin_return_address(0));
    if (!trylock_word(&lock->__state))
        return 0;
    task_struct *me = kern::current_task();
    set_owner(&lock->owner, me);
    kern::lockdep::acquire(me, lock, kern::lockdep::class_of(lock->name, &lock->__class), false, true,
                           __builtin_return_address(0));
    return 1;
}

void mutex_unlock(struct mutex *lock)
{
    task_struct *me = kern::current_task();
    task_struct *owner = owner_of(&lock->owner);
    if (owner != me) {
        // Released by another task: the holder's record goes with its next
        // release of it, which finds the lock no longer its own.
        if (kern::lockdep::release(me, lock))
            return;
        report_bad_unlock(me, lock->name, owner, __builtin_return_address(0));
        if (!owner && !mutex_is_locked(lock))
            return;
        set_owner(&lock->owner, nullptr);
        unlock_word(&lock->__state);
        return;
    }
    if (lock->__recursion) {
        lock->__recursion--;
        return;
    }
    kern::lockdep::release(me, lock);
    set_owner(&lock->owner, nullptr);
    unlock_word(&lock->__state);
}

bool mutex_is_locked(struct mutex *lock) { return __atomic_load_n(&lock->__state, __ATOMIC_RELAXED) != 0; }

void mutex_destroy(struct mutex *lock)
{
    if (mutex_is_locked(lock))
        KERN_WARN("DEBUG_LOCKS_WARN_ON(mutex_is_locked(lock))\n%s destroyed while held", lock_name(lock->name));
    __atomic_store_n(&lock->__magic, MUTEX_DESTROYED, __ATOMIC_RELAXED);
}

void __spin_lock_init(spinlock_t *lock, const char *name)
{
    lock->__state = 0;
    lock->__class = 0;
    lock->__owner = nullptr;
    lock->name = name;
    lock->__recursion = 0;
}

void spin_lock(spinlock_t *lock)
{
    task_struct *me = kern::current_task();
    if (owner_of(&lock->__owner) == me) {
        KERN_BUG("spinlock recursion on CPU#0, %s/%d", me->comm.c_str(), kern::task_pid(me));
        printk(KERN_ERR " lock: %s, .owner: %s/%d\n", lock_name(lock->name), me->comm.c_str(), kern::task_pid(me));
        lock->__recursion++;
        return;
    }
    if (kern::lockdep::release(me, lock)) // released for us by another task
        me->atomic_depth--;
    kern::lockdep::acquire(me, lock, kern::lockdep::class_of(lock->name, &lock->__class), true, false,
                           __builtin_return_address(0));
    me->atomic_depth++;
    lock_word(&lock->__state);
    set_owner(&lock->__owner, me);
}

int spin_trylock(spinlock_t *lock)
{
    if (!trylock_word(&lock->__state))
        return 0;
    task_struct *me = kern::current_task();
    set_owner(&lock->__owner, me);
    me->atomic_depth++;
    kern::lockdep::acquire(me, lock, kern::lockdep::class_of(lock->name, &lock->__class), true, true,
                           __builtin_return_address(0));
    return 1;
}

void spin_unlock(spinlock_t *lock)
{
    task_struct *me = kern::current_task();
    task_struct *owner = owner_of(&lock->__owner);
    if (owner != me) {
        if (kern::lockdep::release(me, lock)) { // released by another task meanwhile
            me->atomic_depth--;
            return;
        }
        if (!owner && !spin_is_locked(lock)) {
            KERN_BUG("spinlock already unlocked on CPU#0, %s/%d", me->comm.c_str(), kern::task_pid(me));
            return;
        }
        KERN_BUG("spinlock wrong owner on CPU#0, %s/%d", me->comm.c_str(), kern::task_pid(me));
        printk(KERN_ERR " lock: %s, .owner: task %d\n", lock_name(lock->name), kern::task_pid(owner));
        set_owner(&lock->__owner, nullptr);
        unlock_word(&lock->__state);
        return;
    }
    if (lock->__recursion) {
        lock->__recursion--;
        return;
    }
    kern::lockdep::release(me, lock);
    if (--me->atomic_depth == 0)
        me->sleep_reported = false;
    set_owner(&lock->__owner, nullptr);
    unlock_word(&lock->__state);
}

bool spin_is_locked(spinlock_t *lock) { return __atomic_load_n(&lock->__state, __ATOMIC_RELAXED) != 0; }

void __lockdep_assert_held(const void *lock)
{
    if (!kern::lockdep::holds(kern::current_task(), lock))
        KERN_WARN("lockdep_assert_held: the current task does not hold the lock");
}

} // extern "C"
