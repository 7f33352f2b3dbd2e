// Copies to and from program memory: bad addresses give short counts, never
// a crash, and what could not be read arrives as zeros.
#include <linux/fcntl.h>
#include <linux/uaccess.h>

#include "host/host.hpp"
#include "khost/program.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

// Two pages, the second one inaccessible: a buffer that ends at the first
// page's last byte runs into nothing.
class EdgeOfMapping : public ::testing::Test {
protected:
    static constexpr size_t kPage = 4096;

    void SetUp() override
    {
        void *p = mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(MAP_FAILED, p);
        base_ = static_cast<char *>(p);
        ASSERT_EQ(0, mprotect(base_ + kPage, kPage, PROT_NONE));
    }
    void TearDown() override { munmap(base_, 2 * kPage); }

    // The last `n` bytes before the hole.
    char *last(size_t n) { return base_ + kPage - n; }

    char *base_ = nullptr;
};

TEST(Uaccess, BadSourceGivesFullCountAndZeros)
{
    for (const void *bad : {static_cast<const void *>(nullptr), static_cast<const void *>(khost::bad_user_pointer())}) {
        char buf[16];
        std::memset(buf, 0x5a, sizeof(buf));
        EXPECT_EQ(sizeof(buf), copy_from_user(buf, bad, sizeof(buf)));
        for (char c : buf)
            EXPECT_EQ(0, c);
    }
}

TEST(Uaccess, BadDestinationGivesFullCount)
{
    const char data[8] = "abcdefg";
    EXPECT_EQ(sizeof(data), copy_to_user(nullptr, data, sizeof(data)));
    EXPECT_EQ(sizeof(data), copy_to_user(khost::bad_user_pointer(), data, sizeof(data)));
    EXPECT_EQ(5u, clear_user(khost::bad_user_pointer(), 5));
    int value = 7;
    EXPECT_EQ(-EFAULT, put_user(value, static_cast<int *>(khost::bad_user_pointer())));
    EXPECT_EQ(-EFAULT, get_user(value, static_cast<int *>(nullptr)));
    EXPECT_EQ(0, value); // get_user's failed read still zeroes
}

TEST_F(EdgeOfMapping, CopiesStopExactlyAtTheHole)
{
    std::memset(last(3), 'x', 3);
    char buf[10];
    std::memset(buf, 0x5a, sizeof(buf));
    EXPECT_EQ(7u, copy_from_user(buf, last(3), sizeof(buf)));
    EXPECT_EQ(0, std::memcmp(buf, "xxx\0\0\0\0\0\0\0", sizeof(buf)));

    EXPECT_EQ(4u, copy_to_user(last(2), "hello", 6));
    EXPECT_EQ(0, std::memcmp(last(2), "he", 2));
    EXPECT_EQ(3u, clear_user(last(2), 5));
    EXPECT_EQ(0, *last(2));
}

TEST(Uaccess, LongCopiesCrossManyPages)
{
    // More pages than one host transfer call takes, all of them good.
    std::vector<char> from(1100 * 4096 + 5, 'q'), to(from.size());
    EXPECT_EQ(0u, copy_from_user(to.data(), from.data(), from.size()));
    EXPECT_EQ(from, to);
    EXPECT_EQ(from.size(), host::read_own_memory(to.data(), from.data(), from.size()));
}

} // namespace

// A thread acting for another process copies from and to that process's
// memory, even at an address that is on the thread's own stack here (the
// child of a fork has the same addresses, holding its own bytes).
TEST(Uaccess, CopiesReachTheProcessActedFor)
{
    char buf[8] = "parent";
    int ready[2], done[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(done));
    const pid_t child = fork();
    if (child == 0) {
        std::memcpy(buf, "child!", 7);
        char c = 0;
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        _exit(std::memcmp(buf, "wrote!", 7) == 0 ? 0 : 1);
    }
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    khost::act_for_process(child);
    char got[8] = {};
    const unsigned long missed_read = copy_from_user(got, buf, 7);
    const unsigned long missed_write = copy_to_user(buf, "wrote!", 7);
    const unsigned long missed_bad = copy_from_user(got + 7, khost::bad_user_pointer(), 1);
    khost::act_for_process(0);
    (void)!write(done[1], &c, 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0u, missed_read);
    EXPECT_STREQ("child!", got);
    EXPECT_EQ(0u, missed_write);
    EXPECT_EQ(1u, missed_bad);
    EXPECT_STREQ("parent", buf);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
}
