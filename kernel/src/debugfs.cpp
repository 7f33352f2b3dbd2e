// debugfs: the files a driver keeps for its developers, under
// /sys/kernel/debug. Only what the module uses: directories, and files over
// a counter of the driver's. A file reads the counter with a relaxed atomic
// load, so a driver that updates it with WRITE_ONCE under its own lock races
// with no reader.
#include <linux/debugfs.h>
#include <linux/errno.h>

#include "vfs.hpp"

#include <charconv>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct dentry {
    std::string path;
    dentry *parent = nullptr;
    std::vector<std::unique_ptr<dentry>> children;
};

namespace {

constexpr const char *kMount = "/sys/kernel/debug";

std::mutex tree_lock; // guards top and every entry's children
std::vector<std::unique_ptr<dentry>> top;

std::vector<std::unique_ptr<dentry>> &siblings(dentry *parent) { return parent ? parent->children : top; }

dentry *add_entry(const char *name, dentry *parent)
{
    auto d = std::make_unique<dentry>();
    d->path = (parent ? parent->path : std::string(kMount)) + "/" + name;
    d->parent = parent;
    dentry *raw = d.get();
    siblings(parent).push_back(std::move(d));
    return raw;
}

bool valid_name(const char *name) { return name && *name && std::string(name).find('/') == std::string::npos; }

template <class T> long parse_into(T *value, const char *buf, size_t n)
{
    T parsed = 0;
    const char *end = buf + n;
    while (end > buf && (end[-1] == '\n' || end[-1] == ' '))
        --end;
    auto [ptr, ec] = std::from_chars(buf, end, parsed);
    if (ec != std::errc() || ptr != end || ptr == buf)
        return -EINVAL;
    __atomic_store_n(value, parsed, __ATOMIC_RELAXED);
    return static_cast<long>(n);
}

template <class T> dentry *create_number(const char *name, umode_t mode, dentry *parent, T *value)
{
    if (!valid_name(name) || !value)
        return nullptr;
    std::lock_guard lock(tree_lock);
    const std::string path = (parent ? parent->path : std::string(kMount)) + "/" + name;
    kern::vfs::AttrOps ops;
    ops.show = [value](std::string &out) {
        out = std::to_string(__atomic_load_n(value, __ATOMIC_RELAXED)) + "\n";
        return static_cast<long>(out.size());
    };
    if (mode & 0222)
        ops.store = [value](const char *buf, size_t n) { return parse_into(value, buf, n); };
    if (kern::vfs::mkdir_p(parent ? parent->path : kMount) != 0 ||
        kern::vfs::add_attribute(path, mode & 0777, std::move(ops)) != 0)
        return nullptr;
    return add_entry(name, parent);
}

} // namespace

extern "C" {

struct dentry *debugfs_create_dir(const char *name, struct dentry *parent)
{
    if (!valid_name(name))
        return nullptr;
    std::lock_guard lock(tree_lock);
    const std::string path = (parent ? parent->path : std::string(kMount)) + "/" + name;
    if (kern::vfs::mkdir_p(kMount) != 0 || kern::vfs::mkdir(path) != 0)
        return nullptr;
    return add_entry(name, parent);
}

struct dentry *debugfs_create_u32(const char *name, umode_t mode, struct dentry *parent, u32 *value)
{
    return create_number(name, mode, parent, value);
}

struct dentry *debugfs_create_u64(const char *name, umode_t mode, struct dentry *parent, u64 *value)
{
    return create_number(name, mode, parent, value);
}

// The files go first, so that no reader is still inside one when the
// counters behind it may go away with the caller.
void debugfs_remove_recursive(struct dentry *d)
{
    if (!d)
        return;
    std::lock_guard lock(tree_lock);
    kern::vfs::remove(d->path);
    auto &list = siblings(d->parent);
    std::erase_if(list, [d](const std::unique_ptr<dentry> &e) { return e.get() == d; });
}

} // extern "C"
