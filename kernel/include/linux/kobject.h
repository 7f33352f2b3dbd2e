#pragma once
// What sysfs knows an object by. The kernel layer fills it in when the object
// gets its directory; drivers pass it to the sysfs calls and take its name.
#include <linux/sysfs.h>

struct kobject {
	const char *name;
	struct kobject *parent;
	void *sd; // the kernel layer's record of the object's directory
};

inline const char *kobject_name(const struct kobject *kobj) { return kobj->name; }

// The variables of an event about an object ("MAJOR=254"), as its "uevent"
// file shows them.
#define UEVENT_NUM_ENVP	   32
#define UEVENT_BUFFER_SIZE 2048

struct kobj_uevent_env {
	char *envp[UEVENT_NUM_ENVP];
	int envp_idx;
	char buf[UEVENT_BUFFER_SIZE];
	int buflen;
};

extern "C" {
// Appends one "KEY=value"; -ENOMEM when the buffer or the list is full.
__printf(2, 3) int add_uevent_var(struct kobj_uevent_env *env, const char *format, ...);
}
