// Character device numbers. Two tables, as in the kernel: regions of minors
// that a driver has claimed by name, and the map from device numbers to the
// cdevs that serve them, which is what an open consults.
#include <linux/cdev.h>
#include <linux/errno.h>
#include <linux/fs.h>

#include "fault_inject.hpp"

#include "device_core.hpp"

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
    struct cdev *internal; // the cdev register_chrdev() made for the region, if any
};

std::mutex region_lock; // guards regions
std::vector<Region> regions;

struct Mapping {
    dev_t dev;
    unsigned count;
    struct cdev *cdev;
    std::shared_ptr<kern::vfs::Gate> gate;
};

// Separate from region_lock: the open path takes only this one.
std::mutex map_lock; // guards mappings
std::vector<Mapping> mappings;

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
struct cdev *release_region(unsigned major, unsigned baseminor, unsigned count, bool *found)
{
    std::lock_guard hold(region_lock);
    for (auto it = regions.begin(); it != regions.end(); ++it) {
        if (it->major == major && it->baseminor == baseminor && it->count == count) {
            struct cdev *internal = it->internal;
            regions.erase(it);
            *found = true;
            return internal;
        }
    }
    *found = false;
    return nullptr;
}

void set_internal_cdev(unsigned major, struct cdev *cd)
{
    std::lock_guard hold(region_lock);
    for (auto &r : regions)
        if (r.major == major && r.baseminor == 0 && r.count == kChrdevMinors)
            r.internal = cd;
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
    return Binding{best->cdev->ops, best->cdev, best->gate};
}

} // namespace kern::chrdev

extern "C" {

void cdev_init(struct cdev *cdev, const struct file_operations *fops)
{
    *cdev = {};
    cdev->ops = fops;
}

int cdev_add(struct cdev *cdev, dev_t dev, unsigned count)
{
    if (!cdev || count == 0 || dev + (count - 1) < dev)
        return -EINVAL;
    if (kern::should_fail("cdev_add"))
        return -ENOMEM;
    auto gate = std::make_shared<kern::vfs::Gate>();
    std::lock_guard hold(map_lock);
    if (cdev->kernel_private)
        return -EBUSY; // already added
    cdev->dev = dev;
    cdev->count = count;
    cdev->kernel_private = gate.get();
    mappings.push_back(Mapping{dev, count, cdev, std::move(gate)});
    return 0;
}

void cdev_del(struct cdev *cdev)
{
    std::shared_ptr<kern::vfs::Gate> gate;
    {
        std::lock_guard hold(map_lock);
        for (auto it = mappings.begin(); it != mappings.end(); ++it) {
            if (it->cdev == cdev) {
                gate = std::move(it->gate);
                mappings.erase(it);
                break;
            }
        }
        if (!gate)
            return;
        cdev->kernel_private = nullptr;
    }
    // Files already open keep their binding; from here on their calls fail
    // with -ENODEV. Unlike the kernel we wait for the calls under way, so
    // that a driver may free what they use as soon as this returns.
    gate->close();
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
    auto *cd = new struct cdev;
    cdev_init(cd, fops);
    cd->owner = fops->owner;
    int err = cdev_add(cd, MKDEV(claimed, 0), kChrdevMinors);
    if (err) {
        bool found;
        release_region(claimed, 0, kChrdevMinors, &found);
        delete cd;
        return err;
    }
    set_internal_cdev(claimed, cd);
    return major ? 0 : claimed;
}

void unregister_chrdev(unsigned int major, const char *name)
{
    bool found;
    struct cdev *cd = release_region(major, 0, kChrdevMinors, &found);
    if (cd) {
        cdev_del(cd);
        delete cd;
    }
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
            for (dev_t m = from; m < n; m = piece_end(m, to)) {
                bool found;
                release_region(MAJOR(m), MINOR(m), piece_end(m, to) - m, &found);
            }
            return major;
        }
    }
    return 0;
}

void unregister_chrdev_region(dev_t from, unsigned count)
{
    const dev_t to = from + count;
    for (dev_t n = from; n < to; n = piece_end(n, to)) {
        bool found;
        release_region(MAJOR(n), MINOR(n), piece_end(n, to) - n, &found);
    }
}

} // extern "C"
