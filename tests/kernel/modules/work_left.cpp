// A module that leaves its static delayed work waiting when it is unloaded,
// for the loader's check of a module's memory.
#include <linux/init.h>
#include <linux/module.h>
#include <linux/workqueue.h>

namespace {

void left_fn(struct work_struct *work) {}

DECLARE_DELAYED_WORK(left_work, left_fn);

int work_left_init(void)
{
	schedule_delayed_work(&left_work, 100000);
	return 0;
}

void work_left_exit(void) {}

} // namespace

module_init(work_left_init);
module_exit(work_left_exit);
MODULE_LICENSE("GPL");
