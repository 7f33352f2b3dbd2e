// The I2C adapter as a kernel driver sees it while the adapter's probe is
// still running: a driver bound to the adapter's own client is probed from
// inside i2c_new_device, and may use the bus there.
#include "board.hpp"

#include <coproc/frame.hpp>

#include <linux/i2c.h>

#include <gtest/gtest.h>

using qtest::Board;

namespace {

int probe_result = 0;

// Reads one byte of the EEPROM from its probe.
int early_probe(struct i2c_client *client, const struct i2c_device_id *)
{
    u8 b = 0;
    struct i2c_msg m = {.addr = 0x50, .flags = I2C_M_RD, .len = 1, .buf = &b};
    probe_result = i2c_transfer(client->adapter, &m, 1);
    return 0;
}
int early_remove(struct i2c_client *) { return 0; }
const struct i2c_device_id early_ids[] = {{"quorvel_i2c1_dev", 0}, {}};
struct i2c_driver early_driver = {
    .probe = early_probe,
    .remove = early_remove,
    .driver = {.name = "quorvel_early"},
    .id_table = early_ids,
};

// Success means the frame went out.
TEST(I2cAdapterProbe, ATransferFromAClientDriverDuringTheProbeIsSent)
{
    Board board;
    ASSERT_EQ(board.unload(), 0);
    ASSERT_EQ(i2c_register_driver(nullptr, &early_driver), 0);
    board.sim().clear_log();
    ASSERT_EQ(board.load({"dev_iic1=1"}), 0);
    EXPECT_EQ(probe_result, 1);
    size_t reads = 0;
    for (const auto &rec : board.requests())
        reads += rec.frame.command == coproc::CMD_READ;
    EXPECT_EQ(reads, 1u);
    ASSERT_EQ(board.unload(), 0);
    i2c_del_driver(&early_driver);
}

} // namespace
