#pragma once
// The module's drivers as one table: each driver's switch, its start and stop
// entries, and whether it runs. The load, the unload and the run-time start
// walk the table in their own fixed orders; which drivers a stop stops is
// decided by what started, never by the switches, which sysfs can change.
#include <linux/mutex.h>
#include <linux/types.h>

struct quorvel_driver {
	long *sw;	    // its switch; nullptr: started at every load
	int (*init)(void);  // nullptr: a switch with nothing to start
	void (*exit)(void); // called once for each start that returned 0
	bool started;	    // under the table's lock until the table closes
};

// An order over the table's drivers.
struct quorvel_driver_order {
	struct quorvel_driver *const *drivers;
	size_t count;
};

template <size_t N> constexpr struct quorvel_driver_order quorvel_order(struct quorvel_driver *const (&drivers)[N])
{
	return { .drivers = drivers, .count = N };
}

struct quorvel_driver_table {
	struct quorvel_driver_order start_order; // at load, for the drivers whose switch is on
	struct quorvel_driver_order stop_order;	 // at unload, and when the load fails
	struct quorvel_driver_order late_order;	 // run-time start (CONFIG_IOCTL_ENABLE_ALL)
	struct quorvel_driver *load_decider;	 // its start's result is the load's
	// Serialises the starts: the load's and the run-time start, whose device
	// node exists (and may be used) while the load goes on.
	struct mutex lock;
	bool closing; // under lock: set once the drivers are to stop; nothing starts then
};

// Starts the drivers of the start order whose switch is on; the load
// decider's result (0 if it has nothing to start). When that is
// negative, every driver that started is stopped again before the return.
[[nodiscard]] int quorvel_drivers_load(struct quorvel_driver_table *t);
// Starts each driver of the late order that does not run, setting its switch
// to 1 if it was 0. Start results are not reported; a driver whose start
// failed stays stopped and may be started by a later call.
void quorvel_drivers_start_late(struct quorvel_driver_table *t);
// Closes the table to starts, then stops every started driver in stop order.
void quorvel_drivers_unload(struct quorvel_driver_table *t);
