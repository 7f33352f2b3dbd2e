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
