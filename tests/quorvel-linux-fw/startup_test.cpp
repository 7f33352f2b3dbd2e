// Loading and unloading the module: its log, the pin-mode table built from
// the masks, parameters under /sys/module, and a fresh start on every load.
#include "board.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <sstream>

using qtest::Board;
using ::testing::ElementsAre;

namespace {

const std::string params_dir = "/sys/module/quorvel_linux_module/parameters/";

// The 48 codes of the table as the load logged them.
std::array<unsigned, 48> logged_table()
{
    std::array<unsigned, 48> table{};
    auto lines = Board::log();
    long at = Board::find_line("Size of int : 4 bytes");
    EXPECT_GE(at, 0);
    for (int row = 0; row < 6 && at >= 0; row++) {
        std::istringstream in(lines.at(static_cast<size_t>(at + 1 + row)));
        for (int col = 0; col < 8; col++)
            in >> std::hex >> table[static_cast<size_t>(row * 8 + col)];
    }
    return table;
}

std::string read_attr(khost::Program &p, const std::string &path)
{
    long fd = p.open(path, 0);
    if (fd < 0)
        return "error " + std::to_string(fd);
    char buf[64] = {};
    long n = p.read(static_cast<int>(fd), buf, sizeof buf - 1);
    p.close(static_cast<int>(fd));
    return n < 0 ? "error " + std::to_string(n) : std::string(buf, static_cast<size_t>(n));
}

} // namespace

TEST(Startup, LogsParametersAndAnEmptyTableWithoutParameters)
{
    Board board;
    auto lines = Board::log();
    ASSERT_GE(lines.size(), 30u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "--------------------------");
    EXPECT_EQ(lines[2], "dev_iic1   = 0 ");
    EXPECT_EQ(lines[10], "dev_config = 1 ");
    EXPECT_EQ(lines[16], "dev_ir_recv  = 0 ");
    EXPECT_EQ(lines[17], "dev_imu20689 = 1 ");
    EXPECT_EQ(lines[18], "Size of long: 8 bytes");
    EXPECT_EQ(lines[19], "Size of int : 4 bytes");
    for (int row = 0; row < 6; row++)
        EXPECT_EQ(lines[static_cast<size_t>(20 + row)], "0\t0\t0\t0\t0\t0\t0\t0");
    // The line set-up: four ioctls, the c_cflag found continuing the second line.
    EXPECT_EQ(lines[26], "f->f_op->unlocked_ioctl\r");
    EXPECT_EQ(lines[27].rfind("termios.c_cflag = ", 0), 0u) << lines[27];
    // Start-up sends nothing to the co-processor.
    EXPECT_EQ(board.sim().request_count(), 0u);
}

TEST(Startup, PwmMaskGivesItsPinsThePwmCode)
{
    Board board({"dev_pwm=3"});
    auto lines = Board::log();
    long at = Board::find_line("Size of int : 4 bytes");
    ASSERT_GE(at, 0);
    EXPECT_EQ(lines[static_cast<size_t>(at + 1)], "10\t10\t0\t0\t0\t0\t0\t0");
    auto table = logged_table();
    EXPECT_EQ(std::count(table.begin(), table.end(), 0u), 46);
    EXPECT_EQ(Board::find_line("dev_pwm    = 3 "), 6);
}

TEST(Startup, MasksTakePrecedenceInTheirFixedOrder)
{
    // Pin 5 in I2C and GPIO, pin 3 in SPI 1 and UART, pin 40 reserved, 31 and 45 plain.
    Board board({"dev_iic1=0x20", "dev_gpio=0x210080000020", "dev_spi1=8", "dev_uart=0x8"});
    auto table = logged_table();
    EXPECT_EQ(table[5], 0x01u);
    EXPECT_EQ(table[3], 0x04u);
    EXPECT_EQ(table[31], 0x01u);
    EXPECT_EQ(table[45], 0x01u);
    EXPECT_EQ(table[40], 0x00u) << "pins 32..44 keep their code";
}

TEST(Startup, MaskBitsAbove47NameNoPin)
{
    Board board({"dev_gpio=0x1000000000000", "dev_adc=0x7fff000000000000"});
    auto table = logged_table();
    EXPECT_EQ(std::count(table.begin(), table.end(), 0u), 48);
    EXPECT_TRUE(khost::log_contains("dev_gpio   = 1000000000000 "));
}

TEST(Startup, ParametersReadBackUnderSysModule)
{
    Board board({"dev_gpio=0x30", "dev_sr04=017"});
    khost::Program p;
    EXPECT_EQ(read_attr(p, params_dir + "dev_gpio"), "48\n");
    EXPECT_EQ(read_attr(p, params_dir + "dev_sr04"), "15\n"); // a leading 0 is octal
    EXPECT_EQ(read_attr(p, params_dir + "dev_imu20689"), "1\n");
    std::vector<khost::DirEntry> entries;
    ASSERT_EQ(p.list(params_dir, &entries), 0);
    EXPECT_EQ(entries.size(), 15u);
    for (const auto &e : entries)
        EXPECT_EQ(e.mode & 0777, 0600u) << e.name;
    EXPECT_EQ(read_attr(p, params_dir + "dev_config"), "error -2") << "dev_config is no parameter";
}

// As Linux's loader (4.4 and 6.1 alike): a parameter the module does not
// have is ignored with a warning; a value that does not parse refuses the load.
TEST(Startup, UnknownParameterIsIgnoredBadNumberRefusesTheLoad)
{
    Board board({"dev_gpio=1"});
    ASSERT_EQ(board.unload(), 0);
    khost::log_clear();
    std::string why;
    EXPECT_EQ(board.load({"dev_bogus=1", "dev_pwm=2"}, &why), 0);
    EXPECT_TRUE(khost::log_contains("quorvel_linux_module: unknown parameter 'dev_bogus' ignored"));
    EXPECT_TRUE(khost::log_contains("dev_pwm    = 2"));
    ASSERT_EQ(board.unload(), 0);
    khost::log_clear();
    EXPECT_EQ(board.load({"dev_pwm=12abc"}, &why), -EINVAL);
    EXPECT_TRUE(khost::log_contains("quorvel_linux_module: `12abc' invalid for parameter `dev_pwm'"));
    EXPECT_EQ(board.load({"dev_pwm"}, &why), -EINVAL);
    EXPECT_TRUE(khost::lsmod().empty());
    EXPECT_EQ(Board::find_line("--------------------------"), -1) << "a refused load never runs init";
}

TEST(Startup, EveryLoadStartsFromFreshState)
{
    Board board({"dev_pwm=3"});
    khost::Program p;
    long fd = p.open(params_dir + "dev_spi0", 2);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(p.write(static_cast<int>(fd), "7", 1), 1);
    EXPECT_EQ(p.close(static_cast<int>(fd)), 0);
    EXPECT_EQ(read_attr(p, params_dir + "dev_spi0"), "7\n");

    ASSERT_EQ(board.unload(), 0);
    ASSERT_EQ(board.load(), 0);
    EXPECT_EQ(read_attr(p, params_dir + "dev_spi0"), "0\n");
    EXPECT_EQ(read_attr(p, params_dir + "dev_pwm"), "0\n");
    auto table = logged_table(); // the first load's table comes first in the log
    EXPECT_EQ(table[0], 0x10u);
    auto lines = Board::log();
    long second =
        Board::find_line("Size of int : 4 bytes", static_cast<size_t>(Board::find_line("Size of int : 4 bytes") + 1));
    ASSERT_GT(second, 0);
    EXPECT_EQ(lines[static_cast<size_t>(second + 1)], "0\t0\t0\t0\t0\t0\t0\t0")
        << "the table does not survive an unload";
}

TEST(Startup, NodesOfTheAlwaysStartedDevicesExistUntilUnload)
{
    Board board;
    khost::Program p;
    std::vector<khost::DirEntry> dev;
    ASSERT_EQ(p.list("/dev", &dev), 0);
    std::vector<std::string> names;
    for (const auto &e : dev)
        names.push_back(e.name);
    EXPECT_THAT(names, ::testing::IsSupersetOf({"quorvel_config", "quorvel_count"}));
    ASSERT_EQ(board.unload(), 0);
    EXPECT_EQ(p.open("/dev/quorvel_config", 2), -ENOENT);
    EXPECT_EQ(p.open("/sys/module/quorvel_linux_module/parameters/dev_gpio", 0), -ENOENT);
}

// Each driver's platform pair and class device where Linux puts them, and
// nothing of them left after the unload.
TEST(Startup, SysfsShowsEachDriverAsLinuxDoesUntilUnload)
{
    Board board;
    khost::Program p;
    for (const char *name : {"quorvel_config", "quorvel_count"}) {
        const std::string drv = std::string("/sys/bus/platform/drivers/") + name;
        khost::DirEntry e;
        ASSERT_EQ(p.stat(drv + "/" + name + ".0", &e, false), 0) << name;
        EXPECT_EQ(e.target, std::string("../../../../devices/platform/") + name + ".0");
        ASSERT_EQ(p.stat(drv + "/module", &e, false), 0);
        EXPECT_EQ(e.target, "../../../../module/quorvel_linux_module");
        EXPECT_EQ(read_attr(p, std::string("/sys/devices/platform/") + name + ".0/modalias"),
                  std::string("platform:") + name + "\n");
    }
    khost::DirEntry e;
    ASSERT_EQ(p.stat("/sys/class/config_class/quorvel_config", &e, false), 0);
    EXPECT_EQ(e.type, 'l');
    EXPECT_EQ(e.target, "../../devices/virtual/config_class/quorvel_config");
    EXPECT_THAT(read_attr(p, "/sys/class/config_class/quorvel_config/dev"), ::testing::MatchesRegex("[0-9]+:0\n"));
    EXPECT_THAT(read_attr(p, "/sys/class/config_class/quorvel_config/uevent"),
                ::testing::HasSubstr("DEVNAME=quorvel_config\n"));

    ASSERT_EQ(board.unload(), 0);
    for (const char *gone : {"/sys/bus/platform/drivers/quorvel_config", "/sys/bus/platform/devices/quorvel_count.0",
                             "/sys/devices/platform/quorvel_config.0", "/sys/class/config_class",
                             "/sys/devices/virtual/config_class", "/sys/module/quorvel_linux_module"})
        EXPECT_EQ(p.stat(gone, &e, false), -ENOENT) << gone;
    std::vector<khost::DirEntry> numbers;
    ASSERT_EQ(p.list("/sys/dev/char", &numbers), 0);
    EXPECT_TRUE(numbers.empty()) << numbers.front().name;
}

TEST(Startup, AnOpenFileKeepsTheModuleLoaded)
{
    Board board;
    khost::Program p;
    long fd = p.open("/dev/quorvel_count", 2);
    ASSERT_GE(fd, 3);
    std::string why;
    EXPECT_EQ(board.unload(&why), -EBUSY) << why;
    EXPECT_EQ(p.close(static_cast<int>(fd)), 0);
    EXPECT_EQ(board.unload(), 0);
}

TEST(Startup, ALineThatDoesNotOpenLeavesTheModuleWorking)
{
    Board board;
    ASSERT_EQ(board.unload(), 0);
    khost::set_serial_path("/nonexistent/tty");
    khost::log_clear();
    ASSERT_EQ(board.load(), 0);
    EXPECT_TRUE(khost::log_contains("IS_ERR(filp)\r"));
    EXPECT_FALSE(khost::log_contains("unlocked_ioctl")) << "no set-up on a failed open";

    // Exchanges find no line: the version request fails, a reset is just logged.
    khost::Program p;
    long fd = p.open("/dev/quorvel_config", 2);
    ASSERT_GE(fd, 3);
    uint8_t version[2] = {0xaa, 0xbb};
    EXPECT_EQ(p.ioctl(static_cast<int>(fd), 0x5201, reinterpret_cast<unsigned long>(version)), -EFAULT);
    EXPECT_EQ(version[0], 0xaa);
    uint8_t mode = 0;
    EXPECT_EQ(p.ioctl(static_cast<int>(fd), 0x6301, reinterpret_cast<unsigned long>(&mode)), 0);
    EXPECT_TRUE(khost::log_contains("error ret  = -19"));
    p.close(static_cast<int>(fd));

    // The counter's reset after the last close finds no line either, and is
    // run to its end before the unload finishes.
    khost::log_clear();
    p.close(static_cast<int>(p.open("/dev/quorvel_count", 2)));
    EXPECT_EQ(board.unload(), 0);
    EXPECT_TRUE(khost::log_contains("error ret  = -19"));
}

// The line as the module leaves it, read back from the pseudo-terminal: raw,
// 4,000,000 baud 8N1 with the receiver on and modem lines ignored, reads
// returning each byte as it comes; the line discipline and the control
// characters the module does not set are as the line had them.
TEST(Startup, LineSettingsReadBackFromTheTty)
{
    Board board;
    ASSERT_EQ(board.unload(), 0);
    const int fd = ::open(board.sim().tty_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    struct termios before {};
    ASSERT_EQ(::tcgetattr(fd, &before), 0);
    before.c_iflag = ICRNL | IXON;
    before.c_oflag = OPOST | ONLCR;
    before.c_lflag = ICANON | ECHO | ISIG;
    before.c_cflag = B9600 | CS7 | PARENB | CSTOPB | CREAD | HUPCL;
    for (unsigned i = 0; i < NCCS; i++)
        before.c_cc[i] = static_cast<cc_t>(0x40 + i);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &before), 0);
    ASSERT_EQ(::tcgetattr(fd, &before), 0);

    ASSERT_EQ(board.load(), 0);
    struct termios after {};
    ASSERT_EQ(::tcgetattr(fd, &after), 0);
    ::close(fd);
    EXPECT_EQ(after.c_iflag, 0u);
    EXPECT_EQ(after.c_oflag, 0u);
    EXPECT_EQ(after.c_lflag, 0u);
    EXPECT_EQ(after.c_cflag, static_cast<tcflag_t>(B4000000 | CS8 | CREAD | CLOCAL));
    EXPECT_EQ(after.c_cflag, 0x18BFu);
    EXPECT_EQ(after.c_line, before.c_line);
    EXPECT_EQ(after.c_cc[VMIN], 1);
    EXPECT_EQ(after.c_cc[VTIME], 0);
    for (unsigned i = 0; i < NCCS; i++) {
        if (i != VMIN && i != VTIME) {
            EXPECT_EQ(after.c_cc[i], before.c_cc[i]) << "c_cc[" << i << "]";
        }
    }
    EXPECT_TRUE(khost::log_contains("termios.c_cflag = " + std::to_string(before.c_cflag)));
}
