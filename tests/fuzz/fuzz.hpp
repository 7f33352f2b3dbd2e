#pragma once
// A fuzzer of the module's device surface on the kernel layer: rounds of
// random system calls from several programs at once (open, read, write,
// ioctl with real and random requests, poll, close, sysfs reads and writes),
// between which one program alone reloads the module, unbinds and binds its
// devices, arms failure rules and changes how the co-processor spoils its
// replies. Every call sequence follows from the start value; what threads
// interleave does not.
//
// What it checks, besides what the sanitizers see:
// - no call waits without bound (a watchdog);
// - under a co-processor whose every reply must fail its check, no call
//   that made an exchange reports success (a list of known cases aside);
// - the module's link statistics add up to what the co-processor received
//   and sent;
// - the kernel layer leaves no WARNING or BUG report.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qfuzz {

struct Options {
    uint64_t start = 1;
    unsigned threads = 4;
    double seconds = 60;          // run time; rounds stop after it
    unsigned ops_per_round = 200; // per thread
    unsigned max_rounds = 0;      // 0: until the time is up
    // The kernel layer's tick rate. Every bounded wait of the module is
    // counted in ticks (a reply byte's 100), so a faster tick makes a long
    // run's spoilt replies cheaper without changing what is called.
    unsigned hz = 1000;
    bool verbose = false;
    bool trace = false; // every call on standard error as it begins
    // Lifecycle changes (reload, unbind) run alone, between rounds, unless
    // this is set: then they run while the others call in.
    bool races = false;
    std::function<void(const std::string &)> progress; // a line now and then
};

struct Finding {
    std::string rule; // "success-without-reply", "stats", "report", "made-up-transfer", "bind", "surface"
    std::string what;
};

struct Result {
    uint64_t calls = 0; // system calls made
    uint64_t rounds = 0;
    double seconds = 0;
    std::vector<Finding> findings; // rule broken
    std::vector<Finding> known;    // rule broken in a way docs/decisions.md keeps, or mended elsewhere
};

Result run(const Options &options);

// The same callers through real system calls on the running system's /dev
// and /sys (system.cpp): for the module in the VM's Linux, or for a board's
// kernel layer through its preload library. The module must be loaded.
Result run_system(const Options &options);

} // namespace qfuzz
