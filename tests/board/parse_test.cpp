#include <climits>
#include <gtest/gtest.h>

#include "parse.hpp"

using namespace board;
using Strings = std::vector<std::string>;

TEST(SplitCommands, SeparatorsQuotesAndComments)
{
    EXPECT_EQ(split_commands("open /x; read 3 4\nclose 3"), (Strings{"open /x", "read 3 4", "close 3"}));
    // A ';' inside quotes is text for echo, not a separator.
    EXPECT_EQ(split_commands("echo 'a;b' > /f; dmesg"), (Strings{"echo 'a;b' > /f", "dmesg"}));
    EXPECT_EQ(split_commands(" ; \n# a comment\n  trace  ;;"), (Strings{"trace"}));
    EXPECT_TRUE(split_commands("").empty());
}

TEST(SplitWords, QuotesAndRedirection)
{
    EXPECT_EQ(*split_words("  write 3   0a ff "), (Strings{"write", "3", "0a", "ff"}));
    EXPECT_EQ(*split_words("echo \"two  words\" >/sys/x"), (Strings{"echo", "two  words", ">", "/sys/x"}));
    EXPECT_EQ(*split_words("echo '>' > /f"), (Strings{"echo", ">", ">", "/f"}));
    EXPECT_EQ(*split_words("echo '' > /f"), (Strings{"echo", "", ">", "/f"}));
    EXPECT_FALSE(split_words("echo 'open > /f"));
}

TEST(ParseNumber, HexAndDecimalOnly)
{
    EXPECT_EQ(parse_number("0"), 0u);
    EXPECT_EQ(parse_number("4660"), 4660u);
    EXPECT_EQ(parse_number("0x5201"), 0x5201u);
    EXPECT_EQ(parse_number("0XfFfF"), 0xFFFFu);
    EXPECT_EQ(parse_number("18446744073709551615"), UINT64_MAX);
    for (const char *bad : {"", "0x", "-1", "+1", "12a", "0x1g", " 1", "18446744073709551616"})
        EXPECT_FALSE(parse_number(bad)) << bad;
}

TEST(ParseInteger, SignedRange)
{
    EXPECT_EQ(parse_integer("-1"), -1);
    EXPECT_EQ(parse_integer("-0x10"), -16);
    EXPECT_EQ(parse_integer("-9223372036854775808"), LONG_MIN);
    EXPECT_EQ(parse_integer("9223372036854775807"), LONG_MAX);
    EXPECT_FALSE(parse_integer("9223372036854775808"));
    EXPECT_FALSE(parse_integer("-"));
    EXPECT_FALSE(parse_integer("--1"));
}

TEST(ParseHexByte, OneOrTwoDigits)
{
    EXPECT_EQ(parse_hex_byte("7"), 0x07);
    EXPECT_EQ(parse_hex_byte("0a"), 0x0A);
    EXPECT_EQ(parse_hex_byte("FF"), 0xFF);
    EXPECT_EQ(parse_hex_byte("0xff"), 0xFF);
    // Decimal-looking words are still hex: "10" is sixteen.
    EXPECT_EQ(parse_hex_byte("10"), 0x10);
    for (const char *bad : {"", "0x", "100", "0x100", "g", "-1", "1 "})
        EXPECT_FALSE(parse_hex_byte(bad)) << bad;
}

TEST(IoctlRequest, NamesAndNumbers)
{
    EXPECT_EQ(parse_ioctl_request("CONFIG_IOCTL_ENABLE_ALL"), 0x4102u);
    EXPECT_EQ(parse_ioctl_request("CONFIG_IOCTL_APPLY_MODES"), 0x430Au);
    EXPECT_EQ(parse_ioctl_request("CONFIG_IOCTL_VERSION"), 0x5201u);
    EXPECT_EQ(parse_ioctl_request("CONFIG_IOCTL_RESET"), 0x6301u);
    EXPECT_EQ(parse_ioctl_request("0x6301"), 0x6301u);
    EXPECT_EQ(parse_ioctl_request("20993"), 0x5201u);
    EXPECT_EQ(parse_ioctl_request("0xffffffff"), 0xFFFFFFFFu);
    EXPECT_FALSE(parse_ioctl_request("0x100000000"));
    EXPECT_FALSE(parse_ioctl_request("config_ioctl_version"));
    EXPECT_FALSE(parse_ioctl_request("CONFIG_IOCTL_VERSIONX"));
}

TEST(HexBytes, LowercaseTwoDigits)
{
    const uint8_t bytes[] = {0x00, 0x0a, 0xff};
    EXPECT_EQ(hex_bytes(bytes, 3), "00 0a ff");
    EXPECT_EQ(hex_bytes(bytes, 0), "");
}
