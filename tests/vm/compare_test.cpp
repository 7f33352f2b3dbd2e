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
#include <map>
#include <set>

#include "line_diff.hpp"
#include "run_support.hpp"

extern char **environ;

using namespace board::testing;

namespace {

const std::vector<std::string> kParams = {"dev_gpio=0x20", "dev_iic1=1", "dev_spi0=1", "dev_spi1=1",
                                          "dev_uart=1",    "dev_pwm=3",  "dev_adc=1",  "dev_dht=0x80"};

// A line one kernel prints where the other prints another (or none: ""),
// in a section. Each is a difference between Linux 4.4, whose cores the
// kernel layer follows, and 6.1; docs/backends.md says where each comes
// from in the two kernels' sources.
struct Allowed {
    std::string section, layer, qemu;
};
const std::vector<Allowed> kAllowed = {
};

struct Section {
    std::vector<std::string> out;
    std::vector<std::string> frames;
};
using Sections = std::map<std::string, Section>;

struct Side {
    Ran ran;
    Sections sections;
};

// The receive poller's idle count query and its empty answer come as
// often as each kernel's clock turns: left out of both.
std::vector<std::string> without_idle_polls(const std::vector<std::string> &frames)
{
    std::vector<std::string> kept;
    for (size_t i = 0; i < frames.size(); i++) {
        const bool query = frames[i] == "-> UART CONTROL [11]";
        if (query && i + 1 < frames.size() && frames[i + 1] == "<- UART CONTROL st 0 [00 00]") {
            i++;
            continue;
        }
        if (!query)
            kept.push_back(frames[i]);
    }
    return kept;
}

Sections split(const std::string &out)
{
    static const std::regex trace_line(R"(^(->|<-) +[0-9.]+ (.*?) crc .*$)");
    Sections sections;
    Section *s = nullptr;
    bool frames = false;
    for (const auto &line : lines(out)) {
        if (line.starts_with("== ")) {
            s = &sections[line.substr(3)];
            frames = false;
        } else if (line == "-- frames") {
            frames = true;
        } else if (s && frames) {
            s->frames.push_back(std::regex_replace(line, trace_line, "$1 $2"));
        } else if (s) {
            s->out.push_back(line);
        }
    }
    for (auto &[name, section] : sections)
        section.frames = without_idle_polls(section.frames);
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
    }

    // The section's lines on the layer with each allowed difference made
    // into 6.1's, so that what is left must be equal.
    static std::vector<std::string> as_on_qemu(const std::string &name, std::vector<std::string> out)
    {
        for (const auto &a : kAllowed) {
            if (a.section != name)
                continue;
            const auto at = std::find(out.begin(), out.end(), a.layer);
            if (a.layer.empty())
                continue;
            if (at == out.end())
                continue;
            if (a.qemu.empty())
                out.erase(at);
            else
                *at = a.qemu;
        }
        return out;
    }

    static void expect_same(const std::string &prefix)
    {
        std::set<std::string> names;
        for (const auto &[name, s] : layer_.sections)
            if (name.starts_with(prefix))
                names.insert(name);
        for (const auto &[name, s] : qemu_.sections)
            if (name.starts_with(prefix))
                names.insert(name);
        EXPECT_FALSE(names.empty()) << "no section " << prefix << "; stderr:\n" << layer_.ran.err << qemu_.ran.err;
        for (const auto &name : names) {
            SCOPED_TRACE(name);
            std::vector<std::string> qemu_out = qemu_.sections[name].out;
            for (const auto &a : kAllowed)
                if (a.section == name && a.layer.empty())
                    std::erase(qemu_out, a.qemu);
            EXPECT_SAME_LINES(as_on_qemu(name, layer_.sections[name].out), qemu_out);
            EXPECT_SAME_LINES(layer_.sections[name].frames, qemu_.sections[name].frames);
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
        if (!a.layer.empty()) {
            EXPECT_THAT(layer_.sections[a.section].out, testing::Contains(a.layer));
        }
        if (!a.qemu.empty()) {
            EXPECT_THAT(qemu_.sections[a.section].out, testing::Contains(a.qemu));
        }
    }
}

} // namespace
