// The application counter: opens counted, a reset after the last close, and
// the 4-byte value programs keep in it.
#include "board.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

using qtest::Board;

namespace {

const char *node = "/dev/quorvel_count";

std::vector<std::string> count_lines()
{
    std::vector<std::string> out;
    for (const auto &line : Board::log())
        if (line.find(" count = ") != std::string::npos)
            out.push_back(line);
    return out;
}

TEST(AppCount, LastCloseResetsOnce)
{
    Board board;
    khost::Program a, b;
    long fa = a.open(node, 2), fb = b.open(node, 2);
    ASSERT_GE(fa, 3);
    ASSERT_GE(fb, 3);
    EXPECT_EQ(a.close(static_cast<int>(fa)), 0);
    EXPECT_EQ(board.sim().request_count(), 0u) << "no reset while a program holds it";
    EXPECT_EQ(b.close(static_cast<int>(fb)), 0);
    ASSERT_TRUE(board.sim().wait_for_requests(1, std::chrono::seconds(2)));
    EXPECT_THAT(count_lines(), ::testing::ElementsAre("config_open 61 count = 1", "config_open 61 count = 2",
                                                      "config_close 69 count = 1", "config_close 69 count = 0"));
    EXPECT_TRUE(khost::log_contains("please reset gd32v "));
    EXPECT_TRUE(khost::log_contains("please success "));
    EXPECT_EQ(board.sim().reset_count(), 1u);
}

TEST(AppCount, StoredValueReadsBackLittleEndian)
{
    Board board;
    khost::Program p;
    int fd = static_cast<int>(p.open(node, 2));
    uint8_t two[2] = {0x34, 0x12};
    EXPECT_EQ(p.write(fd, two, 2), 2);
    EXPECT_TRUE(khost::log_contains("config_write  4660 "));
    uint8_t out[4] = {0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(p.read(fd, out, 4), 4);
    EXPECT_THAT(out, ::testing::ElementsAre(0x34, 0x12, 0x00, 0x00));
    EXPECT_EQ(p.read(fd, out, 4), 4) << "every read returns the value again";

    uint8_t eight[8] = {};
    EXPECT_EQ(p.read(fd, eight, 8), -1);
    EXPECT_EQ(p.write(fd, eight, 5), -1);
    khost::log_clear();
    EXPECT_EQ(p.write(fd, eight, 0), 0);
    EXPECT_THAT(Board::log(), ::testing::ElementsAre("config_write  4660 ", "config_write  4660 "));
    // An unreadable buffer stores zeros; an unwritable one is not reported.
    EXPECT_EQ(p.write(fd, khost::bad_user_pointer(), 1), 1);
    EXPECT_EQ(p.read(fd, out, 4), 4);
    EXPECT_THAT(out, ::testing::ElementsAre(0x00, 0x12, 0x00, 0x00));
    EXPECT_EQ(p.read(fd, nullptr, 4), 4);
    EXPECT_EQ(p.ioctl(fd, 0x5201, 0), -ENOTTY);
    p.close(fd);
}

TEST(AppCount, ValueSurvivesClosesButNotUnload)
{
    Board board;
    khost::Program p;
    int fd = static_cast<int>(p.open(node, 2));
    uint32_t v = 0xdeadbeef;
    ASSERT_EQ(p.write(fd, &v, 4), 4);
    p.close(fd);
    fd = static_cast<int>(p.open(node, 2));
    uint32_t back = 0;
    EXPECT_EQ(p.read(fd, &back, 4), 4);
    EXPECT_EQ(back, 0xdeadbeefu);
    p.close(fd);
    ASSERT_EQ(board.unload(), 0);
    ASSERT_EQ(board.load(), 0);
    fd = static_cast<int>(p.open(node, 2));
    EXPECT_EQ(p.read(fd, &back, 4), 4);
    EXPECT_EQ(back, 0u);
    p.close(fd);
}

TEST(AppCount, ConcurrentOpensAndClosesLoseNoCount)
{
    Board board;
    constexpr int programs = 6, rounds = 40;
    khost::Program holder; // keeps the count above 0 until the end
    int hfd = static_cast<int>(holder.open(node, 2));
    std::vector<std::thread> threads;
    for (int i = 0; i < programs; i++)
        threads.emplace_back([] {
            khost::Program p;
            for (int r = 0; r < rounds; r++) {
                long fd = p.open(node, 2);
                ASSERT_GE(fd, 3);
                ASSERT_EQ(p.close(static_cast<int>(fd)), 0);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(board.sim().reset_count(), 0u);
    khost::log_clear();
    holder.close(hfd);
    EXPECT_THAT(count_lines(), ::testing::ElementsAre("config_close 69 count = 0"));
    ASSERT_TRUE(board.sim().wait_for_requests(1, std::chrono::seconds(2)));
    EXPECT_EQ(board.sim().reset_count(), 1u);
}

TEST(AppCount, AResetQueuedAtUnloadRunsBeforeTheModuleGoes)
{
    for (int i = 0; i < 5; i++) {
        Board board;
        khost::Program p;
        p.close(static_cast<int>(p.open(node, 2)));
        ASSERT_EQ(board.unload(), 0);
        EXPECT_TRUE(board.sim().wait_for_requests(1, std::chrono::seconds(2))) << "round " << i;
        EXPECT_EQ(board.sim().reset_count(), 1u) << "round " << i;
    }
}

} // namespace
