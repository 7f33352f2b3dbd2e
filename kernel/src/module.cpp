// The module loader: insmod maps a module image, applies its parameters,
// publishes them under /sys/module and runs its init; rmmod runs its exit and
// unmaps it. Each load maps the image afresh, so every load starts from the
// image's own static data, as a kernel module does.
#include <linux/module.h>
#include <linux/errno.h>
#include <linux/printk.h>

#include "host/host.hpp"
#include "vfs.hpp"
#include "workqueue_internal.hpp"

#include <khost/kernel.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

enum class State { Coming, Live, Going };

struct Loaded {
    std::string name;
    std::string path;
    void *handle = nullptr;
    struct module *mod = nullptr;
    std::mutex lock; // guards state and refs
    State state = State::Coming;
    int refs = 0;
};

std::mutex loader_lock; // guards modules; held across a whole insmod or rmmod
std::map<std::string, std::unique_ptr<Loaded>> modules;
std::mutex param_lock; // serialises parameter reads and writes through sysfs

Loaded *record_of(struct module *mod) { return mod ? static_cast<Loaded *>(mod->loader_private) : nullptr; }

const struct kernel_param *find_param(struct module *mod, const std::string &name)
{
    for (auto *kp = mod->params_begin; kp && kp != mod->params_end; kp++)
        if (name == kp->name)
            return kp;
    return nullptr;
}

int refuse(std::string *why, int err, std::string text)
{
    if (why)
        *why = text;
    return err;
}

// "name=value" words, applied in order; the kernel's messages on refusal. A
// name the module does not have is ignored with a warning, as the kernel's
// loader does for modules (only the boot command line refuses it).
int apply_params(struct module *mod, const std::vector<std::string> &args, std::string *why)
{
    for (const auto &arg : args) {
        auto eq = arg.find('=');
        std::string name = arg.substr(0, eq);
        const struct kernel_param *kp = find_param(mod, name);
        if (!kp) {
            printk(KERN_WARNING "%s: unknown parameter '%s' ignored\n", mod->name, name.c_str());
            continue;
        }
        std::string value = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
        int err = kp->ops->set(eq == std::string::npos ? nullptr : value.c_str(), kp);
        if (err) {
            printk(KERN_ERR "%s: `%s' invalid for parameter `%s'\n", mod->name, value.c_str(), name.c_str());
            return refuse(why, err, "'" + value + "' invalid for parameter '" + name + "'");
        }
    }
    return 0;
}

std::string sysfs_dir(const Loaded &m) { return "/sys/module/" + m.name; }

void publish_params(Loaded &m)
{
    for (auto *kp = m.mod->params_begin; kp && kp != m.mod->params_end; kp++) {
        if (!kp->perm)
            continue;
        kern::vfs::AttrOps ops;
        ops.show = [kp](std::string &out) -> long {
            char page[4096];
            std::lock_guard hold(param_lock);
            int n = kp->ops->get(page, kp);
            out.assign(page, n > 0 ? static_cast<size_t>(n) : 0);
            return static_cast<long>(out.size());
        };
        ops.store = [kp](const char *buf, size_t n) -> long {
            std::string value(buf, n);
            std::lock_guard hold(param_lock);
            int err = kp->ops->set(value.c_str(), kp);
            return err ? err : static_cast<long>(n);
        };
        kern::vfs::add_attribute(sysfs_dir(m) + "/parameters/" + kp->name, kp->perm, std::move(ops));
    }
}

void publish_refcnt(Loaded &m)
{
    kern::vfs::AttrOps ops;
    ops.show = [&m](std::string &out) -> long {
        std::lock_guard hold(m.lock);
        out = std::to_string(m.refs) + "\n";
        return static_cast<long>(out.size());
    };
    kern::vfs::add_attribute(sysfs_dir(m) + "/refcnt", 0444, std::move(ops));
}

void unmap(Loaded &m)
{
    // The image's memory goes: work it left queued is reported and
    // cancelled, as the kernel's debug objects do when a module's memory is
    // freed, instead of running later from unmapped code.
    uintptr_t begin, end;
    if (m.mod && host::dl_range(m.handle, &begin, &end)) {
        kern::debug_check_no_obj_freed(reinterpret_cast<const void *>(begin), end - begin,
                                       m.mod->exit ? reinterpret_cast<const void *>(m.mod->exit)
                                                   : reinterpret_cast<const void *>(m.mod->init));
        kern::workqueue::forget_code(reinterpret_cast<const void *>(begin), end - begin);
    }
    host::dl_close(m.handle);
    if (host::dl_is_loaded(m.path.c_str()))
        printk(KERN_ERR "%s: image still mapped after unload; its next load will not start fresh\n", m.name.c_str());
}

int run_init(Loaded &m, std::string *why)
{
    int ret = m.mod->init ? m.mod->init() : 0;
    if (ret > 0)
        printk(KERN_WARNING "do_init_module: '%s'->init suspiciously returned %d, it should follow 0/-E convention\n",
               m.name.c_str(), ret);
    if (ret < 0)
        return refuse(why, ret, "init failed with " + std::to_string(ret));
    return 0;
}

} // namespace

namespace khost {

int insmod(const std::string &path, const std::vector<std::string> &args, std::string *why)
{
    std::lock_guard hold(loader_lock);
    auto m = std::make_unique<Loaded>();
    m->path = path;
    const char *dl_why = nullptr;
    m->handle = host::dl_open(path.c_str(), &dl_why);
    if (!m->handle)
        return refuse(why, -ENOEXEC, dl_why ? dl_why : "cannot map the image");
    m->mod = static_cast<struct module *>(host::dl_sym(m->handle, "__this_module"));
    if (!m->mod) {
        host::dl_close(m->handle);
        return refuse(why, -ENOEXEC, path + " is not a kernel module");
    }
    m->name = m->mod->name;
    if (modules.count(m->name)) {
        host::dl_close(m->handle);
        return refuse(why, -EEXIST, "module " + m->name + " is already loaded");
    }
    int err = apply_params(m->mod, args, why);
    if (err) {
        unmap(*m);
        return err;
    }
    m->mod->loader_private = m.get();
    publish_params(*m);
    publish_refcnt(*m);
    err = run_init(*m, why);
    if (err) {
        kern::vfs::remove(sysfs_dir(*m));
        unmap(*m);
        return err;
    }
    {
        std::lock_guard state_guard(m->lock);
        m->state = State::Live;
    }
    modules[m->name] = std::move(m);
    return 0;
}

int rmmod(const std::string &name, std::string *why)
{
    std::lock_guard hold(loader_lock);
    auto it = modules.find(name);
    if (it == modules.end())
        return refuse(why, -ENOENT, "module " + name + " is not loaded");
    Loaded &m = *it->second;
    {
        std::lock_guard state_guard(m.lock);
        if (m.refs > 0)
            return refuse(why, -EBUSY, "module " + name + " is in use");
        m.state = State::Going;
    }
    if (!m.mod->exit) {
        std::lock_guard state_guard(m.lock);
        m.state = State::Live;
        return refuse(why, -EBUSY, "module " + name + " has no exit and cannot be unloaded");
    }
    m.mod->exit();
    kern::vfs::remove(sysfs_dir(m));
    unmap(m);
    modules.erase(it);
    return 0;
}

std::vector<std::string> lsmod()
{
    std::lock_guard hold(loader_lock);
    std::vector<std::string> out;
    for (auto &[name, m] : modules)
        out.push_back(name);
    return out;
}

std::string module_path() { return std::string(QUORVEL_MODULE_DIR) + "/quorvel_linux_module.ko"; }

} // namespace khost

extern "C" {

// Modules not loaded through the loader (built into a test, say) are always live.
bool try_module_get(struct module *mod)
{
    Loaded *m = record_of(mod);
    if (!m)
        return true;
    std::lock_guard hold(m->lock);
    if (m->state == State::Going)
        return false;
    m->refs++;
    return true;
}

void module_put(struct module *mod)
{
    Loaded *m = record_of(mod);
    if (!m)
        return;
    std::lock_guard hold(m->lock);
    m->refs--;
}

} // extern "C"
