// Mutexes and spinlocks on the host's pthread locks, kept in the storage the
// kernel structures reserve for them. glibc's unlocked initial state is all
// zero bytes, which is what a statically defined lock holds.
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/sched.h>
#include <linux/printk.h>

#include <new>
#include <pthread.h>

namespace {

pthread_mutex_t *host_mutex(struct mutex *lock)
{
    static_assert(sizeof(pthread_mutex_t) <= sizeof(lock->__host));
    static_assert(alignof(pthread_mutex_t) <= 8);
    return reinterpret_cast<pthread_mutex_t *>(lock->__host);
}

// A spinlock is a host mutex too: glibc's own spinlocks are not unlocked
// when all-zero (x86 counts down from 1), and nothing here runs in interrupts.
pthread_mutex_t *host_spin(spinlock_t *lock)
{
    static_assert(sizeof(pthread_mutex_t) <= sizeof(lock->__host));
    return reinterpret_cast<pthread_mutex_t *>(lock->__host);
}

void set_owner(struct mutex *lock, struct task_struct *owner)
{
    __atomic_store_n(&lock->owner, owner, __ATOMIC_RELAXED);
}

} // namespace

extern "C" {

void __mutex_init(struct mutex *lock, const char *name)
{
    pthread_mutex_init(new (lock->__host) pthread_mutex_t, nullptr);
    lock->owner = nullptr;
    lock->name = name;
}

void mutex_lock(struct mutex *lock)
{
    pthread_mutex_lock(host_mutex(lock));
    set_owner(lock, get_current());
}

// Programs here are never signalled, so the wait is never interrupted.
int mutex_lock_interruptible(struct mutex *lock)
{
    mutex_lock(lock);
    return 0;
}

int mutex_trylock(struct mutex *lock)
{
    if (pthread_mutex_trylock(host_mutex(lock)) != 0)
        return 0;
    set_owner(lock, get_current());
    return 1;
}

void mutex_unlock(struct mutex *lock)
{
    if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) != get_current())
        printk(KERN_ERR "DEBUG_LOCKS_WARN_ON(%s unlocked by a task that does not hold it)\n",
               lock->name ? lock->name : "mutex");
    set_owner(lock, nullptr);
    pthread_mutex_unlock(host_mutex(lock));
}

bool mutex_is_locked(struct mutex *lock) { return __atomic_load_n(&lock->owner, __ATOMIC_RELAXED) != nullptr; }

void mutex_destroy(struct mutex *lock) { pthread_mutex_destroy(host_mutex(lock)); }

void __spin_lock_init(spinlock_t *lock, const char *name)
{
    pthread_mutex_init(new (lock->__host) pthread_mutex_t, nullptr);
    lock->name = name;
}

void spin_lock(spinlock_t *lock) { pthread_mutex_lock(host_spin(lock)); }
void spin_unlock(spinlock_t *lock) { pthread_mutex_unlock(host_spin(lock)); }

} // extern "C"
