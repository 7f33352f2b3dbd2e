#pragma once
// What the runners write to the driver core's and the GPIO and PWM cores'
// files, on the kernel layer (khost::Program) or a running system
// (SysProgram) alike: unbind and bind of the module's platform devices, and
// the exported lines given back.
#include "surface.hpp"
#include "watchdog.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qfuzz {

// The write's result, or the open's error.
template <class P> long write_file(P &p, const std::string &path, const std::string &text)
{
    const long fd = p.open(path, 1);
    if (fd < 0)
        return fd;
    const long n = p.write(static_cast<int>(fd), text.data(), text.size());
    p.close(static_cast<int>(fd));
    return n;
}

// `file` is "unbind" or "bind"; `device` is "driver/device".
template <class P> long bind_file(P &p, const std::string &device, const char *file)
{
    const auto slash = device.find('/');
    return write_file(p, "/sys/bus/platform/drivers/" + device.substr(0, slash) + "/" + file, device.substr(slash + 1));
}

template <class P> bool bound(const P &p, const std::string &device)
{
    khost::DirEntry e;
    return p.stat("/sys/bus/platform/drivers/" + device, &e, false) == 0;
}

// Exported GPIOs and PWM channels hold the module, as on Linux: they are
// given back before an unload, and at the end of a run.
template <class P> void unexport_all(P &p)
{
    std::vector<khost::DirEntry> entries;
    if (p.list("/sys/class/gpio", &entries) >= 0)
        for (const auto &e : entries)
            if (e.name.starts_with("gpio") && !e.name.starts_with("gpiochip"))
                (void)write_file(p, "/sys/class/gpio/unexport", e.name.substr(4));
    std::vector<khost::DirEntry> chips;
    if (p.list("/sys/class/pwm", &chips) >= 0)
        for (const auto &chip : chips) {
            std::vector<khost::DirEntry> channels;
            const std::string dir = "/sys/class/pwm/" + chip.name;
            if (p.list(dir, &channels) >= 0)
                for (const auto &c : channels)
                    if (c.name.starts_with("pwm"))
                        (void)write_file(p, dir + "/unexport", c.name.substr(3));
        }
}

// Unbinds and binds devices drawn from `devices` until `stop`, each write
// watched in `slot`; devices whose names hold one of `left_alone` are not
// drawn.
template <class P>
void race_binds(P &p, std::vector<std::string> devices, Rng rng, Watchdog &dog, size_t slot,
                const std::atomic<bool> &stop, std::initializer_list<std::string_view> left_alone)
{
    std::erase_if(devices, [&](const std::string &d) {
        return std::any_of(left_alone.begin(), left_alone.end(),
                           [&](std::string_view w) { return d.find(w) != std::string::npos; });
    });
    while (!stop && !devices.empty()) {
        const std::string dev = rng.pick(devices);
        for (const char *file : {"unbind", "bind"}) {
            dog.begin(slot, std::string(file) + " " + dev);
            (void)bind_file(p, dev, file);
            dog.end(slot);
        }
    }
}

// One round of programs calling at once: each caller makes `calls` calls,
// each handed to `check`, then closes its files (its watchdog slot is its
// index); `race`, when given, runs beside them until they are done.
template <class C>
void call_at_once(std::vector<std::unique_ptr<C>> &callers, unsigned calls, const Surface &s, Watchdog &dog,
                  const std::function<void(const Call &)> &check,
                  const std::function<void(const std::atomic<bool> &)> &race)
{
    std::vector<std::thread> threads;
    for (size_t t = 0; t < callers.size(); t++)
        threads.emplace_back([&, t] {
            C &c = *callers[t];
            for (unsigned i = 0; i < calls; i++)
                check(c.step(s));
            c.close_all();
            dog.end(t);
        });
    std::atomic<bool> stop{false};
    std::thread racer;
    if (race)
        racer = std::thread([&] { race(stop); });
    for (auto &t : threads)
        t.join();
    stop = true;
    if (racer.joinable())
        racer.join();
}

} // namespace qfuzz
