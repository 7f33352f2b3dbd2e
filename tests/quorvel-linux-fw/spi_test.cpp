// The two SPI masters as programs and the kernel use them: through spidev on
// a booted board, with the simulated co-processor's loopback on bus 3 and
// flash on bus 4, and through spi_sync from the kernel for what spidev does
// not show (a message's actual_length, a receive buffer after a bad reply).
#include "board.hpp"

#include <coproc/frame.hpp>
#include <coproc/models/spi.hpp>
#include <khost/fault.hpp>
#include <khost/sleeps.hpp>

#include <linux/spi/spi.h>
#include <linux/spi/spidev.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <numeric>
#include <set>
#include <thread>

using coproc::hex;
using qtest::Board;
using ::testing::ElementsAre;

namespace {

constexpr uint8_t SPI_HEAD = 0x82, WRITE = 0x20, CONTROL = 0x70;

// A request as it went on the line, without its random tail.
std::string frame_of(const coproc::RequestRecord &r) { return hex({r.raw.begin(), r.raw.end() - 1}); }

std::vector<coproc::RequestRecord> spi_requests(Board &board, uint8_t command)
{
    std::vector<coproc::RequestRecord> out;
    for (const auto &r : board.requests())
        if (r.raw.size() >= 3 && r.raw[0] == SPI_HEAD && r.raw[2] == command)
            out.push_back(r);
    return out;
}

std::vector<uint8_t> test_bytes(size_t n, uint8_t seed = 1)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

class SpiMasters : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus3_ = static_cast<int>(prog_.open("/dev/spidev3.0", 2));
        bus4_ = static_cast<int>(prog_.open("/dev/spidev4.0", 2));
        ASSERT_GE(bus3_, 3);
        ASSERT_GE(bus4_, 3);
        board_.sim().clear_log();
        khost::log_clear();
    }
    void TearDown() override
    {
        prog_.close(bus3_);
        prog_.close(bus4_);
    }

    template <class T> long ioctl(int fd, unsigned cmd, T *arg)
    {
        return prog_.ioctl(fd, cmd, reinterpret_cast<unsigned long>(arg));
    }
    // One transfer of tx through SPI_IOC_MESSAGE(1); the bytes received.
    long message(int fd, const std::vector<uint8_t> &tx, std::vector<uint8_t> *rx)
    {
        rx->assign(tx.size(), 0xEE);
        struct spi_ioc_transfer t {};
        t.tx_buf = reinterpret_cast<uintptr_t>(tx.data());
        t.rx_buf = reinterpret_cast<uintptr_t>(rx->data());
        t.len = static_cast<uint32_t>(tx.size());
        return ioctl(fd, SPI_IOC_MESSAGE(1), &t);
    }
    coproc::SpiModel::Bus bus(size_t index)
    {
        return board_.sim().with_firmware(
            [&](coproc::Firmware &fw) { return fw.model<coproc::SpiModel>().bus(index); });
    }

    Board board_{{"dev_spi0=1", "dev_spi1=1"}};
    khost::Program prog_;
    int bus3_ = -1, bus4_ = -1;
};

// Pieces of 249 bytes at most: headers, frame and reply lengths, and the
// bytes back in order through the loopback.
TEST_F(SpiMasters, TransfersGoAsPiecesWithTheirHeaders)
{
    struct Case {
        size_t len;
        std::vector<uint8_t> headers; // on bus 3; bus 4 adds 1
        std::vector<size_t> sizes;
    };
    const std::vector<Case> cases = {
        {249, {0x00}, {249}},
        {250, {0x80, 0x40}, {249, 1}},
        {498, {0x80, 0x40}, {249, 249}},
        {600, {0x80, 0x00, 0x40}, {249, 249, 102}},
        {747, {0x80, 0x00, 0x40}, {249, 249, 249}},
        {1, {0x00}, {1}},
    };
    for (const auto &c : cases) {
        for (int fd : {bus3_, bus4_}) {
            const uint8_t index = fd == bus3_ ? 0 : 1;
            board_.sim().clear_log();
            const auto tx = test_bytes(c.len, static_cast<uint8_t>(c.len));
            std::vector<uint8_t> rx;
            ASSERT_EQ(message(fd, tx, &rx), static_cast<long>(c.len)) << c.len;
            const auto pieces = spi_requests(board_, WRITE);
            ASSERT_EQ(pieces.size(), c.headers.size()) << c.len;
            size_t at = 0;
            for (size_t i = 0; i < pieces.size(); i++) {
                const auto &p = pieces[i];
                EXPECT_EQ(p.raw.size(), c.sizes[i] + 6) << c.len << " piece " << i;
                EXPECT_EQ(p.raw[1], static_cast<uint8_t>(c.sizes[i] + 6));
                EXPECT_EQ(p.raw[3], c.headers[i] | index) << c.len << " piece " << i;
                EXPECT_TRUE(std::equal(tx.begin() + at, tx.begin() + at + c.sizes[i], p.raw.begin() + 4));
                EXPECT_EQ(p.reply_sent.size(), c.sizes[i] + 5) << c.len << " piece " << i;
                at += c.sizes[i];
            }
            if (index == 0) {
                EXPECT_EQ(rx, tx) << "the loopback gives back what went out, " << c.len;
            }
            EXPECT_EQ(bus(index).last_transfer_pieces, c.sizes);
        }
    }
    EXPECT_EQ(bus(0).out_of_order + bus(1).out_of_order, 0u);
}

TEST_F(SpiMasters, AnEmptyTransferIsAHeaderAloneAndAFiveByteReply)
{
    struct spi_ioc_transfer t {};
    uint8_t rx = 0xEE;
    t.rx_buf = reinterpret_cast<uintptr_t>(&rx);
    EXPECT_EQ(ioctl(bus4_, SPI_IOC_MESSAGE(1), &t), 0);
    auto pieces = spi_requests(board_, WRITE);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(frame_of(pieces[0]), "82 06 20 01 07");
    EXPECT_EQ(pieces[0].reply_sent.size(), 5u);
    EXPECT_EQ(rx, 0xEE) << "nothing is copied";
}

// The set-up request's speed code, band by band, through the rate a
// program sets; the device keeps no rate of its own.
TEST_F(SpiMasters, SpeedCodesAtTheBandEdges)
{
    const std::vector<std::pair<uint32_t, uint8_t>> bands = {
        {400000, 255}, {400001, 128}, {800000, 128}, {800001, 64},  {1600001, 32}, {3200000, 32}, {3200001, 16},
        {6400000, 16}, {6400001, 8},  {12800001, 4}, {25600000, 4}, {25600001, 2}, {1, 255},      {0xFFFFFFFF, 2},
    };
    for (const auto &[hz, code] : bands) {
        uint32_t rate = hz;
        board_.sim().clear_log();
        ASSERT_EQ(ioctl(bus4_, SPI_IOC_WR_MAX_SPEED_HZ, &rate), 0) << hz;
        auto setups = spi_requests(board_, CONTROL);
        ASSERT_EQ(setups.size(), 1u);
        EXPECT_EQ(setups[0].raw[5], code) << hz;
        EXPECT_EQ(bus(1).speed_code, code) << hz;
        uint32_t back = 1;
        ASSERT_EQ(ioctl(bus4_, SPI_IOC_RD_MAX_SPEED_HZ, &back), 0);
        EXPECT_EQ(back, hz) << "the file remembers the rate it set";
    }
    // A rate of 0 is no rate: the stored one stays (4.4's spidev takes 0).
    uint32_t none = 0;
    board_.sim().clear_log();
    ASSERT_EQ(ioctl(bus4_, SPI_IOC_WR_MAX_SPEED_HZ, &none), 0);
    auto setups = spi_requests(board_, CONTROL);
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_EQ(setups[0].raw[5], 2);
}

// The stored mode: a setup call with a rate keeps it, one without takes the
// device's. Bus 4 logs both readings.
TEST_F(SpiMasters, TheStoredModeFollowsOnlySetupCallsWithoutARate)
{
    uint32_t rate = 2000000;
    ASSERT_EQ(ioctl(bus4_, SPI_IOC_WR_MAX_SPEED_HZ, &rate), 0);
    uint8_t mode = 1;
    ASSERT_EQ(ioctl(bus4_, SPI_IOC_WR_MODE, &mode), 0);
    auto setups = spi_requests(board_, CONTROL);
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_EQ(frame_of(setups[0]), "82 09 70 01 00 20 10 c8")
        << "after load the stored mode is 0, though the device was made with mode 3";
    EXPECT_EQ(frame_of(setups[1]), "82 09 70 01 01 20 10 a3");
    EXPECT_GE(Board::find_line("speed = 2000000  bit = 8 "), 0);
    EXPECT_GE(Board::find_line("speed = 2000000  mode = 0"), 0);
    EXPECT_GE(Board::find_line("speed = 0  bit = 8 "), 0) << "the device's own rate stays 0";
    EXPECT_GE(Board::find_line("speed = 2000000  mode = 1"), 0);

    // The masters move bytes: the core refuses other word sizes before the
    // hook is asked, so nothing is sent.
    for (int bus : {bus3_, bus4_}) {
        uint8_t bits = 16;
        EXPECT_EQ(ioctl(bus, SPI_IOC_WR_BITS_PER_WORD, &bits), -EINVAL);
        EXPECT_EQ(ioctl(bus, SPI_IOC_RD_BITS_PER_WORD, &bits), 0);
        EXPECT_EQ(bits, 8);
        bits = 8;
        EXPECT_EQ(ioctl(bus, SPI_IOC_WR_BITS_PER_WORD, &bits), 0);
    }
    EXPECT_EQ(spi_requests(board_, CONTROL).size(), 4u) << "only the two 8-bit calls were sent";
    uint32_t mode32 = 0;
    EXPECT_EQ(ioctl(bus4_, SPI_IOC_RD_MODE32, &mode32), 0);
    EXPECT_EQ(mode32, 1u);
}

// The twins part on SPI_NO_CS, the chip-select byte, and their logging.
TEST_F(SpiMasters, TheTwinsDiffer)
{
    uint8_t no_cs = SPI_NO_CS | SPI_MODE_3;
    EXPECT_EQ(ioctl(bus3_, SPI_IOC_WR_MODE, &no_cs), -EINVAL) << "bus 3 does not know SPI_NO_CS";
    EXPECT_TRUE(khost::log_contains("spi3.0: setup: unsupported mode bits 40"));
    uint8_t mode = 0xEE;
    EXPECT_EQ(ioctl(bus3_, SPI_IOC_RD_MODE, &mode), 0);
    EXPECT_EQ(mode, SPI_MODE_3) << "a refused mode leaves the old one";
    EXPECT_EQ(ioctl(bus4_, SPI_IOC_WR_MODE, &no_cs), 0);
    uint8_t mode3 = SPI_MODE_3;
    EXPECT_EQ(ioctl(bus3_, SPI_IOC_WR_MODE, &mode3), 0);
    auto setups = spi_requests(board_, CONTROL);
    ASSERT_EQ(setups.size(), 2u) << "the refused mode never reached the master";
    EXPECT_EQ(frame_of(setups[0]), "82 09 70 01 43 10 10 0a");
    EXPECT_EQ(frame_of(setups[1]), "82 0a 70 00 03 10 10 00 cf") << "bus 3's worked example: cs 0 at the end";
    EXPECT_EQ(Board::find_line("speed = 0  bit = 8 ") >= 0, true);
    EXPECT_EQ(bus(0).chip_select, 0);
    EXPECT_EQ(bus(1).mode, 0x43);

    // Neither master sends LSB first; a mode beyond spidev's mask is refused
    // before the core is asked.
    uint8_t lsb = 1;
    EXPECT_EQ(ioctl(bus4_, SPI_IOC_WR_LSB_FIRST, &lsb), -EINVAL);
    EXPECT_EQ(ioctl(bus4_, SPI_IOC_RD_LSB_FIRST, &lsb), 0);
    EXPECT_EQ(lsb, 0);
    uint32_t wide = 0x10003;
    EXPECT_EQ(ioctl(bus4_, SPI_IOC_WR_MODE32, &wide), -EINVAL);
    EXPECT_EQ(spi_requests(board_, CONTROL).size(), 2u);
}

TEST_F(SpiMasters, WorkedExamples)
{
    uint32_t rate = 1000000;
    uint8_t mode = 0;
    ASSERT_EQ(ioctl(bus4_, SPI_IOC_WR_MODE, &mode), 0);
    board_.sim().clear_log();
    ASSERT_EQ(ioctl(bus4_, SPI_IOC_WR_MAX_SPEED_HZ, &rate), 0);
    std::vector<uint8_t> rx;
    ASSERT_EQ(message(bus4_, {0xAA}, &rx), 1);
    const auto reqs = board_.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(frame_of(reqs[0]), "82 09 70 01 00 40 10 3d");
    EXPECT_EQ(reqs[0].reply_sent.size(), 6u);
    EXPECT_EQ(frame_of(reqs[1]), "82 07 20 01 aa 4a");
    EXPECT_EQ(reqs[1].reply_sent.size(), 6u);
    EXPECT_EQ(rx[0], reqs[1].reply_sent[3]) << "the byte received is r[3]";
    EXPECT_EQ(rx[0], 0xFF) << "the flash listens to a command byte with MISO high";
}

// spidev's plain write and read, and a message of two transfers: the flash
// answers its JEDEC id within one transfer, each transfer is one frame.
TEST_F(SpiMasters, PlainReadWriteAndTwoTransferMessages)
{
    const std::vector<uint8_t> out = test_bytes(300);
    EXPECT_EQ(prog_.write(bus3_, out.data(), out.size()), 300) << "actual_length: every piece counted";
    std::vector<uint8_t> in(300, 0xEE);
    EXPECT_EQ(prog_.read(bus3_, in.data(), in.size()), 300);
    EXPECT_EQ(in, std::vector<uint8_t>(300, 0x00)) << "a read sends zeros, which the loopback gives back";

    board_.sim().clear_log();
    const std::vector<uint8_t> cmd = {0x9F, 0, 0, 0};
    std::vector<uint8_t> id(4, 0xEE), ten(10, 0xEE);
    const std::vector<uint8_t> tx10 = test_bytes(10);
    struct spi_ioc_transfer t[2] = {};
    t[0].tx_buf = reinterpret_cast<uintptr_t>(cmd.data());
    t[0].rx_buf = reinterpret_cast<uintptr_t>(id.data());
    t[0].len = 4;
    t[1].tx_buf = reinterpret_cast<uintptr_t>(tx10.data());
    t[1].rx_buf = reinterpret_cast<uintptr_t>(ten.data());
    t[1].len = 10;
    EXPECT_EQ(ioctl(bus4_, SPI_IOC_MESSAGE(2), t), 14) << "spidev returns the message's total length";
    EXPECT_EQ(hex(id), "ff 51 40 10");
    const auto pieces = spi_requests(board_, WRITE);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].raw.size(), 10u);
    EXPECT_EQ(pieces[1].raw.size(), 16u);

    // Sizes spidev refuses before anything is sent.
    board_.sim().clear_log();
    std::vector<uint8_t> big(4097);
    EXPECT_EQ(prog_.write(bus3_, big.data(), big.size()), -EMSGSIZE);
    EXPECT_EQ(prog_.ioctl(bus3_, SPI_IOC_MESSAGE(0), 0), 0);
    EXPECT_EQ(prog_.ioctl(bus3_, _IOW(SPI_IOC_MAGIC, 0, char[33]), 0), -EINVAL);
    EXPECT_EQ(prog_.ioctl(bus3_, 0x5201, 0), -ENOTTY);
    t[0].rx_buf = 0x10; // unmapped
    EXPECT_EQ(ioctl(bus3_, SPI_IOC_MESSAGE(1), t), -EFAULT);
    EXPECT_EQ(board_.requests().size(), 1u) << "only the message with a bad receive pointer went out";
}

// A reply that fails its check makes the message fail: -EIO for the
// program, where the masters used to report success.
TEST_F(SpiMasters, AFailedPieceFailsTheMessage)
{
    std::vector<uint8_t> rx;
    board_.sim().inject({coproc::FaultKind::BadCrc, 0, 1, 1}); // the second piece of three
    EXPECT_EQ(message(bus3_, test_bytes(600), &rx), -EIO);
    EXPECT_EQ(spi_requests(board_, WRITE).size(), 3u) << "the remaining pieces still go";
    board_.sim().inject({coproc::FaultKind::Status, 3});
    uint8_t b;
    EXPECT_EQ(prog_.read(bus4_, &b, 1), -EIO);
    board_.sim().inject({coproc::FaultKind::WrongTail});
    EXPECT_EQ(prog_.write(bus4_, &b, 1), -EIO);
    // Set-up replies are judged too, but a setup call never fails: bus 4
    // says so in the log, bus 3 says nothing.
    board_.sim().inject({coproc::FaultKind::BadCrc, 0, 2});
    uint8_t mode = 0;
    EXPECT_EQ(ioctl(bus4_, SPI_IOC_WR_MODE, &mode), 0);
    EXPECT_EQ(ioctl(bus3_, SPI_IOC_WR_MODE, &mode), 0);
    EXPECT_GE(Board::find_line("SET spi data error ret = -2 "), 0);
    EXPECT_EQ(message(bus3_, test_bytes(5), &rx), 5) << "and the next message is fine";
}

// A co-processor that does not answer costs each piece one bounded wait,
// and the transfer fails.
TEST_F(SpiMasters, ASilentCoprocessorFailsEachTransfer)
{
    board_.sim().set_silent(true);
    const auto before = khost::sleeps_of("program");
    uint8_t b = 0x5A;
    EXPECT_EQ(prog_.write(bus4_, &b, 1), -EIO);
    board_.sim().set_silent(false);
    const auto d = khost::sleeps_of("program") - before;
    EXPECT_GE(d.timeouts, 3u) << "1 ms inside the lock, the wait for the reply, 1 ms after";
}

// The kernel's view: spi_sync on the master's device, with the message
// fields spidev does not pass on.
struct spi_device *device_on_bus(u16 bus_num)
{
    struct spi_master *master = spi_busnum_to_master(bus_num);
    if (!master)
        return nullptr;
    struct spi_device *found = nullptr;
    device_for_each_child(&master->dev, &found, [](struct device *dev, void *data) {
        *static_cast<struct spi_device **>(data) = to_spi_device(dev);
        return 1;
    });
    spi_master_put(master);
    return found;
}

TEST_F(SpiMasters, AMessageCountsEveryTransferAndKeepsBytesOfABadReply)
{
    struct spi_device *spi = device_on_bus(3);
    ASSERT_NE(spi, nullptr);
    std::vector<uint8_t> a = test_bytes(10), b = test_bytes(20, 9), ra(10), rb(20);
    struct spi_transfer t[2] = {};
    t[0].tx_buf = a.data();
    t[0].rx_buf = ra.data();
    t[0].len = 10;
    t[1].tx_buf = b.data();
    t[1].rx_buf = rb.data();
    t[1].len = 20;
    struct spi_message m;
    spi_message_init(&m);
    spi_message_add_tail(&t[0], &m);
    spi_message_add_tail(&t[1], &m);
    EXPECT_EQ(spi_sync(spi, &m), 0);
    EXPECT_EQ(m.actual_length, 30u) << "the sum, where the masters used to leave the last transfer's length";
    EXPECT_EQ(m.status, 0);
    EXPECT_EQ(ra, a);
    EXPECT_EQ(rb, b);

    board_.sim().inject({coproc::FaultKind::BadCrc});
    spi_message_init(&m);
    std::fill(ra.begin(), ra.end(), 0);
    t[0].tx_buf = nullptr; // the loopback sends back the zeros that stand for no bytes
    t[1].rx_buf = nullptr; // what comes back is dropped
    spi_message_add_tail(&t[0], &m);
    spi_message_add_tail(&t[1], &m);
    std::fill(a.begin(), a.end(), 0x77);
    EXPECT_EQ(spi_sync(spi, &m), -EIO);
    EXPECT_EQ(m.status, -EIO);
    EXPECT_EQ(ra, std::vector<uint8_t>(10, 0)) << "a bad CRC still has its bytes copied";
    EXPECT_EQ(m.actual_length, 30u);
}

// Both masters and the configuration device at once: every frame intact,
// the pieces of each transfer in order on each bus.
TEST_F(SpiMasters, BothMastersAndAnotherDeviceAtOnce)
{
    constexpr int rounds = 6;
    std::atomic<int> bad{0};
    auto spi_user = [&](const char *path, bool loopback) {
        khost::Program p;
        int fd = static_cast<int>(p.open(path, 2));
        for (int i = 0; i < rounds; i++) {
            const auto tx = test_bytes(600, static_cast<uint8_t>(i));
            std::vector<uint8_t> rx(600);
            struct spi_ioc_transfer t {};
            t.tx_buf = reinterpret_cast<uintptr_t>(tx.data());
            t.rx_buf = reinterpret_cast<uintptr_t>(rx.data());
            t.len = 600;
            if (p.ioctl(fd, SPI_IOC_MESSAGE(1), reinterpret_cast<unsigned long>(&t)) != 600 || (loopback && rx != tx))
                bad++;
        }
        p.close(fd);
    };
    auto config_user = [&] {
        khost::Program p;
        int fd = static_cast<int>(p.open("/dev/quorvel_config", 2));
        for (int i = 0; i < rounds * 2; i++) {
            uint8_t version[2] = {};
            if (p.ioctl(fd, 0x5201, reinterpret_cast<unsigned long>(version)) != 0 || version[0] != 0x01)
                bad++;
        }
        p.close(fd);
    };
    std::thread t3(spi_user, "/dev/spidev3.0", true), t4(spi_user, "/dev/spidev4.0", false), tc(config_user);
    t3.join();
    t4.join();
    tc.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(board_.sim().bad_crc_count(), 0u);
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(bus(i).out_of_order, 0u) << i;
        EXPECT_EQ(bus(i).transfers, static_cast<unsigned>(rounds)) << i;
        EXPECT_EQ(bus(i).pieces, static_cast<unsigned>(rounds * 3)) << i;
    }
}

} // namespace

// Loading, probing and unbinding, as the platform bus and sysfs drive them.
TEST(SpiLoad, LogsOfTheTwinsAndNoSetUpRequestWhileProbing)
{
    Board board({"dev_spi0=1", "dev_spi1=1"});
    for (const auto &r : board.requests())
        EXPECT_NE(r.raw[0], SPI_HEAD) << "the probe's setup call is swallowed: " << hex(r.raw);
    const long loaded = Board::find_line("register master success");
    ASSERT_GE(loaded, 0);
    const auto lines = Board::log();
    EXPECT_THAT(std::vector<std::string>(lines.begin() + loaded, lines.begin() + loaded + 4),
                ElementsAre("register master success", "get bus num success   num = 4 ", "new device success ",
                            "SPI1 driver loaded-------------------------"));
    EXPECT_EQ(Board::find_line("register master success", static_cast<size_t>(loaded) + 1), -1)
        << "the first master's probe says nothing";
    khost::log_clear();
    ASSERT_EQ(board.unload(), 0);
    EXPECT_GE(Board::find_line("clean up"), 0);
    EXPECT_GE(Board::find_line("SPI driver unloaded"), 0);
}

TEST(SpiLoad, ASecondProbeIsNotSwallowedOnBus4AndSendsNothingOnBus3)
{
    Board board({"dev_spi0=1", "dev_spi1=1"});
    khost::Program p;
    board.sim().clear_log();
    auto echo = [&](const std::string &path, const std::string &text) {
        int fd = static_cast<int>(p.open(path, 1));
        long r = p.write(fd, text.data(), text.size());
        p.close(fd);
        return r;
    };
    for (const char *name : {"spi0_dev", "spi1_dev"}) {
        const std::string dir = std::string("/sys/bus/platform/drivers/") + name + "/";
        ASSERT_EQ(echo(dir + "unbind", name), static_cast<long>(std::strlen(name)));
        ASSERT_EQ(echo(dir + "bind", name), static_cast<long>(std::strlen(name)));
    }
    const auto reqs = board.requests();
    ASSERT_EQ(reqs.size(), 1u) << "one set-up request, from bus 4's new device";
    EXPECT_EQ(frame_of(reqs[0]), "82 09 70 01 03 10 10 8c") << "the new device's mode 3, the stored rate";
    int fd = static_cast<int>(p.open("/dev/spidev3.0", 2));
    ASSERT_GE(fd, 3) << "bus 3 works again after its second probe";
    uint8_t b = 0x42;
    EXPECT_EQ(p.write(fd, &b, 1), 1);
    p.close(fd);
}

// A program may reach bus 3's node while the probe is still finishing: its
// setup calls are sent, every one that succeeded as one set-up request.
TEST(SpiLoad, SetupCallsWhileTheProbeRunsAreSent)
{
    Board board({"dev_spi0=1"});
    khost::Program p;
    auto echo = [&](const std::string &file) {
        int fd = static_cast<int>(p.open("/sys/bus/platform/drivers/spi0_dev/" + file, 1));
        long r = p.write(fd, "spi0_dev", 8);
        p.close(fd);
        return r;
    };
    board.sim().clear_log();
    constexpr int rounds = 10;
    int succeeded = 0;
    for (int round = 0; round < rounds; round++) {
        ASSERT_EQ(echo("unbind"), 8);
        long result = -1;
        std::thread user([&] {
            khost::Program q;
            long fd;
            while ((fd = q.open("/dev/spidev3.0", 2)) < 0)
                std::this_thread::yield();
            uint8_t mode = SPI_MODE_1;
            result = q.ioctl(static_cast<int>(fd), SPI_IOC_WR_MODE, reinterpret_cast<unsigned long>(&mode));
            q.close(static_cast<int>(fd));
        });
        ASSERT_EQ(echo("bind"), 8);
        user.join();
        succeeded += result == 0;
    }
    EXPECT_EQ(succeeded, rounds);
    EXPECT_EQ(spi_requests(board, CONTROL).size(), static_cast<size_t>(succeeded));
}

// A rate a program set lasts until the last close; the next open has the
// device's own (0 on these masters).
TEST(SpiLoad, TheLastCloseForgetsTheRateAProgramSet)
{
    Board board({"dev_spi1=1"});
    khost::Program p;
    int fd = static_cast<int>(p.open("/dev/spidev4.0", 2));
    uint32_t hz = 1000000;
    ASSERT_EQ(p.ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, reinterpret_cast<unsigned long>(&hz)), 0);
    int other = static_cast<int>(p.open("/dev/spidev4.0", 2));
    p.close(fd);
    hz = 7;
    ASSERT_EQ(p.ioctl(other, SPI_IOC_RD_MAX_SPEED_HZ, reinterpret_cast<unsigned long>(&hz)), 0);
    EXPECT_EQ(hz, 1000000u) << "not the last close";
    p.close(other);
    fd = static_cast<int>(p.open("/dev/spidev4.0", 2));
    ASSERT_EQ(p.ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, reinterpret_cast<unsigned long>(&hz)), 0);
    EXPECT_EQ(hz, 0u);
    p.close(fd);
}

TEST(SpiLoad, AFileOutlivesItsDevice)
{
    Board board({"dev_spi0=1"});
    khost::Program p;
    int fd = static_cast<int>(p.open("/dev/spidev3.0", 2));
    ASSERT_GE(fd, 3);
    int drv = static_cast<int>(p.open("/sys/bus/platform/drivers/spi0_dev/unbind", 1));
    ASSERT_EQ(p.write(drv, "spi0_dev", 8), 8);
    p.close(drv);
    uint8_t b = 0;
    EXPECT_EQ(p.write(fd, &b, 1), -ESHUTDOWN);
    EXPECT_EQ(p.ioctl(fd, SPI_IOC_RD_MODE, reinterpret_cast<unsigned long>(&b)), -ESHUTDOWN);
    EXPECT_EQ(p.close(fd), 0);
    EXPECT_EQ(p.open("/dev/spidev3.0", 2), -ENOENT);
}

namespace {

std::vector<std::string> names_in(const std::string &dir)
{
    khost::Program p;
    std::vector<khost::DirEntry> entries;
    std::vector<std::string> names;
    if (p.list(dir, &entries) == 0)
        for (const auto &e : entries)
            names.push_back(e.name);
    return names;
}

bool has(const std::vector<std::string> &names, const std::string &name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// One byte through the bus's node; false if the node is not there.
bool node_works(int bus)
{
    khost::Program p;
    long fd = p.open("/dev/spidev" + std::to_string(bus) + ".0", 2);
    if (fd < 0)
        return false;
    uint8_t b = 0x3C;
    const bool ok = p.write(static_cast<int>(fd), &b, 1) == 1;
    p.close(static_cast<int>(fd));
    return ok;
}

// What of the SPI side is left in sysfs and /dev.
std::vector<std::string> spi_leftovers()
{
    std::vector<std::string> left;
    for (const auto &n : names_in("/sys/class/spi_master"))
        left.push_back("master " + n);
    for (const auto &n : names_in("/sys/bus/spi/devices"))
        left.push_back("device " + n);
    for (const auto &n : names_in("/sys/class/spidev"))
        left.push_back("spidev " + n);
    for (const auto &n : names_in("/dev"))
        if (n.starts_with("spidev"))
            left.push_back("node " + n);
    for (const char *drv : {"spi0_dev", "spi1_dev"})
        if (has(names_in("/sys/bus/platform/drivers"), drv))
            left.push_back(std::string("driver ") + drv);
    return left;
}

} // namespace

// Every fallible call of a load with both masters failed in turn: the load
// goes on, a master whose probe failed leaves no master behind (nor a
// master without its device), a node that exists works, the unload leaves
// nothing, and the next load is whole.
TEST(SpiLoad, EveryFallibleCallOfTheLoadFailedInTurn)
{
    const std::vector<std::string> params = {"dev_spi0=1", "dev_spi1=1"};
    Board board(params);
    ASSERT_EQ(board.unload(), 0);
    khost::fail_clear();
    ASSERT_EQ(board.load(params), 0);
    const unsigned calls = khost::fail_calls("");
    ASSERT_EQ(board.unload(), 0);

    std::set<std::string> names;
    for (unsigned n = 1; n <= calls; n++) {
        khost::log_clear();
        khost::fail_nth("", n);
        const int result = board.load(params);
        const auto forced = khost::fail_forced();
        khost::fail_clear();
        ASSERT_EQ(forced.size(), 1u) << "call " << n;
        const std::string context = "call " + std::to_string(n) + ": " + forced.front();
        names.insert(forced.front());
        if (result != 0) {
            // The infrared driver's start decides the load: a refused load
            // leaves nothing, SPI included.
            EXPECT_LT(result, 0) << context;
            EXPECT_THAT(spi_leftovers(), ::testing::IsEmpty()) << context;
            continue;
        }
        const auto masters = names_in("/sys/class/spi_master");
        const auto devices = names_in("/sys/bus/spi/devices");
        for (int bus : {3, 4}) {
            const std::string m = "spi" + std::to_string(bus);
            if (has(masters, m)) {
                EXPECT_TRUE(has(devices, m + ".0")) << context << ": a master without its device";
            } else {
                EXPECT_FALSE(has(devices, m + ".0")) << context;
            }
            // Without its line (filp_open failed) a node answers -EIO.
            if (forced.front() != "filp_open" && has(names_in("/dev"), "spidev" + std::to_string(bus) + ".0")) {
                EXPECT_TRUE(node_works(bus)) << context;
            }
        }
        ASSERT_EQ(board.unload(), 0) << context;
        EXPECT_THAT(spi_leftovers(), ::testing::IsEmpty()) << context;
    }
    for (const char *name : {"spi_register_master", "spi_busnum_to_master", "kthread_create_on_node", "kmalloc",
                             "device_create", "platform_driver_register", "platform_device_register"})
        EXPECT_TRUE(names.count(name)) << name << " was never failed";

    ASSERT_EQ(board.load(params), 0);
    EXPECT_TRUE(node_works(3));
    EXPECT_TRUE(node_works(4));
}

// The probe's own failure paths, one by one, with their messages. -ENODEV
// (no master found) is a probe declining its device: the platform bus says
// nothing of it, as Linux's does not.
TEST(SpiLoad, ProbeFailuresAndTheirMessages)
{
    Board board;
    ASSERT_EQ(board.unload(), 0);
    struct Case {
        const char *fail;
        unsigned nth;
        const char *line;
    };
    const Case cases[] = {
        {"spi_register_master", 1, "Failed to register SPI master: -12"},
        {"spi_busnum_to_master", 1, "spi1_dev: Failed to get SPI master"},
        {"spi_register_master", 1, "spi1_dev: probe of spi1_dev failed with error -12"},
    };
    for (const auto &c : cases) {
        khost::log_clear();
        khost::fail_nth(c.fail, c.nth);
        ASSERT_EQ(board.load({"dev_spi1=1"}), 0);
        khost::fail_clear();
        EXPECT_GE(Board::find_line(c.line), 0) << c.fail << ": " << c.line;
        EXPECT_FALSE(has(names_in("/sys/class/spi_master"), "spi4")) << c.fail;
        EXPECT_GE(Board::find_line("SPI1 driver loaded-------------------------"), 0)
            << "the driver's registration succeeds though its probe failed";
        ASSERT_EQ(board.unload(), 0);
    }
    // The device registration failing takes the driver back with it.
    khost::log_clear();
    khost::fail_nth("platform_device_register", 1);
    ASSERT_EQ(board.load({"dev_spi1=1"}), 0);
    khost::fail_clear();
    EXPECT_GE(Board::find_line("Failed to register SPI platform device: -12"), 0);
    EXPECT_FALSE(has(names_in("/sys/bus/platform/drivers"), "spi1_dev"));
    ASSERT_EQ(board.unload(), 0);
}

// Programs writing while the master's driver is unbound: each write either
// went out or finds the device gone, and nothing is used after it is freed
// (the sanitizer builds watch that).
TEST(SpiLoad, WritesRacingAnUnbind)
{
    Board board({"dev_spi0=1"});
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    std::thread writer([&] {
        khost::Program p;
        int fd = static_cast<int>(p.open("/dev/spidev3.0", 2));
        while (!stop) {
            uint8_t b = 0x11;
            const long r = p.write(fd, &b, 1);
            if (r != 1 && r != -ESHUTDOWN)
                odd++;
            if (r == -ESHUTDOWN)
                break;
        }
        p.close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    khost::Program p;
    int drv = static_cast<int>(p.open("/sys/bus/platform/drivers/spi0_dev/unbind", 1));
    EXPECT_EQ(p.write(drv, "spi0_dev", 8), 8);
    p.close(drv);
    stop = true;
    writer.join();
    EXPECT_EQ(odd.load(), 0);
}
