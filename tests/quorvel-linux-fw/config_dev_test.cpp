// The configuration device: the table read and write, sending the table, the
// version, reset and the run-time start of drivers, as a program uses them.
#include "board.hpp"

#include <coproc/frame.hpp>
#include <khost/sleeps.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tty_input.hpp>

#include <atomic>
#include <thread>

using coproc::hex;
using qtest::Board;

namespace {

constexpr unsigned ENABLE_ALL = 0x4102, APPLY_MODES = 0x430A, VERSION = 0x5201, RESET = 0x6301;

class ConfigDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        fd_ = static_cast<int>(prog_.open("/dev/quorvel_config", 2));
        ASSERT_EQ(fd_, 3);
        board_.sim().clear_log();
    }
    void TearDown() override { prog_.close(fd_); }

    long ioctl(unsigned cmd, const void *arg) { return prog_.ioctl(fd_, cmd, reinterpret_cast<unsigned long>(arg)); }
    long write(std::vector<uint8_t> bytes) { return prog_.write(fd_, bytes.data(), bytes.size()); }
    coproc::RequestRecord last_request()
    {
        auto reqs = board_.sim().requests();
        EXPECT_FALSE(reqs.empty());
        return reqs.empty() ? coproc::RequestRecord{} : reqs.back();
    }

    Board board_;
    khost::Program prog_;
    int fd_ = -1;
};

TEST_F(ConfigDevice, VersionComesBackUnchanged)
{
    board_.sim().set_version(0x02, 0x5c);
    uint8_t version[2] = {};
    EXPECT_EQ(ioctl(VERSION, version), 0);
    EXPECT_EQ(version[0], 0x02);
    EXPECT_EQ(version[1], 0x5c);
    auto raw = last_request().raw;
    ASSERT_EQ(raw.size(), 6u);
    EXPECT_EQ(hex({raw.begin(), raw.end() - 1}), "8a 06 70 1e 5a");
    EXPECT_EQ(raw.back() & 0xc0, 0x80);
    EXPECT_TRUE(khost::log_contains("ioctl version "));
}

TEST_F(ConfigDevice, EveryIoctlLogsItsSixLines)
{
    EXPECT_EQ(ioctl(0x1234, nullptr), -EINVAL);
    auto lines = Board::log();
    long at = Board::find_line("ioctl cmd = 1234 ");
    ASSERT_GE(at, 0);
    std::vector<std::string> six(lines.begin() + at, lines.begin() + at + 6);
    EXPECT_THAT(six, ::testing::ElementsAre("ioctl cmd = 1234 ", "ioctl cmd = 1234 ", "ioctl version = 5201 ",
                                            "ioctl version = 5201 ", "ioctl reset = 6301 ", "ioctl reset = 6301 "));
    EXPECT_EQ(board_.sim().request_count(), 0u);
}

TEST_F(ConfigDevice, VersionFailures)
{
    uint8_t version[2] = {0xee, 0xee};
    board_.sim().inject({coproc::FaultKind::Status, 4});
    EXPECT_EQ(ioctl(VERSION, version), -EIO) << "a refusal carries no version";
    EXPECT_EQ(version[0], 0xee);
    EXPECT_EQ(board_.sim().request_count(), 1u) << "the frame went out as before";
    board_.sim().inject({coproc::FaultKind::BadCrc});
    EXPECT_EQ(ioctl(VERSION, version), -EFAULT);
    EXPECT_EQ(ioctl(VERSION, nullptr), -EFAULT);
    EXPECT_TRUE(khost::log_contains("copy error"));
    EXPECT_EQ(ioctl(VERSION, khost::bad_user_pointer()), -EFAULT);
}

TEST_F(ConfigDevice, WriteSendsTheBytesAndUpdatesTheTableThatApplySends)
{
    EXPECT_EQ(write({0x05, 0x01, 0x01}), 3);
    auto raw = last_request().raw;
    EXPECT_EQ(raw.size(), 8u);
    EXPECT_EQ(hex({raw.begin(), raw.begin() + 6}), "8a 08 20 05 01 01");

    EXPECT_EQ(ioctl(APPLY_MODES, nullptr), 0);
    auto apply = last_request();
    ASSERT_EQ(apply.raw.size(), 54u);
    EXPECT_EQ(apply.frame.payload.size(), 49u);
    EXPECT_EQ(apply.frame.payload[0], 0x00);
    for (size_t pin = 0; pin < 48; pin++)
        EXPECT_EQ(apply.frame.payload[pin + 1], pin == 5 || pin == 6 ? 0x01 : 0x00) << "pin " << pin;
    EXPECT_TRUE(apply.crc_ok);
}

TEST_F(ConfigDevice, RefusedWriteLeavesTheTable)
{
    board_.sim().inject({coproc::FaultKind::Status, 3});
    EXPECT_EQ(write({0x05, 0x01, 0x01}), -1);
    EXPECT_TRUE(khost::log_contains("184  ret = 3 "));
    board_.sim().inject({coproc::FaultKind::WrongTail});
    EXPECT_EQ(write({0x07, 0x01}), -1);
    EXPECT_TRUE(khost::log_contains("184  ret = -1 "));
    EXPECT_EQ(ioctl(APPLY_MODES, nullptr), 0);
    auto apply = last_request();
    EXPECT_EQ(std::count(apply.frame.payload.begin(), apply.frame.payload.end(), 0), 49);
}

TEST_F(ConfigDevice, WriteSizes)
{
    std::vector<uint8_t> big(49, 0);
    big[0] = 0;
    EXPECT_EQ(write(big), 49);
    EXPECT_EQ(last_request().raw.size(), 54u);
    size_t sent = board_.sim().request_count();
    EXPECT_EQ(write(std::vector<uint8_t>(50, 0)), -1);
    EXPECT_TRUE(khost::log_contains("---------------------------------"));
    EXPECT_EQ(board_.sim().request_count(), sent);
    // An empty write is sent like any other; the co-processor refuses it here.
    EXPECT_EQ(write({}), -1);
    EXPECT_EQ(last_request().raw.size(), 5u);
}

TEST_F(ConfigDevice, WritePastThePinsStaysWithinTheTable)
{
    // The co-processor here refuses modes past pin 47; one that takes them
    // must not make the module write past its table.
    board_.sim().inject({coproc::FaultKind::Status, 0});
    EXPECT_EQ(write({46, 0x10, 0x10, 0x10, 0x10}), 5);
    board_.sim().inject({coproc::FaultKind::Status, 0});
    EXPECT_EQ(write({200, 0x10}), 2);
    EXPECT_EQ(ioctl(APPLY_MODES, nullptr), 0);
    auto payload = last_request().frame.payload;
    EXPECT_EQ(payload[47], 0x10);
    EXPECT_EQ(payload[48], 0x10);
    EXPECT_EQ(std::count(payload.begin(), payload.end(), 0x10), 2);
}

TEST_F(ConfigDevice, ReadTakesTheCoprocessorsTableOnceItIsValid)
{
    uint8_t buf[48];
    // Power-on: no valid table; the module answers with its own.
    ASSERT_EQ(write({0x05, 0x01}), 2); // makes the co-processor's table valid...
    board_.sim().power_on();           // ...until it restarts
    std::fill(std::begin(buf), std::end(buf), 0xee);
    EXPECT_EQ(prog_.read(fd_, buf, 48), 48);
    EXPECT_TRUE(khost::log_contains("read gpio state error-----------------"));
    EXPECT_EQ(buf[5], 0x01) << "the module's own table";
    EXPECT_EQ(buf[6], 0x00);

    coproc::PinTable table{};
    table[0] = 0x20;
    table[47] = 0x02;
    board_.sim().set_table(table);
    EXPECT_EQ(prog_.read(fd_, buf, 48), 48);
    EXPECT_EQ(buf[0], 0x20);
    EXPECT_EQ(buf[5], 0x00) << "a valid answer replaces the module's table";
    EXPECT_EQ(buf[47], 0x02);
    EXPECT_TRUE(khost::log_contains("read gpio state success -----------------"));
    auto raw = last_request().raw;
    EXPECT_EQ(hex({raw.begin(), raw.begin() + 4}), "8a 06 30 31");
}

TEST_F(ConfigDevice, ShortReadsNeverSeeTheMarker)
{
    board_.sim().power_on();
    uint8_t buf[45];
    EXPECT_EQ(prog_.read(fd_, buf, 45), 45);
    EXPECT_FALSE(khost::log_contains("read gpio state error"));
    EXPECT_EQ(prog_.read(fd_, buf, 0), -1);
    char big[49];
    EXPECT_EQ(prog_.read(fd_, big, 49), -1);
}

// A failed copy to or from the caller is reported, and a write sends
// nothing: zeros in place of the caller's bytes would go out as pin modes.
TEST_F(ConfigDevice, BadBuffersFailWithEfault)
{
    ASSERT_EQ(write({0x05, 0x01}), 2);
    coproc::PinTable table{};
    table.fill(0x04);
    board_.sim().set_table(table);

    // A valid answer: the caller learns of the failed copy; the module keeps
    // what it learnt, which a read without an answer then returns.
    EXPECT_EQ(prog_.read(fd_, khost::bad_user_pointer(), 8), -EFAULT);
    board_.sim().inject({coproc::FaultKind::NoReply});
    uint8_t buf[8] = {};
    EXPECT_EQ(prog_.read(fd_, buf, 8), 8);
    EXPECT_EQ(buf[0], 0x04);
    EXPECT_EQ(buf[5], 0x04);
    // No valid answer: the module's own table does not reach the caller either.
    khost::log_clear();
    board_.sim().inject({coproc::FaultKind::NoReply});
    EXPECT_EQ(prog_.read(fd_, khost::bad_user_pointer(), 48), -EFAULT);
    EXPECT_TRUE(khost::log_contains("read gpio state error-----------------"));
    EXPECT_EQ(prog_.read(fd_, nullptr, 48), -EFAULT);

    const size_t sent = board_.sim().request_count();
    EXPECT_EQ(prog_.write(fd_, khost::bad_user_pointer(), 3), -EFAULT);
    EXPECT_EQ(prog_.write(fd_, nullptr, 49), -EFAULT);
    EXPECT_EQ(board_.sim().request_count(), sent) << "nothing sent for an unreadable buffer";
    EXPECT_EQ(prog_.write(fd_, khost::bad_user_pointer(), 50), -1) << "the size is checked first";
    EXPECT_EQ(prog_.write(fd_, nullptr, 0), -1) << "an empty write copies nothing and is sent";
    EXPECT_EQ(board_.sim().request_count(), sent + 1);
}

TEST_F(ConfigDevice, ReadKeepsTheTableWhenTheReplyIsBad)
{
    ASSERT_EQ(write({0x05, 0x01}), 2);
    coproc::PinTable table{};
    table.fill(0x20);
    board_.sim().set_table(table);
    uint8_t buf[48];
    for (auto fault : {coproc::FaultKind::BadCrc, coproc::FaultKind::WrongTail, coproc::FaultKind::NoReply}) {
        board_.sim().inject({fault});
        EXPECT_EQ(prog_.read(fd_, buf, 48), 48);
        EXPECT_EQ(buf[0], 0x00) << "the module's own table, fault " << static_cast<int>(fault);
        EXPECT_EQ(buf[5], 0x01);
    }
    board_.sim().inject({coproc::FaultKind::StaleBytes, 0, 1, 0, {'\r', '\n', 'b', 'o', 'o', 't'}});
    EXPECT_EQ(prog_.read(fd_, buf, 48), 48);
    EXPECT_EQ(buf[0], 0x00) << "stray output on the line is not taken for a table";
    EXPECT_EQ(prog_.read(fd_, buf, 48), 48);
    EXPECT_EQ(buf[0], 0x20);
}

TEST_F(ConfigDevice, OnlyA48PinReadHasTheMarker)
{
    // A 47-pin reply carries its CRC where a 48-pin reply has the marker;
    // a CRC of 0xff must not make the answer invalid.
    coproc::PinTable table{};
    table[1] = 0x04;
    for (int v = 0; v < 256; v++) {
        table[0] = static_cast<uint8_t>(v);
        if (coproc::crc8(table.data(), 48) == 0xff)
            break;
    }
    ASSERT_EQ(coproc::crc8(table.data(), 48), 0xff);
    board_.sim().set_table(table);
    uint8_t buf[47];
    EXPECT_EQ(prog_.read(fd_, buf, 47), 47);
    EXPECT_EQ(buf[0], table[0]);
    EXPECT_EQ(buf[1], 0x04);
    EXPECT_FALSE(khost::log_contains("read gpio state error"));
}

// Only a reply with status 0 acknowledges the table.
TEST_F(ConfigDevice, ApplyFailsUnlessTheTableIsAcknowledged)
{
    EXPECT_EQ(ioctl(APPLY_MODES, nullptr), 0);
    board_.sim().inject({coproc::FaultKind::Status, 2});
    EXPECT_EQ(ioctl(APPLY_MODES, nullptr), -1);
    EXPECT_TRUE(khost::log_contains("ret = 2 "));
    board_.sim().inject({coproc::FaultKind::BadCrc});
    EXPECT_EQ(ioctl(APPLY_MODES, nullptr), -1);
    EXPECT_TRUE(khost::log_contains("ret = -2 "));
    board_.sim().set_silent(true);
    EXPECT_EQ(ioctl(APPLY_MODES, nullptr), -1);
    EXPECT_TRUE(khost::log_contains("ret = -1 "));
    EXPECT_EQ(board_.sim().request_count(), 4u);
}

TEST_F(ConfigDevice, ResetSendsOneFrameAndReadsNoReply)
{
    // The observer runs once the co-processor has said all it says after a
    // request: here, its start-up banner after each restart. Each banner is
    // waited for on the module's side of the line, so that the next write
    // finds it there and drains it.
    std::atomic<int> restarted{0};
    board_.sim().set_observer([&](const coproc::RequestRecord &) { restarted++; });
    auto restart_done = [&](int n) {
        for (int i = 0; i < 400 && restarted < n; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return restarted == n &&
               qtest::wait_for_input(board_.sim().tty_path(), static_cast<int>(last_request().boot_bytes.size()));
    };
    uint8_t mode = 1;
    EXPECT_EQ(ioctl(RESET, &mode), 0);
    ASSERT_TRUE(restart_done(1));
    EXPECT_EQ(ioctl(RESET, nullptr), 0);
    EXPECT_TRUE(khost::log_contains("--------------  ioctl   mode error = 0 "));
    ASSERT_TRUE(restart_done(2));
    board_.sim().set_observer(nullptr);
    EXPECT_EQ(board_.sim().reset_count(), 2u);
    auto last = last_request();
    EXPECT_EQ(hex({last.raw.begin(), last.raw.end() - 1}), "8a 06 70 1f 5d");
    EXPECT_FALSE(last.boot_bytes.empty());
    uint8_t version[2] = {};
    EXPECT_EQ(ioctl(VERSION, version), 0);
    EXPECT_EQ(version[0], 0x01);
}

TEST_F(ConfigDevice, EnableAllSetsEachSwitchOnce)
{
    EXPECT_EQ(ioctl(ENABLE_ALL, nullptr), 0);
    EXPECT_EQ(ioctl(ENABLE_ALL, nullptr), 0);
    for (const char *name : {"dev_spi0", "dev_spi1", "dev_uart", "dev_iic1", "dev_pwm", "dev_gpio", "dev_ws2812",
                             "dev_dht", "dev_18b20"}) {
        long fd = prog_.open(std::string("/sys/module/quorvel_linux_module/parameters/") + name, 0);
        ASSERT_GE(fd, 0);
        char buf[8] = {};
        EXPECT_EQ(prog_.read(static_cast<int>(fd), buf, sizeof buf), 2);
        EXPECT_STREQ(buf, "1\n") << name;
        prog_.close(static_cast<int>(fd));
    }
    EXPECT_EQ(board_.sim().request_count(), 0u) << "neither the table nor the co-processor is touched";
}

// The poller's cycles are counted by the kernel layer as its sleeps.
TEST(ConfigPoller, IdleWhileTheTtyIsNotInUse)
{
    Board board;
    const auto start = khost::sleeps_of("my_thread");
    for (int i = 0; i < 1000 && (khost::sleeps_of("my_thread") - start).timeouts < 4; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE((khost::sleeps_of("my_thread") - start).timeouts, 4u) << "four poll cycles";
    EXPECT_EQ(board.sim().request_count(), 0u);
    const auto before = khost::sleeps_of("my_thread");
    EXPECT_EQ(board.unload(), 0);
    // Stopped during a cycle's sleep, the poller sleeps out at most that
    // cycle (its msleep resumes once after the wake-up) and starts no other.
    EXPECT_LE((khost::sleeps_of("my_thread") - before).sleeps, 2u) << "ends within a cycle";
}

} // namespace
