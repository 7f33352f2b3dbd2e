// The two kernels compared through the programs' eyes: the same programs
// (a probe of each interface that prints every call's result and errno,
// bad arguments included; Debian's i2c-tools; python3-periphery, smbus2,
// spidev and serial; the user guide's examples) run on the kernel layer
// through the preload library and on Linux 6.1 in QEMU, one run each
// (compare/compare.sh). What they print and the frames the co-processor saw
// must be the same, section by section, but for the differences between
// Linux 4.4 and 6.1 listed below, each one written down in docs/backends.md.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "line_diff.hpp"
#include "run_support.hpp"

extern char **environ;

using namespace board::testing;

namespace {

const std::vector<std::string> kParams = {"dev_gpio=0x20", "dev_iic1=1", "dev_spi0=1", "dev_spi1=1",
                                          "dev_uart=1",    "dev_pwm=3",  "dev_adc=1",  "dev_dht=0x80"};

// What one kernel shows where the other shows something else (or nothing:
// ""), in a section: a line the program printed, or a request frame with
// the reply after it (an entry takes out the section's last one). Each is a
// difference between Linux 4.4, whose cores the kernel layer follows, and
// 6.1; docs/backends.md says where each comes from in the two kernels'
// sources.
struct Allowed {
    std::string section, layer, qemu;
    bool frame = false;
};
const std::vector<Allowed> kAllowed = {
    // 6.1 refuses an I2C_RDWR of no messages; 4.4 hands the adapter none.
    {"probe i2c", "ioctl(fd, I2C_RDWR, &rdwr) = 0", "ioctl(fd, I2C_RDWR, &rdwr) = -1 EINVAL"},
    // A PWM channel exported again keeps its period and duty cycle; writing
    // the same again configures the channel on 4.4, and changes nothing on
    // 6.1, which leaves an unchanged state unapplied.
    {"example pwm.py", "-> PWM WRITE [00 f2 90 d0 03 00 40 42 0f 00]", "", true},
    {"example pwm.py", "-> PWM WRITE [00 f2 90 d0 03 00 40 42 0f 00]", "", true},
    {"periphery PWM", "-> PWM WRITE [00 f2 90 d0 03 00 40 42 0f 00]", "", true},
    {"periphery PWM", "-> PWM WRITE [00 f2 90 d0 03 00 40 42 0f 00]", "", true},
    // A speed of 0 Hz: 4.4's spidev hands it to the setup call (the master
    // is told its own top speed) and keeps 0 for the file's transfers; 6.1
    // refuses it.
    {"probe spidev", "ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &zero) = 0",
     "ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &zero) = -1 EINVAL"},
    {"probe spidev", "speed 0", "speed 250000"},
    {"probe spidev", "-> SPI CONTROL [00 03 ff 10 00]", "", true},
};

struct Side {
    Ran ran;
    Sections sections;
};

// The receive poller's idle count query and its empty answer come as
// often as each kernel's clock turns; bytes outside any frame (the
// co-processor's boot text after a reset) show where each kernel happens
// to read them, received on 6.1, drained before the next request on the
// layer. Both are left out on both sides.
std::vector<std::string> without_idle_polls(const std::vector<std::string> &frames)
{
    std::vector<std::string> kept;
    for (size_t i = 0; i < frames.size(); i++) {
        if (frames[i] == "-> UART CONTROL [11]" && i + 1 < frames.size() &&
            frames[i + 1] == "<- UART CONTROL st 0 [00]") {
            i++;
            continue;
        }
        if (frames[i].find(" raw ") == std::string::npos && frames[i].find(" drained ") == std::string::npos)
            kept.push_back(frames[i]);
    }
    return kept;
}

// The program's frames, then the receive poller's (its count queries and
// reads of ttySP0's input, each with its reply): each side in its order,
// while how the two interleave follows each kernel's clock and the
// program's start.
std::vector<std::string> program_then_poller(const std::vector<std::string> &frames)
{
    std::vector<std::string> program, poller;
    for (size_t i = 0; i < frames.size(); i++) {
        const bool polls = frames[i] == "-> UART CONTROL [11]" || frames[i].starts_with("-> UART READ [");
        auto &to = polls ? poller : program;
        to.push_back(frames[i]);
        if (i + 1 < frames.size() && frames[i].starts_with("->") && frames[i + 1].starts_with("<-"))
            to.push_back(frames[++i]);
    }
    program.insert(program.end(), poller.begin(), poller.end());
    return program;
}

// `frames` without the last request `request` and the reply after it.
std::vector<std::string> without_request(std::vector<std::string> frames, const std::string &request)
{
    const auto last = std::find(frames.rbegin(), frames.rend(), request);
    if (last == frames.rend())
        return frames;
    const auto at = std::prev(last.base());
    const bool reply = at + 1 != frames.end() && (at + 1)->starts_with("<-");
    frames.erase(at, at + (reply ? 2 : 1));
    return frames;
}

Sections split(const std::string &out)
{
    Sections sections = split_sections(out);
    for (auto &[name, section] : sections)
        section.frames = program_then_poller(without_idle_polls(section.frames));
    return sections;
}

std::vector<std::string> run_args()
{
    return {"/bin/sh", QUORVEL_COMPARE_DIR "/compare.sh", QUORVEL_PROBE, QUORVEL_EXAMPLES_BIN};
}

// The layer's side: quorvel-board as a person runs it, on its own simulated
// co-processor (which its coproc commands reach), the program's output
// collected.
Ran run_on_layer()
{
    std::vector<std::string> args = {QUORVEL_BOARD_PROGRAM};
    args.insert(args.end(), kParams.begin(), kParams.end());
    args.push_back("--");
    for (const auto &a : run_args())
        args.push_back(a);
    auto env = debian_env(std::string("QUORVEL_BOARD_PROGRAM=") + QUORVEL_BOARD_PROGRAM);
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"))
        env.push_back(std::string("XDG_RUNTIME_DIR=") + runtime);
    std::vector<char *> argv, envp;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    Collector out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.writer(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.writer(), 2);
    pid_t pid = -1;
    Ran r;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    r.out = out.take();
    r.err = err.take();
    return r;
}

class Compare : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        layer_.ran = run_on_layer();
        {
            coproc::Simulator sim;
            RunSpec spec;
            spec.params = kParams;
            spec.program = run_args();
            spec.env = debian_env(std::string("QUORVEL_BOARD_PROGRAM=") + QUORVEL_BOARD_PROGRAM);
            qemu_.ran = run_on_board(sim, spec);
        }
        layer_.sections = split(layer_.ran.out);
        qemu_.sections = split(qemu_.ran.out);
        // QUORVEL_COMPARE_KEEP=DIR keeps both runs' output, to be read whole.
        if (const char *keep = std::getenv("QUORVEL_COMPARE_KEEP")) {
            std::ofstream(std::string(keep) + "/layer.out") << layer_.ran.out << layer_.ran.err;
            std::ofstream(std::string(keep) + "/qemu.out") << qemu_.ran.out << qemu_.ran.err;
        }
    }

    // A section's lines and frames with the allowed differences taken out:
    // the layer's lines made 6.1's, the frames either side shows alone gone.
    static Section comparable(const Section &in, const std::string &name, bool layer)
    {
        Section out = in;
        for (const auto &a : kAllowed) {
            if (a.section != name)
                continue;
            const std::string &mine = layer ? a.layer : a.qemu;
            if (a.frame) {
                out.frames = without_request(out.frames, mine);
            } else if (layer && !a.layer.empty()) {
                std::replace(out.out.begin(), out.out.end(), a.layer, a.qemu);
                if (a.qemu.empty())
                    std::erase(out.out, "");
            } else if (!layer && a.layer.empty()) {
                std::erase(out.out, a.qemu);
            }
        }
        return out;
    }

    static void expect_same(const std::string &prefix)
    {
        std::set<std::string> names;
        for (const auto *side : {&layer_, &qemu_})
            for (const auto &[name, s] : side->sections)
                if (name.starts_with(prefix))
                    names.insert(name);
        EXPECT_FALSE(names.empty()) << "no section " << prefix << "; stderr:\n" << layer_.ran.err << qemu_.ran.err;
        for (const auto &name : names) {
            SCOPED_TRACE(name);
            const Section a = comparable(layer_.sections[name], name, true);
            const Section b = comparable(qemu_.sections[name], name, false);
            EXPECT_SAME_LINES(a.out, b.out);
            EXPECT_SAME_LINES(a.frames, b.frames);
        }
    }

    static inline Side layer_, qemu_;
};

TEST_F(Compare, BothRanToTheEnd)
{
    EXPECT_EQ(layer_.ran.status, 0) << layer_.ran.err;
    EXPECT_EQ(qemu_.ran.status, 0) << qemu_.ran.err;
    EXPECT_EQ(layer_.sections.size(), qemu_.sections.size());
}

TEST_F(Compare, ProbesOfEachInterface) { expect_same("probe "); }

TEST_F(Compare, I2cTools) { expect_same("i2c"); }

TEST_F(Compare, UserGuideExamples) { expect_same("example "); }

TEST_F(Compare, PythonLibraries)
{
    for (const char *library : {"periphery", "smbus2", "spidev", "pyserial"})
        expect_same(library);
}

// Each allowed difference still shows: one that no longer does is taken
// off the list (and docs/backends.md).
TEST_F(Compare, EveryAllowedDifferenceStillShows)
{
    for (const auto &a : kAllowed) {
        SCOPED_TRACE(a.section + ": " + a.layer + " / " + a.qemu);
        const Section &l = layer_.sections[a.section], &q = qemu_.sections[a.section];
        if (!a.layer.empty()) {
            EXPECT_THAT(a.frame ? l.frames : l.out, testing::Contains(a.layer));
        }
        if (!a.qemu.empty()) {
            EXPECT_THAT(a.frame ? q.frames : q.out, testing::Contains(a.qemu));
        }
    }
}

} // namespace
