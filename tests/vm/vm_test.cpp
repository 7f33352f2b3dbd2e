// The module on a real Linux kernel (6.1, under QEMU) beside the kernel layer.
// Each scenario is a list of command lines, some preceded by an action on the
// simulated co-processor; it runs on both backends, each with a simulated
// co-processor of its own that records every frame. The wire transcripts
// must be identical but for the random tail bytes (and every reply must echo
// its request's tail), the commands' results identical, and the module's log
// lines identical but for the differences listed here and in docs/backends.md.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include <khost/kernel.hpp>

#include "coproc/models/pins.hpp"
#include "coproc/models/sensors.hpp"
#include "coproc/simulator.hpp"
#include "guest_reports.hpp"
#include "line_diff.hpp"
#include "qemu_board.hpp"
#include "qemu_vm.hpp"
#include "session.hpp"
#include "shell.hpp"

using namespace board;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using Action = std::function<void(coproc::Simulator &)>;

struct Step {
    std::string line;
    Action before; // runs on the co-processor before the line is given
};

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<coproc::RequestRecord> frames;
};

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

Result on_kernel_layer(const std::vector<std::string> &params, const std::vector<Step> &steps)
{
    coproc::Simulator sim;
    Result r;
    std::ostringstream out, err;
    khost::log_clear(); // the log of an earlier run in this process
    try {
        Session session({.uart = sim.tty_path(), .hz = 250, .params = params});
        Shell shell(session.board(), out, err);
        Outcome o = Outcome::Ok;
        for (const auto &step : steps) {
            if (step.before)
                step.before(sim);
            o = shell.run_text(step.line, true);
            if (o != Outcome::Ok)
                break;
        }
        const bool clean = session.leave(err);
        r.status = o == Outcome::Usage ? 2 : clean ? 0 : 1;
    } catch (const StartError &e) {
        err << "quorvel-board: " << e.what() << '\n';
        r.status = 1;
    }
    r.out = out.str();
    r.err = err.str();
    r.frames = sim.requests();
    return r;
}

Result on_qemu(const std::vector<std::string> &params, const std::vector<Step> &steps)
{
    coproc::Simulator sim;
    Result r;
    std::ostringstream out, err;
    QemuOptions options;
    options.params = params;
    options.simulator = &sim;
    vm::TempDir tmp;
    options.console_log = (tmp.path() / "console.log").string();
    size_t next = 0;
    r.status = run_qemu_board(
        options,
        [&]() -> std::optional<std::string> {
            if (next == steps.size())
                return std::nullopt;
            const Step &step = steps[next++];
            if (step.before)
                step.before(sim);
            return step.line;
        },
        out, err);
    r.out = out.str();
    r.err = err.str();
    r.frames = sim.requests();
    // Whatever the scenario compares, the kernel must not have complained.
    const std::string console = vmtest::read_file(options.console_log);
    EXPECT_EQ(vmtest::kernel_reports(console), "") << "the guest's console:\n" << console;
    return r;
}

// A frame without its tail, the tail being random.
std::string untailed(const coproc::Bytes &frame)
{
    return frame.empty() ? "" : coproc::hex({frame.data(), frame.size() - 1}) + " ..";
}

// The wire as the co-processor saw it, one line per frame, tails masked
// once each reply is seen to echo its request's tail.
std::vector<std::string> transcript(const std::vector<coproc::RequestRecord> &frames)
{
    std::vector<std::string> lines;
    for (const auto &f : frames) {
        lines.push_back("-> " + untailed(f.raw));
        if (!f.reply_sent.empty()) {
            const bool echoed = f.reply_sent.back() == f.raw.back();
            lines.push_back("<- " + untailed(f.reply_sent) + (echoed ? "" : " TAIL NOT ECHOED"));
        }
        if (!f.boot_bytes.empty())
            lines.push_back("<- (restart) " + coproc::hex(f.boot_bytes));
    }
    return lines;
}

const std::regex kLogLine(R"(^\[ *[0-9]+\.[0-9]+\] (.*)$)");

// What the real kernel itself logs while the board runs, not the module:
// its loader's notes on an unsigned module from outside its tree, what its
// clocks and entropy pool say late in boot, and the glue's note that the
// guest's 8250 holds ttySP's 4:70 (docs/backends.md). And the debug
// kernel's note of each kobject release it delays.
const std::regex kKernelOwnLine(
    R"(^(quorvel_linux_module: (loading out-of-tree module taints kernel\.|module verification failed: .*)|(tsc|clocksource|random|clk): .*|quorvel: ttySP: 4:70 is taken, the lines take a dynamic major|kobject: .* \(delayed [0-9]+\))$)");

// The module's log lines out of the commands' output (dmesg's lines), the
// timestamps left out. Masked: the tail bytes the configuration device logs,
// in a write's reply line (its last value) and in a read's dump of the reply
// (after the payload and CRC, when the read is short enough to show it).
// And the tail in the reply the GPIO chip's request logs. Kept apart: the
// line's c_cflag before the module sets it, which is the line's own (a pty:
// B38400, no CLOCAL; the guest's 16550: B9600 with CLOCAL), not the module's.
struct Log {
    std::vector<std::string> module;
    std::vector<std::string> kernel;
    std::vector<std::string> cflags;
};

// Where the tail is in the dump config_read logs, for each read in turn.
std::vector<size_t> read_tails(const std::vector<coproc::RequestRecord> &frames)
{
    std::vector<size_t> tails;
    for (const auto &f : frames)
        if (f.raw.size() > 2 && f.raw[0] == 0x8a && (f.raw[2] >> 4) == 3)
            tails.push_back(f.reply_sent.size() >= 4 ? f.reply_sent.size() - 4 : std::string::npos);
    return tails;
}

Log log_of(const std::string &out, const std::vector<coproc::RequestRecord> &frames)
{
    static const std::regex reply_log(R"(^(8a( [0-9a-f]{1,2}){4}) [0-9a-f]{1,2} $)");
    static const std::regex read_dump(R"(^([0-9]+ ){49}$)");
    static const std::regex cflag(R"(^termios\.c_cflag = ([0-9]+)(.*)$)");
    const auto tails = read_tails(frames);
    size_t reads = 0;
    Log log;
    for (const auto &line : lines_of(out)) {
        std::smatch m;
        if (!std::regex_match(line, m, kLogLine))
            continue;
        std::string text = m[1];
        if (std::regex_match(text, kKernelOwnLine)) {
            log.kernel.push_back(text);
            continue;
        }
        if (std::regex_match(text, m, reply_log))
            text = m[1].str() + " .. ";
        // The GPIO request's reply, six bytes to a line that the next one
        // continues: its tail is the last of each six.
        static const std::regex gpio_open_reply(
            R"((84 [0-9a-f]{1,2} 1[0-9a-f] [0-9a-f]{1,2} [0-9a-f]{1,2}) [0-9a-f]{1,2} )");
        text = std::regex_replace(text, gpio_open_reply, "$1 .. ");
        if (std::regex_match(text, read_dump) && reads < tails.size()) {
            std::istringstream words(text);
            std::string masked, w;
            for (size_t i = 0; words >> w; i++)
                masked += (i == tails[reads] ? ".." : w) + " ";
            text = masked;
            reads++;
        }
        if (std::regex_match(text, m, cflag)) {
            log.cflags.push_back(m[1]);
            text = "termios.c_cflag = N" + m[2].str();
        }
        log.module.push_back(text);
    }
    return log;
}

// Entries Linux gives every device that the kernel layer does not have: the
// power management directory, and a platform device's driver_override.
const std::regex kLinuxOnlyEntry(R"(^(drwxr-xr-x power|-rw-r--r-- driver_override)$)");

// The commands' results: the output without the log and trace lines, and
// without the entries only Linux has, and with the tail an infrared receive
// hands back masked. Majors are handed out from 254 down,
// and the guest's own drivers take the first few: each major is named by
// the order it first shows in ("major#1"), in /dev listings, dev files and
// uevents alike.
std::vector<std::string> results_of(const std::string &out, size_t *linux_only = nullptr)
{
    static const std::regex major(R"((MAJOR=|^c[-rwx]{9} |^)(2[0-9][0-9])(:[0-9]+$|, [0-9]+ |$))");
    // The infrared receive request's argument comes back with the reply's
    // bytes from its payload on, the random tail among them.
    static const std::regex ir_recv_6(R"(^(0 [0-9a-f]{2} [0-9a-f]{2}) [89ab][0-9a-f]((?: 00){7})$)");
    static const std::regex ir_recv_9(R"(^(0(?: [0-9a-f]{2}){5}) [89ab][0-9a-f]((?: 00){4})$)");
    std::vector<std::string> majors;
    std::vector<std::string> results;
    for (const auto &line : lines_of(out)) {
        if (std::regex_match(line, kLogLine))
            continue;
        if (std::regex_match(line, kLinuxOnlyEntry)) {
            if (linux_only)
                ++*linux_only;
            continue;
        }
        std::smatch m;
        if (std::regex_match(line, m, ir_recv_6) || std::regex_match(line, m, ir_recv_9)) {
            results.push_back(m[1].str() + " .." + m[2].str());
            continue;
        }
        if (std::regex_search(line, m, major) && (m[1].length() || m[3].length())) {
            auto at = std::find(majors.begin(), majors.end(), m[2].str());
            if (at == majors.end())
                at = majors.insert(majors.end(), m[2].str());
            results.push_back(m.prefix().str() + m[1].str() + "major#" + std::to_string(at - majors.begin() + 1) +
                              m[3].str() + m.suffix().str());
            continue;
        }
        results.push_back(line);
    }
    return results;
}

std::vector<Step> steps_of(std::initializer_list<std::string> lines)
{
    std::vector<Step> steps;
    for (const auto &l : lines)
        steps.push_back({l, nullptr});
    return steps;
}

// The receive poller asks the co-processor every 50 ms while ttySP0 is
// installed, by each kernel's own clock: how many of its queries find
// nothing, and where they fall among the other frames, is a matter of time.
// Those are left out of every comparison; a query that finds bytes, and the
// read after it, are compared.
std::vector<coproc::RequestRecord> without_idle_polls(const std::vector<coproc::RequestRecord> &frames)
{
    std::vector<coproc::RequestRecord> kept;
    for (const auto &f : frames) {
        const bool idle_query = f.raw.size() == 6 && f.raw[0] == 0x83 && f.raw[2] == 0x70 && f.raw[3] == 0x11 &&
                                f.reply_sent.size() == 6 && f.reply_sent[3] == 0 && f.reply_sent[4] == 0;
        if (!idle_query)
            kept.push_back(f);
    }
    return kept;
}

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Both backends' runs of one scenario, checked to agree.
void expect_same(const Result &layer, const Result &vm)
{
    EXPECT_EQ(layer.status, 0) << layer.err;
    EXPECT_EQ(vm.status, 0) << vm.err;
    EXPECT_SAME_LINES(results_of(layer.out), results_of(vm.out));
    EXPECT_SAME_LINES(transcript(without_idle_polls(layer.frames)), transcript(without_idle_polls(vm.frames)));
    const Log a = log_of(layer.out, layer.frames), b = log_of(vm.out, vm.frames);
    EXPECT_SAME_LINES(a.module, b.module);
    EXPECT_THAT(a.kernel, testing::IsEmpty());
    EXPECT_THAT(a.cflags, testing::Each(testing::StrEq("191")));  // B38400 | CS8 | CREAD | HUPCL
    EXPECT_THAT(b.cflags, testing::Each(testing::StrEq("3261"))); // B9600 | CS8 | CREAD | HUPCL | CLOCAL
    EXPECT_THAT(vm.out, Not(HasSubstr("WARNING:")));
    EXPECT_THAT(vm.out, Not(HasSubstr("BUG:")));
}

} // namespace

// The first thing a person runs: the real .ko loads, the version request
// reaches the co-processor and its bytes come back, the kernel logs the load,
// and the trace shows the frames as the co-processor saw them.
TEST(Qemu, LoadsTheModuleAndReadsTheVersion)
{
    const Result vm = on_qemu(
        {"dev_gpio=0x20"},
        steps_of({"open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00; dmesg; lsmod", "trace; trace"}));
    ASSERT_EQ(vm.status, 0) << vm.err << vm.out;
    const auto results = results_of(vm.out);
    ASSERT_GE(results.size(), 3u) << vm.out;
    EXPECT_EQ(results[0], "3");
    EXPECT_EQ(results[1], "0 01 07");
    EXPECT_THAT(results, testing::Contains("quorvel_linux_module"));
    EXPECT_THAT(results, testing::Contains(testing::MatchesRegex(
                             "-> +[0-9.]+ CONFIG CONTROL \\[1e\\] crc ok tail [89ab][0-9a-f] \\| 8a 06 70 1e 5a .*")));
    EXPECT_THAT(results, testing::Contains(testing::MatchesRegex(
                             "<- +[0-9.]+ CONFIG CONTROL st 0 \\[01 07\\] crc ok tail [89ab][0-9a-f] \\| .*")));
    EXPECT_EQ(results.back().substr(0, 2), "<-") << "the second trace has nothing new";
    EXPECT_THAT(vm.out, HasSubstr("dev_gpio   = 20"));
    EXPECT_THAT(vm.out, HasSubstr("ioctl version"));
    ASSERT_EQ(vm.frames.size(), 1u);
    EXPECT_EQ(untailed(vm.frames[0].raw), "8a 06 70 1e 5a ..");
}

// Every request of the configuration device and the application counter, on
// both kernels: the same frames, results and log.
TEST(Qemu, ConfigurationDeviceAndCounterMatchTheKernelLayer)
{
    const std::vector<Step> steps = steps_of({
        "open /dev/quorvel_config",
        // The device model in sysfs: class entries are links to the devices,
        // the platform devices and their driver link to each other.
        "ls -l /dev/quorvel_config",
        "ls -l /sys/class/config_class",
        "ls -l /sys/class/count_class",
        "ls -l /sys/devices/virtual/config_class/quorvel_config",
        "cat /sys/class/config_class/quorvel_config/uevent",
        "ls -l /sys/bus/platform/devices/quorvel_config.0",
        "ls -l /sys/devices/platform/quorvel_config.0",
        "cat /sys/devices/platform/quorvel_config.0/uevent",
        "cat /sys/bus/platform/devices/quorvel_count.0/modalias",
        "ls -l /sys/bus/platform/drivers/quorvel_count",
        "ls /sys/module/quorvel_linux_module/drivers",
        // An open node holds the module twice: for its cdev and for its operations.
        "cat /sys/module/quorvel_linux_module/refcnt",
        "ioctl 3 CONFIG_IOCTL_VERSION 00 00",
        "write 3 05 01 01 10",
        "ioctl 3 CONFIG_IOCTL_APPLY_MODES",
        "read 3 48",
        "read 3 8",
        "ioctl 3 CONFIG_IOCTL_ENABLE_ALL",
        "cat /sys/module/quorvel_linux_module/parameters/dev_spi0",
        "ls /sys/module/quorvel_linux_module/parameters",
        "echo 0x7 > /sys/module/quorvel_linux_module/parameters/dev_spi1",
        "cat /sys/module/quorvel_linux_module/parameters/dev_spi1",
        "cat /sys/module/quorvel_linux_module/parameters/dev_gpio",
        "ioctl 3 CONFIG_IOCTL_RESET 00",
        "sleep 300",
        "ioctl 3 CONFIG_IOCTL_VERSION 00 00",
        "ioctl 3 0x1234",
        "close 3",
        "open /dev/quorvel_count",
        "open /dev/quorvel_count",
        "write 4 01 02 03 04",
        "read 3 4",
        "read 3 3",
        "write 4 bad 4", // unreadable bytes are zeros to the counter
        "read 3 4",
        "read 3 4 bad", // and an unwritable buffer still reads

        "close 4",
        "close 3",
        "sleep 300",
        // A value a parameter refuses; the counter unbound from its driver
        // through sysfs (its node goes) and bound again (it comes back),
        // which a bound device refuses.
        "echo zz > /sys/module/quorvel_linux_module/parameters/dev_spi1",
        "echo quorvel_count.0 > /sys/bus/platform/drivers/quorvel_count/unbind",
        "ls /sys/bus/platform/drivers/quorvel_count",
        "open /dev/quorvel_count",
        "echo quorvel_count.0 > /sys/bus/platform/drivers/quorvel_count/bind",
        "echo quorvel_count.0 > /sys/bus/platform/drivers/quorvel_count/bind",
        "open /dev/quorvel_count",
        "close 3",
        "sleep 300",
        "cat /sys/module/quorvel_linux_module/refcnt",
        "dmesg",
    });
    const std::vector<std::string> params = {"dev_gpio=0x20", "dev_pwm=0x3"};
    const Result layer = on_kernel_layer(params, steps);
    Result vm = on_qemu(params, steps);
    // Binding a bound device: 4.4 (and the kernel layer) find no device to
    // bind, 6.1 says the device is busy.
    const std::string busy = "bind: Device or resource busy (-16)";
    const size_t at = vm.out.find(busy);
    ASSERT_NE(at, std::string::npos) << vm.out;
    vm.out.replace(at, busy.size(), "bind: No such device (-19)");
    expect_same(layer, vm);
    EXPECT_GE(vm.frames.size(), 8u);
    size_t linux_only = 0;
    results_of(vm.out, &linux_only);
    EXPECT_EQ(linux_only, 3u) << "power twice, driver_override once: " << vm.out;
    EXPECT_THAT(results_of(layer.out), testing::Contains("lrwxrwxrwx quorvel_config -> "
                                                         "../../devices/virtual/config_class/quorvel_config"));
}

// What goes wrong behaves alike: a refused parameter, a silent co-processor,
// a refused table, a reply with a bad CRC, stale bytes on the line, buffers
// the module cannot copy through. And an unload leaves nothing behind in the guest:
// no node, class, platform device or driver, and no poller thread.
TEST(Qemu, FaultsMatchTheKernelLayerAndUnloadLeavesNothing)
{
    const auto silent = [](coproc::Simulator &s) { s.set_silent(true); };
    const auto talking = [](coproc::Simulator &s) { s.set_silent(false); };
    const auto refusing = [](coproc::Simulator &s) { s.inject({.kind = coproc::FaultKind::Status, .value = 1}); };
    const auto bad_crc = [](coproc::Simulator &s) { s.inject({.kind = coproc::FaultKind::BadCrc}); };
    const auto stale = [](coproc::Simulator &s) {
        s.send_unsolicited({0xaa, 0xbb, 0xcc});
        pause_ms(300); // on the module's side of the line before the next request
    };
    const std::vector<Step> common = {
        {"rmmod", nullptr},
        {"insmod dev_gpio=zz", nullptr},
        {"lsmod", nullptr},
        {"insmod dev_bogus=1 dev_gpio=0x20", nullptr},
        {"open /dev/quorvel_config", nullptr},
        {"ioctl 3 CONFIG_IOCTL_VERSION 00 00", silent},
        {"ioctl 3 CONFIG_IOCTL_APPLY_MODES", nullptr},
        {"ioctl 3 CONFIG_IOCTL_VERSION 00 00", talking},
        {"ioctl 3 CONFIG_IOCTL_APPLY_MODES", refusing}, // not acknowledged: -1
        {"ioctl 3 CONFIG_IOCTL_APPLY_MODES", nullptr},
        {"ioctl 3 CONFIG_IOCTL_VERSION 00 00", bad_crc},
        {"ioctl 3 CONFIG_IOCTL_VERSION 00 00", stale},
        // Buffers the module cannot copy through: -EFAULT, and nothing is
        // sent for a table write it could not read.
        {"read 3 48 bad", nullptr},
        {"write 3 bad 4", nullptr},
        {"ioctl 3 CONFIG_IOCTL_VERSION bad", nullptr},
        {"close 3", nullptr},
        {"dmesg", nullptr},
    };
    const Result layer = on_kernel_layer({}, common);

    // In the guest, what a load leaves, then what the unload leaves (ls
    // sorts the directories it is given).
    const std::string leftovers = "sh 'ls /dev /sys/class /sys/bus/platform/devices /sys/bus/platform/drivers | "
                                  "grep -e quorvel -e _class; ps | grep -c \"[m]y_thread\"; true'";
    std::vector<Step> in_guest = common;
    in_guest.push_back({leftovers, nullptr});
    in_guest.push_back({"rmmod", nullptr});
    in_guest.push_back({leftovers, nullptr});
    const Result vm = on_qemu({}, in_guest);
    ASSERT_EQ(vm.status, 0) << vm.err << vm.out;

    const auto expected = results_of(layer.out);
    auto results = results_of(vm.out);
    // The guest's lsmod lists the kernel's own modules the board loads (the
    // IIO core, i2c-dev) beside ours; the kernel layer has only ours.
    std::erase_if(results, [](const std::string &r) { return r == "i2c_dev" || r == "industrialio"; });
    ASSERT_GE(results.size(), expected.size()) << vm.out;
    const std::vector<std::string> checks(results.begin() + static_cast<long>(expected.size()), results.end());
    results.resize(expected.size());
    EXPECT_SAME_LINES(expected, results);
    EXPECT_SAME_LINES(transcript(without_idle_polls(layer.frames)), transcript(without_idle_polls(vm.frames)));
    EXPECT_SAME_LINES(log_of(layer.out, layer.frames).module, log_of(vm.out, vm.frames).module);
    EXPECT_THAT(expected, testing::Contains(HasSubstr("insmod: 'zz' invalid for parameter 'dev_gpio'")));
    EXPECT_THAT(log_of(layer.out, layer.frames).module,
                testing::Contains("quorvel_linux_module: unknown parameter 'dev_bogus' ignored"));
    EXPECT_THAT(expected, testing::Contains("-1")) << "the refused table";
    ASSERT_GE(expected.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(expected.end() - 4, expected.end()),
              (std::vector<std::string>{"-14", "-14", "-14", "0"})) // the three bad buffers, the close
        << layer.out;
    // While loaded: the nodes, devices, drivers and classes of what a load
    // without switches starts, and the poller; after the unload, nothing.
    const auto loaded_end = std::find(checks.begin(), checks.end(), "sh: exit 0");
    ASSERT_NE(loaded_end, checks.end()) << vm.out;
    const std::vector<std::string> loaded(checks.begin(), loaded_end);
    EXPECT_THAT(loaded, testing::IsSupersetOf({"quorvel_config", "quorvel_count", "quorvel_config.0", "quorvel_count.0",
                                               "config_class", "count_class", "quorvel-ir.0", "quorvel_ir_class",
                                               "quorvel-adc"}))
        << vm.out;
    EXPECT_EQ(loaded.back(), "1") << "the poller";
    EXPECT_EQ(std::vector<std::string>(loaded_end + 1, checks.end()), (std::vector<std::string>{"0", "sh: exit 0"}))
        << "unloaded: " << vm.out;
}

// The GPIO chip, the PWM chip and the ADC inputs through the programs' sysfs
// files: the same frames, results and log on both kernels, 4.4's PWM calls
// coming out of 6.1's apply. A line's `value` is not read here: on 6.1 it is
// a preallocated attribute, whose every read (the one that finds the end of
// the file too) asks the chip (docs/backends.md).
TEST(Qemu, PinDriversMatchTheKernelLayer)
{
    const auto refusing = [](coproc::Simulator &s) { s.inject({.kind = coproc::FaultKind::Status, .value = 3}); };
    const auto silent = [](coproc::Simulator &s) { s.set_silent(true); };
    const auto talking = [](coproc::Simulator &s) { s.set_silent(false); };
    const auto samples = [](coproc::Simulator &s) {
        s.with_firmware([](coproc::Firmware &fw) {
            fw.model<coproc::AdcModel>().set_sample(0, 300);
            fw.model<coproc::AdcModel>().set_sample(2, 4095);
        });
    };
    const auto gpio = std::string("/sys/class/gpio/"), pwm = std::string("/sys/class/pwm/pwmchip0/");
    const std::vector<Step> steps = {
        {"ls -l /sys/class/gpio; cat " + gpio + "gpiochip200/label; cat " + gpio + "gpiochip200/ngpio", nullptr},
        {"echo 205 > " + gpio + "export; echo 247 > " + gpio + "export; echo 205 > " + gpio + "export", nullptr},
        {"echo high > " + gpio + "gpio205/direction; cat " + gpio + "gpio205/direction", nullptr},
        {"echo 256 > " + gpio + "gpio205/value; echo 2 > " + gpio + "gpio205/value", nullptr},
        {"echo 0 > " + gpio + "gpio205/value; echo in > " + gpio + "gpio205/direction", nullptr},
        {"echo 1 > " + gpio + "gpio205/value", nullptr},
        {"echo out > " + gpio + "gpio247/direction", refusing},
        {"echo 205 > " + gpio + "unexport; echo 247 > " + gpio + "unexport; echo 300 > " + gpio + "export", nullptr},
        {"cat /sys/devices/platform/quorvel-gpio/vgpio_dir; echo 12abc > /sys/devices/platform/quorvel-gpio/vgpio_in; "
         "cat /sys/devices/platform/quorvel-gpio/vgpio_in",
         nullptr},
        {"cat " + pwm + "npwm; echo 3 > " + pwm + "export; echo 250000 > " + pwm + "pwm3/duty_cycle", nullptr},
        {"echo 1000000 > " + pwm + "pwm3/period; echo 250000 > " + pwm + "pwm3/duty_cycle", nullptr},
        {"echo 2000000 > " + pwm + "pwm3/duty_cycle; echo 1 > " + pwm + "pwm3/enable", nullptr},
        {"echo inversed > " + pwm + "pwm3/polarity; echo 0 > " + pwm + "pwm3/enable", nullptr},
        {"echo inversed > " + pwm + "pwm3/polarity; cat " + pwm + "pwm3/polarity", nullptr},
        {"echo 500 > " + pwm + "pwm3/period", refusing},
        {"cat " + pwm + "pwm3/period; echo 3 > " + pwm + "unexport", nullptr},
        {"ls /sys/bus/iio/devices; cat /sys/bus/iio/devices/iio:device1/name", samples},
        {"cat /sys/bus/iio/devices/iio:device1/in_voltage0_raw; cat /sys/bus/iio/devices/iio:device3/in_voltage0_raw",
         nullptr},
        {"cat /sys/bus/iio/devices/iio:device3/in_voltage0_raw", refusing},
        {"cat /sys/bus/iio/devices/iio:device1/in_voltage0_raw", silent},
        {"open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_ENABLE_ALL; ioctl 3 CONFIG_IOCTL_ENABLE_ALL; close 3",
         talking},
        {"ls /sys/bus/iio/devices; cat /sys/module/quorvel_linux_module/parameters/dev_adc", nullptr},
        {"cat /sys/bus/iio/devices/iio:device10/name; dmesg", nullptr},
    };
    const std::vector<std::string> params = {"dev_gpio=0x20", "dev_pwm=1", "dev_adc=0x5"};
    const Result layer = on_kernel_layer(params, steps);
    const Result vm = on_qemu(params, steps);
    expect_same(layer, vm);
    const auto results = results_of(layer.out);
    EXPECT_THAT(results, testing::Contains("echo: /sys/class/gpio/export: Device or resource busy (-16)"));
    EXPECT_THAT(results, testing::Contains("300"));
    EXPECT_THAT(results, testing::Contains("4095"));
    EXPECT_THAT(results, testing::Contains("iio:device10"));
}

// `echo 1 > enable` on a channel just exported, its period still 0: 4.4's
// core (the kernel layer) calls the driver's enable, which the co-processor
// takes; 6.1 applies no state without a period and refuses the write with
// -EINVAL before the glue is asked, so nothing is sent. Everything else is
// the same on both.
TEST(Qemu, PwmEnableBeforeAnyPeriodIsRefusedOnlyBy61)
{
    const auto pwm = std::string("/sys/class/pwm/pwmchip0/");
    const std::vector<Step> steps = steps_of({
        "echo 2 > " + pwm + "export; cat " + pwm + "pwm2/period",
        "echo 1 > " + pwm + "pwm2/enable",
        "cat " + pwm + "pwm2/enable; echo 0 > " + pwm + "pwm2/enable; echo 2 > " + pwm + "unexport",
    });
    const std::vector<std::string> params = {"dev_pwm=1"};
    const Result layer = on_kernel_layer(params, steps);
    const Result vm = on_qemu(params, steps);
    ASSERT_EQ(layer.status, 0) << layer.err;
    ASSERT_EQ(vm.status, 0) << vm.err;
    const auto a = results_of(layer.out), b = results_of(vm.out);
    EXPECT_THAT(a, Not(testing::Contains(HasSubstr("enable: Invalid argument"))));
    EXPECT_THAT(a, testing::Contains("1")) << "4.4: enabled";
    EXPECT_THAT(b, testing::Contains("echo: " + pwm + "pwm2/enable: Invalid argument (-22)"));
    EXPECT_THAT(b, Not(testing::Contains("1")));
    // The frames: the layer's are 6.1's plus the enable (and the disable
    // that follows it, which 6.1 skips for a channel it never enabled).
    const auto ta = transcript(layer.frames), tb = transcript(vm.frames);
    EXPECT_EQ(ta.size(), tb.size() + 4) << line_diff::diff(ta, tb);
    EXPECT_THAT(vm.out, Not(HasSubstr("WARNING:")));
}

// The eight sensor and actuator devices on both kernels: the same frames,
// results and log, the infrared region's two minors, a buzzer that cannot be
// claimed from a silent co-processor, and nothing left after the unload.
TEST(Qemu, SensorDevicesMatchTheKernelLayer)
{
    const auto silent = [](coproc::Simulator &s) { s.set_silent(true); };
    const auto talking = [](coproc::Simulator &s) { s.set_silent(false); };
    const auto refusing = [](coproc::Simulator &s) { s.inject({.kind = coproc::FaultKind::Status, .value = 1}); };
    const auto readings = [](coproc::Simulator &s) {
        s.with_firmware([](coproc::Firmware &fw) {
            fw.model<coproc::DhtModel>().set(23.5, 41);
            fw.model<coproc::Ds18b20Model>().set(-10.125);
            fw.model<coproc::Sr04Model>().set(1234);
            fw.model<coproc::Gp2yModel>().set(80);
        });
    };
    std::string strip;
    const auto show_strip = [&](coproc::Simulator &s) {
        std::ostringstream out;
        s.with_firmware([&](coproc::Firmware &fw) { fw.model<coproc::Ws2812Model>().describe(out); });
        strip += out.str();
    };
    const std::vector<Step> steps = {
        {"ls -l /dev/ir_send; ls -l /dev/ir_recv; ls /sys/class/quorvel_ir_class", readings},
        {"open /dev/dht; ioctl 3 DHT_IOCTL_CMD 01 02 03 04; read 3 4; read 3 10; read 3 11; write 3 05 06", nullptr},
        {"ioctl 3 DS18B20_READ_CMD 01 02 03 04; ioctl 3 DHT_IOCTL_CMD bad; close 3", nullptr},
        {"open /dev/ds18b20; ioctl 3 DS18B20_READ_CMD 01 02 03 04; write 3 01 02; read 3 4; close 3", nullptr},
        {"open /dev/sr04; ioctl 3 SR04_READ_CMD 01 02 03 04; close 3", nullptr},
        {"open /dev/gp2y1010au; ioctl 3 GP2Y_READ_CMD 01 02 03 04", nullptr},
        {"ioctl 3 GP2Y_READ_CMD 01 02 03 04; read 3 4; close 3", refusing},
        {"open /dev/ws_2812; write 3 05 00 00 FF 00; read 3 4; read 3 5; read 3 4; write 3 bad 4; close 3", nullptr},
        {"open /dev/buzzer; write 3 01 B8 01 00 00; read 3 1; read 3 2; close 3", nullptr},
        {"open /dev/icm20689; read 3 12; read 3 20; read 3 21; write 3 01; close 3", nullptr},
        {"open /dev/ir_send; open /dev/ir_recv; ioctl 3 IR_SEND_CMD 01 02 03 04 05 06 07 08 09 0A", nullptr},
        {"ioctl 4 IR_RECV_CMD 2E 00 00 00 00 00 00 00 00 00; ioctl 4 IR_RECV_CMD 2F 00 00 00 00 00 00 00 00 00",
         nullptr},
        {"read 4 4; read 4 9; write 3 11 22; write 3 bad 4; ioctl 3 0x1234", nullptr},
        {"ioctl 3 IR_SEND_CMD 01 02 03 04 05 06 07 08 09 0A; read 4 4; open /dev/buzzer", silent},
        {"close 4; close 3", talking},
        {"dmesg", show_strip},
    };
    const std::vector<std::string> params = {"dev_ws2812=1", "dev_dht=1", "dev_18b20=1"};
    const Result layer = on_kernel_layer(params, steps);
    const Result vm = on_qemu(params, steps);
    expect_same(layer, vm);
    const auto results = results_of(layer.out);
    EXPECT_THAT(results, testing::Contains("0 29 00 17 05")) << "23.5 degC, 41 %";
    EXPECT_THAT(results, testing::Contains("0 01 02 03 04 e3 .. 00 00 00 00"));
    EXPECT_THAT(results, testing::Contains("0 01 07 .. 00 00 00 00 00 00 00")) << "one code waited";
    EXPECT_THAT(results, testing::Contains("crw------- major#1, 1 ir_recv"));
    EXPECT_EQ(strip, "ws2812: pin 5, 1 LEDs #ff0000\nws2812: pin 5, 1 LEDs #ff0000\n") << "on both";
}

// The I2C adapter on both kernels: the i2c-tools commands through /dev/i2c-0
// give the same frames, results and log, and the bus has the same number.
TEST(Qemu, I2cAdapterMatchesTheKernelLayer)
{
    const std::vector<std::string> params = {"dev_iic1=1"};
    const std::vector<Step> steps = steps_of({
        "i2cdetect -l",
        "i2cdetect -F 0",
        "ls -l /sys/bus/i2c/devices",
        "cat /sys/bus/i2c/devices/i2c-0/name; cat /sys/bus/i2c/devices/0-001f/name",
        "i2cdetect -y 0",
        "i2cget -y 0 0x48 0xd0",
        "i2cget -y 0 0x48 0 w",
        "i2ctransfer -y 0 w2@0x48 0x01 0x60 r1",
        "i2cset -y 0 0x50 0x10 0x41; i2cset -y 0 0x50 0x11 0x4342 w; i2cget -y 0 0x50 0x10 i 3",
        "i2cget -y 0 0x51 0",
        "open /dev/i2c-0; ioctl 3 I2C_SLAVE =0x1f; ioctl 3 I2C_FUNCS 00 00 00 00 00 00 00 00; close 3",
        "i2cset -y 0 0x50 0x30 0x41 bp; i2cget -y 0 0x50 0x30 i 2; i2cget -y 0 0x50 0x30 bp",
        "i2cget -y 0 0x50 0x30 s",
        "open /dev/i2c-0; ioctl 3 I2C_TENBIT =1; ioctl 3 I2C_SLAVE =0x150; write 3 00; read 3 3; close 3",
    });
    const Result layer = on_kernel_layer(params, steps);
    const Result vm = on_qemu(params, steps);
    expect_same(layer, vm);
    EXPECT_THAT(results_of(vm.out), testing::Contains("0x19"));
    EXPECT_THAT(vm.out, HasSubstr("40: -- -- -- -- -- -- -- -- 48 -- -- -- -- -- -- -- "));
}

// The guest's own busybox i2cdetect, i2cget, i2cset and i2ctransfer, run
// after the board's commands of the same names: the same output and the same
// frames. Busybox scans from 0x03 as i2c-tools did before 4.2; the board
// scans from 0x08 as Debian 12's do, so busybox is given that range.
TEST(Qemu, BusyboxI2cToolsMatchTheBoardsCommands)
{
    const std::string rest = "i2cdetect -l; i2cget -y 0 0x48 0xd0; i2cget -y 0 0x48 0 w; "
                             "i2cset -y 0 0x50 0x20 0x5a; i2cget -y 0 0x50 0x20; "
                             "i2ctransfer -y 0 w2@0x48 0x01 0x60 r1";
    const Result vm =
        on_qemu({"dev_iic1=1"}, steps_of({"i2cdetect -y 0; " + rest, "sh 'i2cdetect -y 0 0x08 0x77; " + rest + "'"}));
    ASSERT_EQ(vm.status, 0) << vm.err << vm.out;
    auto results = results_of(vm.out);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results.back(), "sh: exit 0");
    results.pop_back();
    ASSERT_EQ(results.size() % 2, 0u) << vm.out;
    const std::vector<std::string> board(results.begin(), results.begin() + results.size() / 2);
    const std::vector<std::string> busybox(results.begin() + results.size() / 2, results.end());
    EXPECT_SAME_LINES(board, busybox);
    const auto frames = transcript(without_idle_polls(vm.frames));
    ASSERT_EQ(frames.size() % 2, 0u) << testing::PrintToString(frames);
    const std::vector<std::string> first(frames.begin(), frames.begin() + frames.size() / 2);
    const std::vector<std::string> second(frames.begin() + frames.size() / 2, frames.end());
    EXPECT_SAME_LINES(first, second);
}

// The SPI masters on both kernels: the spidev devices in sysfs, spidev_test
// and the ioctls, a transfer of three pieces, the same frames and log.
TEST(Qemu, SpiMastersMatchTheKernelLayer)
{
    const std::vector<Step> steps = steps_of({
        "ls -l /sys/bus/spi/devices",
        "ls -l /sys/class/spi_master",
        "ls /sys/class/spidev",
        "cat /sys/bus/spi/devices/spi4.0/modalias",
        "trace",
        "spidev_test -D /dev/spidev4.0 -p \\xAA",
        "spidev_test -D /dev/spidev3.0 -H -O -s 2000000 -p hello",
        "open /dev/spidev4.0",
        "ioctl 3 SPI_IOC_WR_MAX_SPEED_HZ 40 42 0f 00",
        "ioctl 3 SPI_IOC_RD_MAX_SPEED_HZ 00 00 00 00",
        "ioctl 3 SPI_IOC_WR_MODE 41",
        "ioctl 3 SPI_IOC_RD_MODE 00",
        "ioctl 3 SPI_IOC_WR_BITS_PER_WORD 10",
        "ioctl 3 SPI_IOC_RD_BITS_PER_WORD 00",
        "write 3 9f 00 00 00",
        "read 3 4",
        "close 3",
        "open /dev/spidev3.0",
        "write 3 HEX600",
        "read 3 250",
        "ioctl 3 SPI_IOC_MESSAGE(17) XFERS17",
        "close 3",
        "dmesg",
    });
    const std::string kSpi600 =
        "01 08 0f 16 1d 24 2b 32 39 40 47 4e 55 5c 63 6a 71 78 7f 86 8d 94 9b a2 a9 b0 b7 be c5 cc d3 da e1 e8 ef f6 "
        "fd 04 0b 12 19 20 27 2e 35 3c 43 4a 51 58 5f 66 6d 74 7b 82 89 90 97 9e a5 ac b3 ba c1 c8 cf d6 dd e4 eb f2 "
        "f9 00 07 0e 15 1c 23 2a 31 38 3f 46 4d 54 5b 62 69 70 77 7e 85 8c 93 9a a1 a8 af b6 bd c4 cb d2 d9 e0 e7 ee "
        "f5 fc 03 0a 11 18 1f 26 2d 34 3b 42 49 50 57 5e 65 6c 73 7a 81 88 8f 96 9d a4 ab b2 b9 c0 c7 ce d5 dc e3 ea "
        "f1 f8 ff 06 0d 14 1b 22 29 30 37 3e 45 4c 53 5a 61 68 6f 76 7d 84 8b 92 99 a0 a7 ae b5 bc c3 ca d1 d8 df e6 "
        "ed f4 fb 02 09 10 17 1e 25 2c 33 3a 41 48 4f 56 5d 64 6b 72 79 80 87 8e 95 9c a3 aa b1 b8 bf c6 cd d4 db e2 "
        "e9 f0 f7 fe 05 0c 13 1a 21 28 2f 36 3d 44 4b 52 59 60 67 6e 75 7c 83 8a 91 98 9f a6 ad b4 bb c2 c9 d0 d7 de "
        "e5 ec f3 fa 01 08 0f 16 1d 24 2b 32 39 40 47 4e 55 5c 63 6a 71 78 7f 86 8d 94 9b a2 a9 b0 b7 be c5 cc d3 da "
        "e1 e8 ef f6 fd 04 0b 12 19 20 27 2e 35 3c 43 4a 51 58 5f 66 6d 74 7b 82 89 90 97 9e a5 ac b3 ba c1 c8 cf d6 "
        "dd e4 eb f2 f9 00 07 0e 15 1c 23 2a 31 38 3f 46 4d 54 5b 62 69 70 77 7e 85 8c 93 9a a1 a8 af b6 bd c4 cb d2 "
        "d9 e0 e7 ee f5 fc 03 0a 11 18 1f 26 2d 34 3b 42 49 50 57 5e 65 6c 73 7a 81 88 8f 96 9d a4 ab b2 b9 c0 c7 ce "
        "d5 dc e3 ea f1 f8 ff 06 0d 14 1b 22 29 30 37 3e 45 4c 53 5a 61 68 6f 76 7d 84 8b 92 99 a0 a7 ae b5 bc c3 ca "
        "d1 d8 df e6 ed f4 fb 02 09 10 17 1e 25 2c 33 3a 41 48 4f 56 5d 64 6b 72 79 80 87 8e 95 9c a3 aa b1 b8 bf c6 "
        "cd d4 db e2 e9 f0 f7 fe 05 0c 13 1a 21 28 2f 36 3d 44 4b 52 59 60 67 6e 75 7c 83 8a 91 98 9f a6 ad b4 bb c2 "
        "c9 d0 d7 de e5 ec f3 fa 01 08 0f 16 1d 24 2b 32 39 40 47 4e 55 5c 63 6a 71 78 7f 86 8d 94 9b a2 a9 b0 b7 be "
        "c5 cc d3 da e1 e8 ef f6 fd 04 0b 12 19 20 27 2e 35 3c 43 4a 51 58 5f 66 6d 74 7b 82 89 90 97 9e a5 ac b3 ba "
        "c1 c8 cf d6 dd e4 eb f2 f9 00 07 0e 15 1c 23 2a 31 38 3f 46 4d 54 5b 62";
    // 17 transfers of one byte each without buffers (zeros out, nothing
    // back): more than the 6.1 glue hands the module at once.
    const std::string zeros8 = "00 00 00 00 00 00 00 00 ";
    std::string xfers17;
    for (int i = 0; i < 17; i++)
        xfers17 += zeros8 + zeros8 + "01 00 00 00 00 00 00 00 " + zeros8; // tx, rx, len, speed, the rest
    std::vector<Step> with_bytes = steps;
    for (auto &s : with_bytes) {
        const size_t at = s.line.find("HEX600");
        if (at != std::string::npos)
            s.line.replace(at, 6, kSpi600);
        const size_t x = s.line.find("XFERS17");
        if (x != std::string::npos)
            s.line.replace(x, 7, xfers17);
    }
    const std::vector<std::string> params = {"dev_spi0=1", "dev_spi1=1"};
    const Result layer = on_kernel_layer(params, with_bytes);
    const Result vm = on_qemu(params, with_bytes);
    expect_same(layer, vm);
    EXPECT_THAT(vm.out, HasSubstr("RX | 68 65 6C 6C 6F "));
    size_t pieces = 0;
    for (const auto &f : vm.frames)
        if (f.raw.size() == 255 && f.raw[0] == 0x82)
            pieces++;
    EXPECT_EQ(pieces, 3u) << "600 bytes: two full pieces, and 250 bytes: one";
    EXPECT_THAT(vm.out, HasSubstr("\n17 00 00 00 ")) << "the 17 transfers' total length";
}

// The virtual serial port on both kernels: ttySP0 as 4:70 with its class
// device's attributes, a write, a speed, the co-processor's bytes reaching a
// reader, and a close that lets the port go at the unload: the same frames,
// results and log.
TEST(Qemu, SerialPortMatchesTheKernelLayer)
{
    std::vector<Step> steps = steps_of({
        "cat /sys/class/tty/ttySP0/dev",
        "cat /sys/class/tty/ttySP0/vtty_loopback",
        "open /dev/ttySP0 rw nonblock",
        "write 3 41 42 43",
        "stty -F /dev/ttySP0 115200",
        "read 3 8",
        "sleep 300",
        "read 3 8",
        "close 3",
        "dmesg",
    });
    steps[6].before = [](coproc::Simulator &sim) {
        const uint8_t bytes[] = {0x68, 0x69, 0x0a};
        sim.feed_uart_rx(bytes);
    };
    const std::vector<std::string> params = {"dev_uart=1"};
    Result layer = on_kernel_layer(params, steps);
    Result vm = on_qemu(params, steps);
    // The guest's 8250 holds 4:64 to 4:95, so there the lines have a
    // dynamic major with the same minors.
    const std::regex layer_dev("(^|\\n)4:70\\n"), vm_dev("(^|\\n)2[0-9][0-9]:70\\n");
    EXPECT_TRUE(std::regex_search(layer.out, layer_dev)) << layer.out;
    EXPECT_TRUE(std::regex_search(vm.out, vm_dev)) << vm.out;
    layer.out = std::regex_replace(layer.out, layer_dev, "$1ttySP:70\n");
    vm.out = std::regex_replace(vm.out, vm_dev, "$1ttySP:70\n");
    expect_same(layer, vm);
    EXPECT_GT(vm.frames.size(), without_idle_polls(vm.frames).size()) << "the poller asked";
    const auto results = results_of(vm.out);
    EXPECT_THAT(results, testing::Contains("3 68 69 0a"));
    EXPECT_THAT(transcript(vm.frames), testing::Contains("-> 83 08 20 41 42 43 52 .."));
    EXPECT_THAT(transcript(vm.frames), testing::Contains("-> 83 0b 70 10 05 08 00 01 01 d1 .."));
    EXPECT_THAT(vm.out, Not(HasSubstr("not translated")));
}

// Bytes the co-processor's UART receives, injected with the board's own
// command in the guest, reach a reader of ttySP0.
TEST(Qemu, CoprocUartSendReachesAReader)
{
    const Result vm =
        on_qemu({"dev_uart=1"}, steps_of({"open /dev/ttySP0 rw nonblock", "read 3 8", "coproc uart send 68 69 0a",
                                          "sleep 300", "read 3 8", "close 3"}));
    ASSERT_EQ(vm.status, 0) << vm.err << vm.out;
    const auto results = results_of(vm.out);
    EXPECT_THAT(results, testing::Contains("-11"));
    EXPECT_THAT(results, testing::Contains("sent 3 bytes"));
    EXPECT_THAT(results, testing::Contains("3 68 69 0a"));
}

// The guest's own busybox stty on ttySP0 sends the line-settings frame the
// board's stty sends.
TEST(Qemu, BusyboxSttyMatchesTheBoardsStty)
{
    const std::string command = "stty -F /dev/ttySP0 115200";
    const Result vm = on_qemu({"dev_uart=1"}, steps_of({command, "sh '" + command + "'"}));
    ASSERT_EQ(vm.status, 0) << vm.err << vm.out;
    const auto frames = transcript(without_idle_polls(vm.frames));
    ASSERT_EQ(frames.size() % 2, 0u) << testing::PrintToString(frames);
    const std::vector<std::string> first(frames.begin(), frames.begin() + frames.size() / 2);
    const std::vector<std::string> second(frames.begin() + frames.size() / 2, frames.end());
    EXPECT_SAME_LINES(first, second);
    EXPECT_THAT(first, testing::Contains(HasSubstr(" 10 05 08 00 01 01 ")));
}

namespace {

// The `stats` row of one device type without its last column (the longest
// wait, which is time), or empty.
std::string stats_counts(const std::string &out, const std::string &type)
{
    for (const auto &line : lines_of(out))
        if (line.rfind(type + " ", 0) == 0)
            return line.substr(0, line.find_last_of(' '));
    return {};
}

} // namespace

// The link statistics are the kernel's debugfs files on Linux and the kernel
// layer's on the board: after the same spoilt replies they count the same.
TEST(Qemu, LinkStatisticsMatchTheKernelLayer)
{
    const auto spoil = [](coproc::Simulator &s) {
        s.inject({.kind = coproc::FaultKind::BadCrc, .count = 2});
        s.inject({.kind = coproc::FaultKind::NoReply, .skip = 2});
    };
    const std::vector<Step> steps = {
        {"open /dev/quorvel_config", {}},
        {"read 3 4; read 3 4; read 3 4; read 3 4; stats; cat /sys/kernel/debug/quorvel/config/bad_crc", spoil},
    };
    const Result vm = on_qemu({}, steps);
    const Result layer = on_kernel_layer({}, steps);
    ASSERT_EQ(vm.status, 0) << vm.err << vm.out;
    ASSERT_EQ(layer.status, 0) << layer.err << layer.out;
    const std::string row = stats_counts(vm.out, "config");
    ASSERT_FALSE(row.empty()) << vm.out;
    EXPECT_EQ(row, stats_counts(layer.out, "config"));
    EXPECT_THAT(vm.out, HasSubstr("\n2\n")) << "bad_crc read with cat";
}

// Loads and unloads with every driver started and used once, then what the
// kernel says of it: no report on the console (on_qemu), and, on the debug
// kernel, no leak once kmemleak has looked. The pause lets the debug
// kernel's late kobject releases (up to four seconds) run after the module
// has gone, where a release left in the module's code would fault.
TEST(Qemu, LoadUnloadCyclesLeaveTheKernelClean)
{
    const std::string all = "insmod dev_gpio=0x20 dev_pwm=1 dev_adc=0x5 dev_ws2812=1 dev_dht=1 dev_18b20=1 dev_iic1=1 "
                            "dev_spi0=1 dev_spi1=1 dev_uart=1";
    const std::string use = "open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00; close 3";
    std::vector<Step> steps;
    for (int cycle = 0; cycle < 3; cycle++)
        for (const std::string &line : {std::string("rmmod"), all, use})
            steps.push_back({line, nullptr});
    steps.push_back({"rmmod", nullptr});
    steps.push_back(
        {"sh 'sleep 5; K=/sys/kernel/debug/kmemleak; [ -e $K ] && echo scan >$K && cat $K; true'", nullptr});
    const Result vm = on_qemu({}, steps);
    ASSERT_EQ(vm.status, 0) << vm.err << vm.out;
    EXPECT_THAT(vm.out, Not(HasSubstr("unreferenced object"))) << vm.out;
}

// Every one of the module's platform drivers let go of its device and bound
// to it again while programs hold the configuration device and the serial
// port open, then those files used and closed: whatever the results, the
// kernel must not complain (on_qemu reads its console; the debug kernel's
// KASAN, object and lock checks see the releases and the reuse).
TEST(Qemu, RebindingEveryDriverWhileOpenLeavesTheKernelClean)
{
    const std::string rebind = "sh 'cd /sys/bus/platform/drivers; for d in *; do [ -e $d/module ] || continue; "
                               "for n in $(ls $d | grep -v -e bind -e uevent -e module); do "
                               "echo $n >$d/unbind; echo $n >$d/bind; done; done; true'";
    const std::vector<Step> steps = steps_of({
        "rmmod",
        "insmod dev_gpio=0x20 dev_pwm=1 dev_adc=0x5 dev_ws2812=1 dev_dht=1 dev_18b20=1 dev_iic1=1 dev_spi0=1 "
        "dev_spi1=1 dev_uart=1",
        "open /dev/quorvel_config; open /dev/ttySP0 rw nonblock",
        rebind,
        "ioctl 3 CONFIG_IOCTL_VERSION 00 00; write 4 68 69; close 4; close 3",
        rebind,
        "open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00; close 3",
    });
    const Result vm = on_qemu({}, steps);
    ASSERT_EQ(vm.status, 0) << vm.err << vm.out;
}
