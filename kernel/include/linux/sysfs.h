#pragma once
// Attribute files and links under /sys, and groups of attributes.
#include <linux/types.h>

struct kobject;

struct attribute {
	const char *name;
	umode_t mode;
};

// Attributes made and taken away together: in the object's own directory, or
// in a subdirectory `name`. is_visible, if given, decides each attribute's
// mode when the group is made (its index in `attrs` is `n`); 0 leaves it out.
struct attribute_group {
	const char *name;
	umode_t (*is_visible)(struct kobject *kobj, struct attribute *attr, int n);
	struct attribute **attrs;
};

// Modes that sysfs accepts for an attribute, checked when the program is
// built: no more than 0777, readable by the owner if by the group, by the
// group if by others, writable by the owner if by the group, and never
// writable by others.
consteval umode_t __verify_octal_permissions(int perms)
{
	if (perms < 0 || perms > 0777)
		__builtin_trap(); // not a constant: the build stops here
	if (((perms >> 6) & 4) < ((perms >> 3) & 4) || ((perms >> 3) & 4) < (perms & 4))
		__builtin_trap();
	if (((perms >> 6) & 2) < ((perms >> 3) & 2) || (perms & 2))
		__builtin_trap();
	return (umode_t)perms;
}
#define VERIFY_OCTAL_PERMISSIONS(perms) __verify_octal_permissions(perms)

#define __ATTR(_name, _mode, _show, _store)                                                                            \
	{                                                                                                              \
		.attr = { .name = #_name, .mode = VERIFY_OCTAL_PERMISSIONS(_mode) }, .show = _show, .store = _store,   \
	}
#define __ATTR_RO(_name)                                                                                               \
	{                                                                                                              \
		.attr = { .name = #_name, .mode = 0444 }, .show = _name##_show,                                        \
	}
#define __ATTR_WO(_name)                                                                                               \
	{                                                                                                              \
		.attr = { .name = #_name, .mode = 0200 }, .store = _name##_store,                                      \
	}
#define __ATTR_RW(_name) __ATTR(_name, 0644, _name##_show, _name##_store)
#define __ATTR_NULL                                                                                                    \
	{                                                                                                              \
		.attr = {.name = nullptr }                                                                             \
	}

// One unnamed group `_name##_group` of the attributes `_name##_attrs`, and
// the list `_name##_groups` holding it, for a device's or class's groups.
#define __ATTRIBUTE_GROUPS(_name)                                                                                      \
	static const struct attribute_group *_name##_groups[] = {                                                      \
		&_name##_group,                                                                                        \
		nullptr,                                                                                               \
	}
#define ATTRIBUTE_GROUPS(_name)                                                                                        \
	static const struct attribute_group _name##_group = {                                                          \
		.attrs = _name##_attrs,                                                                                \
	};                                                                                                             \
	__ATTRIBUTE_GROUPS(_name)

extern "C" {
// Each returns 0 or a negative errno; a name already there is -EEXIST (and
// a warning, as sysfs gives). The object must have its directory.
int sysfs_create_file(struct kobject *kobj, const struct attribute *attr);
void sysfs_remove_file(struct kobject *kobj, const struct attribute *attr);
int sysfs_create_group(struct kobject *kobj, const struct attribute_group *grp);
void sysfs_remove_group(struct kobject *kobj, const struct attribute_group *grp);
// A null-terminated list of groups, made whole or not at all.
int sysfs_create_groups(struct kobject *kobj, const struct attribute_group **groups);
void sysfs_remove_groups(struct kobject *kobj, const struct attribute_group **groups);
// A link `name` in kobj's directory to target's directory.
int sysfs_create_link(struct kobject *kobj, struct kobject *target, const char *name);
void sysfs_remove_link(struct kobject *kobj, const char *name);
}
