// Starting and stopping the module's drivers in their fixed orders, each
// stop matched to a start that succeeded.
#include <linux/cleanup.h>
#include <linux/compiler.h>
#include <linux/mutex.h>

#include "core/quorvel_drivers.h"

namespace {

bool quorvel_switched_on(const struct quorvel_driver *drv) { return !drv->sw || READ_ONCE(*drv->sw) != 0; }

// Called with the table's lock held.
int quorvel_driver_start(struct quorvel_driver *drv)
{
	int ret;

	if (!drv->init || drv->started)
		return 0;
	ret = drv->init();
	if (ret == 0)
		drv->started = true;
	return ret;
}

// Stops every started driver in stop order, once the table is closed. The
// stops run without the lock: a run-time start waiting for it must get it,
// find the table closed and return, since a stop takes away the
// configuration device's node, which waits for the calls inside it.
void quorvel_stop_started(struct quorvel_driver_table *t)
{
	for (size_t i = 0; i < t->stop_order.count; i++) {
		struct quorvel_driver *drv = t->stop_order.drivers[i];
		if (!drv->started)
			continue;
		drv->exit();
		drv->started = false;
	}
}

} // namespace

int quorvel_drivers_load(struct quorvel_driver_table *t)
{
	int ret = 0;

	scoped_guard(mutex, &t->lock)
	{
		t->closing = false;
		for (size_t i = 0; i < t->start_order.count; i++) {
			struct quorvel_driver *drv = t->start_order.drivers[i];
			if (!quorvel_switched_on(drv))
				continue;
			int result = quorvel_driver_start(drv);
			if (drv == t->load_decider)
				ret = result;
		}
		// Closed before the lock is let go: a run-time start that waited
		// for the load starts nothing once it has failed.
		if (ret < 0)
			t->closing = true;
	}
	// A failed load leaves nothing registered: no registration may outlive
	// the module's code.
	if (ret < 0)
		quorvel_stop_started(t);
	return ret;
}

void quorvel_drivers_start_late(struct quorvel_driver_table *t)
{
	guard(mutex)(&t->lock);
	if (t->closing)
		return;
	for (size_t i = 0; i < t->late_order.count; i++) {
		struct quorvel_driver *drv = t->late_order.drivers[i];
		if (drv->started)
			continue;
		if (drv->sw && READ_ONCE(*drv->sw) == 0)
			WRITE_ONCE(*drv->sw, 1L);
		(void)quorvel_driver_start(drv);
	}
}

void quorvel_drivers_unload(struct quorvel_driver_table *t)
{
	scoped_guard(mutex, &t->lock) t->closing = true;
	quorvel_stop_started(t);
}
