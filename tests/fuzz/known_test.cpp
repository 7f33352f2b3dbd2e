#include "known.hpp"

#include <gtest/gtest.h>

// Findings are told apart by operation and file, not by sizes or text.
TEST(FuzzFindings, KeysIgnoreSizesAndText)
{
    using qfuzz::finding_key;
    EXPECT_EQ(finding_key("read /dev/quorvel_config 48"), finding_key("read /dev/quorvel_config 7 (bad buffer)"));
    EXPECT_EQ(finding_key("ioctl /dev/i2c-0 0x707"), "ioctl /dev/i2c-0 0x707");
    EXPECT_NE(finding_key("ioctl /dev/i2c-0 0x707"), finding_key("ioctl /dev/i2c-0 0x720"));
    EXPECT_EQ(finding_key("echo '1\n' > /sys/class/gpio/export"), finding_key("echo 'in' > /sys/class/gpio/export"));
    EXPECT_EQ(finding_key("echo 'in' > /sys/class/gpio/export"), "echo /sys/class/gpio/export");
}

TEST(FuzzFindings, KnownCasesMatchTheirCallsOnly)
{
    using qfuzz::known_success;
    EXPECT_NE(known_success("write /dev/ttySP0 251"), nullptr);
    EXPECT_NE(known_success("ioctl /dev/spidev3.0 0x40016b03"), nullptr);
    EXPECT_EQ(known_success("ioctl /dev/spidev3.0 0x40206b00"), nullptr) << "a message's failure is no set-up";
    EXPECT_EQ(known_success("read /dev/ir_send 8"), nullptr);
    EXPECT_NE(known_success("echo '0\n' > /sys/devices/platform/quorvel-pwm/pwm/pwmchip0/unexport"), nullptr);
    EXPECT_EQ(known_success("echo '0\n' > /sys/devices/platform/quorvel-pwm/pwm/pwmchip0/export"), nullptr)
        << "an export's request is judged";
    EXPECT_NE(known_success("echo '0' > /sys/devices/platform/quorvel-pwm/pwm/pwmchip0/pwm1/enable"), nullptr);
    EXPECT_EQ(known_success("echo '1' > /sys/devices/platform/quorvel-pwm/pwm/pwmchip0/pwm1/enable"), nullptr)
        << "enabling reports the driver's refusal";
    EXPECT_NE(qfuzz::known_transfer("write /dev/icm20689 257 (bad buffer)"), nullptr);
    EXPECT_EQ(qfuzz::known_transfer("read /dev/icm20689 20 (bad buffer)"), nullptr) << "a read hands data over";
    EXPECT_NE(qfuzz::known_report("WARNING: ... invalid GPIO -1"), nullptr);
    EXPECT_EQ(qfuzz::known_report("BUG: sleeping function called"), nullptr);
}
