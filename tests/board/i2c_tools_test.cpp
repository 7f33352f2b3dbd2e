// The i2c-tools on a whole board: the scan's table, a register read and a
// combined transfer with their frames, an EEPROM written with i2cset and
// read back with i2cdump, and the tools' error messages.
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

class BoardI2cTools : public ::testing::Test {
protected:
    Outcome run(const std::string &text)
    {
        out_.str("");
        err_.str("");
        return shell_.run_text(text, true);
    }

    Session session_{SessionOptions{.uart = "", .hz = 1000, .params = {"dev_iic1=1"}}};
    std::ostringstream out_, err_;
    Shell shell_{session_.board(), out_, err_};
};

TEST_F(BoardI2cTools, DetectShowsTheTwoDevicesAndNothingElse)
{
    ASSERT_EQ(run("i2cdetect -y 0"), Outcome::Ok) << err_.str();
    EXPECT_EQ(out_.str(), "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
                          "00:                         -- -- -- -- -- -- -- -- \n"
                          "10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                          "20: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                          "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                          "40: -- -- -- -- -- -- -- -- 48 -- -- -- -- -- -- -- \n"
                          "50: 50 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                          "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                          "70: -- -- -- -- -- -- -- --                         \n");
    ASSERT_EQ(run("i2cdetect -l"), Outcome::Ok);
    EXPECT_EQ(out_.str(), "i2c-0\ti2c       \tquorvel_i2c1_adapter            \tI2C adapter\n");
    ASSERT_EQ(run("i2cdetect -F 0"), Outcome::Ok);
    EXPECT_THAT(out_.str(),
                HasSubstr("Functionalities implemented by /dev/i2c-0:\nI2C                              yes\n"));
    EXPECT_THAT(out_.str(), HasSubstr("SMBus Block Read                 no\n"));
}

TEST_F(BoardI2cTools, GetAndTransferSendTheFramesOfTheirKind)
{
    ASSERT_EQ(run("trace; i2cget -y 0 0x48 0xd0; i2ctransfer -y 0 w2@0x48 0x01 0x60 r1; trace"), Outcome::Ok)
        << err_.str();
    EXPECT_THAT(out_.str(), HasSubstr("0x19\n0x60\n"));
    EXPECT_THAT(out_.str(), HasSubstr("| 81 09 60 11 48 d0 01 1b "));
    EXPECT_THAT(out_.str(), HasSubstr("| 81 0a 20 11 48 00 01 60 49 "));
    EXPECT_THAT(out_.str(), HasSubstr("| 81 08 30 11 48 01 3d "));
}

TEST_F(BoardI2cTools, EepromWrittenWithSetReadsBackWithDump)
{
    ASSERT_EQ(run("i2cset -y 0 0x50 0x10 0x41; i2cset -y 0 0x50 0x11 0x4342 w; "
                  "i2cset -y 0 0x50 0x20 1 2 3 i; i2cdump -y 0 0x50"),
              Outcome::Ok)
        << err_.str();
    EXPECT_THAT(out_.str(), HasSubstr("10: 41 42 43 ff ff ff ff ff ff ff ff ff ff ff ff ff    ABC.............\n"));
    EXPECT_THAT(out_.str(), HasSubstr("20: 01 02 03 ff ff ff ff ff ff ff ff ff ff ff ff ff    ???.............\n"));
    EXPECT_EQ(err_.str(), "No size specified (using byte-data access)\n");
    ASSERT_EQ(run("i2cget -y 0 0x50 0x10 i 3"), Outcome::Ok);
    EXPECT_EQ(out_.str(), "0x41 0x42 0x43\n");
}

TEST_F(BoardI2cTools, ErrorsAsTheToolsGiveThem)
{
    EXPECT_EQ(run("i2cget -y 0 0x51 0"), Outcome::Ok) << "without -e a failed tool does not stop the run";
    EXPECT_EQ(err_.str(), "Error: Read failed\n");
    shell_.set_errexit(true);
    EXPECT_EQ(run("i2cset -y 0 0x33 0 1"), Outcome::Failed);
    EXPECT_THAT(err_.str(), ::testing::StartsWith("Error: Write failed\n"));
    EXPECT_EQ(run("i2ctransfer -y 0 r1@0x22"), Outcome::Failed);
    EXPECT_THAT(err_.str(), ::testing::StartsWith("Error: Sending messages failed: Input/output error\n"));
    EXPECT_EQ(run("i2cdetect -y 3"), Outcome::Failed);
    EXPECT_THAT(
        err_.str(),
        ::testing::StartsWith("Error: Could not open file `/dev/i2c-3' or `/dev/i2c/3': No such file or directory\n"));
    EXPECT_EQ(run("i2cget -y 0 0x78"), Outcome::Failed);
    EXPECT_THAT(err_.str(), ::testing::StartsWith("Error: Chip address out of range (0x08-0x77)!\n"));
    // Debian 12's i2c-tools (4.3) leave 0x03..0x07 to -a, as they do the
    // scan's first row.
    EXPECT_EQ(run("i2cget -y 0 0x05"), Outcome::Failed);
    EXPECT_THAT(err_.str(), ::testing::StartsWith("Error: Chip address out of range (0x08-0x77)!\n"));
    EXPECT_EQ(shell_.run_command("i2cget -y 0 0x48 0 q"), Outcome::Usage);
}

// A `p` after the mode asks for PEC: the written byte goes with its PEC, and
// a read whose PEC is wrong fails (the EEPROM gives back the PEC of the
// write, not that of the read).
TEST_F(BoardI2cTools, PecModesSendAndCheckThePec)
{
    ASSERT_EQ(run("i2cset -y 0 0x50 0x30 0x41 bp; i2cget -y 0 0x50 0x30 i 2"), Outcome::Ok) << err_.str();
    EXPECT_EQ(out_.str(), "0x41 0x71\n") << "the byte and the PEC of A0 30 41";
    EXPECT_EQ(run("i2cget -y 0 0x50 0x30 bp"), Outcome::Ok);
    EXPECT_EQ(err_.str(), "Error: Read failed\n");
    EXPECT_EQ(shell_.run_command("i2cget -y 0 0x50 0x30 bq"), Outcome::Usage);
}

// The adapter cannot read a block whose length comes from the target: the
// SMBus block read is refused, and nothing reaches the line.
TEST_F(BoardI2cTools, AnSmbusBlockReadIsRefusedWithNothingSent)
{
    ASSERT_EQ(run("trace; i2cget -y 0 0x50 0x10 s; trace"), Outcome::Ok);
    EXPECT_EQ(err_.str(), "Error: Read failed\n");
    EXPECT_THAT(out_.str(), ::testing::Not(HasSubstr("| 81 ")));
}

// `coproc i2c` changes what the tools then read: the sensor's temperature,
// the EEPROM's bytes, a device taken off the bus.
TEST_F(BoardI2cTools, CoprocI2cSetsWhatTheToolsRead)
{
    ASSERT_EQ(run("coproc i2c temp -20; i2cget -y 0 0x48 0 w; coproc i2c eeprom 0x30 1 2; i2cget -y 0 0x50 0x31"),
              Outcome::Ok)
        << err_.str();
    EXPECT_THAT(out_.str(), HasSubstr("0x00f6\n"));
    EXPECT_THAT(out_.str(), HasSubstr("30: 01 02 ff ff ff ff ff ff ff ff ff ff ff ff ff ff\n0x02\n"));
    ASSERT_EQ(run("coproc i2c absent 0x48; i2cdetect -y 0; coproc i2c present 0x48; coproc i2c"), Outcome::Ok);
    EXPECT_THAT(out_.str(), HasSubstr("40: -- -- -- -- -- -- -- -- -- -- "));
    EXPECT_THAT(out_.str(), HasSubstr("sensor 0x48 present temp 0xf600"));
    for (const char *bad : {"coproc i2c temp 300", "coproc i2c absent 0x49", "coproc i2c eeprom 256", "coproc i2c x"})
        EXPECT_EQ(shell_.run_command(bad), Outcome::Usage) << bad;
}

} // namespace
