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

// The text of the n-th record of the fill below: lengths up to 990, the
// longest a message keeps with its line end, in an order that puts the
// buffer's wrap at ever other places.
std::string filler(int n)
{
    std::string text = "r" + std::to_string(n) + ":";
    text.resize(static_cast<size_t>(n * 37 % 991), static_cast<char>('a' + n % 26));
    return text;
}

// Checks that the log holds the newest records of the fill that fit its
// 128 KiB, each costing its text and a 16-byte header, intact.
void expect_newest_fill(uint64_t base, int written)
{
    auto records = khost::log_records();
    ASSERT_FALSE(records.empty());
    ASSERT_EQ(records.back().seq, base + written - 1);
    size_t cost = 0;
    for (size_t i = 0; i < records.size(); i++) {
        const auto &r = records[i];
        ASSERT_EQ(r.seq, records.back().seq - (records.size() - 1 - i)) << "no gap in what is kept";
        ASSERT_GE(r.seq, base);
        ASSERT_EQ(r.text, filler(static_cast<int>(r.seq - base))) << "record " << r.seq;
        cost += 16 + r.text.size();
    }
    ASSERT_LE(cost, size_t{128} << 10);
    // Once full, what is lost to the wrap, the oldest record dropped and
    // the headers' 8-byte alignment is less than 8 KiB.
    if (records.front().seq > base) {
        ASSERT_GT(cost, size_t{120} << 10) << records.size() << " records";
    }
}

// Some 10 MB of text: the buffer wraps at many places.
TEST(Printk, LogKeepsTheNewestRecordsThatFitItsBuffer)
{
    khost::log_clear();
    printk("first\n");
    const uint64_t base = khost::log_records().at(0).seq + 1;
    khost::log_clear();
    for (int n = 0; n < 20000; n++) {
        printk("%s\n", filler(n).c_str());
        if (n % 50 == 0) {
            ASSERT_NO_FATAL_FAILURE(expect_newest_fill(base, n + 1)) << "after record " << n;
        }
    }
    expect_newest_fill(base, 20000);
}

TEST(Printk, LongLinesAreCutAndLongContinuedLinesSplit)
{
    khost::log_clear();
    // One message is cut to the longest line, its line end with it.
    const std::string long_text(2000, 'x');
    printk("%s\n", long_text.c_str());
    // Continued in pieces without a line end: the record closes at 992
    // characters and the line goes on, at its level, in the next one.
    const std::string piece(600, 'y');
    printk(KERN_ERR "%s", piece.c_str());
    printk("%s", piece.c_str());
    printk("\n");
    auto records = khost::log_records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text, std::string(991, 'x'));
    EXPECT_EQ(records[1].text, std::string(992, 'y'));
    EXPECT_EQ(records[2].text, std::string(208, 'y'));
    EXPECT_EQ(records[2].level, 3);
}

TEST(Printk, ClearedLogGoesOnNumbering)
{
    khost::log_clear();
    printk("before\n");
    const uint64_t seq = khost::log_records().at(0).seq;
    khost::log_clear();
    EXPECT_TRUE(khost::log_records().empty());
    EXPECT_EQ(khost::dmesg(), "");
    printk("after\n");
    auto records = khost::log_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "after");
    EXPECT_EQ(records[0].seq, seq + 1);
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
