#pragma once
// The device surface as a program finds it, and the calls the fuzzer makes
// on it: each drawn from a generator, each described in a line for reports.
// The program type P is khost::Program (a program on the kernel layer) or
// SysProgram (real system calls, on the VM's Linux or through the board's
// preload library); both are instantiated in surface.cpp, so the two runs
// make the same calls from the same start value.
#include "system_program.hpp"

#include <khost/program.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qfuzz {

// splitmix64: small, fast and the same on every platform.
class Rng {
public:
    explicit Rng(uint64_t start) : state_(start) {}
    uint64_t next();
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <class T> const T &pick(const std::vector<T> &v) { return v[below(v.size())]; }

private:
    uint64_t state_;
};

struct Surface {
    std::vector<std::string> nodes;    // character devices under /dev
    std::vector<std::string> readable; // attribute files
    std::vector<std::string> writable;
    std::vector<std::string> drivers; // /sys/bus/platform/drivers/NAME of the module's
    std::vector<std::string> devices; // "driver/device" pairs bound now
};

// Walks /dev and /sys as they are now. The control line and the bind and
// unbind files are left out: the first belongs to the module, the others
// are the runner's. Everything the kernel layer has is the module's, or a
// core's file the module's devices use.
template <class P> Surface discover(const P &p);

// The module's part of /dev and /sys alone, for a running system where
// everything else is the machine's own (writing random bytes to an
// arbitrary /sys file of a real kernel can power it off): the files below
// the devices of the module's platform drivers, its class devices, its
// parameters and statistics, and the GPIO core's export files. On the
// kernel layer it finds what discover() finds.
template <class P> Surface discover_module(const P &p);

// What a call did, for the runner's checks.
struct Call {
    std::string what; // e.g. "read /dev/quorvel_config 48"
    long result = 0;
    bool gives = false;      // a result that tells of data or a change
    bool bad_buffer = false; // a read or write of count > 0 given no buffer or an unmapped one
};

// A read or write whose buffer was null or unmapped must fail (-EFAULT, or
// an error before any copy): a count of bytes moved is made up. Empty when
// the call keeps that rule, else the finding's text.
std::string made_up_transfer(const Call &call);

// A program's open files and scratch memory; each call is drawn from rng.
template <class P> class Caller {
public:
    Caller(std::string name, uint64_t start);
    ~Caller();
    Caller(const Caller &) = delete;
    Caller &operator=(const Caller &) = delete;

    // One random call on the surface.
    Call step(const Surface &s);
    void close_all();
    uint64_t calls() const { return calls_; }
    Rng &rng() { return rng_; }
    // Told each call's description just before it is made.
    void on_call(std::function<void(const std::string &)> hook) { hook_ = std::move(hook); }

private:
    struct Open {
        int fd;
        std::string path;
    };
    Call do_open(const Surface &s);
    Call do_read(const Open &f);
    Call do_write(const Open &f);
    Call do_ioctl(const Open &f);
    Call do_poll(const Open &f);
    Call do_close(size_t index);
    Call sysfs_read(const Surface &s);
    Call sysfs_write(const Surface &s);
    size_t size();
    void *buffer(size_t size, bool *bad);
    unsigned long ioctl_arg(unsigned request);
    void note(const std::string &what)
    {
        if (hook_)
            hook_(what);
    }

    P program_;
    Rng rng_;
    std::vector<Open> open_;
    std::vector<uint8_t> scratch_;
    uint64_t calls_ = 0;
    std::function<void(const std::string &)> hook_;
};

using LayerCaller = Caller<khost::Program>;
using SysCaller = Caller<SysProgram>;

// Requests the module's nodes answer, and those of the cores behind them.
const std::vector<unsigned> &real_requests();

} // namespace qfuzz
