// printk and the log, and number parsing for module parameters.
#include <linux/kernel.h>
#include <linux/moduleparam.h>
#include <linux/printk.h>

#include <khost/kernel.hpp>

#include <gtest/gtest.h>

#include <thread>

namespace {

std::vector<std::string> texts()
{
    std::vector<std::string> out;
    for (const auto &r : khost::log_records())
        out.push_back(r.text);
    return out;
}

TEST(Printk, LinesAreBuiltFromSeveralCalls)
{
    khost::log_clear();
    printk("a=%d", 1);
    printk(" b\n");
    printk("\n");
    printk("%x\t", 16);
    printk("%x\n", 17);
    EXPECT_EQ(texts(), (std::vector<std::string>{"a=1 b", "", "10\t11"}));
}

TEST(Printk, LevelsAreKeptAndErrorsMarked)
{
    khost::log_clear();
    printk(KERN_ERR "broken %s\n", "thing");
    printk("plain\r\n");
    auto records = khost::log_records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, 3);
    EXPECT_EQ(records[0].text, "broken thing");
    EXPECT_EQ(records[1].level, 4);
    std::string shown = khost::dmesg(true);
    EXPECT_NE(shown.find("<3>broken thing\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("] plain\\x0d\n"), std::string::npos) << shown;
    EXPECT_TRUE(khost::log_records().empty());
}

TEST(Printk, AnotherTasksLineIsNotJoined)
{
    khost::log_clear();
    printk("half");
    std::thread([] { printk("other\n"); }).join();
    printk(" done\n");
    EXPECT_EQ(texts(), (std::vector<std::string>{"half", "other", " done"}));
}

long parse(const char *text, int *err)
{
    long v = -999;
    *err = kstrtol(text, 0, &v);
    return v;
}

TEST(Params, NumbersParseAsTheKernelParsesThem)
{
    int err;
    EXPECT_EQ(parse("0x1F", &err), 31);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(parse("017", &err), 15);
    EXPECT_EQ(parse("-12\n", &err), -12);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(parse("0", &err), 0);
    EXPECT_EQ(parse("9223372036854775807", &err), 9223372036854775807L);
    parse("9223372036854775808", &err);
    EXPECT_EQ(err, -ERANGE);
    for (const char *bad : {"", "0x", "12abc", "1 2", "08", "12\n\n"}) {
        parse(bad, &err);
        EXPECT_EQ(err, -EINVAL) << '"' << bad << '"';
    }
}

TEST(Params, LongParameterReadsBackWithANewline)
{
    long value = 0;
    struct kernel_param kp = {"dev_x", &param_ops_long, 0600, &value};
    EXPECT_EQ(param_ops_long.set("0x30", &kp), 0);
    EXPECT_EQ(value, 48);
    char page[4096];
    int n = param_ops_long.get(page, &kp);
    EXPECT_EQ(std::string(page, static_cast<size_t>(n)), "48\n");
    EXPECT_EQ(param_ops_long.set(nullptr, &kp), -EINVAL);
    EXPECT_EQ(value, 48) << "a refused value leaves the parameter";
}

} // namespace
