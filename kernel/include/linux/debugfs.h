#pragma once
// A minimal debugfs, mounted at /sys/kernel/debug: directories and files that
// show a counter of the caller's. As in Linux 4.4, a create returns the new
// entry or NULL when it could not be made (an existing name, a missing
// parent); a caller goes on without its debug files either way.
#include <linux/types.h>

struct dentry;

extern "C" {
struct dentry *debugfs_create_dir(const char *name, struct dentry *parent);
// Files that read (and, with a write bit in mode, set) *value in decimal.
struct dentry *debugfs_create_u32(const char *name, umode_t mode, struct dentry *parent, u32 *value);
struct dentry *debugfs_create_u64(const char *name, umode_t mode, struct dentry *parent, u64 *value);
// Takes away the entry and all below it; NULL is no error.
void debugfs_remove_recursive(struct dentry *dentry);
}
