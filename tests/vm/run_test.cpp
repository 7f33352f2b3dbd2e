// A program run on the board in the VM (quorvel-board -- PROGRAM): its exit
// status, standard streams and working directory come through; what it
// leaves behind is cleared and reported; the co-processor answers to the
// board's control socket from the host and from the guest while it runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

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
    EXPECT_EQ(r.out, dir.string() + "\ntyped line\nready\nseen high\npin 5: input 0, outside level 0\n0\n") << r.err;
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

// The GPIO request logs the co-processor's reply bytes on a line it leaves
// open. The kernel's own message about an invalid line number closes it, as
// on 4.4: the next request's bytes are a record of their own, not a
// continuation ('c' in /dev/kmsg) that a reader would join to the kernel's.
TEST(RunOnQemu, AKernelMessageClosesTheLineTheModuleLeftOpen)
{
    coproc::Simulator sim;
    RunSpec spec;
    spec.params = {"dev_gpio=0x20"};
    spec.program = {"/bin/sh", "-c",
                    "g=/sys/class/gpio; echo 205 > $g/export; echo 300 > $g/export 2>/dev/null; "
                    "echo 247 > $g/export; echo end > /dev/kmsg; "
                    "dd if=/dev/kmsg iflag=nonblock bs=8192 2>/dev/null | grep ';84 6 10 ' | cut -d';' -f1"};
    spec.env = debian_env();
    const Ran r = run_on_board(sim, spec);
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream headers(r.out);
    int count = 0;
    for (std::string header; std::getline(headers, header); ++count)
        EXPECT_TRUE(header.ends_with(",-")) << header;
    EXPECT_EQ(count, 2) << r.out;
}

// The issue's two commands through the board program's own command line,
// on a co-processor given with --uart: the library's GPIO request,
// direction and set frames for pin 5, and i2cget's LM75 word as the tool
// prints it; then the board's control socket from inside, with the program
// in the socket's own directory.
TEST(RunOnQemu, TheBoardProgramsCommandLine)
{
    coproc::Simulator sim;
    const std::string script = "/usr/bin/python3 -c \"from periphery import GPIO; g = GPIO(205, 'out'); "
                               "g.write(True); g.close()\" && i2cget -y 0 0x48 0x00 w && "
                               "$QUORVEL_BOARD_PROGRAM --attach -c lsmod";
    const std::vector<std::string> args = {
        QUORVEL_BOARD_PROGRAM, "--kernel", "qemu",    "--uart", sim.tty_path(), "dev_gpio=0x20",
        "dev_iic1=1",          "--",       "/bin/sh", "-c",     script};
    Collector output;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Run from the directory of the board's control socket: the
        // guest's working directory mount cannot take the socket there.
        ::unsetenv("XDG_RUNTIME_DIR");
        ::setenv("QUORVEL_BOARD_PROGRAM", QUORVEL_BOARD_PROGRAM, 1);
        if (::chdir("/tmp") != 0)
            ::_exit(126);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        ::dup2(output.writer(), STDOUT_FILENO);
        ::dup2(output.writer(), STDERR_FILENO);
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::string out = output.take();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    EXPECT_TRUE(out.starts_with("0x0019\n")) << out;
    EXPECT_THAT(out, HasSubstr("\nquorvel_linux_module\n"));
    const auto frames = decoded(sim.requests());
    std::vector<std::string> gpio;
    for (const auto &f : frames)
        if (f.starts_with("-> GPIO"))
            gpio.push_back(f);
    EXPECT_THAT(gpio, ::testing::ElementsAre("-> GPIO OPEN [05]", "-> GPIO WRITE [05 01 00]",
                                             "-> GPIO WRITE [05 03 01]", "-> GPIO CLOSE [05]"));
}

} // namespace
