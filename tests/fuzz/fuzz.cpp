#include "fuzz.hpp"

#include "known.hpp"
#include "surface.hpp"
#include "sysfs_files.hpp"
#include "watchdog.hpp"

#include <coproc/simulator.hpp>
#include <khost/fault.hpp>
#include <khost/kernel.hpp>
#include <khost/serial.hpp>
#include <link_stats.hpp>

#include <fmt/format.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace qfuzz {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Longer than the longest legitimate call: a 64 KiB SPI transfer of 264
// pieces, each waiting out its reply, takes under 30 s even under TSan.
constexpr auto kHangLimit = 120s;
constexpr size_t kMainSlot = Watchdog::kSlots - 1;
constexpr size_t kRaceSlot = Watchdog::kSlots - 2;
constexpr size_t kMaxFindings = 40;

const std::vector<std::vector<std::string>> kParamSets = {
    {},
    {"dev_gpio=0xff", "dev_iic1=1", "dev_spi0=1", "dev_spi1=1", "dev_uart=1", "dev_pwm=0x3", "dev_adc=0x30000",
     "dev_ws2812=1", "dev_buzz=1", "dev_dht=1", "dev_18b20=1", "dev_sr04=1", "dev_ir_send=1", "dev_ir_recv=1"},
    {"dev_gpio=0xff00ff", "dev_adc=0x5", "dev_pwm=0x300", "dev_iic1=1"},
    {"dev_spi0=1", "dev_spi1=1", "dev_uart=1", "dev_dht=1", "dev_buzz=1"},
};

// Replies under the strict peer all fail their check, whatever is drawn. A
// refusal (a status other than 0) is a valid reply, so it is not among them;
// the refusal rounds have it alone.
const std::vector<coproc::FaultKind> kStrictKinds = {
    coproc::FaultKind::NoReply,    coproc::FaultKind::ShortReply,   coproc::FaultKind::WrongHead,
    coproc::FaultKind::WrongTail,  coproc::FaultKind::WrongCommand, coproc::FaultKind::BadCrc,
    coproc::FaultKind::StaleBytes, coproc::FaultKind::WrongType,
};

// The module writes each request whole, but a busy host's pseudo-terminal
// may hand one over in two pieces hundreds of milliseconds apart, and the
// co-processor's usual 100 ms would then give a whole request up: the
// statistics check would blame the module for a frame the line held back.
// Nothing the fuzzer spoils is on the requests' side, so a piece always
// completes.
coproc::SimulatorOptions patient_coprocessor()
{
    coproc::SimulatorOptions o;
    o.partial_timeout = std::chrono::seconds(10);
    return o;
}

const char *const kFailNames[] = {"", "", "kmalloc", "filp_open", "device_create", "platform_driver_register"};

struct Sums {
    uint64_t requests = 0; // exchanges and sends: the requests the line took whole
    uint64_t unsent = 0;   // requests it did not (the co-processor stalled too long)
    uint64_t bytes = 0;    // drained and received
    uint64_t drained = 0;
    uint64_t ok = 0;
    uint64_t exchanges = 0;
};

Sums sums()
{
    const auto all = qtest::all_link_stats();
    Sums s;
    s.exchanges = qtest::link_total(all, "exchanges");
    s.requests = s.exchanges + qtest::link_total(all, "sent");
    s.unsent = qtest::link_total(all, "unsent");
    s.drained = qtest::link_total(all, "drained");
    s.bytes = s.drained + qtest::link_total(all, "received");
    s.ok = qtest::link_total(all, "ok");
    return s;
}

class Runner {
public:
    explicit Runner(const Options &o)
        : o_(o), rng_(o.start), dog_(std::chrono::duration_cast<std::chrono::seconds>(kHangLimit))
    {
        dog_.trace(o.trace);
        khost::boot({sim_.tty_path(), o.hz, static_cast<uint32_t>(o.start)});
        for (unsigned t = 0; t < o.threads; t++) {
            callers_.push_back(std::make_unique<LayerCaller>(fmt::format("fuzz{}", t), o.start * 1000 + t));
            callers_.back()->on_call([this, t](const std::string &w) { dog_.begin(t, w); });
        }
        oracle_ = std::make_unique<LayerCaller>("oracle", o.start * 1000 + 999);
        oracle_->on_call([this](const std::string &w) { dog_.begin(kMainSlot, w); });
    }
    ~Runner()
    {
        callers_.clear();
        oracle_.reset();
        khost::halt();
    }

    Result run();

private:
    void find(const std::string &rule, const std::string &what, bool known = false);
    bool load(const std::vector<std::string> &params);
    void ensure_loaded();
    bool settle();
    bool line_clean();
    void lifecycle();
    void coproc_step();
    void concurrent_round();
    void oracle_round(bool refusals);
    void barrier_checks();
    void races(const std::atomic<bool> &stop);
    std::string line_story(uint64_t n);
    std::string line_detail();
    void main_call(const std::string &what) { dog_.begin(kMainSlot, what); }
    void check_transfer(const Call &call)
    {
        if (const std::string made_up = made_up_transfer(call); !made_up.empty()) {
            const char *reason = known_transfer(call.what);
            find("made-up-transfer", reason ? made_up + ": " + reason : made_up, reason != nullptr);
        }
    }

    Options o_;
    Rng rng_;
    coproc::Simulator sim_{patient_coprocessor()};
    Watchdog dog_;
    Result result_;
    Surface surface_;
    std::vector<std::unique_ptr<LayerCaller>> callers_;
    std::unique_ptr<LayerCaller> oracle_;
    std::vector<std::string> unbound_; // "driver/device"
    std::mutex find_mu_;               // findings come from every caller's thread
    std::set<std::string> seen_;
    bool loaded_ = false;
    int64_t off_requests_ = 0, off_bytes_ = 0;
    bool accounts_valid_ = false;
    bool unsettled_ = false; // the last barrier's accounts did not add up
    uint64_t unsent_ = 0;    // the statistics' unsent requests when the accounts began
};

// The last requests and what went back for each, for a finding's report.
std::string Runner::line_story(uint64_t n)
{
    const auto recs = sim_.requests();
    std::string out;
    for (size_t i = recs.size() > n ? recs.size() - n : 0; i < recs.size(); i++)
        out += fmt::format("[{} => {}] ", coproc::hex(recs[i].raw), coproc::hex(recs[i].reply_sent));
    return out;
}

// What tells a line that lost bytes from one that framed them anew: the
// co-processor's skipped bytes and bad checksums, the host tty's refused
// writes and the line's settings (raw: no input or output processing), and
// the last requests.
std::string Runner::line_detail()
{
    std::string settings = "line settings unknown";
    if (const int fd = ::open(sim_.tty_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); fd >= 0) {
        struct termios t = {};
        if (::tcgetattr(fd, &t) == 0)
            settings = fmt::format("line iflag {:o} oflag {:o} lflag {:o}", t.c_iflag, t.c_oflag, t.c_lflag);
        ::close(fd);
    }
    return fmt::format("{} bytes skipped and {} bad checksums by the co-processor, {} short writes, {}; last: {}",
                       sim_.dropped_bytes(), sim_.bad_crc_count(), khost::serial_health().short_writes, settings,
                       line_story(6));
}

void Runner::find(const std::string &rule, const std::string &what, bool known)
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

bool module_loaded()
{
    const auto names = khost::lsmod();
    return std::find(names.begin(), names.end(), "quorvel_linux_module") != names.end();
}

void unexport_all()
{
    khost::Program p("unexport");
    qfuzz::unexport_all(p);
}

bool Runner::load(const std::vector<std::string> &params)
{
    if (module_loaded())
        return loaded_ = true;
    main_call("insmod");
    std::string why;
    loaded_ = khost::insmod(khost::module_path(), params, &why) == 0;
    dog_.end(kMainSlot);
    accounts_valid_ = loaded_ && settle();
    return loaded_;
}

void Runner::ensure_loaded()
{
    if (loaded_)
        return;
    khost::fail_clear();
    if (!load(rng_.pick(kParamSets)))
        (void)load({});
}

// The line is clean when a request had a good reply with nothing before it
// and nothing follows: the co-processor quiet, no fault queued, and two table
// reads of the configuration device answered, the second with nothing to
// drain. Bytes the co-processor sent that a busy host's pseudo-terminal
// delivered only after the first read's reply would otherwise be left on the
// line, counted as sent and not yet as drained.
bool Runner::line_clean()
{
    bool answered = false;
    for (int attempt = 0; attempt < 8; attempt++) {
        if (!sim_.wait_quiet(10s))
            return false;
        const Sums before = sums();
        khost::Program p("settle");
        const long fd = p.open("/dev/quorvel_config", 2);
        if (fd < 0)
            return false;
        uint8_t table[48];
        const long n = p.read(static_cast<int>(fd), table, sizeof table);
        p.close(static_cast<int>(fd));
        const Sums after = sums();
        const bool good = n == 48 && after.ok > before.ok && sim_.wait_quiet(10s);
        if (good && answered && after.drained == before.drained)
            return true;
        answered = good;
    }
    return false;
}

// Waits for the receive poller to stop (every file is closed) and for the
// co-processor to answer every request, then takes what the line and the
// statistics say as the new zero.
bool Runner::settle()
{
    sim_.clear_faults();
    std::this_thread::sleep_for(120ms); // one poller cycle, so that it sees its file closed
    if (!line_clean())
        return false;
    const Sums s = sums();
    off_requests_ = static_cast<int64_t>(sim_.request_count()) - static_cast<int64_t>(s.requests);
    off_bytes_ = static_cast<int64_t>(sim_.bytes_sent()) - static_cast<int64_t>(s.bytes);
    unsent_ = s.unsent;
    unsettled_ = false;
    return true;
}

void Runner::coproc_step()
{
    const uint64_t r = rng_.below(100);
    if (r < 35)
        return;
    if (r < 65) {
        const unsigned percents[] = {5, 20, 50, 100};
        sim_.set_hostile({.percent = percents[rng_.below(4)], .start = rng_.next()});
    } else if (r < 85) {
        for (uint64_t i = 0, n = 1 + rng_.below(3); i < n; i++) {
            const auto kind = coproc::kAllFaultKinds[rng_.below(std::size(coproc::kAllFaultKinds))];
            sim_.inject({kind, static_cast<unsigned>(rng_.below(kind == coproc::FaultKind::Delay ? 300 : 64)),
                         static_cast<unsigned>(1 + rng_.below(5)), static_cast<unsigned>(rng_.below(10))});
        }
    } else {
        sim_.send_unsolicited(coproc::Bytes(50 + rng_.below(3000), static_cast<uint8_t>(rng_.next())));
    }
}

void Runner::lifecycle()
{
    if (rng_.chance(15)) {
        unexport_all();
        main_call("rmmod");
        if (khost::rmmod("quorvel_linux_module") == 0)
            loaded_ = false;
        else
            find("unload", "rmmod refused with every program's files closed");
        dog_.end(kMainSlot);
        unbound_.clear();
        if (rng_.chance(30))
            khost::fail_nth(kFailNames[rng_.below(std::size(kFailNames))], 1 + rng_.below(80), 1);
        (void)load(rng_.pick(kParamSets));
        khost::fail_clear();
        ensure_loaded();
    }
    surface_ = discover(khost::Program("discover"));
    if (!surface_.devices.empty() && rng_.chance(25)) {
        const std::string dev = rng_.pick(surface_.devices);
        khost::Program p("unbind");
        main_call("unbind " + dev);
        if (bind_file(p, dev, "unbind") > 0)
            unbound_.push_back(dev);
        dog_.end(kMainSlot);
        surface_ = discover(p);
    }
    coproc_step();
    if (rng_.chance(20))
        khost::fail_nth(kFailNames[rng_.below(std::size(kFailNames))], 1 + rng_.below(300),
                        static_cast<unsigned>(1 + rng_.below(3)));
}

// Unbinds and binds devices while the others call in (--races). Unbinding
// the I2C adapter while a program holds /dev/i2c-0 open waits until that
// program closes it, as i2c_del_adapter does on Linux: the adapter is left
// alone.
void Runner::races(const std::atomic<bool> &stop)
{
    khost::Program p("races");
    race_binds(p, surface_.devices, Rng(rng_.next()), dog_, kRaceSlot, stop, {"i2c"});
}

void Runner::concurrent_round()
{
    std::function<void(const std::atomic<bool> &)> race;
    if (o_.races)
        race = [this](const std::atomic<bool> &stop) { races(stop); };
    call_at_once(
        callers_, o_.ops_per_round, surface_, dog_, [this](const Call &c) { check_transfer(c); }, race);
}

// One program alone, against a co-processor whose every reply fails its
// check: a call that made an exchange must not report success. With
// `refusals` every reply is valid but refuses (a status other than 0); what
// reports success then is listed, not judged: mending those is other work.
void Runner::oracle_round(bool refusals)
{
    khost::fail_clear();
    sim_.clear_faults();
    sim_.set_hostile({.percent = 100,
                      .start = rng_.next(),
                      .kinds = refusals ? std::vector{coproc::FaultKind::Status} : kStrictKinds});
    // While a tty is open the receive poller exchanges on its own, which
    // would be taken for the calls' exchanges: ttys are left to the other rounds.
    Surface s = surface_;
    std::erase_if(s.nodes, [](const std::string &n) { return n.find("/tty") != std::string::npos; });
    for (unsigned i = 0; i < o_.ops_per_round; i++) {
        const Sums before = sums();
        const Call call = oracle_->step(s);
        const Sums after = sums();
        check_transfer(call);
        if (after.ok > before.ok)
            find("hostile", "a spoilt reply passed its check during: " + call.what);
        else if (after.exchanges > before.exchanges && call.gives && refusals)
            find("success-after-refusal", fmt::format("{} -> {}", call.what, call.result), true);
        else if (after.exchanges > before.exchanges && call.gives) {
            const char *reason = known_success(call.what);
            std::string what = fmt::format("{} -> {}", call.what, call.result);
            if (reason)
                what += std::string(": ") + reason;
            else
                what += "; the line: " + line_story(after.exchanges - before.exchanges + 1);
            find("success-without-reply", what, reason != nullptr);
        }
    }
    oracle_->close_all();
    dog_.end(kMainSlot);
    sim_.clear_faults();
}

void Runner::barrier_checks()
{
    khost::fail_clear();
    sim_.clear_faults();
    khost::Program p("rebind");
    for (const auto &dev : unbound_)
        (void)bind_file(p, dev, "bind");
    unbound_.clear();
    for (const std::string &w : khost::take_warnings()) {
        const char *reason = known_report(w);
        find("report", reason ? w + ": " + reason : w, reason != nullptr);
    }
    khost::log_clear();
    ensure_loaded();
    if (!loaded_)
        return;
    std::this_thread::sleep_for(120ms);
    if (!accounts_valid_ || !line_clean()) {
        accounts_valid_ = settle();
        return;
    }
    const Sums s = sums();
    // A request cut short reached the co-processor as a part, which it may
    // have skipped or read as the start of a frame: the accounts start anew.
    if (s.unsent != unsent_) {
        accounts_valid_ = settle();
        return;
    }
    const int64_t req = static_cast<int64_t>(sim_.request_count()) - static_cast<int64_t>(s.requests);
    const int64_t bytes = static_cast<int64_t>(sim_.bytes_sent()) - static_cast<int64_t>(s.bytes);
    // A busy host's pseudo-terminal may still hold bytes between the two
    // sides after both looked quiet; the next exchanges take them in. A
    // difference is judged only if it is still there at the next barrier.
    if ((req != off_requests_ || bytes != off_bytes_) && !unsettled_) {
        unsettled_ = true;
        return;
    }
    unsettled_ = false;
    if (req != off_requests_)
        find("stats", fmt::format("the co-processor received {} requests more than the statistics count; {}",
                                  req - off_requests_, line_detail()));
    if (bytes != off_bytes_)
        find("stats",
             fmt::format("the co-processor sent {} bytes more than the statistics count drained or received; {}",
                         bytes - off_bytes_, line_detail()));
    off_requests_ = req;
    off_bytes_ = bytes;
}

Result Runner::run()
{
    const auto started = Clock::now();
    auto last_progress = started;
    khost::log_clear();
    ensure_loaded();
    barrier_checks();
    for (uint64_t round = 0;; round++) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        if (elapsed >= o_.seconds || (o_.max_rounds && round >= o_.max_rounds))
            break;
        lifecycle();
        if (round % 4 == 3)
            oracle_round(round % 8 == 7);
        else
            concurrent_round();
        barrier_checks();
        result_.rounds = round + 1;
        result_.calls = oracle_->calls();
        for (const auto &c : callers_)
            result_.calls += c->calls();
        if (o_.progress && Clock::now() - last_progress > 5s) {
            last_progress = Clock::now();
            const double s = std::chrono::duration<double>(last_progress - started).count();
            o_.progress(fmt::format("round {}, {} calls, {:.0f} calls/s, {} findings, {} known", result_.rounds,
                                    result_.calls, static_cast<double>(result_.calls) / s, result_.findings.size(),
                                    result_.known.size()));
        }
    }
    for (auto &c : callers_)
        c->close_all();
    khost::fail_clear();
    unexport_all();
    if (module_loaded() && khost::rmmod("quorvel_linux_module") != 0)
        find("unload", "rmmod refused with every program's files closed");
    for (const std::string &w : khost::take_warnings())
        find("report", w, known_report(w) != nullptr);
    result_.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return result_;
}

} // namespace

Result run(const Options &options)
{
    Runner runner(options);
    return runner.run();
}

} // namespace qfuzz
