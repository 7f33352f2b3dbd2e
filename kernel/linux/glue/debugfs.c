// SPDX-License-Identifier: GPL-2.0
/*
 * debugfs: the kernel's own. 4.4's file creators return the new entry; 6.1's
 * number files return nothing, and the module does not look at the result,
 * so NULL stands in for it. 6.1 reports a failed directory with an error
 * pointer (4.4 with NULL); the module takes either as "no debug files".
 */
#include <linux/debugfs.h>

#include "qk.h"

struct dentry *qk_debugfs_create_dir(const char *name, struct dentry *parent)
{
	return debugfs_create_dir(name, parent);
}

struct dentry *qk_debugfs_create_u32(const char *name, umode_t mode, struct dentry *parent, u32 *value)
{
	debugfs_create_u32(name, mode, parent, value);
	return NULL;
}

struct dentry *qk_debugfs_create_u64(const char *name, umode_t mode, struct dentry *parent, u64 *value)
{
	debugfs_create_u64(name, mode, parent, value);
	return NULL;
}

void qk_debugfs_remove_recursive(struct dentry *dentry) { debugfs_remove_recursive(dentry); }
