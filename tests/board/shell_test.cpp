#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

#include "fake_board.hpp"
#include "shell.hpp"

using namespace board;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Strings = std::vector<std::string>;

namespace {

struct ShellTest : ::testing::Test {
    FakeBoard fake;
    std::ostringstream out, err;
    Shell shell{fake, out, err};

    Outcome run(const std::string &text, bool stop = true) { return shell.run_text(text, stop); }
};

} // namespace

TEST_F(ShellTest, OpenModesAndResults)
{
    EXPECT_EQ(run("open /dev/quorvel_config; open /a ro; open /b wo; open /c rw"), Outcome::Ok);
    EXPECT_THAT(fake.calls, ElementsAre("open /dev/quorvel_config 2", "open /a 0", "open /b 1", "open /c 2"));
    EXPECT_EQ(out.str(), "3\n3\n3\n3\n");
    fake.open_result = -2;
    run("open /nope");
    EXPECT_THAT(out.str(), ::testing::EndsWith("\n-2 (No such file or directory)\n"));
}

TEST_F(ShellTest, IoctlArgumentForms)
{
    fake.ioctl_fill = {0x01, 0x07};
    run("ioctl 3 CONFIG_IOCTL_VERSION 00 00; ioctl 3 0x6301 null; ioctl 3 0x6301 bad; ioctl 3 0x430A; ioctl 4 7 =5");
    EXPECT_THAT(fake.calls, ElementsAre("ioctl 3 0x5201 buf", "ioctl 3 0x6301 0", "ioctl 3 0x6301 bad",
                                        "ioctl 3 0x430a 0", "ioctl 4 0x7 5"));
    // Only the buffer form prints bytes: the buffer as the call left it.
    EXPECT_EQ(out.str(), "0 01 07\n0\n0\n0\n0\n");
}

TEST_F(ShellTest, FailedIoctlStillShowsItsBuffer)
{
    fake.ioctl_result = -14;
    fake.ioctl_fill = {};
    run("ioctl 3 0x5201 aa bb");
    EXPECT_EQ(out.str(), "-14 aa bb\n");
}

TEST_F(ShellTest, ReadPrintsOnlyWhatCameBack)
{
    fake.reads = {std::string("\x01\x02\x03", 3)};
    run("read 3 48; read 3 48");
    EXPECT_EQ(out.str(), "3 01 02 03\n0\n");
    fake.read_result = -1;
    run("read 3 8");
    EXPECT_THAT(out.str(), ::testing::EndsWith("\n-1\n"));
}

TEST_F(ShellTest, WritePassesBytesOrPointerWords)
{
    run("write 3 05 1 0x01");
    EXPECT_EQ(fake.written, (std::vector<uint8_t>{0x05, 0x01, 0x01}));
    run("write 3 bad 4; write 3");
    EXPECT_THAT(fake.calls, ElementsAre("write 3 3", "write 3 4", "write 3 0"));
    EXPECT_EQ(out.str(), "3\n-14\n0\n");
}

TEST_F(ShellTest, EchoWritesTextAndNewline)
{
    run("echo 1 > /sys/class/gpio/export");
    EXPECT_EQ(std::string(fake.written.begin(), fake.written.end()), "1\n");
    run("echo -n 'a  b' c >/f");
    EXPECT_EQ(std::string(fake.written.begin(), fake.written.end()), "a  b c");
    EXPECT_THAT(fake.calls, ElementsAre("open /sys/class/gpio/export 1", "write 3 2", "close 3", "open /f 1",
                                        "write 3 6", "close 3"));
    EXPECT_EQ(out.str(), "");
}

TEST_F(ShellTest, CatReadsToEndAndReportsErrors)
{
    fake.reads = {"quorvel", "-gpio\n"};
    run("cat /sys/x");
    EXPECT_EQ(out.str(), "quorvel-gpio\n");
    EXPECT_THAT(fake.calls, ElementsAre("open /sys/x 0", "read 3 4096", "read 3 4096", "read 3 4096", "close 3"));
    out.str("");
    fake.read_result = -14;
    run("cat /dev/quorvel_count");
    EXPECT_EQ(out.str(), "cat: /dev/quorvel_count: Bad address (-14)\n");
}

TEST_F(ShellTest, CatStopsAtTheLimitOnEndlessFiles)
{
    fake.reads.assign(40, std::string(4096, 'x'));
    run("cat /dev/endless");
    EXPECT_EQ(out.str().size(), 64u * 1024);
}

TEST_F(ShellTest, LsLongShowsModesNumbersAndLinks)
{
    fake.entries = {{"quorvel_config", 'c', 0600, (250u << 20) | 0, ""},
                    {"gpio", 'd', 0755, 0, ""},
                    {"value", 'f', 0644, 0, ""},
                    {"ttyS10", 'c', 0600, (4u << 20) | 74, ""},
                    {"quorvel", 'l', 0777, 0, "../../devices/virtual/c/quorvel"}};
    run("ls -l /dev");
    EXPECT_EQ(out.str(), "crw------- 250, 0 quorvel_config\n"
                         "drwxr-xr-x        gpio\n"
                         "-rw-r--r--        value\n"
                         "crw-------  4, 74 ttyS10\n"
                         "lrwxrwxrwx        quorvel -> ../../devices/virtual/c/quorvel\n");
    EXPECT_THAT(fake.calls, ElementsAre("stat /dev nofollow", "list /dev"));
}

TEST_F(ShellTest, LsNamesAndWhatIsNotADirectory)
{
    fake.entries = {{"a", 'f', 0444, 0, ""}, {"b", 'l', 0777, 0, "../x"}};
    run("ls /sys/x");
    EXPECT_EQ(out.str(), "a\nb\n");

    // A link named with -l is shown itself, as coreutils does; without -l
    // (or with a trailing '/') it is followed.
    fake.calls.clear();
    out.str("");
    fake.stat_entry = {"", 'l', 0777, 0, "../../devices/virtual/c/n"};
    run("ls -l /sys/class/c/n");
    EXPECT_EQ(out.str(), "lrwxrwxrwx n -> ../../devices/virtual/c/n\n");
    run("ls -l /sys/class/c/n/");
    EXPECT_THAT(fake.calls, ElementsAre("stat /sys/class/c/n nofollow", "stat /sys/class/c/n/"));

    out.str("");
    fake.stat_entry = {"", 'f', 0444, 0, ""};
    run("ls /sys/devices/x/dev");
    EXPECT_EQ(out.str(), "dev\n");

    out.str("");
    fake.stat_result = -2;
    run("ls /none");
    EXPECT_EQ(out.str(), "ls: /none: No such file or directory (-2)\n");
    EXPECT_EQ(run("ls -x /dev"), Outcome::Usage);
    EXPECT_EQ(run("ls -l"), Outcome::Usage);
}

TEST_F(ShellTest, ModuleCommands)
{
    run("insmod dev_pwm=3 dev_gpio=0xff; rmmod; dmesg -c");
    EXPECT_THAT(fake.calls, ElementsAre("insmod dev_pwm=3 dev_gpio=0xff", "rmmod", "dmesg -c"));
    EXPECT_EQ(run("insmod dev_pwm"), Outcome::Usage);
    EXPECT_THAT(err.str(), HasSubstr("'dev_pwm' is not name=value"));
}

// Each malformed command is refused before the board is touched, with a
// message that names the problem.
TEST_F(ShellTest, BadInputIsRefusedWithAReason)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"frobnicate 3", "unknown command 'frobnicate'"},
        {"open", "missing arguments"},
        {"open /x rx", "bad mode 'rx'"},
        {"read x 4", "bad file descriptor 'x'"},
        {"read 3 lots", "bad count 'lots'"},
        {"read 3 0x10001", "above the limit"},
        {"write 3 0a 100", "bad hex byte '100'"},
        {"write 3 bad", "missing arguments"},
        {"ioctl 3 CONFIG_IOCTL_BOGUS", "unknown ioctl request 'CONFIG_IOCTL_BOGUS'"},
        {"ioctl 3 0x5201 null 00", "unexpected '00'"},
        {"ioctl 3 0x5201 =zz", "bad value 'zz'"},
        {"close", "missing arguments"},
        {"echo hello", "want TEXT > PATH"},
        {"echo a > /f /g", "want TEXT > PATH"},
        {"dmesg -x", "unexpected '-x'"},
        {"echo 'open", "unmatched quote"},
        {"exit now", "takes no arguments"},
        {"fail kmalloc", "missing arguments"},
        {"fail kmalloc 0", "call number '0' out of range"},
        {"fail kmalloc x", "bad call number 'x'"},
        {"fail kmalloc 1 0", "count '0' out of range"},
        {"fail kmalloc 1 2 3", "unexpected '3'"},
        {"fail clear now", "unexpected 'now'"},
    };
    for (const auto &[command, message] : cases) {
        err.str("");
        EXPECT_EQ(run(command), Outcome::Usage) << command;
        EXPECT_THAT(err.str(), HasSubstr(message)) << command;
    }
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(out.str(), "");
}

TEST_F(ShellTest, UsageLineFollowsTheReason)
{
    run("read 3");
    EXPECT_EQ(err.str(), "read: missing arguments\nusage: read FD COUNT [bad|null]\n");
}

TEST_F(ShellTest, ScriptsStopAtTheFirstBadCommand)
{
    EXPECT_EQ(run("open /a; bogus; close 3", true), Outcome::Usage);
    EXPECT_THAT(fake.calls, ElementsAre("open /a 2"));
    // At the prompt the rest of the line still runs, but the error is kept.
    EXPECT_EQ(run("bogus; close 3", false), Outcome::Usage);
    EXPECT_THAT(fake.calls, ElementsAre("open /a 2", "close 3"));
}

TEST_F(ShellTest, ExitEndsTheRun)
{
    EXPECT_EQ(run("close 3; exit; close 4"), Outcome::Exit);
    EXPECT_THAT(fake.calls, ElementsAre("close 3"));
}

TEST_F(ShellTest, HelpListsCommandsAndIoctlNames)
{
    run("help");
    for (const char *word : {"open PATH [rw|ro|wo]", "ioctl FD CMD", "trace", "CONFIG_IOCTL_RESET", "0x6301"})
        EXPECT_THAT(out.str(), HasSubstr(word));
}

TEST_F(ShellTest, ShRunsOnlyWhereTheBoardHasAShell)
{
    EXPECT_EQ(run("sh 'ls /dev'"), Outcome::Ok);
    EXPECT_THAT(out.str(), HasSubstr("sh: no shell on this board"));
    EXPECT_THAT(out.str(), HasSubstr("(-38)"));
    EXPECT_EQ(run("sh ls /dev"), Outcome::Usage) << "one quoted command";
}

TEST_F(ShellTest, FailArmsClearsAndLists)
{
    EXPECT_EQ(run("fail class_create 2; fail any 1 3; fail clear"), Outcome::Ok);
    EXPECT_THAT(fake.calls, ElementsAre("fail_nth 'class_create' 2 1", "fail_nth '' 1 3", "fail_clear"));
    EXPECT_EQ(out.str(), "");
    fake.fault_report = {
        {{"class_create", 2}, {"filp_open", 0}}, 5, {{"", 4, 2}, {"class_create", 2, 1}}, {"class_create"}};
    run("fail");
    EXPECT_EQ(out.str(), "any                      5\n"
                         "class_create             2\n"
                         "filp_open                0\n"
                         "armed                    any 4 2\n"
                         "armed                    class_create 2 1\n"
                         "forced                   class_create\n");
}

// A command fails when a program call prints a negative result or a tool
// reports an error; with errexit the first failure ends the run, as sh -e.
TEST_F(ShellTest, ErrexitStopsAtTheFirstFailedCommand)
{
    fake.open_result = -2;
    EXPECT_EQ(run("open /a; close 3"), Outcome::Ok) << "without errexit a failure goes by";
    EXPECT_THAT(fake.calls, ElementsAre("open /a 2", "close 3"));

    shell.set_errexit(true);
    fake.calls.clear();
    EXPECT_EQ(run("close 3; open /a; close 3"), Outcome::Failed);
    EXPECT_THAT(fake.calls, ElementsAre("close 3", "open /a 2"));
    EXPECT_EQ(err.str(), "stopped at the failed command: open /a\n");

    fake.calls.clear();
    fake.open_result = 3;
    fake.read_result = -14;
    EXPECT_EQ(run("cat /x; close 3"), Outcome::Failed);
    EXPECT_THAT(fake.calls, ElementsAre("open /x 0", "read 3 4096", "close 3"));
    fake.calls.clear();
    EXPECT_EQ(run("read 3 4 bad; close 3"), Outcome::Failed);
    EXPECT_THAT(fake.calls, ElementsAre("read 3 4"));
    // Results that are no failures: 0 bytes, an empty listing, help.
    fake.read_result = 0;
    EXPECT_EQ(run("read 3 4; ls /dev; help; lsmod; fail; cat /y; echo 1 > /z"), Outcome::Ok);
    // A parse error still ends the run as one.
    EXPECT_EQ(run("bogus; close 3"), Outcome::Usage);
}
