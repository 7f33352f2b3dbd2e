// The ADC inputs as programs see them under /sys/bus/iio/devices: which
// devices exist for a dev_adc, their names, the read frame and its sample,
// a read whose reply fails the check, and enable-all.
#include "pins_support.hpp"

#include <coproc/firmware.hpp>
#include <coproc/models/pins.hpp>
#include <khost/sleeps.hpp>

#include <gmock/gmock.h>

#include <algorithm>

using coproc::DEV_TYPE_ADC;
using namespace qtest;
using ::testing::ElementsAre;

namespace {

constexpr unsigned ENABLE_ALL = 0x4102;
const std::string iio = "/sys/bus/iio/devices/";
const std::string dev_adc_param = "/sys/module/quorvel_linux_module/parameters/dev_adc";

std::vector<std::string> iio_devices()
{
    khost::Program p;
    std::vector<khost::DirEntry> entries;
    std::vector<std::string> names;
    if (p.list(iio, &entries) == 0)
        for (const auto &e : entries)
            names.push_back(e.name);
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

std::string raw(int n) { return sysfs_read(iio + "iio:device" + std::to_string(n) + "/in_voltage0_raw"); }

void set_sample(Board &b, size_t input, std::optional<uint16_t> v)
{
    b.sim().with_firmware([&](coproc::Firmware &fw) { fw.model<coproc::AdcModel>().set_sample(input, v); });
}

long enable_all()
{
    khost::Program p;
    long fd = p.open("/dev/quorvel_config", 2);
    if (fd < 0)
        return fd;
    long ret = p.ioctl(static_cast<int>(fd), ENABLE_ALL, 0);
    p.close(static_cast<int>(fd));
    return ret;
}

TEST(AdcInputs, MaskFiveGivesDevicesOneAndThree)
{
    Board board({"dev_adc=0x5"});
    EXPECT_THAT(iio_devices(), ElementsAre("iio:device1", "iio:device3"));
    EXPECT_EQ(sysfs_read(iio + "iio:device1/name"), "quorvel-adc\n");
    EXPECT_EQ(sysfs_read(iio + "iio:device3/name"), "quorvel-adc\n");
    EXPECT_EQ(board.sim().request_count(), 0u) << "registering asks the co-processor nothing";
}

TEST(AdcInputs, BitSixteenStandsForInputEight)
{
    Board board({"dev_adc=0x30000"});
    EXPECT_THAT(iio_devices(), ElementsAre("iio:device9", "iio:device10"));
    EXPECT_EQ(sysfs_read(dev_adc_param), std::to_string(0x30300) + "\n");
}

TEST(AdcInputs, NoMaskNoDevicesButThePair)
{
    Board board;
    EXPECT_THAT(iio_devices(), ::testing::IsEmpty());
    khost::Program p;
    khost::DirEntry e;
    EXPECT_EQ(p.stat("/sys/bus/platform/drivers/quorvel-adc/quorvel-adc", &e, false), 0);
}

TEST(AdcInputs, ReadSendsTheInputAndReportsTheSample)
{
    Board board({"dev_adc=0x5"});
    board.sim().clear_log();
    set_sample(board, 2, 300);
    EXPECT_EQ(raw(3), "300\n");
    set_sample(board, 0, 0xFFFF);
    EXPECT_EQ(raw(1), "65535\n") << "sixteen bits, unsigned";
    auto reqs = take_requests(board);
    ASSERT_EQ(reqs.size(), 2u);
    expect_request(reqs[0], DEV_TYPE_ADC, coproc::CMD_READ, {2});
    EXPECT_EQ(coproc::hex({reqs[0].raw.data(), 4}), "86 06 30 02");
    EXPECT_EQ(reqs[0].reply_sent.size(), 7u);
    EXPECT_EQ(coproc::hex({reqs[0].reply_sent.data() + 3, 2}), "01 2c");
    expect_request(reqs[1], DEV_TYPE_ADC, coproc::CMD_READ, {0});
    set_sample(board, 2, std::nullopt);
    EXPECT_NE(raw(3), raw(3)) << "left alone, an input ramps";
}

// Mended: a reply that fails its check is an error, not a sample made of
// whatever bytes came.
TEST(AdcInputs, ABadReplyIsAnErrorNotASample)
{
    Board board({"dev_adc=0x1"});
    for (auto kind : {coproc::FaultKind::BadCrc, coproc::FaultKind::WrongHead, coproc::FaultKind::WrongTail,
                      coproc::FaultKind::WrongCommand, coproc::FaultKind::ShortReply}) {
        board.sim().inject({kind});
        EXPECT_EQ(raw(1), "error -5") << static_cast<int>(kind);
    }
    board.sim().inject({coproc::FaultKind::Status, 2});
    EXPECT_EQ(raw(1), "error -5") << "a refusal carries no sample";
    board.sim().set_silent(true);
    khost::Program p{"adc_reader"};
    const auto before = khost::sleeps_of("adc_reader");
    EXPECT_EQ(sysfs_read(p, iio + "iio:device1/in_voltage0_raw"), "error -5");
    const auto d = khost::sleeps_of("adc_reader") - before;
    EXPECT_LE(d.timeouts, 1u);
    EXPECT_LE(d.ticks, 100u);
    board.sim().set_silent(false);
    set_sample(board, 0, 42);
    EXPECT_EQ(raw(1), "42\n");
}

TEST(AdcInputs, EnableAllRegistersTheRestOnceAndUnloadTakesAll)
{
    Board board({"dev_adc=0x5"});
    ASSERT_EQ(enable_all(), 0);
    EXPECT_THAT(iio_devices(), ElementsAre("iio:device1", "iio:device2", "iio:device3", "iio:device4", "iio:device5",
                                           "iio:device6", "iio:device7", "iio:device8", "iio:device9", "iio:device10"));
    EXPECT_EQ(sysfs_read(dev_adc_param), "4095\n");
    ASSERT_EQ(enable_all(), 0);
    EXPECT_EQ(iio_devices().size(), 10u);
    set_sample(board, 9, 1234);
    EXPECT_EQ(raw(10), "1234\n");
    ASSERT_EQ(board.unload(), 0);
    EXPECT_THAT(iio_devices(), ::testing::IsEmpty());
    ASSERT_EQ(board.load({"dev_adc=0x2"}), 0);
    EXPECT_THAT(iio_devices(), ElementsAre("iio:device2"));
}

// Unbound through sysfs, the driver leaves no device; enable-all then has no
// platform device to hang inputs from, and a bind registers what dev_adc says.
TEST(AdcInputs, UnbindEnableAllAndBindAgain)
{
    Board board({"dev_adc=0x1"});
    const std::string drv = "/sys/bus/platform/drivers/quorvel-adc/";
    ASSERT_EQ(sysfs_write(drv + "unbind", "quorvel-adc"), 12);
    EXPECT_THAT(iio_devices(), ::testing::IsEmpty());
    ASSERT_EQ(enable_all(), 0);
    EXPECT_THAT(iio_devices(), ::testing::IsEmpty());
    EXPECT_EQ(sysfs_read(dev_adc_param), "1\n") << "left for the next probe";
    ASSERT_EQ(sysfs_write(drv + "bind", "quorvel-adc"), 12);
    EXPECT_THAT(iio_devices(), ElementsAre("iio:device1"));
    ASSERT_EQ(enable_all(), 0);
    EXPECT_EQ(iio_devices().size(), 10u);
}

} // namespace
