// The PWM chip as programs use it through /sys/class/pwm: the frames of each
// legacy operation in the order the core calls them, the core's own checks
// before the driver is asked, and what a refusal or silence leaves recorded.
#include "pins_support.hpp"

#include <coproc/firmware.hpp>
#include <coproc/models/pins.hpp>
#include <khost/sleeps.hpp>

#include <gmock/gmock.h>

using coproc::DEV_TYPE_PWM;
using namespace qtest;

namespace {

const std::string chip = "/sys/class/pwm/pwmchip0/";

class PwmChip : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(board_.loaded());
        ASSERT_EQ(write("export", "3"), 2);
        board_.sim().clear_log();
    }
    void TearDown() override { write("unexport", "3"); }

    long write(const std::string &file, const std::string &text) { return sysfs_write(prog_, chip + file, text); }
    std::string read(const std::string &file) { return sysfs_read(prog_, chip + file); }
    coproc::PwmModel::Channel channel(size_t n)
    {
        return board_.sim().with_firmware(
            [&](coproc::Firmware &fw) { return fw.model<coproc::PwmModel>().channel(n); });
    }

    Board board_{{"dev_pwm=1"}};
    khost::Program prog_{"pwm_user"};
};

TEST_F(PwmChip, ThirtyTwoChannelsAtTheFirstFreeBase)
{
    EXPECT_EQ(read("npwm"), "32\n");
    EXPECT_EQ(write("export", "32"), -ENODEV);
    EXPECT_EQ(write("export", "0"), 2);
    EXPECT_EQ(write("unexport", "0"), 2);
    auto reqs = take_requests(board_);
    ASSERT_EQ(reqs.size(), 2u);
    expect_request(reqs[0], DEV_TYPE_PWM, coproc::CMD_OPEN, {0});
    expect_request(reqs[1], DEV_TYPE_PWM, coproc::CMD_CLOSE, {0});
    EXPECT_EQ(coproc::hex({reqs[0].raw.data(), 3}), "85 06 10");
    EXPECT_EQ(coproc::hex({reqs[1].raw.data(), 3}), "85 06 50");
}

TEST_F(PwmChip, ConfigSendsDutyThenPeriodLittleEndian)
{
    ASSERT_EQ(write("pwm3/period", "1000000"), 8);
    ASSERT_EQ(write("pwm3/duty_cycle", "250000"), 7);
    ASSERT_EQ(write("pwm3/enable", "1"), 2);
    ASSERT_EQ(write("pwm3/enable", "0"), 2);
    ASSERT_EQ(write("pwm3/polarity", "inversed"), 9);
    auto reqs = take_requests(board_);
    ASSERT_EQ(reqs.size(), 5u);
    expect_request(reqs[0], DEV_TYPE_PWM, coproc::CMD_WRITE, {3, 0xF2, 0, 0, 0, 0, 0x40, 0x42, 0x0F, 0});
    expect_request(reqs[1], DEV_TYPE_PWM, coproc::CMD_WRITE, {3, 0xF2, 0x90, 0xD0, 0x03, 0, 0x40, 0x42, 0x0F, 0});
    EXPECT_EQ(reqs[1].raw.size(), 15u);
    expect_request(reqs[2], DEV_TYPE_PWM, coproc::CMD_WRITE, {3, 0xF4, 1});
    expect_request(reqs[3], DEV_TYPE_PWM, coproc::CMD_WRITE, {3, 0xF4, 0});
    expect_request(reqs[4], DEV_TYPE_PWM, coproc::CMD_WRITE, {3, 0xF1, 1});
    const auto c = channel(3);
    EXPECT_EQ(c.period_ns, 1000000);
    EXPECT_EQ(c.duty_ns, 250000);
    EXPECT_TRUE(c.inversed);
    EXPECT_EQ(read("pwm3/polarity"), "inversed\n");
}

// Values the core refuses never reach the co-processor.
TEST_F(PwmChip, TheCoreChecksBeforeTheDriverIsAsked)
{
    EXPECT_EQ(write("pwm3/duty_cycle", "10"), -EINVAL) << "no period yet";
    ASSERT_EQ(write("pwm3/period", "1000"), 5);
    board_.sim().clear_log();
    EXPECT_EQ(write("pwm3/duty_cycle", "1001"), -EINVAL);
    EXPECT_EQ(write("pwm3/period", "0"), -EINVAL);
    EXPECT_EQ(write("pwm3/enable", "2"), -EINVAL);
    EXPECT_EQ(write("pwm3/polarity", "upside-down"), -EINVAL);
    ASSERT_EQ(write("pwm3/enable", "1"), 2);
    EXPECT_EQ(write("pwm3/polarity", "inversed"), -EBUSY);
    EXPECT_EQ(write("pwm3/enable", "1"), 2) << "enabling an enabled channel asks nothing";
    auto reqs = take_requests(board_);
    ASSERT_EQ(reqs.size(), 1u);
    expect_request(reqs[0], DEV_TYPE_PWM, coproc::CMD_WRITE, {3, 0xF4, 1});
}

// A refused request, polarity or enable is -1 (EPERM to the program); a
// refused config is -EIO and the core keeps the values the co-processor has.
TEST_F(PwmChip, StatusNibbleCases)
{
    ASSERT_EQ(write("pwm3/period", "1000"), 5);
    board_.sim().inject({coproc::FaultKind::Status, 2});
    EXPECT_EQ(write("pwm3/period", "2000"), -EIO);
    EXPECT_EQ(read("pwm3/period"), "1000\n");
    board_.sim().inject({coproc::FaultKind::Status, 2});
    EXPECT_EQ(write("pwm3/enable", "1"), -EPERM);
    EXPECT_EQ(read("pwm3/enable"), "0\n");
    board_.sim().inject({coproc::FaultKind::BadCrc});
    EXPECT_EQ(write("pwm3/polarity", "inversed"), -EPERM);
    EXPECT_EQ(read("pwm3/polarity"), "normal\n");
    board_.sim().inject({coproc::FaultKind::Status, 2});
    EXPECT_EQ(write("export", "4"), -EPERM);
    EXPECT_EQ(write("unexport", "4"), -ENODEV) << "a refused request leaves the channel free";
    // The co-processor refuses what it cannot make; so does the driver then.
    EXPECT_EQ(write("pwm3/duty_cycle", "1000"), 5);
    ASSERT_EQ(write("pwm3/enable", "1"), 2);
    board_.sim().inject({coproc::FaultKind::Status, 2});
    EXPECT_EQ(write("pwm3/enable", "0"), 2) << "disable reports nothing";
    EXPECT_EQ(read("pwm3/enable"), "0\n");
}

TEST_F(PwmChip, SilentCoprocessorEveryCallBounded)
{
    ASSERT_EQ(write("pwm3/period", "1000"), 5);
    board_.sim().set_silent(true);
    auto bounded = [&](auto call) {
        const auto before = khost::sleeps_of("pwm_user");
        call();
        const auto d = khost::sleeps_of("pwm_user") - before;
        EXPECT_LE(d.timeouts, 1u);
        EXPECT_LE(d.ticks, 100u);
    };
    bounded([&] { EXPECT_EQ(write("pwm3/period", "5000"), -EIO); });
    bounded([&] { EXPECT_EQ(write("pwm3/enable", "1"), -EPERM); });
    bounded([&] { EXPECT_EQ(write("pwm3/polarity", "inversed"), -EPERM); });
    bounded([&] { EXPECT_EQ(write("export", "5"), -EPERM); });
    EXPECT_EQ(read("pwm3/period"), "1000\n");
    board_.sim().set_silent(false);
    EXPECT_EQ(write("pwm3/period", "5000"), 5);
}

TEST(PwmStart, UnloadRefusedWhileAChannelIsExported)
{
    Board board({"dev_pwm=1"});
    ASSERT_EQ(sysfs_write("/sys/class/pwm/pwmchip0/export", "7"), 2);
    EXPECT_EQ(board.unload(), -EBUSY);
    ASSERT_EQ(sysfs_write("/sys/class/pwm/pwmchip0/unexport", "7"), 2);
    EXPECT_EQ(board.unload(), 0);
    EXPECT_EQ(sysfs_read("/sys/class/pwm/pwmchip0/npwm").substr(0, 5), "error");
}

} // namespace

namespace {

TEST(PwmStart, NoUnbindThroughSysfs)
{
    Board board({"dev_pwm=1"});
    khost::Program p;
    khost::DirEntry e;
    EXPECT_EQ(p.stat("/sys/bus/platform/drivers/quorvel-pwm/quorvel-pwm", &e, false), 0);
    EXPECT_EQ(p.stat("/sys/bus/platform/drivers/quorvel-pwm/unbind", &e, false), -ENOENT);
    EXPECT_EQ(p.stat("/sys/bus/platform/drivers/quorvel-pwm/bind", &e, false), -ENOENT);
}

} // namespace
