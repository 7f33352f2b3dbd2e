// A program run on the board in the VM (quorvel-board -- PROGRAM): its exit
// status, standard streams and working directory come through; what it
// leaves behind is cleared and reported; the co-processor answers to the
// board's control socket from the host and from the guest while it runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "attach.hpp"
#include "run_support.hpp"

using namespace board;
using namespace board::testing;
using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

namespace fs = std::filesystem;

// Waits until the GPIO line reads 1, which only the host's coproc command
// makes it, then has the guest's own client set it back.
constexpr const char *kScript = R"SH(
pwd
cat
echo to-stderr >&2
echo made > made-here
echo 205 > /sys/class/gpio/export
echo in > /sys/class/gpio/gpio205/direction
echo ready
while [ "$(cat /sys/class/gpio/gpio205/value)" = 0 ]; do sleep 0.1; done
echo seen high
"$QUORVEL_BOARD_PROGRAM" --attach -c 'coproc pin 5 low'
cat /sys/class/gpio/gpio205/value
sleep 1000 &
until [ "$(cat /proc/$!/comm)" = sleep ]; do :; done
exit 7
)SH";

TEST(RunOnQemu, StatusStreamsDirectoryControlAndWhatIsLeftBehind)
{
    char dir_template[] = "/tmp/quorvel-run-cwd-XXXXXX";
    const fs::path dir = ::mkdtemp(dir_template);
    coproc::Simulator sim;
    int host_status = -1;
    std::string host_out, host_err;
    RunSpec spec;
    spec.params = {"dev_gpio=0x20"};
    spec.program = {"/bin/sh", "-c", kScript};
    spec.input = "typed line\n";
    spec.cwd = dir.string();
    spec.env = debian_env(std::string("QUORVEL_BOARD_PROGRAM=") + QUORVEL_BOARD_PROGRAM);
    spec.on_line = [&](const std::string &line) {
        if (line != "ready")
            return;
        std::ostringstream out, err;
        const std::string commands = "coproc pin 5 high";
        bool given = false;
        host_status = attach_board(
            control_socket_path(),
            [&]() -> std::optional<std::string> {
                return std::exchange(given, true) ? std::nullopt : std::optional(commands);
            },
            out, err);
        host_out = out.str();
        host_err = err.str();
    };
    const Ran r = run_on_board(sim, spec);

    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_EQ(r.out, dir.string() + "\ntyped line\nready\nseen high\npin 5: input 0, outside level 0\n0\n");
    EXPECT_THAT(r.err, HasSubstr("to-stderr\n"));
    std::ifstream made(dir / "made-here");
    std::string text;
    EXPECT_TRUE(std::getline(made, text) && text == "made") << "the program's file is not on the host";
    EXPECT_EQ(host_status, 0) << host_err;
    EXPECT_EQ(host_out, "pin 5: input 1, outside level 1\n");
    // Left behind: the background sleep, killed; the exported line, whose
    // unexport frees the pin before the module goes.
    EXPECT_THAT(r.err, HasSubstr("board: killed sleep (pid "));
    EXPECT_THAT(r.err, HasSubstr("board: gpio205 was left exported; unexported\n"));
    EXPECT_THAT(decoded(r.frames), Contains("-> GPIO CLOSE [05]"));
    fs::remove_all(dir);
}

TEST(RunOnQemu, AProgramThatCannotRunIsReportedAndTheBoardLeftClean)
{
    coproc::Simulator sim;
    RunSpec spec;
    spec.params = {"dev_gpio=0x20"};
    spec.program = {"no-such-program-here", "x"};
    spec.env = debian_env();
    const Ran r = run_on_board(sim, spec);
    EXPECT_EQ(r.status, 127);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "board: cannot run no-such-program-here: No such file or directory\n");
}

} // namespace
