// Character device numbers. Two tables, as in the kernel: regions of minors
// that a driver has claimed by name, and the map from device numbers to the
// cdevs that serve them, which is what an open consults.
#include <linux/cdev.h>
#include <linux/errno.h>
#include <linux/fs.h>

#include "bug.hpp"
#include "device_core.hpp"
#include "fault_inject.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr unsigned kMajorMax = (1U << (32 - MINORBITS)) - 1;
constexpr unsigned kMinorsPerMajor = 1U << MINORBITS;
// register_chrdev() with major 0 hands out the highest free major first, as
// the kernel of our boards does.
constexpr unsigned kDynamicMajorTop = 254;
constexpr unsigned kChrdevMinors = 256;

struct Region {
    unsigned major;
    unsigned baseminor;
    unsigned count;
    std::string name;
    std::shared_ptr<struct cdev> internal; // the cdev register_chrdev() made for the region, if any
};

std::mutex region_lock; // guards regions
std::vector<Region> regions;

struct Mapping {
    dev_t dev;
    unsigned count;
    struct cdev *cdev;
    std::shared_ptr<struct cdev> owned; // register_chrdev's own cdev
};

// Separate from region_lock: the open path takes only this one.
std::mutex map_lock; // guards mappings, allocated and the state marks of cdevs
std::vector<Mapping> mappings;
// The cdevs cdev_alloc() made and cdev_del() has not let go. Open files
// share them as they share register_chrdev's, so each lives until the last
// of its files is closed, as the kernel's refcounted ones do.
std::map<struct cdev *, std::shared_ptr<struct cdev>> allocated;

// struct cdev::kernel_private: null after cdev_init(), then one of these.
char cdev_added, cdev_deleted;

bool major_in_use(unsigned major)
{
    for (const auto &r : regions)
        if (r.major == major)
            return true;
    return false;
}

// Claims minors [baseminor, baseminor + count) of `major` (0: a free one).
// The major, or a negative errno.
int claim_region(unsigned major, unsigned baseminor, unsigned count, const char *name)
{
    if (major > kMajorMax || baseminor >= kMinorsPerMajor || count > kMinorsPerMajor - baseminor)
        return -EINVAL;
    std::lock_guard hold(region_lock);
    if (major == 0) {
        for (unsigned m = kDynamicMajorTop; m > 0 && major == 0; --m)
            if (!major_in_use(m))
                major = m;
        if (major == 0)
            return -EBUSY;
    }
    for (const auto &r : regions) {
        bool overlaps = baseminor < r.baseminor + r.count && r.baseminor < baseminor + count;
        if (r.major == major && overlaps)
            return -EBUSY;
    }
    regions.push_back(Region{major, baseminor, count, name ? name : "", nullptr});
    return static_cast<int>(major);
}

// Gives back the region that matches exactly; its internal cdev, if any, is
// handed to the caller to delete.
std::shared_ptr<struct cdev> release_region(unsigned major, unsigned baseminor, unsigned count)
{
    std::lock_guard hold(region_lock);
    for (auto it = regions.begin(); it != regions.end(); ++it) {
        if (it->major == major && it->baseminor == baseminor && it->count == count) {
            std::shared_ptr<struct cdev> internal = std::move(it->internal);
            regions.erase(it);
            return internal;
        }
    }
    return nullptr;
}

void set_internal_cdev(unsigned major, std::shared_ptr<struct cdev> cd)
{
    std::lock_guard hold(region_lock);
    for (auto &r : regions)
        if (r.major == major && r.baseminor == 0 && r.count == kChrdevMinors)
            r.internal = cd;
}

int add_mapping(struct cdev *cdev, dev_t dev, unsigned count, std::shared_ptr<struct cdev> owned)
{
    if (!cdev || count == 0 || dev + (count - 1) < dev)
        return -EINVAL;
    if (kern::should_fail("cdev_add"))
        return -ENOMEM;
    std::lock_guard hold(map_lock);
    if (cdev->kernel_private == &cdev_added)
        return -EBUSY; // already added
    cdev->dev = dev;
    cdev->count = count;
    cdev->kernel_private = &cdev_added;
    if (auto it = allocated.find(cdev); !owned && it != allocated.end())
        owned = it->second;
    mappings.push_back(Mapping{dev, count, cdev, std::move(owned)});
    return 0;
}

// The part of [from, to) that lies in from's major.
dev_t piece_end(dev_t from, dev_t to)
{
    dev_t next = MKDEV(MAJOR(from) + 1, 0);
    return (next > to || next == 0) ? to : next;
}

} // namespace

namespace kern::chrdev {

std::optional<Binding> lookup(dev_t devt)
{
    std::lock_guard hold(map_lock);
    const Mapping *best = nullptr;
    for (const auto &m : mappings) {
        bool covers = devt >= m.dev && devt - m.dev < m.count;
        if (covers && (!best || m.count <= best->count))
            best = &m;
    }
    if (!best)
        return std::nullopt;
    return Binding{best->cdev->ops, best->cdev, best->owned};
}

} // namespace kern::chrdev

extern "C" {

void cdev_init(struct cdev *cdev, const struct file_operations *fops)
{
    *cdev = {};
    cdev->ops = fops;
}

struct cdev *cdev_alloc(void)
{
    if (kern::should_fail("cdev_alloc"))
        return nullptr;
    auto cd = std::make_shared<struct cdev>();
    std::lock_guard hold(map_lock);
    allocated.emplace(cd.get(), cd);
    return cd.get();
}

int cdev_add(struct cdev *cdev, dev_t dev, unsigned count) { return add_mapping(cdev, dev, count, nullptr); }

void cdev_del(struct cdev *cdev)
{
    std::shared_ptr<struct cdev> let_go; // freed, if no file holds it, once map_lock is released
    {
        std::lock_guard hold(map_lock);
        if (cdev->kernel_private == &cdev_deleted) {
            // The kernel's cdev_del drops the reference cdev_init made; a
            // second one drops a reference that is not there.
            KERN_WARN("refcount_t: underflow; use-after-free: cdev_del of a deleted cdev (%p)\n",
                      static_cast<void *>(cdev));
            return;
        }
        cdev->kernel_private = &cdev_deleted;
        for (auto it = mappings.begin(); it != mappings.end(); ++it) {
            if (it->cdev == cdev) {
                mappings.erase(it);
                break;
            }
        }
        if (auto it = allocated.find(cdev); it != allocated.end()) {
            let_go = std::move(it->second);
            allocated.erase(it);
        }
    }
    // As in the kernel, files already open keep the operations they found
    // at open and go on calling them: the module reference each holds keeps
    // the code loaded. Only new opens fail (-ENXIO). Nothing is waited for.
}

int register_chrdev(unsigned int major, const char *name, const struct file_operations *fops)
{
    if (!fops)
        return -EINVAL;
    if (kern::should_fail("register_chrdev"))
        return -EBUSY;
    int claimed = claim_region(major, 0, kChrdevMinors, name);
    if (claimed < 0)
        return claimed;
    // The kernel's own cdev for the region; open files share it, so it lives
    // until the last of them is closed, as the kernel's refcounted one.
    auto cd = std::make_shared<struct cdev>();
    cdev_init(cd.get(), fops);
    cd->owner = fops->owner;
    int err = add_mapping(cd.get(), MKDEV(claimed, 0), kChrdevMinors, cd);
    if (err) {
        release_region(claimed, 0, kChrdevMinors);
        return err;
    }
    set_internal_cdev(claimed, cd);
    return major ? 0 : claimed;
}

void unregister_chrdev(unsigned int major, const char *name)
{
    if (std::shared_ptr<struct cdev> cd = release_region(major, 0, kChrdevMinors))
        cdev_del(cd.get());
}

int alloc_chrdev_region(dev_t *dev, unsigned baseminor, unsigned count, const char *name)
{
    if (kern::should_fail("alloc_chrdev_region"))
        return -EBUSY;
    int major = claim_region(0, baseminor, count, name);
    if (major < 0)
        return major;
    *dev = MKDEV(major, baseminor);
    return 0;
}

int register_chrdev_region(dev_t from, unsigned count, const char *name)
{
    const dev_t to = from + count;
    if (to < from || MAJOR(from) == 0)
        return -EINVAL;
    if (kern::should_fail("register_chrdev_region"))
        return -EBUSY;
    for (dev_t n = from; n < to; n = piece_end(n, to)) {
        int major = claim_region(MAJOR(n), MINOR(n), piece_end(n, to) - n, name);
        if (major < 0) {
            // Give back the pieces of earlier majors.
            for (dev_t m = from; m < n; m = piece_end(m, to))
                release_region(MAJOR(m), MINOR(m), piece_end(m, to) - m);
            return major;
        }
    }
    return 0;
}

void unregister_chrdev_region(dev_t from, unsigned count)
{
    const dev_t to = from + count;
    for (dev_t n = from; n < to; n = piece_end(n, to))
        release_region(MAJOR(n), MINOR(n), piece_end(n, to) - n);
}

} // extern "C"
