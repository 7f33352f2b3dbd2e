// `coproc pin`, `pwm` and `adc` on a whole board: what a person sets from
// outside is what the module's drivers then read, and bad words are usage
// errors naming the subcommand.
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <khost/kernel.hpp>
#include <sstream>

#include "session.hpp"
#include "shell.hpp"

using namespace board;
using ::testing::HasSubstr;

namespace {

TEST(BoardCoprocPins, OutsideLevelsAndSamplesReachThePrograms)
{
    ASSERT_TRUE(std::filesystem::exists(khost::module_path()));
    SessionOptions options;
    options.params = {"dev_gpio=1", "dev_adc=0x4", "dev_pwm=1"};
    Session session(options);
    std::ostringstream out, err;
    Shell shell(session.board(), out, err);
    EXPECT_EQ(shell.run_text("coproc pin 7 high; echo 207 > /sys/class/gpio/export; "
                             "cat /sys/class/gpio/gpio207/value; coproc pin 7 low; cat /sys/class/gpio/gpio207/value; "
                             "echo 207 > /sys/class/gpio/unexport",
                             true),
              Outcome::Ok)
        << err.str();
    EXPECT_THAT(out.str(), HasSubstr("pin 7: input 1, outside level 1 (not open)\n1\n"));
    EXPECT_THAT(out.str(), HasSubstr("pin 7: input 0, outside level 0\n0\n"));
    out.str("");
    EXPECT_EQ(shell.run_text("coproc adc 2 1234; cat /sys/bus/iio/devices/iio:device3/in_voltage0_raw; "
                             "coproc adc 2 ramp",
                             true),
              Outcome::Ok);
    EXPECT_THAT(out.str(), HasSubstr("adc 2: next sample 1234\n1234\nadc 2: next sample 807\n"));
    out.str("");
    EXPECT_EQ(
        shell.run_text("echo 3 > /sys/class/pwm/pwmchip0/export; echo 1000 > /sys/class/pwm/pwmchip0/pwm3/period; "
                       "coproc pwm 3; coproc show; echo 3 > /sys/class/pwm/pwmchip0/unexport",
                       true),
        Outcome::Ok);
    EXPECT_THAT(out.str(), HasSubstr("pwm 3: period 1000 ns, duty 0 ns, normal, disabled\n"));
    EXPECT_THAT(out.str(), HasSubstr("   3 1000 0 normal disabled\n"));
    EXPECT_THAT(out.str(), HasSubstr("  2 807 (ramp) 1\n"));
    for (const char *bad : {"coproc pin 48", "coproc pin 5 middle", "coproc pin", "coproc adc 10 1",
                            "coproc adc 1 65536", "coproc pwm x"}) {
        EXPECT_EQ(shell.run_command(bad), Outcome::Usage) << bad;
    }
    EXPECT_THAT(err.str(), HasSubstr("usage: coproc pin N [high|low|LEVEL]"));
}

} // namespace

namespace {

// An exported line or channel holds the module; leaving unexports them, as
// it closes the files left open, so that the unload goes through.
TEST(BoardLeave, UnexportsWhatTheSessionExported)
{
    SessionOptions options;
    options.params = {"dev_gpio=1", "dev_pwm=1"};
    Session session(options);
    std::ostringstream out, err;
    Shell shell(session.board(), out, err);
    ASSERT_EQ(shell.run_text("echo 200 > /sys/class/gpio/export; echo 3 > /sys/class/pwm/pwmchip0/export; rmmod", true),
              Outcome::Ok);
    EXPECT_THAT(out.str(), HasSubstr("Device or resource busy (-16)"));
    EXPECT_TRUE(session.leave(err)) << err.str();
    EXPECT_EQ(err.str(), "");
}

} // namespace
