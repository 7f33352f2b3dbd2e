// The I2C adapter as programs use it through /dev/i2c-0: the frames of each
// kind of message and SMBus transaction byte for byte, what the caller is
// told when the co-processor refuses one, the limits of the frames, the
// probe's failures, and traffic from several programs at once.
#include "board.hpp"

#include <coproc/frame.hpp>
#include <coproc/models/i2c.hpp>
#include <khost/fault.hpp>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>
#include <thread>

using coproc::hex;
using qtest::Board;

namespace {

// The request without its random tail, which must be 0x80..0xBF.
std::string sent(const coproc::RequestRecord &rec)
{
    EXPECT_EQ(rec.raw.back() & 0xC0, 0x80) << hex(rec.raw);
    return hex({rec.raw.begin(), rec.raw.end() - 1});
}

class I2cAdapter : public ::testing::Test {
protected:
    void SetUp() override
    {
        fd_ = static_cast<int>(prog_.open("/dev/i2c-0", 2));
        ASSERT_EQ(fd_, 3);
        board_.sim().clear_log();
        khost::log_clear();
    }
    void TearDown() override { prog_.close(fd_); }

    long ioctl(unsigned cmd, unsigned long arg) { return prog_.ioctl(fd_, cmd, arg); }
    long ioctl(unsigned cmd, void *arg) { return ioctl(cmd, reinterpret_cast<unsigned long>(arg)); }
    long rdwr(std::vector<struct i2c_msg> msgs)
    {
        struct i2c_rdwr_ioctl_data arg = {.msgs = msgs.data(), .nmsgs = static_cast<__u32>(msgs.size())};
        return ioctl(I2C_RDWR, &arg);
    }
    long smbus(int addr, uint8_t rw, uint8_t cmd, uint32_t size, union i2c_smbus_data *data)
    {
        EXPECT_EQ(ioctl(I2C_SLAVE, static_cast<unsigned long>(addr)), 0);
        struct i2c_smbus_ioctl_data arg = {.read_write = rw, .command = cmd, .size = size, .data = data};
        return ioctl(I2C_SMBUS, &arg);
    }
    std::vector<coproc::RequestRecord> requests() { return board_.sim().requests(); }
    template <class F> void with_bus(F f)
    {
        board_.sim().with_firmware([&](coproc::Firmware &fw) { f(fw.model<coproc::I2cBus>()); });
    }

    Board board_{{"dev_iic1=1"}};
    khost::Program prog_;
    int fd_ = -1;
};

struct i2c_msg rd(uint16_t addr, uint8_t *buf, uint16_t len) { return {addr, I2C_M_RD, len, buf}; }
struct i2c_msg wr(uint16_t addr, uint8_t *buf, uint16_t len, uint16_t flags = 0) { return {addr, flags, len, buf}; }

TEST_F(I2cAdapter, ProbeRegisteredTheAdapterAndItsClient)
{
    khost::Program p;
    std::vector<khost::DirEntry> entries;
    ASSERT_EQ(p.list("/sys/bus/i2c/devices", &entries), 0);
    std::vector<std::string> names;
    for (const auto &e : entries)
        names.push_back(e.name + " -> " + e.target);
    EXPECT_THAT(names, ::testing::UnorderedElementsAre(
                           "0-001f -> ../../../devices/platform/quorvel_i2c1_adapter_dev.1/i2c-0/0-001f",
                           "i2c-0 -> ../../../devices/platform/quorvel_i2c1_adapter_dev.1/i2c-0"));
    unsigned long funcs = 0;
    EXPECT_EQ(ioctl(I2C_FUNCS, &funcs), 0);
    EXPECT_EQ(funcs, 0x0EFF0009ul);
    EXPECT_EQ(ioctl(I2C_SLAVE, 0x1F), 0) << "no driver has the client's address";
    Board::log(); // the probe's lines came before the fixture cleared the log
}

TEST_F(I2cAdapter, WorkedExamplesByteForByte)
{
    uint8_t two[2] = {}, out[2] = {0x01, 0x60};
    EXPECT_EQ(rdwr({rd(0x48, two, 2)}), 1);
    EXPECT_EQ(two[0], 0x19) << "the sensor's 25.0 degrees";
    EXPECT_EQ(rdwr({wr(0x48, out, 2)}), 1);
    union i2c_smbus_data d = {};
    EXPECT_EQ(smbus(0x48, I2C_SMBUS_READ, 0xD0, I2C_SMBUS_BYTE_DATA, &d), 0);
    EXPECT_EQ(d.byte, 0x19) << "the byte in reply byte 3";
    d.word = 0x1234;
    EXPECT_EQ(smbus(0x48, I2C_SMBUS_WRITE, 0xD0, I2C_SMBUS_WORD_DATA, &d), 0);
    EXPECT_EQ(smbus(0x48, I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr), 0);

    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(sent(reqs[0]), "81 08 30 11 48 02 34");
    EXPECT_EQ(reqs[0].reply_sent.size(), 7u);
    EXPECT_EQ(sent(reqs[1]), "81 0a 20 11 48 00 01 60 49");
    EXPECT_EQ(reqs[1].reply_sent.size(), 6u);
    EXPECT_EQ(sent(reqs[2]), "81 09 60 11 48 d0 01 1b");
    EXPECT_EQ(reqs[2].reply_sent.size(), 6u);
    EXPECT_EQ(sent(reqs[3]), "81 0a 80 11 48 d0 34 12 87");
    EXPECT_EQ(sent(reqs[4]), "81 07 70 11 48 bd");
    EXPECT_EQ(reqs[4].reply_sent.size(), 6u);
}

TEST_F(I2cAdapter, EmptyAndOneByteMessagesAndTheStopFlag)
{
    EXPECT_EQ(rdwr({}), 0) << "no messages: nothing sent";
    EXPECT_TRUE(requests().empty());
    uint8_t b[3] = {0x10, 0xAA, 0xBB}, in[1] = {};
    EXPECT_EQ(rdwr({rd(0x50, in, 1)}), 1);
    EXPECT_EQ(rdwr({rd(0x50, in, 0)}), 1);
    EXPECT_EQ(rdwr({wr(0x50, b, 3, I2C_M_STOP)}), 1);
    EXPECT_EQ(rdwr({wr(0x50, b, 0)}), 1);
    ASSERT_EQ(ioctl(I2C_SLAVE, 0x50), 0);
    EXPECT_EQ(prog_.read(fd_, in, 0), 0) << "i2c-dev's empty read";

    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(sent(reqs[0]), "81 08 30 11 50 01 c2");
    EXPECT_EQ(reqs[0].reply_sent.size(), 6u);
    EXPECT_EQ(sent(reqs[1]), "81 08 30 11 50 00 c5");
    EXPECT_EQ(reqs[1].reply_sent.size(), 5u) << "an empty read's reply has no payload and is judged as it is";
    EXPECT_EQ(sent(reqs[2]).substr(0, 27), "81 0b 20 11 50 01 10 aa bb ");
    EXPECT_EQ(sent(reqs[3]).substr(0, 15), "81 08 20 11 50 ");
    EXPECT_EQ(reqs[4].frame.payload, (coproc::Bytes{0x11, 0x50, 0x00}));
    with_bus([](coproc::I2cBus &bus) { EXPECT_EQ(bus.eeprom().cells()[0x10], 0xAA); });
}

TEST_F(I2cAdapter, AFailedReadInTheMiddleIsNotHiddenByALaterSuccess)
{
    uint8_t r[2] = {0x77, 0x77}, w[2] = {0x00, 0x42};
    EXPECT_EQ(rdwr({rd(0x51, r, 2), wr(0x50, w, 2)}), -EIO);
    EXPECT_EQ(r[0], 0x77) << "a failed transfer copies nothing back";
    EXPECT_EQ(requests().size(), 2u) << "the write after the refused read is still sent";
    EXPECT_TRUE(khost::log_contains("read error ret = -1 "));
    with_bus([](coproc::I2cBus &bus) { EXPECT_EQ(bus.eeprom().cells()[0x00], 0x42); });
}

TEST_F(I2cAdapter, AFailedWriteLogsThreeLinesAndEndsTheTransfer)
{
    uint8_t r[2] = {}, w[2] = {0x01, 0x02};
    EXPECT_EQ(rdwr({rd(0x48, r, 2), wr(0x51, w, 2), wr(0x50, w, 2)}), -EIO);
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u) << "nothing after the refused write";
    const auto &reply = reqs[1].reply_sent;
    ASSERT_EQ(reply.size(), 6u);
    EXPECT_EQ(reply[2], 0x25) << "not acknowledged";
    auto lines = Board::log();
    long at = Board::find_line("write fail");
    ASSERT_GE(at, 0);
    ASSERT_GE(lines.size(), static_cast<size_t>(at) + 3);
    EXPECT_EQ(lines[at + 1], "rx_len = 7 ") << "the last read's reply length";
    EXPECT_EQ(lines[at + 2], fmt::format("{:x} {:x} {:x} {:x} {:x} {:x} ", reply[0], reply[1], reply[2], reply[3],
                                         reply[4], reply[5]));
}

TEST_F(I2cAdapter, SmbusQuickBothWaysAndAbsentAddresses)
{
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_READ, 0, I2C_SMBUS_QUICK, nullptr), 0);
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr), 0);
    EXPECT_EQ(smbus(0x33, I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr), -EIO);
    union i2c_smbus_data d = {};
    d.byte = 0x5A;
    EXPECT_EQ(smbus(0x33, I2C_SMBUS_READ, 1, I2C_SMBUS_BYTE_DATA, &d), -EIO);
    EXPECT_EQ(d.byte, 0x5A);
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(sent(reqs[0]), sent(reqs[1])) << "read and write quick are the same request";
    EXPECT_EQ(reqs[2].reply_sent[2], 0x75) << "control, status 5: not acknowledged";
}

TEST_F(I2cAdapter, WordsGoLowByteFirstBothWays)
{
    union i2c_smbus_data d = {};
    EXPECT_EQ(smbus(0x48, I2C_SMBUS_READ, 0, I2C_SMBUS_WORD_DATA, &d), 0);
    EXPECT_EQ(d.word, 0x0019) << "the sensor's most significant byte comes first, so it is the low byte";
    with_bus([](coproc::I2cBus &bus) { bus.sensor().set_temperature_half_degrees(-1); });
    EXPECT_EQ(smbus(0x48, I2C_SMBUS_READ, 0, I2C_SMBUS_WORD_DATA, &d), 0);
    EXPECT_EQ(d.word, 0x80FF);
    d.word = 0xBEEF;
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_WRITE, 0x20, I2C_SMBUS_WORD_DATA, &d), 0);
    with_bus([](coproc::I2cBus &bus) {
        EXPECT_EQ(bus.eeprom().cells()[0x20], 0xEF);
        EXPECT_EQ(bus.eeprom().cells()[0x21], 0xBE);
    });
}

TEST_F(I2cAdapter, I2cBlocksAndTheirLimit)
{
    with_bus([](coproc::I2cBus &bus) {
        for (int i = 0; i < 16; i++)
            bus.eeprom().cells()[0x40 + i] = static_cast<uint8_t>(i * 3);
    });
    union i2c_smbus_data d = {};
    d.block[0] = 16;
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_READ, 0x40, I2C_SMBUS_I2C_BLOCK_DATA, &d), 0);
    EXPECT_EQ(d.block[16], 45);
    auto reqs = requests();
    EXPECT_EQ(sent(reqs.back()).substr(0, 21), "81 09 60 11 50 40 10 ");
    EXPECT_EQ(reqs.back().reply_sent.size(), 21u);

    d.block[0] = 33;
    board_.sim().clear_log();
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_READ, 0x40, I2C_SMBUS_I2C_BLOCK_DATA, &d), -EINVAL);
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_WRITE, 0x40, I2C_SMBUS_I2C_BLOCK_DATA, &d), -EINVAL);
    EXPECT_TRUE(requests().empty()) << "a block beyond 32 bytes is refused before anything is sent";
    d.block[0] = 32;
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_WRITE, 0x00, I2C_SMBUS_I2C_BLOCK_DATA, &d), 0);
    EXPECT_EQ(requests().back().raw.size(), 32u + 8u);
}

TEST_F(I2cAdapter, MessagesBeyondTheFramesAreRefusedBeforeAnythingIsSent)
{
    std::vector<uint8_t> buf(300);
    EXPECT_EQ(rdwr({rd(0x50, buf.data(), 251)}), -EINVAL);
    EXPECT_EQ(rdwr({wr(0x50, buf.data(), 248)}), -EINVAL);
    EXPECT_EQ(rdwr({wr(0x50, buf.data(), 2), rd(0x50, buf.data(), 251)}), -EINVAL);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(rdwr({rd(0x50, buf.data(), 250)}), 1);
    EXPECT_EQ(requests().back().reply_sent.size(), 255u);
    EXPECT_EQ(rdwr({wr(0x50, buf.data(), 247)}), 1);
    EXPECT_EQ(requests().back().raw.size(), 255u);
    ASSERT_EQ(ioctl(I2C_SLAVE, 0x50), 0);
    EXPECT_EQ(prog_.write(fd_, buf.data(), 248), -EINVAL);
}

TEST_F(I2cAdapter, SmbusKindsWithoutARequestAreMadeOfMessagesByTheCore)
{
    union i2c_smbus_data d = {};
    d.word = 0x0102;
    EXPECT_EQ(smbus(0x48, I2C_SMBUS_WRITE, 0x02, I2C_SMBUS_PROC_CALL, &d), 0);
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u) << "the adapter declined (-EOPNOTSUPP); the core wrote and read";
    EXPECT_EQ(reqs[0].frame.command, coproc::CMD_WRITE);
    EXPECT_EQ(reqs[0].frame.payload, (coproc::Bytes{0x11, 0x48, 0x00, 0x02, 0x02, 0x01}));
    EXPECT_EQ(reqs[1].frame.command, coproc::CMD_READ);
    EXPECT_EQ(d.word, 0x0002) << "THYST keeps nine bits of 02 01 and gives them back most significant byte first";
}

// A read whose length comes from the target cannot be one exchange, and only
// an address's low byte travels: both are refused before anything is sent,
// whether they come as messages or as SMBus transactions the core makes of
// messages.
TEST_F(I2cAdapter, LengthsFromTheTargetAndTenBitAddressesAreRefusedWithNothingSent)
{
    uint8_t block[1 + I2C_SMBUS_BLOCK_MAX] = {1};
    EXPECT_EQ(rdwr({{0x50, I2C_M_RD | I2C_M_RECV_LEN, sizeof(block), block}}), -EOPNOTSUPP);
    union i2c_smbus_data d = {};
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_READ, 0x00, I2C_SMBUS_BLOCK_DATA, &d), -EOPNOTSUPP);
    EXPECT_EQ(d.block[0], 0) << "no count handed over";
    d.block[0] = 1;
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_WRITE, 0x00, I2C_SMBUS_BLOCK_PROC_CALL, &d), -EOPNOTSUPP);

    unsigned long funcs = 0;
    ASSERT_EQ(ioctl(I2C_FUNCS, &funcs), 0);
    EXPECT_EQ(funcs & I2C_FUNC_10BIT_ADDR, 0ul);
    ASSERT_EQ(ioctl(I2C_TENBIT, 1), 0);
    ASSERT_EQ(ioctl(I2C_SLAVE, 0x150), 0) << "i2c-dev does not ask the adapter";
    uint8_t zero = 0, in[3] = {0x77, 0x77, 0x77};
    EXPECT_EQ(prog_.write(fd_, &zero, 1), -EOPNOTSUPP);
    EXPECT_EQ(prog_.read(fd_, in, 3), -EOPNOTSUPP);
    EXPECT_EQ(in[0], 0x77);
    EXPECT_EQ(smbus(0x150, I2C_SMBUS_READ, 0x00, I2C_SMBUS_BYTE_DATA, &d), -EOPNOTSUPP);
    EXPECT_EQ(rdwr({wr(0x150, &zero, 1, I2C_M_TEN)}), -EOPNOTSUPP);
    EXPECT_TRUE(requests().empty()) << hex(requests().front().raw);
}

// SMBus PEC: CRC-8 (x^8 + x^2 + x + 1) over each message's address byte and
// its bytes.
uint8_t pec(std::initializer_list<uint8_t> bytes)
{
    uint8_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; bit++)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// With I2C_PEC the adapter leaves the transaction to the core, which sends a
// PEC after a write and checks the one read after a read; the quick command
// and I2C blocks have none and stay the adapter's.
TEST_F(I2cAdapter, PecIsSentAfterAWriteAndCheckedAfterARead)
{
    ASSERT_EQ(ioctl(I2C_PEC, 1), 0);
    union i2c_smbus_data d = {};
    d.byte = 0x41;
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_WRITE, 0x10, I2C_SMBUS_BYTE_DATA, &d), 0);
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].frame.command, coproc::CMD_WRITE);
    EXPECT_EQ(reqs[0].frame.payload, (coproc::Bytes{0x11, 0x50, 0x00, 0x10, 0x41, pec({0xA0, 0x10, 0x41})}));

    // The EEPROM's next cell stands for the PEC a target would send.
    with_bus([](coproc::I2cBus &bus) { bus.eeprom().cells()[0x11] = pec({0xA0, 0x10, 0xA1, 0x41}); });
    d.byte = 0;
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_READ, 0x10, I2C_SMBUS_BYTE_DATA, &d), 0);
    EXPECT_EQ(d.byte, 0x41);
    reqs = requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[2].frame.payload, (coproc::Bytes{0x11, 0x50, 0x02})) << "the byte and its PEC";
    with_bus([](coproc::I2cBus &bus) { bus.eeprom().cells()[0x11] ^= 0x01; });
    d.byte = 0x77;
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_READ, 0x10, I2C_SMBUS_BYTE_DATA, &d), -EBADMSG);
    EXPECT_EQ(d.byte, 0x77);

    board_.sim().clear_log();
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr), 0);
    d.block[0] = 2;
    EXPECT_EQ(smbus(0x50, I2C_SMBUS_READ, 0x10, I2C_SMBUS_I2C_BLOCK_DATA, &d), 0);
    reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].frame.command, coproc::CMD_CONTROL);
    EXPECT_EQ(reqs[1].frame.command, coproc::CMD_REG_READ);
}

TEST_F(I2cAdapter, AnOpenBusHoldsTheModule)
{
    std::string why;
    EXPECT_EQ(board_.unload(&why), -EBUSY);
    prog_.close(fd_);
    ASSERT_EQ(board_.unload(), 0);
    EXPECT_EQ(prog_.open("/dev/i2c-0", 2), -ENOENT);
    khost::Program p;
    std::vector<khost::DirEntry> entries;
    EXPECT_EQ(p.list("/sys/bus/i2c/devices", &entries), 0);
    EXPECT_TRUE(entries.empty());
    ASSERT_EQ(board_.load({"dev_iic1=1"}), 0);
    fd_ = static_cast<int>(prog_.open("/dev/i2c-0", 2));
    EXPECT_EQ(fd_, 3) << "the bus number came back";
}

// Programs on the bus and on the configuration device at once: every answer
// is the right one, every frame intact.
TEST_F(I2cAdapter, SeveralProgramsAtOnce)
{
    std::atomic<int> wrong{0};
    auto sensor = [&] {
        khost::Program p;
        int fd = static_cast<int>(p.open("/dev/i2c-0", 2));
        p.ioctl(fd, I2C_SLAVE, 0x48);
        for (int i = 0; i < 30; i++) {
            union i2c_smbus_data d = {};
            struct i2c_smbus_ioctl_data a = {I2C_SMBUS_READ, 0, I2C_SMBUS_WORD_DATA, &d};
            if (p.ioctl(fd, I2C_SMBUS, reinterpret_cast<unsigned long>(&a)) != 0 || d.word != 0x0019)
                wrong++;
        }
    };
    auto eeprom = [&](uint8_t base) {
        khost::Program p;
        int fd = static_cast<int>(p.open("/dev/i2c-0", 2));
        for (int i = 0; i < 15; i++) {
            uint8_t w[2] = {static_cast<uint8_t>(base + i), static_cast<uint8_t>(i)}, addr = w[0], r = 0xEE;
            struct i2c_msg m[3] = {wr(0x50, w, 2), wr(0x50, &addr, 1), rd(0x50, &r, 1)};
            struct i2c_rdwr_ioctl_data a = {m, 3};
            if (p.ioctl(fd, I2C_RDWR, reinterpret_cast<unsigned long>(&a)) != 3 || r != i)
                wrong++;
        }
    };
    auto config = [&] {
        khost::Program p;
        int fd = static_cast<int>(p.open("/dev/quorvel_config", 2));
        for (int i = 0; i < 20; i++) {
            uint8_t v[2] = {};
            if (p.ioctl(fd, 0x5201, reinterpret_cast<unsigned long>(v)) != 0 || v[0] != 0x01)
                wrong++;
        }
    };
    std::thread a(sensor), b(eeprom, 0x80), c(eeprom, 0xC0), d(config);
    a.join();
    b.join();
    c.join();
    d.join();
    EXPECT_EQ(wrong, 0);
    for (const auto &rec : requests())
        EXPECT_TRUE(rec.crc_ok && rec.answered) << hex(rec.raw);
}

// Each fallible call of the adapter's start and probe, failed in turn (the
// adapter starts first, right after the line is opened): either the bus is
// there whole, or nothing of it is, and the unload leaves nothing behind.
TEST(I2cAdapterLoad, EveryFallibleCallOfTheStartFailedInTurn)
{
    auto i2c_entries = [] {
        khost::Program p;
        std::vector<khost::DirEntry> entries;
        p.list("/sys/bus/i2c/devices", &entries);
        return entries.size();
    };
    Board board;
    ASSERT_EQ(board.unload(), 0);
    khost::fail_clear();
    ASSERT_EQ(board.load(), 0);
    const unsigned without = khost::fail_calls();
    ASSERT_EQ(board.unload(), 0);
    khost::fail_clear();
    ASSERT_EQ(board.load({"dev_iic1=1"}), 0);
    const unsigned with = khost::fail_calls();
    ASSERT_EQ(i2c_entries(), 2u);
    ASSERT_EQ(board.unload(), 0);
    ASSERT_GT(with, without);
    std::vector<std::string> forced;
    for (unsigned n = 1; n <= with - without + 4; n++) {
        const std::string context = "call " + std::to_string(n);
        khost::log_clear();
        khost::fail_nth("", n);
        ASSERT_EQ(board.load({"dev_iic1=1"}), 0) << context;
        auto f = khost::fail_forced();
        khost::fail_clear();
        const size_t entries = i2c_entries();
        EXPECT_TRUE(entries == 0 || entries == 2) << context;
        const std::string name = f.empty() ? "" : f[0];
        forced.push_back(name);
        if (name == "i2c_add_adapter" || name == "i2c_new_device") {
            EXPECT_EQ(entries, 0u) << context;
            EXPECT_TRUE(khost::log_contains(
                "quorvel_i2c1_adapter_dev: probe of quorvel_i2c1_adapter_dev.1 failed with error -22"))
                << context;
        }
        if (name == "i2c_new_device") {
            EXPECT_TRUE(khost::log_contains("i2c1_adapter_probe:413 add i2c device failed")) << context;
        }
        ASSERT_EQ(board.unload(), 0) << context;
        EXPECT_EQ(i2c_entries(), 0u) << context;
    }
    EXPECT_THAT(forced, ::testing::IsSupersetOf({"i2c_add_adapter", "i2c_new_device", "kmalloc"}));
    EXPECT_EQ(board.load(), 0);
}

} // namespace
