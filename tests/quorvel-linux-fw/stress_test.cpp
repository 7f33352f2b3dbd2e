// Several programs at once on the configuration and counter devices: every
// exchange keeps its frames whole on the line and every result is right.
#include "board.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using qtest::Board;

namespace {

void config_client(int id, int rounds, std::atomic<int> &failures)
{
    khost::Program p("config" + std::to_string(id));
    int fd = static_cast<int>(p.open("/dev/quorvel_config", 2));
    if (fd < 3) {
        failures++;
        return;
    }
    for (int r = 0; r < rounds; r++) {
        uint8_t version[2] = {};
        long v = p.ioctl(fd, 0x5201, reinterpret_cast<unsigned long>(version));
        EXPECT_TRUE(v == 0 && version[0] == 0x01 && version[1] == 0x07) << v;
        uint8_t write[3] = {static_cast<uint8_t>(id), 0x01, 0x01};
        EXPECT_EQ(p.write(fd, write, sizeof write), 3);
        uint8_t table[48];
        EXPECT_EQ(p.read(fd, table, 48), 48);
        EXPECT_EQ(p.ioctl(fd, 0x430A, 0), 0);
    }
    p.close(fd);
}

void count_client(int id, int rounds, std::atomic<int> &failures)
{
    khost::Program p("count" + std::to_string(id));
    for (int r = 0; r < rounds; r++) {
        long fd = p.open("/dev/quorvel_count", 2);
        uint32_t v = static_cast<uint32_t>(id);
        EXPECT_GE(fd, 3);
        EXPECT_EQ(p.write(static_cast<int>(fd), &v, 4), 4);
        EXPECT_EQ(p.read(static_cast<int>(fd), &v, 4), 4);
        p.close(static_cast<int>(fd));
    }
}

TEST(Stress, ProgramsAtOnceKeepEveryFrameIntact)
{
    Board board;
    // A program holds the counter open throughout, as programs using the pins
    // do: a reset in the middle would restart the co-processor under the others.
    khost::Program holder;
    long hfd = holder.open("/dev/quorvel_count", 2);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back(config_client, i, 6, std::ref(failures));
    for (int i = 0; i < 3; i++)
        threads.emplace_back(count_client, i, 10, std::ref(failures));
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    holder.close(static_cast<int>(hfd));

    auto &sim = board.sim();
    (void)sim.wait_for_requests(4 * 6 * 4, std::chrono::seconds(5));
    EXPECT_EQ(sim.bad_crc_count(), 0u);
    EXPECT_EQ(sim.dropped_bytes(), 0u);
    for (const auto &req : sim.requests()) {
        EXPECT_TRUE(req.crc_ok);
        EXPECT_EQ(req.frame.type(), 10);
    }
    EXPECT_TRUE(sim.wait_for_requests(4 * 6 * 4 + 1, std::chrono::seconds(2)));
    EXPECT_EQ(sim.reset_count(), 1u) << "one reset, after the last close";
    ASSERT_EQ(board.unload(), 0);
}

TEST(Stress, EnableAllFromSeveralProgramsAtOnce)
{
    Board board;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([] {
            khost::Program p;
            int fd = static_cast<int>(p.open("/dev/quorvel_config", 2));
            EXPECT_EQ(p.ioctl(fd, 0x4102, 0), 0);
            p.close(fd);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(board.unload(), 0);
}

TEST(Stress, HundredLoadsLeaveNothingBehind)
{
    coproc::Simulator sim;
    khost::boot({sim.tty_path(), qtest::test_hz, 1});
    // Warm up: the first load maps the image and its libraries once.
    ASSERT_EQ(khost::insmod(khost::module_path(), {}), 0);
    ASSERT_EQ(khost::rmmod("quorvel_linux_module"), 0);
    const int fds = khost::process_fd_count(), threads = khost::process_thread_count();
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(khost::insmod(khost::module_path(), {"dev_gpio=0x3"}), 0) << i;
        ASSERT_EQ(khost::rmmod("quorvel_linux_module"), 0) << i;
        // Asked at once: the log keeps only its newest 128 KiB.
        ASSERT_FALSE(khost::log_contains("still mapped")) << "every unload unmaps the image, not load " << i;
    }
    EXPECT_EQ(khost::process_fd_count(), fds);
    EXPECT_EQ(khost::process_thread_count(), threads);
    khost::halt();
}

} // namespace
