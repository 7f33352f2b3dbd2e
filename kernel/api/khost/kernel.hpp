#pragma once
// The host's view of the kernel layer: boot it, load modules into it, read
// its log. Used by the board program and the tests, never by a module.
#include <cstdint>
#include <string>
#include <vector>

namespace khost {

struct BootConfig {
    // Host tty that the board's serial line "/dev/ttyS3" stands for; empty
    // leaves the line absent (opening it fails with -ENOENT).
    std::string serial_path;
    unsigned hz = 250;          // tick rate
    uint32_t prandom_start = 1; // starting value of prandom_u32's generator
};

// Starts the kernel layer's services (clock, system work queue). One kernel
// per process at a time; halt() unloads what is still loaded and stops them.
void boot(const BootConfig &config);
void halt();
bool booted();

// Points "/dev/ttyS3" at another host tty; takes effect at the next open.
void set_serial_path(const std::string &host_path);
std::string serial_path();

unsigned hz();
void prandom_restart(uint32_t value);

// ---- modules ----
// Loads the kernel object at `path` with "name=value" arguments and runs its
// init. 0, or a negative errno; `why` gets the loader's reason on refusal.
int insmod(const std::string &path, const std::vector<std::string> &args, std::string *why = nullptr);
// Runs the module's exit and unloads it; -EBUSY while a program holds one of
// its files open, -ENOENT if no such module is loaded.
int rmmod(const std::string &name, std::string *why = nullptr);
std::vector<std::string> lsmod();
// Where the build put the board's module.
std::string module_path();

// Open file descriptors and threads of this process, for leak checks.
int process_fd_count();
int process_thread_count();

// ---- kernel log ----
// The log holds the newest records that fit in 128 KiB, as the kernel's
// default buffer does, each costing a 16-byte header and its text; a line is
// at most 992 characters (a longer continued line goes on in a new record).
struct LogRecord {
    uint64_t seq;
    int64_t time_ns; // since boot
    int level;       // 0..7; 3 is error
    std::string text;
};
std::vector<LogRecord> log_records();
void log_clear();
// The log as dmesg prints it; clear empties it afterwards.
std::string dmesg(bool clear = false);
// True if some record's text contains `needle`.
bool log_contains(const std::string &needle);
// The WARNING and BUG reports made since the last call, one line each
// ("WARNING: CPU: 0 PID: 7 at kernel/src/mutex.cpp:80 ...: message"), and
// forgets them. Tests fail when a report is left untaken at their end.
std::vector<std::string> take_warnings();

} // namespace khost
