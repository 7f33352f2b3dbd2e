// spidev_test and the SPI ioctl names on the whole board.
#include <sys/wait.h>

#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

#include "parse.hpp"

using ::testing::HasSubstr;

namespace {

struct BoardRun {
    int status;
    std::string out;
};

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

std::string underscores(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += "__ ";
    return s;
}

} // namespace

TEST(SpidevTest, OneByteToTheFlashAndItsFrame)
{
    const auto run = run_board(R"(dev_spi1=1 -c 'trace; spidev_test -D /dev/spidev4.0 -p "\xAA"; trace')");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_THAT(run.out, HasSubstr("spi mode: 0x0\nbits per word: 8\nmax speed: 500000 Hz (500 kHz)\n"));
    EXPECT_THAT(run.out, HasSubstr("TX | AA " + underscores(31) + " |.|\n"));
    EXPECT_THAT(run.out, HasSubstr("RX | FF " + underscores(31) + " |.|\n"));
    EXPECT_THAT(run.out, HasSubstr("| 82 07 20 01 aa 4a "));
    EXPECT_THAT(run.out, HasSubstr("SPI CONTROL [01 00 80 10]")) << "500 kHz: speed code 128";
}

TEST(SpidevTest, LongStringsAndModesOnTheLoopback)
{
    const std::string text(40, 'q');
    const auto run = run_board("dev_spi0=1 -c 'spidev_test -D /dev/spidev3.0 -H -O -s 2000000 -p " + text + "'");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_THAT(run.out, HasSubstr("spi mode: 0x3\n"));
    EXPECT_THAT(run.out, HasSubstr("max speed: 2000000 Hz (2000 kHz)\n"));
    std::string q32, hex32;
    for (int i = 0; i < 32; i++)
        q32 += 'q', hex32 += "71 ";
    EXPECT_THAT(run.out, HasSubstr("RX | " + hex32 + " |" + q32 + "|\nRX | 71 71 71 71 71 71 71 71 " + underscores(24) +
                                   " |qqqqqqqq|\n"));

    const auto other = run_board("dev_spi0=1 -c 'spidev_test -D /dev/spidev3.0 -p x -b 16; spidev_test -D /dev/nope'");
    EXPECT_THAT(other.out, HasSubstr("can't set bits per word: Invalid argument\n"))
        << "the masters move 8-bit words only: the core refuses 16";
    EXPECT_THAT(other.out, HasSubstr("can't open device: No such file or directory"));
}

TEST(SpidevTest, IoctlNames)
{
    EXPECT_EQ(board::parse_ioctl_request("SPI_IOC_WR_MAX_SPEED_HZ"), 0x40046b04u);
    EXPECT_EQ(board::parse_ioctl_request("SPI_IOC_RD_MODE32"), 0x80046b05u);
    EXPECT_EQ(board::parse_ioctl_request("SPI_IOC_MESSAGE(1)"), 0x40206b00u);
    EXPECT_EQ(board::parse_ioctl_request("SPI_IOC_MESSAGE(2)"), 0x40406b00u);
    EXPECT_EQ(board::parse_ioctl_request("SPI_IOC_MESSAGE(512)"), std::nullopt) << "no size bits for it";
}

TEST(SpidevTest, TheFlashSetFromCoprocAndReadThroughSpidev)
{
    const auto run = run_board(R"(dev_spi1=1 -c 'coproc spi-flash 0x100 de ad be ef; )"
                               R"(spidev_test -D /dev/spidev4.0 -p "\x03\x00\x01\x00\x00\x00\x00\x00"; )"
                               R"(coproc spi-flash 0x10000')");
    EXPECT_THAT(run.out, HasSubstr("000100: de ad be ef ff ff"));
    EXPECT_THAT(run.out, HasSubstr("RX | FF FF FF FF DE AD BE EF __"));
    EXPECT_THAT(run.out, HasSubstr("beyond the flash's 0x10000 bytes"));
}
