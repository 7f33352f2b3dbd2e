// The board end to end: kernel layer, module and simulated co-processor.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <khost/kernel.hpp>
#include <chrono>
#include <sstream>
#include <thread>

#include "session.hpp"
#include "shell.hpp"

using namespace board;
using ::testing::HasSubstr;

namespace {

// The build makes the module before these tests; its absence is a failure,
// never a reason to skip.
#define REQUIRE_MODULE_BUILT()                                                                                         \
    ASSERT_TRUE(std::filesystem::exists(khost::module_path())) << "module not built: " << khost::module_path()

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct BoardRun {
    int status;
    std::string out;
};

// Runs the board program with stdin closed off; stderr joins stdout.
BoardRun run_board(const std::string &args)
{
    const std::string cmd = std::string(QUORVEL_BOARD_BIN) + " " + args + " </dev/null 2>&1";
    FILE *p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int st = ::pclose(p);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

} // namespace

TEST(BoardSession, VersionRequestAndItsFramesInTheTrace)
{
    REQUIRE_MODULE_BUILT();
    Session session({});
    std::ostringstream out, err;
    Shell shell(session.board(), out, err);
    EXPECT_EQ(shell.run_text("open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00;"
                             "ioctl 3 CONFIG_IOCTL_VERSION bad; ioctl 3 0x1234; trace",
                             true),
              Outcome::Ok)
        << err.str();
    const auto lines = lines_of(out.str());
    ASSERT_GE(lines.size(), 6u) << out.str();
    EXPECT_EQ(lines[0], "3");
    EXPECT_EQ(lines[1], "0 01 07");
    EXPECT_EQ(lines[2], "-14");
    EXPECT_EQ(lines[3], "-22");
    EXPECT_THAT(lines[4], testing::MatchesRegex("-> +[0-9.]+ CONFIG CONTROL \\[1e\\] crc ok tail [89ab][0-9a-f] "
                                                "\\| 8a 06 70 1e 5a [89ab][0-9a-f]"));
    EXPECT_THAT(lines[5],
                testing::MatchesRegex("<- +[0-9.]+ CONFIG CONTROL st 0 \\[01 07\\] crc ok tail [89ab][0-9a-f] "
                                      "\\| 8a 07 70 01 07 .*"));
    EXPECT_TRUE(session.leave(err)) << err.str();
    EXPECT_FALSE(khost::booted());
}

TEST(BoardSession, LeavingClosesFilesLeftOpenAndUnloads)
{
    REQUIRE_MODULE_BUILT();
    Session session({});
    std::ostringstream out, err;
    Shell shell(session.board(), out, err);
    shell.run_text("open /dev/quorvel_count; open /dev/quorvel_config; rmmod", true);
    // The module is busy while the program holds its files.
    EXPECT_THAT(out.str(), HasSubstr("rmmod:"));
    EXPECT_TRUE(session.leave(err)) << err.str();
    EXPECT_FALSE(khost::booted());
}

TEST(BoardSession, RefusedLoadLeavesNothingBehind)
{
    REQUIRE_MODULE_BUILT();
    SessionOptions options;
    options.params = {"dev_pwm=0xzz"};
    EXPECT_THROW(Session{options}, StartError);
    EXPECT_FALSE(khost::booted());
}

TEST(BoardProgram, ParametersReachTheModule)
{
    REQUIRE_MODULE_BUILT();
    const BoardRun r = run_board("dev_pwm=3 -c 'dmesg'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, HasSubstr("10\t10\t0\t0"));
}

TEST(BoardProgram, LsLongShowsTheClassLinkIntoDevices)
{
    REQUIRE_MODULE_BUILT();
    const BoardRun r = run_board("-c 'ls -l /sys/class/config_class'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "lrwxrwxrwx quorvel_config -> ../../devices/virtual/config_class/quorvel_config\n");
}

TEST(BoardProgram, ExitStatusFollowsTheCommands)
{
    REQUIRE_MODULE_BUILT();
    const BoardRun good = run_board("-c 'open /dev/quorvel_config ro; close 3'");
    EXPECT_EQ(good.status, 0) << good.out;
    EXPECT_EQ(good.out, "3\n0\n");

    const BoardRun bad = run_board("-c 'open /dev/quorvel_config; bogus; close 3'");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "3\nunknown command 'bogus' (try help)\n");

    const BoardRun refused = run_board("dev_pwm=notanumber -c 'lsmod'");
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.out, HasSubstr("insmod:"));
}

TEST(BoardProgram, ErrexitStopsAtTheFirstFailureWithStatusOne)
{
    REQUIRE_MODULE_BUILT();
    const BoardRun r = run_board("-e -c 'open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION bad; close 3'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "3\n-14\nstopped at the failed command: ioctl 3 CONFIG_IOCTL_VERSION bad\n");
    const BoardRun ok = run_board("-e -c 'open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00; close 3'");
    EXPECT_EQ(ok.status, 0) << ok.out;
}

// The board's fail command reaches the kernel layer's failure injection: the
// configuration device's class fails, its node is missing, and the next
// load brings it back.
TEST(BoardProgram, FailMakesAKernelCallFail)
{
    REQUIRE_MODULE_BUILT();
    const BoardRun r = run_board("-e -c 'rmmod; fail class_create 1; insmod; ls /dev; fail; rmmod; insmod; ls /dev'");
    EXPECT_EQ(r.status, 0) << r.out;
    const auto lines = lines_of(r.out);
    const auto forced = std::find(lines.begin(), lines.end(), "forced                   class_create");
    ASSERT_NE(forced, lines.end()) << r.out;
    const std::string first(r.out.begin(), r.out.begin() + r.out.find("any "));
    const std::string last(r.out.begin() + r.out.find("forced"), r.out.end());
    EXPECT_THAT(first, ::testing::Not(HasSubstr("quorvel_config")));
    EXPECT_THAT(first, HasSubstr("quorvel_count"));
    EXPECT_THAT(last, HasSubstr("quorvel_config"));
    EXPECT_THAT(r.out, ::testing::ContainsRegex("armed +class_create 1 1"));
}

TEST(BoardSession, CoprocCommandsReachTheSimulatorOrExplainWhyNot)
{
    REQUIRE_MODULE_BUILT();
    Session session({});
    std::ostringstream out, err;
    Shell shell(session.board(), out, err);
    EXPECT_EQ(shell.run_text("coproc help; coproc show", true), Outcome::Ok);
    EXPECT_THAT(out.str(), HasSubstr("coproc show"));
    // A subcommand no area knows is a usage error; words a known one cannot
    // parse name that subcommand's usage.
    EXPECT_EQ(shell.run_command("coproc frobnicate"), Outcome::Usage);
    EXPECT_THAT(err.str(), HasSubstr("unknown subcommand 'frobnicate'"));
    EXPECT_EQ(shell.run_command("coproc show extra"), Outcome::Usage);
    EXPECT_THAT(err.str(), HasSubstr("(usage: coproc show"));
    // A board whose line goes to a real co-processor has nothing to drive.
    session.board().set_simulator(nullptr);
    EXPECT_EQ(shell.run_command("coproc show"), Outcome::Failed);
    EXPECT_THAT(out.str(), HasSubstr("not a simulated one of ours"));
}

namespace {

// The serial port from the board: the write frame, stty's line-settings
// frame and read-back, a setting the driver refuses, the remote side's bytes
// through a non-blocking read, and what the board sent.
TEST(BoardSerial, WriteStttyAndTheRemoteSide)
{
    REQUIRE_MODULE_BUILT();
    BoardRun r = run_board("dev_uart=1 -c 'open /dev/ttySP0; write 3 41 42 43; trace'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, HasSubstr("UART WRITE [41 42 43] crc ok"));
    EXPECT_THAT(r.out, HasSubstr("| 83 08 20 41 42 43 52 "));

    r = run_board("dev_uart=1 -c 'open /dev/ttySP0; stty -F /dev/ttySP0 115200 -echo; trace; stty -F /dev/ttySP0'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, HasSubstr("UART CONTROL [10 05 08 00 01 01] crc ok"));
    EXPECT_THAT(r.out, HasSubstr("speed 115200 baud;")) << "held open by fd 3, the speed stays";
    EXPECT_THAT(r.out, HasSubstr("-echo"));

    r = run_board("dev_uart=1 -e -c 'stty -F /dev/ttySP0 4800'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_THAT(r.out, HasSubstr("stty: /dev/ttySP0: unable to perform all requested operations"));

    r = run_board(
        "dev_uart=1 -c 'open /dev/ttySP0 rw nonblock; read 3 8; coproc uart send 68 69 0a; sleep 300; read 3 8; "
        "write 3 6f 6b; coproc uart show'");
    EXPECT_EQ(r.status, 0) << r.out;
    const auto lines = lines_of(r.out);
    EXPECT_THAT(lines, ::testing::Contains("-11"));
    EXPECT_THAT(lines, ::testing::Contains("sent 3 bytes"));
    EXPECT_THAT(lines, ::testing::Contains("3 68 69 0a"));
    EXPECT_THAT(r.out, HasSubstr("sent by the board: 6f 6b"));
    EXPECT_THAT(run_board("dev_uart=1 -c 'stty -F /dev/ttySP0 cs9'").status, 2);
}

} // namespace

// Ctrl-C while a program's read of ttySP0 waits for bytes that never come:
// the read returns -EINTR (-4) and the board goes on, as on Linux. Whether
// the signal arrives before the read starts waiting or during the wait,
// the read is interrupted.
TEST(BoardSerial, CtrlCInterruptsABlockingRead)
{
    REQUIRE_MODULE_BUILT();
    Session session({.uart = {}, .hz = 1000, .params = {"dev_uart=1"}});
    std::ostringstream out, err;
    Shell shell(session.board(), out, err);
    ASSERT_EQ(shell.run_text("open /dev/ttySP0", true), Outcome::Ok);
    // The signal thread's part, from a thread of its own; the commands run
    // on the thread that made the board, as in the board program.
    std::thread ctrl_c([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        session.board().interrupt_program();
    });
    (void)shell.run_text("read 3 8", true);
    ctrl_c.join();
    EXPECT_THAT(lines_of(out.str()), ::testing::Contains("-4")) << out.str() << err.str();
    EXPECT_EQ(shell.run_text("write 3 41", true), Outcome::Ok);
    EXPECT_THAT(lines_of(out.str()), ::testing::Contains("1")) << "the board goes on";
}
