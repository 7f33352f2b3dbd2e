// SPDX-License-Identifier: GPL-2.0
/*
 * The module's mutexes and spinlocks on the kernel's own. The module's lock
 * is room in which the kernel's lock is made, in place, when the module
 * first initialises or uses it: a statically defined lock is all zeros, and
 * under lock debugging the kernel's lock is not (owners, magic, a lockdep
 * map). Whatever the kernel's configuration, only the kernel's headers know
 * its lock's layout; the room is checked to be enough at build time.
 *
 * Each lock name is a lock class of its own, as on the kernel layer, so that
 * the kernel's lock checker sees the module's real lock order rather than
 * one class for all of its locks; each work function's items are one class
 * too, for the order between work items and the locks they take.
 */
#include <linux/bug.h>
#include <linux/lockdep.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/workqueue.h>

#include "qk.h"

static_assert(sizeof(struct mutex) <= sizeof_field(struct qk_mutex, __room) &&
		      __alignof__(struct mutex) <= __alignof__(struct qk_mutex),
	      "the kernel's struct mutex outgrows the module's (kernel/linux/include/linux/mutex.h)");
static_assert(sizeof(spinlock_t) <= sizeof_field(struct qk_spinlock, __room) &&
		      __alignof__(spinlock_t) <= __alignof__(struct qk_spinlock),
	      "the kernel's spinlock_t outgrows the module's (kernel/linux/include/linux/spinlock.h)");

/* Guards the class table and the making of locks on first use. */
static DEFINE_RAW_SPINLOCK(qk_locks_lock);

/*
 * The lock classes, in the module's own memory: the kernel's lock checker
 * takes such keys as they are, and forgets them when the module goes.
 */
#define QK_LOCK_CLASSES 64

static struct qk_lock_class {
	const char *name;
	const void *id; /* a work function; NULL for a lock, told by its name */
	struct lock_class_key key;
} qk_classes[QK_LOCK_CLASSES];
static struct qk_lock_class qk_spare_class = { .name = "quorvel_lock" };

/*
 * The class of a lock name (id NULL) or of a work function's items. Every
 * lock of a class is given the class's own copy of the name: the lock
 * checker tells a class by its key and expects one name pointer with it,
 * while two of the module's files may spell one name in two strings.
 */
static struct qk_lock_class *qk_class(const char *name, const void *id)
{
	struct qk_lock_class *c;

	lockdep_assert_held(&qk_locks_lock);
	for (c = qk_classes; c < qk_classes + QK_LOCK_CLASSES && c->name; c++)
		if (id ? c->id == id : !c->id && !strcmp(c->name, name))
			return c;
	if (WARN_ONCE(c == qk_classes + QK_LOCK_CLASSES, "quorvel: more than %d lock classes; the rest share one\n",
		      QK_LOCK_CLASSES))
		return &qk_spare_class;
	c->name = name;
	c->id = id;
	return c;
}

static const char *qk_lock_name(const char *name) { return name ? name : "quorvel_lock"; }

static struct mutex *qk_mutex_make(struct qk_mutex *m)
{
	struct mutex *lock = (struct mutex *)m->__room;
	unsigned long flags;

	if (smp_load_acquire(&m->__made))
		return lock;
	raw_spin_lock_irqsave(&qk_locks_lock, flags);
	if (!m->__made) {
		struct qk_lock_class *c = qk_class(qk_lock_name(m->name), NULL);

		__mutex_init(lock, c->name, &c->key);
		smp_store_release(&m->__made, 1);
	}
	raw_spin_unlock_irqrestore(&qk_locks_lock, flags);
	return lock;
}

void qk___mutex_init(struct qk_mutex *m, const char *name)
{
	m->name = name;
	WRITE_ONCE(m->__made, 0);
	qk_mutex_make(m);
}

void qk_mutex_lock(struct qk_mutex *m) { mutex_lock(qk_mutex_make(m)); }
void qk_mutex_lock_nested(struct qk_mutex *m, unsigned int subclass) { mutex_lock_nested(qk_mutex_make(m), subclass); }
int qk_mutex_lock_interruptible(struct qk_mutex *m) { return mutex_lock_interruptible(qk_mutex_make(m)); }
int qk_mutex_trylock(struct qk_mutex *m) { return mutex_trylock(qk_mutex_make(m)); }
void qk_mutex_unlock(struct qk_mutex *m) { mutex_unlock(qk_mutex_make(m)); }

/* A lock never made was never taken. */
bool qk_mutex_is_locked(struct qk_mutex *m)
{
	return smp_load_acquire(&m->__made) && mutex_is_locked((struct mutex *)m->__room);
}

void qk_mutex_destroy(struct qk_mutex *m)
{
	if (smp_load_acquire(&m->__made))
		mutex_destroy((struct mutex *)m->__room);
}

static spinlock_t *qk_spinlock_make(struct qk_spinlock *l)
{
	spinlock_t *lock = (spinlock_t *)l->__room;
	unsigned long flags;

	if (smp_load_acquire(&l->__made))
		return lock;
	raw_spin_lock_irqsave(&qk_locks_lock, flags);
	if (!l->__made) {
		struct qk_lock_class *c = qk_class(qk_lock_name(l->name), NULL);

		spin_lock_init(lock);
		lockdep_set_class_and_name(lock, &c->key, c->name);
		smp_store_release(&l->__made, 1);
	}
	raw_spin_unlock_irqrestore(&qk_locks_lock, flags);
	return lock;
}

void qk___spin_lock_init(struct qk_spinlock *l, const char *name)
{
	l->name = name;
	WRITE_ONCE(l->__made, 0);
	qk_spinlock_make(l);
}

void qk_spin_lock(struct qk_spinlock *l) { spin_lock(qk_spinlock_make(l)); }
void qk_spin_unlock(struct qk_spinlock *l) { spin_unlock(qk_spinlock_make(l)); }
int qk_spin_trylock(struct qk_spinlock *l) { return spin_trylock(qk_spinlock_make(l)); }

bool qk_spin_is_locked(struct qk_spinlock *l)
{
	return smp_load_acquire(&l->__made) && spin_is_locked((spinlock_t *)l->__room);
}

/* A work item, its lock class that of its function's items. */
void qk___init_work(struct work_struct *work, work_func_t func)
{
	INIT_WORK(work, func);
#ifdef CONFIG_LOCKDEP
	{
		unsigned long flags;

		raw_spin_lock_irqsave(&qk_locks_lock, flags);
		struct qk_lock_class *c = qk_class("(work_completion)(quorvel)", func);

		lockdep_init_map(&work->lockdep_map, c->name, &c->key, 0);
		raw_spin_unlock_irqrestore(&qk_locks_lock, flags);
	}
#endif
}
