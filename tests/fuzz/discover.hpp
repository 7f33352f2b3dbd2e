#pragma once
// The templates behind discover() and discover_module(), for discover.cpp's
// instantiations and for tests that hand them a made-up tree.
#include "surface.hpp"

#include <algorithm>
#include <string_view>

namespace qfuzz {

namespace {

constexpr int kMaxDepth = 9;

bool skipped_node(const std::string &path) { return path == "/dev/ttyS3"; }

bool runner_file(const std::string &name) { return name == "bind" || name == "unbind"; }

template <class P> void walk(const P &p, const std::string &dir, int depth, Surface *s)
{
    std::vector<khost::DirEntry> entries;
    if (depth > kMaxDepth || p.list(dir, &entries) < 0)
        return;
    for (const auto &e : entries) {
        const std::string path = dir + "/" + e.name;
        if (e.type == 'd')
            walk(p, path, depth + 1, s);
        else if (e.type == 'c' && !skipped_node(path))
            s->nodes.push_back(path);
        else if (e.type == 'f' && !runner_file(e.name)) {
            if (e.mode & 0444)
                s->readable.push_back(path);
            if (e.mode & 0222)
                s->writable.push_back(path);
        }
    }
}

constexpr const char *kPlatformDrivers = "/sys/bus/platform/drivers";

template <class P> void platform(const P &p, Surface *s)
{
    std::vector<khost::DirEntry> drivers;
    if (p.list(kPlatformDrivers, &drivers) < 0)
        return;
    for (const auto &d : drivers) {
        s->drivers.push_back(d.name);
        std::vector<khost::DirEntry> entries;
        const std::string dir = std::string(kPlatformDrivers) + "/" + d.name;
        if (p.list(dir, &entries) < 0)
            continue;
        for (const auto &e : entries)
            if (e.type == 'l' && e.name != "module")
                s->devices.push_back(d.name + "/" + e.name);
    }
}

constexpr std::string_view kModule = "quorvel_linux_module";

// The class devices the module makes without a parent device, by name: its
// character devices, and the virtual serial port's ttys.
const std::string_view kClassDevices[] = {"quorvel_config", "quorvel_count", "ws_2812", "buzzer",     "dht",
                                          "ds18b20",        "icm20689",      "sr04",    "gp2y1010au", "ir_send",
                                          "ir_recv"};

bool module_class_device(std::string_view name)
{
    return name.starts_with("ttySP") ||
           std::find(std::begin(kClassDevices), std::end(kClassDevices), name) != std::end(kClassDevices);
}

// Attributes of Linux's driver core that decide how a device is matched or
// powered; the kernel layer has none of them and a run writes to none (a
// random driver_override leaves a device that no driver will bind).
bool driver_core_file(const std::string &path)
{
    return path.ends_with("/driver_override") || path.find("/power/") != std::string::npos;
}

// A sysfs link's target taken from the directory that holds the link:
// sysfs links are relative and lead to no further link, so "." and ".."
// are all there is to resolve.
std::string resolve(const std::string &dir, const std::string &target)
{
    std::vector<std::string> parts;
    const std::string path = target.starts_with('/') ? target : dir + "/" + target;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        const std::string part = path.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto &p : parts)
        out += "/" + p;
    return out;
}

template <class P> bool module_driver(const P &p, const std::string &dir)
{
    khost::DirEntry e;
    return p.stat(dir + "/module", &e, false) == 0 && e.type == 'l' &&
           resolve(dir, e.target).ends_with("/" + std::string(kModule));
}

// The module's platform drivers and the devices bound to them, and the
// directories of those devices.
template <class P> void module_platform(const P &p, Surface *s, std::vector<std::string> *roots)
{
    std::vector<khost::DirEntry> drivers;
    if (p.list(kPlatformDrivers, &drivers) < 0)
        return;
    for (const auto &d : drivers) {
        const std::string dir = std::string(kPlatformDrivers) + "/" + d.name;
        std::vector<khost::DirEntry> entries;
        if (!module_driver(p, dir) || p.list(dir, &entries) < 0)
            continue;
        s->drivers.push_back(d.name);
        for (const auto &e : entries)
            if (e.type == 'l' && e.name != "module") {
                s->devices.push_back(d.name + "/" + e.name);
                roots->push_back(resolve(dir, e.target));
            }
    }
}

template <class P> void module_class_devices(const P &p, std::vector<std::string> *roots)
{
    std::vector<khost::DirEntry> classes;
    if (p.list("/sys/devices/virtual", &classes) < 0)
        return;
    for (const auto &c : classes) {
        std::vector<khost::DirEntry> devices;
        const std::string dir = "/sys/devices/virtual/" + c.name;
        if (c.type == 'd' && p.list(dir, &devices) >= 0)
            for (const auto &d : devices)
                if (d.type == 'd' && module_class_device(d.name))
                    roots->push_back(dir + "/" + d.name);
    }
}

// A device directory with a "dev" attribute has its node in /dev under the
// directory's name. The GPIO chip's own character device is left out: Linux
// 4.4 has none, and the kernel layer's run does not call it.
template <class P> void nodes_of(const P &p, Surface *s)
{
    for (const auto &path : s->readable) {
        if (!path.ends_with("/dev"))
            continue;
        const std::string dir = path.substr(0, path.size() - 4);
        const std::string node = "/dev" + dir.substr(dir.rfind('/'));
        khost::DirEntry e;
        if (!node.starts_with("/dev/gpiochip") && !skipped_node(node) && p.stat(node, &e, true) == 0 && e.type == 'c')
            s->nodes.push_back(node);
    }
}

// The GPIO core's export and unexport, not what they lead to.
template <class P> void gpio_core_files(const P &p, Surface *s)
{
    std::vector<khost::DirEntry> entries;
    if (p.list("/sys/class/gpio", &entries) < 0)
        return;
    for (const auto &e : entries)
        if (e.type == 'f' && (e.mode & 0222))
            s->writable.push_back("/sys/class/gpio/" + e.name);
}

void sort_unique(std::vector<std::string> *v)
{
    std::sort(v->begin(), v->end());
    v->erase(std::unique(v->begin(), v->end()), v->end());
}

} // namespace

template <class P> Surface discover(const P &p)
{
    Surface s;
    walk(p, "/dev", 0, &s);
    walk(p, "/sys/class", 0, &s);
    walk(p, "/sys/devices", 0, &s);
    walk(p, "/sys/module", 0, &s);
    walk(p, "/sys/kernel/debug", 0, &s);
    sort_unique(&s.readable);
    sort_unique(&s.writable);
    platform(p, &s);
    return s;
}

template <class P> Surface discover_module(const P &p)
{
    Surface s;
    std::vector<std::string> roots;
    module_platform(p, &s, &roots);
    module_class_devices(p, &roots);
    roots.push_back("/sys/module/" + std::string(kModule));
    roots.push_back("/sys/kernel/debug/quorvel");
    for (const auto &root : roots)
        walk(p, root, 0, &s);
    gpio_core_files(p, &s);
    std::erase_if(s.readable, driver_core_file);
    std::erase_if(s.writable, driver_core_file);
    sort_unique(&s.readable);
    sort_unique(&s.writable);
    nodes_of(p, &s);
    // In one order whatever order the directories list in, so that a start
    // value draws the same files on either kernel.
    sort_unique(&s.nodes);
    sort_unique(&s.drivers);
    sort_unique(&s.devices);
    return s;
}

} // namespace qfuzz
