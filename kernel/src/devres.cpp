// Device-managed resources: each device keeps a list of release actions,
// run newest first when its driver is unbound.
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/slab.h>

#include "devres.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct Devres {
    void (*action)(void *);
    void *data;
    void *alloc; // memory from devm_kmalloc, freed after the action (if any)
};

std::mutex devres_lock; // guards table
std::map<const struct device *, std::vector<Devres>> table;

void add(struct device *dev, Devres res)
{
    std::lock_guard hold(devres_lock);
    table[dev].push_back(res);
}

} // namespace

namespace kern {

void devres_release_all(struct device *dev)
{
    std::vector<Devres> list;
    {
        std::lock_guard hold(devres_lock);
        auto it = table.find(dev);
        if (it == table.end())
            return;
        list.swap(it->second);
        table.erase(it);
    }
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->action)
            it->action(it->data);
        kfree(it->alloc);
    }
}

bool devres_release_action(struct device *dev, void (*action)(void *), void *data)
{
    Devres found{};
    {
        std::lock_guard hold(devres_lock);
        auto it = table.find(dev);
        if (it == table.end())
            return false;
        auto &list = it->second;
        auto match = std::find_if(list.rbegin(), list.rend(),
                                  [&](const Devres &r) { return r.action == action && r.data == data; });
        if (match == list.rend())
            return false;
        found = *match;
        list.erase(std::next(match).base());
    }
    found.action(found.data);
    kfree(found.alloc);
    return true;
}

} // namespace kern

extern "C" {

void *devm_kmalloc(struct device *dev, size_t size, gfp_t gfp)
{
    void *p = kmalloc(size, gfp);
    if (p)
        add(dev, {nullptr, nullptr, p});
    return p;
}

void *devm_kzalloc(struct device *dev, size_t size, gfp_t gfp) { return devm_kmalloc(dev, size, gfp | __GFP_ZERO); }

void devm_kfree(struct device *dev, void *p)
{
    std::lock_guard hold(devres_lock);
    auto &list = table[dev];
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->alloc == p) {
            list.erase(it);
            kfree(p);
            return;
        }
    }
}

int devm_add_action(struct device *dev, void (*action)(void *), void *data)
{
    add(dev, {action, data, nullptr});
    return 0;
}

int devm_add_action_or_reset(struct device *dev, void (*action)(void *), void *data)
{
    return devm_add_action(dev, action, data);
}

} // extern "C"
