// The I2C adapter while its probe is still running: a driver bound to the
// adapter's own client is probed from inside i2c_new_device, after
// i2c_add_adapter has made /dev/i2c-0, and holds the probe there while a
// program uses the bus.
#include "board.hpp"

#include <coproc/frame.hpp>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using qtest::Board;

namespace {

int waiting_remove(struct i2c_client *) { return 0; }
const struct i2c_device_id waiting_ids[] = {{"quorvel_i2c1_dev", 0}, {}};
// Waits for a program's transfer to end, the probe still running. Relaxed:
// the wait itself orders nothing, so that a thread checker sees whether the
// adapter's own state was ready before the program could reach it.
std::atomic<bool> program_done{false};
int waiting_probe(struct i2c_client *, const struct i2c_device_id *)
{
    for (int i = 0; i < 20000 && !program_done.load(std::memory_order_relaxed); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}
struct i2c_driver waiting_driver = {
    .probe = waiting_probe,
    .remove = waiting_remove,
    .driver = {.name = "quorvel_waiting"},
    .id_table = waiting_ids,
};

// The frames of the board's reads of the EEPROM.
size_t reads(Board &board)
{
    size_t n = 0;
    for (const auto &rec : board.requests())
        n += rec.frame.command == coproc::CMD_READ;
    return n;
}

// /dev/i2c-0 exists from i2c_add_adapter on: a program's transfer made
// while the probe goes on finds the adapter whole, and is sent.
TEST(I2cAdapterProbe, AProgramsTransferWhileTheProbeRunsIsSent)
{
    Board board;
    ASSERT_EQ(board.unload(), 0);
    ASSERT_EQ(i2c_register_driver(nullptr, &waiting_driver), 0);
    board.sim().clear_log();
    long result = 0;
    std::thread program([&] {
        khost::Program p;
        long fd;
        while ((fd = p.open("/dev/i2c-0", 2)) < 0)
            std::this_thread::yield();
        u8 b = 0;
        struct i2c_msg m = {.addr = 0x50, .flags = I2C_M_RD, .len = 1, .buf = &b};
        struct i2c_rdwr_ioctl_data a = {.msgs = &m, .nmsgs = 1};
        result = p.ioctl(static_cast<int>(fd), I2C_RDWR, reinterpret_cast<unsigned long>(&a));
        p.close(static_cast<int>(fd));
        program_done.store(true, std::memory_order_relaxed);
    });
    ASSERT_EQ(board.load({"dev_iic1=1"}), 0);
    program.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(reads(board), 1u);
    ASSERT_EQ(board.unload(), 0);
    i2c_del_driver(&waiting_driver);
}

} // namespace
