// The fuzzer through real system calls (quorvel-fuzz --system): the same
// callers and the same calls as the kernel layer's run, made by a program
// of the running system on the module's part of its /dev and /sys. In the
// VM that is Linux 6.1 (and its debug kernel) with the module the board
// loaded; on the host, the kernel layer behind the board's preload library.
//
// What a program can do from user space is all it does: random calls from
// several threads, and with --races unbind and bind of the module's
// platform devices meanwhile. Loading, unloading and failure injection are
// the board's and the kernel layer's, and so are the checks that need the
// co-processor's or the kernel's own accounts (the spoilt-reply rounds, the
// link statistics). Checked here: no call waits without bound, no read or
// write through no buffer reports bytes moved, every device unbound can be
// bound again once its files are closed, and, when the program runs on a
// board, the board's kernel log has no report after a round (the VM test
// also reads the guest's console, which an oops reaches first).
#include "fuzz.hpp"
#include "board_log.hpp"
#include "known.hpp"
#include "surface.hpp"
#include "sysfs_files.hpp"
#include "watchdog.hpp"

#include "../vm/guest_reports.hpp"

#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace qfuzz {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// As on the kernel layer: longer than the longest legitimate call.
constexpr auto kHangLimit = 120s;
constexpr size_t kRaceSlot = Watchdog::kSlots - 2;
constexpr size_t kMainSlot = Watchdog::kSlots - 1;
constexpr size_t kMaxFindings = 40;

class SystemRunner {
public:
    explicit SystemRunner(const Options &o) : o_(o), rng_(o.start), dog_(kHangLimit)
    {
        dog_.trace(o.trace);
        for (unsigned t = 0; t < o.threads; t++) {
            callers_.push_back(std::make_unique<SysCaller>(fmt::format("fuzz{}", t), o.start * 1000 + t));
            callers_.back()->on_call([this, t](const std::string &w) { dog_.begin(t, w); });
        }
    }

    Result run();

private:
    void find(const std::string &rule, const std::string &what, bool known = false);
    void check_transfer(const Call &call)
    {
        if (const std::string made_up = made_up_transfer(call); !made_up.empty()) {
            const char *reason = known_transfer(call.what);
            find("made-up-transfer", reason ? made_up + ": " + reason : made_up, reason != nullptr);
        }
    }
    void round();
    void bind_again();
    void check_log();
    void progress(Clock::time_point started);

    Options o_;
    Rng rng_;
    Watchdog dog_;
    SysProgram runner_{"runner"};
    BoardLog log_;
    Result result_;
    Surface surface_;
    std::set<std::string> devices_; // every "driver/device" seen bound
    std::vector<std::unique_ptr<SysCaller>> callers_;
    std::mutex find_mu_;
    std::set<std::string> seen_;
};

void SystemRunner::find(const std::string &rule, const std::string &what, bool known)
{
    // A report is told apart by where it was made, not by which task made it.
    const auto at = what.find(" at ");
    const std::string key = rule == "report" && at != std::string::npos ? what.substr(at) : finding_key(what);
    std::lock_guard lock(find_mu_);
    if (!seen_.insert(rule + " " + key).second)
        return;
    auto &list = known ? result_.known : result_.findings;
    if (list.size() < kMaxFindings)
        list.push_back({rule, what});
    if (o_.progress && (!known || o_.verbose))
        o_.progress(fmt::format("{} {}: {}", known ? "known" : "FINDING", rule, what));
}

void SystemRunner::round()
{
    // The races leave the I2C adapter alone, as on the kernel layer (its
    // unbind waits for /dev/i2c-0 to be closed), and the SPI masters too:
    // Linux's spidev (6.1's as 4.4's) takes its device under a spinlock and
    // calls spi_sync holding nothing, and its remove does not wait for a
    // transfer under way, so an unbind during a transfer frees the device
    // and the master under it (an oops in the guest within seconds). That
    // is Linux's fault, not the module's (docs/backends.md).
    std::function<void(const std::atomic<bool> &)> race;
    if (o_.races)
        race = [this](const std::atomic<bool> &stop) {
            SysProgram p("races");
            race_binds(p, surface_.devices, Rng(rng_.next()), dog_, kRaceSlot, stop, {"i2c", "spi"});
        };
    call_at_once(
        callers_, o_.ops_per_round, surface_, dog_, [this](const Call &c) { check_transfer(c); }, race);
}

// With every file closed, a device the races left unbound (its bind
// refused) must bind again; one that does not is lost until a reload.
void SystemRunner::bind_again()
{
    for (const auto &dev : devices_) {
        if (bound(runner_, dev))
            continue;
        dog_.begin(kMainSlot, "bind " + dev);
        long r = bind_file(runner_, dev, "bind");
        // 6.1 gives a GPIO chip's numbers back only when its device is
        // released, and a debug kernel (DEBUG_KOBJECT_RELEASE) releases one
        // to four seconds late: until then the bind is refused as busy.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (r == -EBUSY && !bound(runner_, dev) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            r = bind_file(runner_, dev, "bind");
        }
        dog_.end(kMainSlot);
        if (r <= 0 && !bound(runner_, dev))
            find("bind", fmt::format("bind {} -> {}: the device cannot be bound again with its files closed", dev, r));
    }
}

// The kernel's reports since the last round (a WARNING, a BUG, an oops,
// what the debug kernel's checks print), each with the line after it,
// which says what was wrong.
void SystemRunner::check_log()
{
    if (!log_.present())
        return;
    const std::vector<std::string> lines = log_.take();
    for (size_t i = 0; i < lines.size(); i++) {
        if (vmtest::kernel_reports(lines[i]).empty())
            continue;
        std::string r = lines[i];
        if (i + 1 < lines.size())
            r += ": " +
                 lines[i + 1].substr(lines[i + 1].find("] ") == std::string::npos ? 0 : lines[i + 1].find("] ") + 2);
        const char *reason = known_report(r);
        find("report", reason ? r + ": " + reason : r, reason != nullptr);
    }
}

void SystemRunner::progress(Clock::time_point started)
{
    const double s = std::chrono::duration<double>(Clock::now() - started).count();
    o_.progress(fmt::format("round {}, {} calls, {:.0f} calls/s, {} findings, {} known", result_.rounds, result_.calls,
                            static_cast<double>(result_.calls) / s, result_.findings.size(), result_.known.size()));
}

Result SystemRunner::run()
{
    const auto started = Clock::now();
    auto last_progress = started;
    (void)log_.take(); // the boot's and the load's, not this run's
    for (uint64_t round_no = 0;; round_no++) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        if (elapsed >= o_.seconds || (o_.max_rounds && round_no >= o_.max_rounds))
            break;
        surface_ = discover_module(runner_);
        if (surface_.drivers.empty()) {
            find("surface", "none of the module's platform drivers is registered: is the module loaded?");
            break;
        }
        devices_.insert(surface_.devices.begin(), surface_.devices.end());
        round();
        bind_again();
        check_log();
        result_.rounds = round_no + 1;
        result_.calls = 0;
        for (const auto &c : callers_)
            result_.calls += c->calls();
        if (o_.progress && Clock::now() - last_progress > 5s) {
            last_progress = Clock::now();
            progress(started);
        }
    }
    // The lines it exported, given back; on a system without the module
    // (nothing called) the GPIO lines are the machine's, and left alone.
    if (!devices_.empty())
        unexport_all(runner_);
    result_.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return result_;
}

} // namespace

Result run_system(const Options &options)
{
    SystemRunner runner(options);
    return runner.run();
}

} // namespace qfuzz
