// Whether the board's memory holds flat over many loads and unloads of the
// module: runs the cycles on a booted kernel layer with a simulated
// co-processor and prints, every tenth of the run, the process's resident
// size, the C allocator's bytes in use and the live C++ allocations (counted
// here, by every thread), then the growth per cycle after the warm-up.
//
//   build/bench/quorvel_load_cycles                 # 10,000 cycles of insmod; rmmod
//   build/bench/quorvel_load_cycles -n 3500 -x      # each load also asks the version once
//
// Exit status 1 when the live allocations grew after the warm-up.
#include <coproc/simulator.hpp>
#include <khost/kernel.hpp>
#include <khost/program.hpp>

#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <malloc.h>
#include <new>
#include <unistd.h>

namespace {

std::atomic<long> live_allocs{0};
std::atomic<long> live_bytes{0};

void *counted(void *p)
{
    if (!p)
        throw std::bad_alloc();
    live_allocs.fetch_add(1, std::memory_order_relaxed);
    live_bytes.fetch_add(static_cast<long>(malloc_usable_size(p)), std::memory_order_relaxed);
    return p;
}

void uncounted(void *p)
{
    if (!p)
        return;
    live_allocs.fetch_sub(1, std::memory_order_relaxed);
    live_bytes.fetch_sub(static_cast<long>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}

} // namespace

// Every C++ allocation of the process, the kernel layer's included: the
// library's calls bind to these. The array and nothrow forms call them.
void *operator new(size_t n) { return counted(std::malloc(n ? n : 1)); }
void *operator new(size_t n, std::align_val_t a)
{
    const auto align = static_cast<size_t>(a);
    return counted(std::aligned_alloc(align, (n + align - 1) / align * align));
}
void operator delete(void *p) noexcept { uncounted(p); }
void operator delete(void *p, size_t) noexcept { uncounted(p); }
void operator delete(void *p, std::align_val_t) noexcept { uncounted(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { uncounted(p); }

namespace {

struct Sample {
    long rss_kib;
    size_t heap_bytes; // main arena and mapped chunks, after giving back what is free
    long allocs;
    long alloc_bytes;
};

Sample sample()
{
    malloc_trim(0);
    const struct mallinfo2 info = mallinfo2();
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return {resident * (sysconf(_SC_PAGESIZE) / 1024), info.uordblks + info.hblkhd, live_allocs.load(),
            live_bytes.load()};
}

void print(long cycle, const Sample &s)
{
    fmt::print("{:>8} {:>10} {:>12} {:>12} {:>12}\n", cycle, s.rss_kib, s.heap_bytes, s.allocs, s.alloc_bytes);
    std::fflush(stdout);
}

// One load and unload; with `exchange`, a program asks the version between.
bool cycle(bool exchange)
{
    std::string why;
    if (int err = khost::insmod(khost::module_path(), {}, &why)) {
        fmt::print(stderr, "insmod: {} ({})\n", why, err);
        return false;
    }
    if (exchange) {
        khost::Program p;
        const long fd = p.open("/dev/quorvel_config", 2);
        uint8_t version[2];
        if (fd < 0 || p.ioctl(static_cast<int>(fd), 0x5201, reinterpret_cast<unsigned long>(version)) != 0) {
            fmt::print(stderr, "version request failed\n");
            return false;
        }
        p.close(static_cast<int>(fd));
    }
    if (int err = khost::rmmod("quorvel_linux_module", &why)) {
        fmt::print(stderr, "rmmod: {} ({})\n", why, err);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Loads and unloads the module many times and prints how the process's memory grows."};
    long cycles = 10000, warmup = 500;
    bool exchange = false;
    app.add_option("-n,--cycles", cycles, "cycles measured")->check(CLI::PositiveNumber);
    app.add_option("-w,--warmup", warmup, "cycles first run unmeasured: the kernel log fills, the allocator settles")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("-x,--exchange", exchange, "each load also asks the co-processor's version once");
    CLI11_PARSE(app, argc, argv);

    coproc::Simulator sim;
    khost::BootConfig config;
    config.serial_path = sim.tty_path();
    config.hz = 1000;
    khost::boot(config);

    for (long i = 0; i < warmup; i++)
        if (!cycle(exchange))
            return 2;
    fmt::print("{} cycles of insmod;{} rmmod after {} to warm up\n", cycles, exchange ? " version;" : "", warmup);
    fmt::print("{:>8} {:>10} {:>12} {:>12} {:>12}\n", "cycle", "rss KiB", "heap bytes", "C++ allocs", "C++ bytes");
    const Sample start = sample();
    print(0, start);
    Sample end = start;
    const long step = std::max(cycles / 10, 1L);
    for (long i = 1; i <= cycles; i++) {
        if (!cycle(exchange))
            return 2;
        if (i % step == 0 || i == cycles) {
            end = sample();
            print(i, end);
        }
    }
    khost::halt();

    const auto per_cycle = [&](double grown) { return grown / static_cast<double>(cycles); };
    fmt::print("growth per cycle: rss {:.1f} B, heap {:.1f} B, C++ allocations {:.3f} ({:.1f} B)\n",
               per_cycle(static_cast<double>(end.rss_kib - start.rss_kib) * 1024),
               per_cycle(static_cast<double>(end.heap_bytes) - static_cast<double>(start.heap_bytes)),
               per_cycle(static_cast<double>(end.allocs - start.allocs)),
               per_cycle(static_cast<double>(end.alloc_bytes - start.alloc_bytes)));
    if (end.allocs > start.allocs) {
        fmt::print("live allocations grew: not flat\n");
        return 1;
    }
    fmt::print("flat\n");
    return 0;
}
