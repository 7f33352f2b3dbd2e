// Boot and halt of the kernel layer.
#include <linux/workqueue.h>

#include "clock.hpp"
#include "gpiolib.hpp"
#include "host/host.hpp"
#include "kthread_internal.hpp"
#include "lockdep.hpp"
#include "random.hpp"
#include "serial_line.hpp"
#include "spi_internal.hpp"
#include "workqueue_internal.hpp"

#include <khost/kernel.hpp>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<bool> is_booted{false};
}

namespace khost {

void boot(const BootConfig &config)
{
    if (is_booted.exchange(true))
        halt();
    is_booted = true;
    kern::clock::reset(config.hz);
    kern::prandom_restart(config.prandom_start);
    kern::serial::set_path(config.serial_path);
    kern::serial::trace_reset();
    kern::lockdep::reset();
    kern::workqueue::start();
    kern::gpio::sysfs_init();
    kern::spi::spidev_init();
}

// Unloads what is still loaded, then stops the system work queue after it has
// run what was queued.
void halt()
{
    if (!is_booted.exchange(false))
        return;
    // Work already queued runs first: a tty's release after its last close
    // still holds its module until then.
    flush_scheduled_work();
    auto names = lsmod();
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        std::string why;
        if (rmmod(*it, &why) != 0)
            std::fprintf(stderr, "kernel: halt cannot unload %s: %s\n", it->c_str(), why.c_str());
    }
    kern::workqueue::stop();
    kern::reap_kthreads();
}

bool booted() { return is_booted; }

void set_serial_path(const std::string &host_path) { kern::serial::set_path(host_path); }
std::string serial_path() { return kern::serial::path(); }
unsigned hz() { return kern::clock::hz(); }
void prandom_restart(uint32_t value) { kern::prandom_restart(value); }
int process_fd_count() { return host::count_open_fds(); }
int process_thread_count() { return host::count_threads(); }

} // namespace khost
