// Sysfs: attribute files, groups of them and links in the directories of the
// device model's objects. Every object with a directory has a KObj record
// (struct kobject::sd), which decides how its attributes' callbacks are
// called; the files themselves live in the vfs tree.
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/kobject.h>
#include <linux/sysfs.h>

#include "bug.hpp"
#include "device_core.hpp"
#include "fault_inject.hpp"

#include <cstring>

namespace {

// Sysfs paths in reports are from the top of sysfs, as the kernel prints them.
std::string shown(const std::string &path) { return path.rfind("/sys/", 0) == 0 ? path.substr(4) : path; }

void warn_dup(const std::string &path) { KERN_WARN("cannot create duplicate filename '%s'\n", shown(path).c_str()); }

int checked(int err, const std::string &path)
{
    if (err == -EEXIST)
        warn_dup(path);
    return err;
}

// The files of a group that is made or being undone: those up to `end`
// (or all), in `dir`.
void remove_files(const std::string &dir, const struct attribute_group *grp, struct attribute *const *end = nullptr)
{
    for (struct attribute *const *attr = grp->attrs; attr && *attr && attr != end; ++attr)
        kern::vfs::remove(dir + "/" + (*attr)->name);
}

int create_files(struct kobject *kobj, kern::KObj *core, const std::string &dir, const struct attribute_group *grp)
{
    int i = 0;
    for (struct attribute *const *attr = grp->attrs; *attr; ++attr, ++i) {
        umode_t mode = (*attr)->mode;
        if (grp->is_visible) {
            mode = grp->is_visible(kobj, *attr, i);
            if (!mode)
                continue;
        }
        if (mode & ~0664)
            KERN_WARN("Attribute %s: Invalid permissions 0%o\n", (*attr)->name, mode);
        mode &= 0664;
        const std::string path = dir + "/" + (*attr)->name;
        if (int err = checked(kern::vfs::add_attribute(path, mode, core->attr_ops(kobj, *attr)), path)) {
            remove_files(dir, grp, attr);
            return err;
        }
    }
    return 0;
}

// The record of an object that must have a directory, or null after a report.
kern::KObj *dir_owner(const struct kobject *kobj)
{
    kern::KObj *core = kern::kobj_core(kobj);
    if (!core || core->sysfs_dir.empty()) {
        KERN_WARN("sysfs: kobject %p (%s) has no directory\n", static_cast<const void *>(kobj),
                  kobj && kobj->name ? kobj->name : "(null)");
        return nullptr;
    }
    return core;
}

} // namespace

namespace kern {

KObj *kobj_core(const struct kobject *kobj) { return kobj ? static_cast<KObj *>(kobj->sd) : nullptr; }

void kobj_bind(struct kobject *kobj, KObj *core)
{
    kobj->sd = core;
    kobj->name = core ? core->name.c_str() : nullptr;
}

} // namespace kern

namespace kern::sysfs {

std::string dir_of(const struct kobject *kobj)
{
    const KObj *core = kobj_core(kobj);
    return core ? core->sysfs_dir : std::string();
}

int create_dir(const std::string &path)
{
    if (vfs::exists(path)) {
        warn_dup(path);
        return -EEXIST;
    }
    return vfs::mkdir_p(path);
}

int create_file(const std::string &path, umode_t mode, vfs::AttrOps ops)
{
    return checked(vfs::add_attribute(path, mode & 0777, std::move(ops)), path);
}

int create_link(const std::string &path, const std::string &target)
{
    return checked(vfs::add_link(path, target), path);
}

void remove(const std::string &path)
{
    if (!path.empty())
        vfs::remove(path);
}

void remove_if_empty(const std::string &path)
{
    if (!path.empty())
        vfs::rmdir(path);
}

int create_group(struct kobject *kobj, const struct attribute_group *grp)
{
    KObj *core = dir_owner(kobj);
    if (!core)
        return -EINVAL;
    if (!grp->attrs) {
        KERN_WARN("sysfs: (bin_)attrs not set by subsystem for group: %s/%s\n", kobj->name, grp->name ? grp->name : "");
        return -EINVAL;
    }
    std::string dir = core->sysfs_dir;
    if (grp->name) {
        dir += std::string("/") + grp->name;
        if (int err = create_dir(dir))
            return err;
    }
    int err = create_files(kobj, core, dir, grp);
    if (err && grp->name)
        vfs::remove(dir);
    return err;
}

void remove_group(struct kobject *kobj, const struct attribute_group *grp)
{
    KObj *core = kobj_core(kobj);
    if (!core || core->sysfs_dir.empty())
        return;
    if (!grp->name) {
        remove_files(core->sysfs_dir, grp);
        return;
    }
    const std::string dir = core->sysfs_dir + "/" + grp->name;
    vfs::Lookup found;
    if (vfs::lookup(dir, &found, false) || found.type != vfs::NodeType::Dir) {
        KERN_WARN("sysfs group '%s' not found for kobject '%s'\n", grp->name, kobj->name ? kobj->name : "");
        return;
    }
    vfs::remove(dir);
}

int create_groups(struct kobject *kobj, const struct attribute_group *const *groups)
{
    if (!groups)
        return 0;
    for (int i = 0; groups[i]; ++i) {
        if (int err = create_group(kobj, groups[i])) {
            while (--i >= 0)
                remove_group(kobj, groups[i]);
            return err;
        }
    }
    return 0;
}

void remove_groups(struct kobject *kobj, const struct attribute_group *const *groups)
{
    for (int i = 0; groups && groups[i]; ++i)
        remove_group(kobj, groups[i]);
}

vfs::AttrOps page_ops(std::function<ssize_t(char *page)> show, std::function<ssize_t(const char *, size_t)> store)
{
    vfs::AttrOps ops;
    if (show) {
        ops.show = [show = std::move(show)](std::string &out) -> long {
            std::string page(PAGE_SIZE, '\0');
            ssize_t n = show(page.data());
            if (n < 0)
                return n;
            if (static_cast<size_t>(n) >= PAGE_SIZE) {
                printk("fill_read_buffer: show returned bad count\n");
                n = PAGE_SIZE - 1;
            }
            out.assign(page.data(), static_cast<size_t>(n));
            return static_cast<long>(out.size());
        };
    }
    if (store)
        ops.store = [store = std::move(store)](const char *buf, size_t n) -> long { return store(buf, n); };
    return ops;
}

} // namespace kern::sysfs

extern "C" {

int sysfs_create_file(struct kobject *kobj, const struct attribute *attr)
{
    kern::KObj *core = dir_owner(kobj);
    if (!core || !attr)
        return -EINVAL;
    return kern::sysfs::create_file(core->sysfs_dir + "/" + attr->name, attr->mode,
                                    core->attr_ops(kobj, const_cast<struct attribute *>(attr)));
}

void sysfs_remove_file(struct kobject *kobj, const struct attribute *attr)
{
    std::string dir = kern::sysfs::dir_of(kobj);
    if (!dir.empty() && attr && attr->name)
        kern::vfs::remove(dir + "/" + attr->name);
}

int sysfs_create_group(struct kobject *kobj, const struct attribute_group *grp)
{
    if (kern::should_fail("sysfs_create_group"))
        return -ENOMEM;
    return kern::sysfs::create_group(kobj, grp);
}

void sysfs_remove_group(struct kobject *kobj, const struct attribute_group *grp)
{
    kern::sysfs::remove_group(kobj, grp);
}

int sysfs_create_groups(struct kobject *kobj, const struct attribute_group **groups)
{
    if (!groups)
        return 0;
    for (int i = 0; groups[i]; ++i) {
        if (int err = sysfs_create_group(kobj, groups[i])) {
            while (--i >= 0)
                sysfs_remove_group(kobj, groups[i]);
            return err;
        }
    }
    return 0;
}

void sysfs_remove_groups(struct kobject *kobj, const struct attribute_group **groups)
{
    kern::sysfs::remove_groups(kobj, groups);
}

int sysfs_create_link(struct kobject *kobj, struct kobject *target, const char *name)
{
    kern::KObj *core = dir_owner(kobj);
    if (!core || !name)
        return -EINVAL;
    std::string to = kern::sysfs::dir_of(target);
    if (to.empty())
        return -ENOENT;
    return kern::sysfs::create_link(core->sysfs_dir + "/" + name, to);
}

void sysfs_remove_link(struct kobject *kobj, const char *name)
{
    std::string dir = kern::sysfs::dir_of(kobj);
    if (dir.empty() || !name)
        return;
    kern::vfs::Lookup found;
    if (kern::vfs::lookup(dir + "/" + name, &found, false) == 0 && found.type == kern::vfs::NodeType::Link)
        kern::vfs::remove(dir + "/" + name);
}

} // extern "C"
