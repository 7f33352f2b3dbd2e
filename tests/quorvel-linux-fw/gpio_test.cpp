// The GPIO chip as programs use it through /sys/class/gpio: the frames each
// callback sends, what the GPIO core is told for each reply, a silent
// co-processor, and the shadow-word attributes of the platform device.
#include "pins_support.hpp"

#include <coproc/firmware.hpp>
#include <coproc/models/pins.hpp>
#include <khost/sleeps.hpp>

#include <gmock/gmock.h>

using coproc::DEV_TYPE_GPIO;
using namespace qtest;

namespace {

const std::string gpio = "/sys/class/gpio/";

class GpioChip : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(board_.loaded());
        board_.sim().clear_log();
    }
    void TearDown() override
    {
        for (int n : exported_)
            sysfs_write(prog_, gpio + "unexport", std::to_string(n));
    }

    long do_export(int n)
    {
        long ret = sysfs_write(prog_, gpio + "export", std::to_string(n));
        if (ret > 0)
            exported_.push_back(n);
        return ret;
    }
    long write(const std::string &file, const std::string &text) { return sysfs_write(prog_, gpio + file, text); }
    std::string read(const std::string &file) { return sysfs_read(prog_, gpio + file); }
    void set_input(size_t pin, uint8_t level)
    {
        board_.sim().with_firmware([&](coproc::Firmware &fw) { fw.model<coproc::GpioModel>().set_input(pin, level); });
    }

    Board board_{{"dev_gpio=0x20"}};
    khost::Program prog_{"gpio_user"};
    std::vector<int> exported_;
};

TEST_F(GpioChip, ChipIsLines200To247LabelledAfterItsDevice)
{
    EXPECT_EQ(read("gpiochip200/base"), "200\n");
    EXPECT_EQ(read("gpiochip200/ngpio"), "48\n");
    EXPECT_EQ(read("gpiochip200/label"), "quorvel-gpio\n");
    EXPECT_EQ(board_.requests().size(), 0u) << "adding the chip asks the co-processor nothing";
    EXPECT_EQ(write("export", "199"), -EINVAL);
    EXPECT_EQ(write("export", "248"), -EINVAL);
}

TEST_F(GpioChip, ExportAndUnexportOpenAndCloseThePin)
{
    ASSERT_GT(do_export(200), 0);
    ASSERT_GT(do_export(247), 0);
    EXPECT_EQ(write("unexport", "247"), 4);
    exported_.pop_back();
    auto reqs = take_requests(board_);
    ASSERT_EQ(reqs.size(), 3u);
    expect_request(reqs[0], DEV_TYPE_GPIO, coproc::CMD_OPEN, {0});
    expect_request(reqs[1], DEV_TYPE_GPIO, coproc::CMD_OPEN, {47});
    expect_request(reqs[2], DEV_TYPE_GPIO, coproc::CMD_CLOSE, {47});
    EXPECT_EQ(coproc::hex({reqs[0].raw.data(), 5}), "84 06 10 00 00");
    // The request callback logs the reply's six bytes.
    bool logged = false;
    for (const auto &line : Board::log())
        logged |= line.starts_with("84 6 10 0 0 ");
    EXPECT_TRUE(logged);
    EXPECT_EQ(do_export(200), -EBUSY) << "the core refuses a line exported twice, before asking";
    EXPECT_EQ(board_.requests().size(), 0u);
}

TEST_F(GpioChip, DirectionAndValueFrames)
{
    ASSERT_GT(do_export(205), 0);
    board_.sim().clear_log();
    EXPECT_EQ(write("gpio205/direction", "high"), 5);
    EXPECT_EQ(write("gpio205/value", "0"), 2);
    EXPECT_EQ(write("gpio205/value", "1"), 2);
    EXPECT_EQ(write("gpio205/direction", "low"), 4);
    EXPECT_EQ(write("gpio205/direction", "in"), 3);
    auto reqs = take_requests(board_);
    ASSERT_EQ(reqs.size(), 5u);
    expect_request(reqs[0], DEV_TYPE_GPIO, coproc::CMD_WRITE, {5, 1, 1});
    expect_request(reqs[1], DEV_TYPE_GPIO, coproc::CMD_WRITE, {5, 3, 0});
    expect_request(reqs[2], DEV_TYPE_GPIO, coproc::CMD_WRITE, {5, 3, 1});
    expect_request(reqs[3], DEV_TYPE_GPIO, coproc::CMD_WRITE, {5, 1, 0});
    expect_request(reqs[4], DEV_TYPE_GPIO, coproc::CMD_WRITE, {5, 2, 0});
    for (const auto &r : reqs)
        EXPECT_EQ(r.reply_sent.size(), 6u);
    EXPECT_EQ(write("gpio205/value", "1"), -EPERM) << "an input's value is refused before the chip is asked";
    EXPECT_EQ(board_.requests().size(), 0u);
}

TEST_F(GpioChip, ValuesReadBackFromTheCoprocessor)
{
    ASSERT_GT(do_export(203), 0);
    ASSERT_GT(do_export(204), 0);
    ASSERT_EQ(write("gpio203/direction", "high"), 5);
    EXPECT_EQ(read("gpio203/value"), "1\n") << "an output reads what it drives";
    set_input(4, 5);
    board_.sim().clear_log();
    EXPECT_EQ(read("gpio204/value"), "1\n") << "a level of 5 reads as 1";
    auto reqs = take_requests(board_);
    ASSERT_EQ(reqs.size(), 1u);
    expect_request(reqs[0], DEV_TYPE_GPIO, coproc::CMD_READ, {4});
    set_input(4, 0);
    EXPECT_EQ(read("gpio204/value"), "0\n");
    ASSERT_EQ(write("gpio204/active_low", "1"), 2);
    EXPECT_EQ(read("gpio204/value"), "1\n");
}

// A status nibble other than 0 refuses direction changes and reads, but not
// a request; set and free say nothing either way.
TEST_F(GpioChip, StatusNibbleCases)
{
    board_.sim().inject({coproc::FaultKind::Status, 3});
    EXPECT_GT(do_export(210), 0);
    board_.sim().inject({coproc::FaultKind::Status, 3});
    EXPECT_EQ(write("gpio210/direction", "out"), -EINVAL);
    EXPECT_EQ(read("gpio210/direction"), "in\n") << "a refused direction is not recorded";
    ASSERT_EQ(write("gpio210/direction", "out"), 4);
    board_.sim().inject({coproc::FaultKind::Status, 3});
    EXPECT_EQ(read("gpio210/value"), "-22\n") << "4.4 prints the driver's error as the value";
    board_.sim().inject({coproc::FaultKind::Status, 3});
    EXPECT_EQ(write("gpio210/value", "1"), 2);
    board_.sim().inject({coproc::FaultKind::BadCrc});
    EXPECT_EQ(write("gpio210/direction", "in"), -EINVAL);
    board_.sim().inject({coproc::FaultKind::WrongTail});
    EXPECT_EQ(do_export(211), -EINVAL) << "a malformed reply refuses the line";
    board_.sim().inject({coproc::FaultKind::WrongCommand});
    EXPECT_EQ(do_export(211), -EINVAL);
    EXPECT_EQ(read("gpio211/value").substr(0, 5), "error");
    board_.sim().inject({coproc::FaultKind::Status, 3});
    EXPECT_EQ(write("unexport", "210"), 4);
    exported_.clear();
}

// Each call costs at most one bounded wait for a reply that never comes;
// those that return something fail, set and free do not say.
TEST_F(GpioChip, SilentCoprocessorEveryCallBounded)
{
    ASSERT_GT(do_export(206), 0);
    ASSERT_EQ(write("gpio206/direction", "out"), 4);
    board_.sim().set_silent(true);
    auto bounded = [&](auto call) {
        const auto before = khost::sleeps_of("gpio_user");
        call();
        const auto d = khost::sleeps_of("gpio_user") - before;
        EXPECT_LE(d.timeouts, 1u);
        EXPECT_LE(d.ticks, 100u);
    };
    bounded([&] { EXPECT_EQ(write("gpio206/direction", "high"), -EINVAL); });
    bounded([&] { EXPECT_EQ(write("gpio206/value", "1"), 2); });
    bounded([&] { EXPECT_EQ(read("gpio206/value"), "-22\n"); });
    bounded([&] { EXPECT_EQ(do_export(207), -EINVAL); });
    bounded([&] { EXPECT_EQ(write("unexport", "206"), 4); });
    exported_.clear();
    board_.sim().set_silent(false);
    EXPECT_GT(do_export(207), 0) << "the chip works again once the co-processor answers";
}

TEST_F(GpioChip, ShadowWordAttributes)
{
    const std::string dir = "/sys/devices/platform/quorvel-gpio/";
    khost::DirEntry e;
    ASSERT_EQ(prog_.stat(dir + "vgpio_dir", &e, true), 0);
    EXPECT_EQ(e.mode & 0777, 0400u);
    ASSERT_EQ(prog_.stat(dir + "vgpio_in", &e, true), 0);
    EXPECT_EQ(e.mode & 0777, 0600u);
    ASSERT_EQ(prog_.stat(dir + "vgpio_out", &e, true), 0);
    EXPECT_EQ(e.mode & 0777, 0400u);
    EXPECT_EQ(sysfs_read(prog_, dir + "vgpio_dir"), "0\n");
    EXPECT_EQ(sysfs_read(prog_, dir + "vgpio_out"), "0\n");
    EXPECT_EQ(sysfs_read(prog_, dir + "vgpio_in"), "0\n");
    EXPECT_EQ(sysfs_write(prog_, dir + "vgpio_in", "12abc"), 6);
    EXPECT_EQ(sysfs_read(prog_, dir + "vgpio_in"), "12\n");
    EXPECT_EQ(sysfs_write(prog_, dir + "vgpio_in", "18446744073709551615"), 21);
    EXPECT_EQ(sysfs_read(prog_, dir + "vgpio_in"), "-1\n");
    EXPECT_EQ(sysfs_write(prog_, dir + "vgpio_in", "junk"), 5);
    EXPECT_EQ(sysfs_read(prog_, dir + "vgpio_in"), "0\n");
    EXPECT_EQ(sysfs_write(prog_, dir + "vgpio_dir", "1"), -EACCES);
    EXPECT_EQ(board_.requests().size(), 0u);
}

TEST(GpioStart, BitFortyEightAloneStartsTheChip)
{
    Board board({"dev_gpio=0x1000000000000"});
    EXPECT_EQ(sysfs_read("/sys/class/gpio/gpiochip200/ngpio"), "48\n");
}

TEST(GpioStart, NoSwitchNoChip)
{
    Board board;
    EXPECT_EQ(sysfs_read("/sys/class/gpio/gpiochip200/ngpio").substr(0, 5), "error");
}

} // namespace
