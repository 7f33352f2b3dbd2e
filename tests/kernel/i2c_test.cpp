// The I2C core and i2c-dev as an adapter's driver and a program see them:
// bus numbers, the sysfs tree, clients and the drivers bound to them, which
// messages reach master_xfer (and under which lock), the SMBus transactions
// handed to smbus_xfer or emulated with messages, and i2c-dev's checks and
// results.
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/jiffies.h>

#include <khost/fault.hpp>
#include <khost/kernel.hpp>

#include "khost/program.hpp"
#include "vfs.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace {

// One message as the adapter saw it.
struct SeenMsg {
    unsigned addr, flags, len;
    std::vector<uint8_t> data; // a write's bytes
};

// An adapter that records every call, answers reads with `fill` and gives
// `result` (or the message count) back.
struct FakeAdapter {
    struct i2c_adapter adap {};
    std::vector<std::vector<SeenMsg>> transfers;
    std::vector<std::string> smbus;
    int result = INT_MIN; // INT_MIN: the number of messages
    int smbus_result = 0;
    uint8_t fill = 0xA5;
    bool locked_in_xfer = true;
    int eagain_left = 0;
};

FakeAdapter *fake_of(struct i2c_adapter *adap) { return reinterpret_cast<FakeAdapter *>(adap); }

int fake_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
    FakeAdapter *f = fake_of(adap);
    f->locked_in_xfer &= mutex_is_locked(&adap->bus_lock);
    std::vector<SeenMsg> seen;
    for (int i = 0; i < num; i++) {
        SeenMsg m{msgs[i].addr, msgs[i].flags, msgs[i].len, {}};
        if (msgs[i].flags & I2C_M_RD)
            std::memset(msgs[i].buf, f->fill, msgs[i].len);
        else
            m.data.assign(msgs[i].buf, msgs[i].buf + msgs[i].len);
        seen.push_back(m);
    }
    f->transfers.push_back(seen);
    if (f->eagain_left > 0) {
        f->eagain_left--;
        return -EAGAIN;
    }
    return f->result == INT_MIN ? num : f->result;
}

int fake_smbus(struct i2c_adapter *adap, u16 addr, unsigned short flags, char read_write, u8 command, int size,
               union i2c_smbus_data *data)
{
    FakeAdapter *f = fake_of(adap);
    f->locked_in_xfer &= mutex_is_locked(&adap->bus_lock);
    f->smbus.push_back(std::to_string(addr) + " " + (read_write == I2C_SMBUS_READ ? "r" : "w") + " " +
                       std::to_string(command) + " size " + std::to_string(size) + (data ? "" : " null"));
    if (f->smbus_result)
        return f->smbus_result;
    if (size == I2C_SMBUS_I2C_BLOCK_DATA)
        f->smbus.back() += " len " + std::to_string(data->block[0]);
    else if (data && read_write == I2C_SMBUS_READ)
        data->word = 0x1234;
    return 0;
}

u32 fake_func(struct i2c_adapter *) { return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL; }

const struct i2c_algorithm fake_algo = {.master_xfer = fake_xfer, .smbus_xfer = fake_smbus, .functionality = fake_func};
const struct i2c_algorithm plain_algo = {.master_xfer = fake_xfer, .functionality = fake_func};

void parent_release(struct device *) {}

// A client driver, so that an address can be busy.
int probed = 0;
int drv_probe(struct i2c_client *, const struct i2c_device_id *id)
{
    probed = static_cast<int>(id->driver_data);
    return 0;
}
int drv_remove(struct i2c_client *)
{
    probed = 0;
    return 0;
}
const struct i2c_device_id drv_ids[] = {{"sensor", 7}, {}};
struct i2c_driver sensor_driver = {
    .probe = drv_probe,
    .remove = drv_remove,
    .driver = {.name = "sensor"},
    .id_table = drv_ids,
};

class I2c : public ::testing::Test {
protected:
    void SetUp() override
    {
        parent_.init_name = "i2c_parent";
        parent_.release = parent_release;
        ASSERT_EQ(0, device_register(&parent_));
        ASSERT_EQ(0, add(fake_));
        ASSERT_EQ(0, fake_.adap.nr);
        fd_ = static_cast<int>(prog_.open("/dev/i2c-0", 2));
        ASSERT_EQ(3, fd_);
    }
    void TearDown() override
    {
        prog_.close(fd_);
        for (FakeAdapter *f : added_)
            if (f->adap.dev.kernel_private)
                i2c_del_adapter(&f->adap);
        device_unregister(&parent_);
        khost::fail_clear();
    }

    int add(FakeAdapter &f, const struct i2c_algorithm *algo = &fake_algo, const char *name = "fake adapter")
    {
        f.adap.algo = algo;
        f.adap.dev.parent = &parent_;
        std::snprintf(f.adap.name, sizeof(f.adap.name), "%s", name);
        added_.push_back(&f);
        return i2c_add_adapter(&f.adap);
    }
    long ioctl(unsigned cmd, unsigned long arg) { return prog_.ioctl(fd_, cmd, arg); }
    long ioctl(unsigned cmd, const void *arg) { return ioctl(cmd, reinterpret_cast<unsigned long>(arg)); }
    long smbus(uint8_t rw, uint8_t cmd, uint32_t size, union i2c_smbus_data *data)
    {
        struct i2c_smbus_ioctl_data arg = {.read_write = rw, .command = cmd, .size = size, .data = data};
        return ioctl(I2C_SMBUS, &arg);
    }
    long rdwr(struct i2c_msg *msgs, uint32_t n)
    {
        struct i2c_rdwr_ioctl_data arg = {.msgs = msgs, .nmsgs = n};
        return ioctl(I2C_RDWR, &arg);
    }
    std::string get(const std::string &path)
    {
        long fd = prog_.open(path, 0);
        if (fd < 0)
            return "<open " + std::to_string(fd) + ">";
        char buf[128] = {};
        long n = prog_.read(static_cast<int>(fd), buf, sizeof(buf) - 1);
        prog_.close(static_cast<int>(fd));
        return n < 0 ? "<read " + std::to_string(n) + ">" : std::string(buf, n);
    }

    // An adapter that lives until the fixture has deleted it.
    FakeAdapter &fresh() { return extra_.emplace_back(); }

    struct device parent_ {};
    FakeAdapter fake_;
    std::deque<FakeAdapter> extra_;
    std::vector<FakeAdapter *> added_;
    khost::Program prog_;
    int fd_ = -1;
};

TEST_F(I2c, AdaptersTakeTheLowestFreeNumberOrTheOneAskedFor)
{
    FakeAdapter &second = fresh();
    FakeAdapter &numbered = fresh();
    FakeAdapter &clash = fresh();
    ASSERT_EQ(0, add(second));
    EXPECT_EQ(1, second.adap.nr);
    numbered.adap.nr = 10;
    numbered.adap.algo = &fake_algo;
    std::snprintf(numbered.adap.name, sizeof(numbered.adap.name), "ten");
    added_.push_back(&numbered);
    ASSERT_EQ(0, i2c_add_numbered_adapter(&numbered.adap));
    EXPECT_EQ(10, numbered.adap.nr);
    clash.adap.nr = 10;
    clash.adap.algo = &fake_algo;
    std::snprintf(clash.adap.name, sizeof(clash.adap.name), "clash");
    EXPECT_EQ(-EBUSY, i2c_add_numbered_adapter(&clash.adap));

    EXPECT_EQ("fake adapter\n", get("/sys/bus/i2c/devices/i2c-1/name"));
    EXPECT_EQ("ten\n", get("/sys/class/i2c-dev/i2c-10/name"));
    EXPECT_TRUE(kern::vfs::exists("/sys/devices/i2c_parent/i2c-1/i2c-dev/i2c-1/dev"));
    EXPECT_TRUE(kern::vfs::exists("/dev/i2c-10"));

    i2c_del_adapter(&second.adap);
    EXPECT_FALSE(kern::vfs::exists("/dev/i2c-1"));
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/i2c/devices/i2c-1"));
    FakeAdapter &again = fresh();
    ASSERT_EQ(0, add(again));
    EXPECT_EQ(1, again.adap.nr) << "a deleted adapter's number is free again";
    i2c_del_adapter(&numbered.adap);
}

TEST_F(I2c, RegistrationRefusesNamelessAndAlgorithmlessAdapters)
{
    FakeAdapter &nameless = fresh();
    FakeAdapter &no_algo = fresh();
    EXPECT_EQ(-EINVAL, add(nameless, &fake_algo, ""));
    EXPECT_TRUE(khost::log_contains("i2c-core: Attempt to register an adapter with no name!"));
    EXPECT_EQ(-EINVAL, add(no_algo, nullptr, "lost"));
    EXPECT_TRUE(khost::log_contains("i2c-core: Attempt to register adapter 'lost' with no algo!"));
    FakeAdapter &next = fresh();
    ASSERT_EQ(0, add(next));
    EXPECT_EQ(1, next.adap.nr) << "refused adapters hold no number";

    khost::fail_nth("i2c_add_adapter", 1);
    FakeAdapter &failed = fresh();
    EXPECT_EQ(-ENOMEM, add(failed));
    FakeAdapter &after = fresh();
    ASSERT_EQ(0, add(after));
    EXPECT_EQ(2, after.adap.nr);
}

TEST_F(I2c, ClientsAppearUnderTheirAdapterAndGoWithIt)
{
    FakeAdapter &other = fresh();
    ASSERT_EQ(0, add(other));
    struct i2c_board_info info = {I2C_BOARD_INFO("thing", 0x1F)};
    struct i2c_client *client = i2c_new_device(&other.adap, &info);
    ASSERT_NE(nullptr, client);
    EXPECT_EQ("thing\n", get("/sys/bus/i2c/devices/1-001f/name"));
    EXPECT_EQ("i2c:thing\n", get("/sys/bus/i2c/devices/1-001f/modalias"));
    EXPECT_TRUE(kern::vfs::exists("/sys/devices/i2c_parent/i2c-1/1-001f"));

    EXPECT_EQ(nullptr, i2c_new_device(&other.adap, &info));
    EXPECT_TRUE(khost::log_contains("i2c-1: Failed to register i2c client thing at 0x1f (-16)"));
    struct i2c_board_info bad = {I2C_BOARD_INFO("bad", 0x80)};
    EXPECT_EQ(nullptr, i2c_new_device(&other.adap, &bad));
    EXPECT_TRUE(khost::log_contains("i2c-1: Invalid 7-bit I2C address 0x80"));
    khost::fail_nth("i2c_new_device", 1);
    struct i2c_board_info fine = {I2C_BOARD_INFO("fine", 0x20)};
    EXPECT_EQ(nullptr, i2c_new_device(&other.adap, &fine));

    i2c_del_adapter(&other.adap);
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/i2c/devices/1-001f"));
}

TEST_F(I2c, SlaveAddressIsBusyOnlyWhileADriverIsBound)
{
    struct i2c_board_info info = {I2C_BOARD_INFO("sensor", 0x48)};
    struct i2c_client *client = i2c_new_device(&fake_.adap, &info);
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(0, ioctl(I2C_SLAVE, 0x48)) << "no driver yet";
    ASSERT_EQ(0, i2c_register_driver(nullptr, &sensor_driver));
    EXPECT_EQ(7, probed) << "bound by its id table";
    EXPECT_EQ(-EBUSY, ioctl(I2C_SLAVE, 0x48));
    EXPECT_EQ(0, ioctl(I2C_SLAVE_FORCE, 0x48));
    EXPECT_EQ(0, ioctl(I2C_SLAVE, 0x49));
    i2c_del_driver(&sensor_driver);
    EXPECT_EQ(0, probed);
    EXPECT_EQ(0, ioctl(I2C_SLAVE, 0x48));

    EXPECT_EQ(-EINVAL, ioctl(I2C_SLAVE, 0x80));
    EXPECT_EQ(-EINVAL, ioctl(I2C_SLAVE_FORCE, 0x80));
    EXPECT_EQ(0, ioctl(I2C_TENBIT, 1));
    EXPECT_EQ(0, ioctl(I2C_SLAVE, 0x3ff));
    EXPECT_EQ(-EINVAL, ioctl(I2C_SLAVE, 0x400));
    char one = 0;
    EXPECT_EQ(1, prog_.write(fd_, &one, 1));
    EXPECT_EQ(0x3ffu, fake_.transfers.back()[0].addr);
    EXPECT_EQ(unsigned{I2C_M_TEN}, fake_.transfers.back()[0].flags) << "a ten-bit client's messages say so";
    i2c_unregister_device(client);
}

TEST_F(I2c, ReadAndWriteAreOneMessageEachUnderTheBusLock)
{
    ASSERT_EQ(0, ioctl(I2C_SLAVE, 0x50));
    uint8_t out[3] = {1, 2, 3};
    EXPECT_EQ(3, prog_.write(fd_, out, 3));
    uint8_t in[4] = {};
    EXPECT_EQ(4, prog_.read(fd_, in, 4));
    EXPECT_EQ(0xA5, in[3]);
    EXPECT_EQ(0, prog_.read(fd_, in, 0)) << "an empty read is a message of no bytes";
    ASSERT_EQ(3u, fake_.transfers.size());
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), fake_.transfers[0][0].data);
    EXPECT_EQ(0x50u, fake_.transfers[0][0].addr);
    EXPECT_EQ(unsigned{I2C_M_RD}, fake_.transfers[1][0].flags);
    EXPECT_EQ(0u, fake_.transfers[2][0].len);
    EXPECT_TRUE(fake_.locked_in_xfer);

    fake_.result = -EIO;
    EXPECT_EQ(-EIO, prog_.read(fd_, in, 2));
    fake_.result = 0; // an adapter that did not do the one message
    EXPECT_EQ(0, prog_.write(fd_, out, 2));
    fake_.result = INT_MIN;
    EXPECT_EQ(-EFAULT, prog_.write(fd_, khost::bad_user_pointer(), 2));
    EXPECT_EQ(-EFAULT, prog_.read(fd_, khost::bad_user_pointer(), 2));
    std::vector<uint8_t> big(9000);
    EXPECT_EQ(8192, prog_.write(fd_, big.data(), big.size())) << "a write is cut to 8192 bytes";
}

TEST_F(I2c, RdwrChecksMessagesAndCopiesReadsBack)
{
    uint8_t w[2] = {0x01, 0x60}, r[2] = {};
    struct i2c_msg msgs[2] = {{.addr = 0x48, .flags = 0, .len = 2, .buf = w},
                              {.addr = 0x48, .flags = I2C_M_RD, .len = 2, .buf = r}};
    EXPECT_EQ(2, rdwr(msgs, 2));
    EXPECT_EQ(0xA5, r[1]);
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x60}), fake_.transfers.back()[0].data);

    EXPECT_EQ(0, rdwr(nullptr, 0)) << "as on 4.4, no messages reach the adapter";
    EXPECT_EQ(0u, fake_.transfers.back().size());
    std::vector<struct i2c_msg> many(43, msgs[0]);
    size_t before = fake_.transfers.size();
    EXPECT_EQ(-EINVAL, rdwr(many.data(), 43));
    EXPECT_EQ(42, rdwr(many.data(), 42));
    struct i2c_msg huge = {.addr = 0x48, .flags = 0, .len = 8193, .buf = w};
    EXPECT_EQ(-EINVAL, rdwr(&huge, 1));
    struct i2c_msg lost = {.addr = 0x48, .flags = I2C_M_RD, .len = 2, .buf = nullptr};
    EXPECT_EQ(-EFAULT, rdwr(&lost, 1));
    EXPECT_EQ(-EFAULT, rdwr(static_cast<struct i2c_msg *>(khost::bad_user_pointer()), 1));
    EXPECT_EQ(-EFAULT, ioctl(I2C_RDWR, khost::bad_user_pointer()));
    EXPECT_EQ(before + 1, fake_.transfers.size()) << "refused transfers send nothing";

    // A length read from the target needs a read with room for 32 more bytes.
    uint8_t block[34] = {1};
    struct i2c_msg recv = {.addr = 0x48, .flags = I2C_M_RD | I2C_M_RECV_LEN, .len = 33, .buf = block};
    EXPECT_EQ(1, rdwr(&recv, 1));
    EXPECT_EQ(1u, fake_.transfers.back()[0].len) << "the adapter starts from the first byte";
    recv.len = 32;
    EXPECT_EQ(-EINVAL, rdwr(&recv, 1));
    recv.flags = I2C_M_RECV_LEN;
    recv.len = 33;
    EXPECT_EQ(-EINVAL, rdwr(&recv, 1));

    fake_.result = -ENXIO;
    r[0] = 0x11;
    EXPECT_EQ(-ENXIO, rdwr(msgs, 2));
    EXPECT_EQ(0x11, r[0]) << "a failed transfer copies nothing back";
}

TEST_F(I2c, SmbusChecksItsArgumentsAndPassesTheRestOn)
{
    ASSERT_EQ(0, ioctl(I2C_SLAVE, 0x48));
    union i2c_smbus_data data = {};
    EXPECT_EQ(-EINVAL, smbus(I2C_SMBUS_READ, 0, 9, &data));
    EXPECT_EQ(-EINVAL, smbus(2, 0, I2C_SMBUS_BYTE_DATA, &data));
    EXPECT_EQ(-EINVAL, smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE_DATA, nullptr));
    EXPECT_EQ(-EFAULT, smbus(I2C_SMBUS_WRITE, 0, I2C_SMBUS_BYTE_DATA,
                             static_cast<union i2c_smbus_data *>(khost::bad_user_pointer())));
    EXPECT_EQ(-EFAULT, ioctl(I2C_SMBUS, khost::bad_user_pointer()));
    EXPECT_TRUE(fake_.smbus.empty());

    EXPECT_EQ(0, smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_QUICK, nullptr));
    EXPECT_EQ(0, smbus(I2C_SMBUS_WRITE, 0x42, I2C_SMBUS_BYTE, nullptr));
    EXPECT_EQ(0, smbus(I2C_SMBUS_READ, 0xD0, I2C_SMBUS_WORD_DATA, &data));
    EXPECT_EQ(0x1234, data.word);
    EXPECT_EQ(0, smbus(I2C_SMBUS_READ, 0xD0, I2C_SMBUS_I2C_BLOCK_BROKEN, &data));
    EXPECT_THAT(fake_.smbus, ::testing::ElementsAre("72 r 0 size 0 null", "72 w 66 size 1 null", "72 r 208 size 3",
                                                    "72 r 208 size 8 len 32"))
        << "the old block read is the I2C block read of 32 bytes";
    EXPECT_TRUE(fake_.locked_in_xfer);

    fake_.smbus_result = -ENXIO;
    data.byte = 0x77;
    EXPECT_EQ(-ENXIO, smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE_DATA, &data));
    EXPECT_EQ(0x77, data.byte) << "a failed read copies nothing back";
}

TEST_F(I2c, SmbusTheAdapterDeclinesIsEmulatedWithMessages)
{
    ASSERT_EQ(0, ioctl(I2C_SLAVE, 0x48));
    fake_.smbus_result = -EOPNOTSUPP;
    union i2c_smbus_data data = {};
    data.word = 0xBEEF;
    EXPECT_EQ(0, smbus(I2C_SMBUS_WRITE, 0xD0, I2C_SMBUS_WORD_DATA, &data));
    ASSERT_EQ(1u, fake_.transfers.size());
    EXPECT_EQ((std::vector<uint8_t>{0xD0, 0xEF, 0xBE}), fake_.transfers[0][0].data) << "low byte first";

    EXPECT_EQ(0, smbus(I2C_SMBUS_READ, 0x05, I2C_SMBUS_BYTE_DATA, &data));
    ASSERT_EQ(2u, fake_.transfers[1].size()) << "the register written, then one byte read";
    EXPECT_EQ(1u, fake_.transfers[1][1].len);
    EXPECT_EQ(0xA5, data.byte);

    data.word = 0x0102;
    EXPECT_EQ(0, smbus(I2C_SMBUS_WRITE, 0x07, I2C_SMBUS_PROC_CALL, &data));
    EXPECT_EQ(0xA5A5, data.word) << "a process call reads its answer back whatever read_write says";

    fake_.fill = 40; // a block length beyond 32
    EXPECT_EQ(-EPROTO, smbus(I2C_SMBUS_READ, 0x07, I2C_SMBUS_BLOCK_DATA, &data));
    EXPECT_TRUE(khost::log_contains("i2c-0: Invalid block size returned: 40"));
    data.block[0] = 33;
    EXPECT_EQ(-EINVAL, smbus(I2C_SMBUS_WRITE, 0x07, I2C_SMBUS_BLOCK_DATA, &data));
    EXPECT_TRUE(khost::log_contains("i2c-0: Invalid block write size 33"));

    FakeAdapter &plain = fresh();
    ASSERT_EQ(0, add(plain, &plain_algo));
    struct i2c_board_info info = {I2C_BOARD_INFO("x", 0x10)};
    struct i2c_client *client = i2c_new_device(&plain.adap, &info);
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(0, i2c_smbus_write_byte(client, 0x33));
    EXPECT_EQ(0xA5, i2c_smbus_read_byte(client));
    EXPECT_EQ(2u, plain.transfers.size()) << "without smbus_xfer everything is emulated";
    i2c_unregister_device(client);
}

// SMBus PEC, CRC-8 (x^8 + x^2 + x + 1) over each message's address byte and
// bytes, reckoned here independently of the core.
uint8_t pec(std::initializer_list<uint8_t> bytes)
{
    uint8_t crc = 0;
    for (uint8_t b : bytes)
        for (int bit = 7; bit >= 0; bit--) {
            const bool top = ((crc >> 7) ^ (b >> bit)) & 1;
            crc = static_cast<uint8_t>((crc << 1) ^ (top ? 0x07 : 0));
        }
    return crc;
}

// With I2C_PEC the emulation sends a PEC after what it writes and reads one
// more byte after a read, which must be the PEC of the whole transaction;
// the quick command and I2C blocks have none.
TEST_F(I2c, PecIsAddedToWritesAndCheckedOnReads)
{
    ASSERT_EQ(0, ioctl(I2C_SLAVE, 0x48));
    ASSERT_EQ(0, ioctl(I2C_PEC, 1));
    fake_.smbus_result = -EOPNOTSUPP;
    union i2c_smbus_data data = {};
    data.word = 0xBEEF;
    EXPECT_EQ(0, smbus(I2C_SMBUS_WRITE, 0xD0, I2C_SMBUS_WORD_DATA, &data));
    ASSERT_EQ(1u, fake_.transfers.size());
    EXPECT_EQ((std::vector<uint8_t>{0xD0, 0xEF, 0xBE, pec({0x90, 0xD0, 0xEF, 0xBE})}), fake_.transfers[0][0].data);
    EXPECT_EQ(0, smbus(I2C_SMBUS_WRITE, 0x33, I2C_SMBUS_BYTE, nullptr));
    EXPECT_EQ((std::vector<uint8_t>{0x33, pec({0x90, 0x33})}), fake_.transfers[1][0].data) << "send byte";

    data.byte = 0x11;
    fake_.fill = 0x5A; // the data and a PEC that does not match it
    ASSERT_NE(0x5A, pec({0x90, 0x05, 0x91, 0x5A}));
    EXPECT_EQ(-EBADMSG, smbus(I2C_SMBUS_READ, 0x05, I2C_SMBUS_BYTE_DATA, &data));
    ASSERT_EQ(3u, fake_.transfers.size());
    EXPECT_EQ(2u, fake_.transfers[2][1].len) << "the byte and its PEC";
    EXPECT_EQ(0x11, data.byte) << "nothing handed over";
    EXPECT_EQ(-EBADMSG, smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data));
    EXPECT_EQ(2u, fake_.transfers[3][0].len) << "receive byte: one read of the byte and its PEC";

    EXPECT_EQ(0, smbus(I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr));
    EXPECT_EQ(0u, fake_.transfers[4][0].len);
    data.block[0] = 2;
    EXPECT_EQ(0, smbus(I2C_SMBUS_READ, 0x05, I2C_SMBUS_I2C_BLOCK_DATA, &data));
    EXPECT_EQ(2u, fake_.transfers[5][1].len) << "no PEC for an I2C block";
}

TEST_F(I2c, FuncsRetriesTimeoutAndUnknownRequests)
{
    unsigned long funcs = 0;
    EXPECT_EQ(0, ioctl(I2C_FUNCS, &funcs));
    EXPECT_EQ(0x0EFF0009ul, funcs) << "an unsigned long, written whole";
    EXPECT_EQ(-EFAULT, ioctl(I2C_FUNCS, khost::bad_user_pointer()));

    ASSERT_EQ(0, ioctl(I2C_RETRIES, 2));
    fake_.eagain_left = 5;
    char b;
    EXPECT_EQ(-EAGAIN, prog_.read(fd_, &b, 1));
    EXPECT_EQ(3u, fake_.transfers.size()) << "one try and two retries";
    EXPECT_EQ(-EINVAL, ioctl(I2C_RETRIES, static_cast<unsigned long>(INT_MAX) + 1));
    EXPECT_EQ(2, fake_.adap.retries);
    EXPECT_EQ(0, ioctl(I2C_TIMEOUT, 5));
    EXPECT_EQ(static_cast<int>(msecs_to_jiffies(50)), fake_.adap.timeout);
    EXPECT_EQ(-EINVAL, ioctl(I2C_TIMEOUT, INT_MAX / 10 + 1ul));
    EXPECT_EQ(-ENOTTY, ioctl(0x0799, 0ul));
}

// Another program may change the retries and the timeout while a transfer
// reads them (neither kernel takes the bus lock for that): under TSan this
// fails when the two are plain accesses.
TEST_F(I2c, RetriesAndTimeoutChangeWhileTransfersRun)
{
    ASSERT_EQ(0, ioctl(I2C_SLAVE, 0x50));
    khost::Program other;
    const long fd = other.open("/dev/i2c-0", 2);
    ASSERT_GE(fd, 0);
    std::atomic<bool> done{false};
    std::thread tuner([&] {
        for (unsigned long i = 0; !done; i++) {
            other.ioctl(static_cast<int>(fd), I2C_RETRIES, i % 3);
            other.ioctl(static_cast<int>(fd), I2C_TIMEOUT, 1 + i % 5);
        }
    });
    uint8_t b[2] = {};
    for (int i = 0; i < 200; i++)
        EXPECT_EQ(2, prog_.write(fd_, b, 2));
    done = true;
    tuner.join();
    other.close(static_cast<int>(fd));
}

TEST_F(I2c, DeletingWaitsForTheLastOpenFile)
{
    FakeAdapter &other = fresh();
    ASSERT_EQ(0, add(other));
    const std::string node = "/dev/i2c-" + std::to_string(other.adap.nr);
    long fd = prog_.open(node, 2);
    ASSERT_GE(fd, 0);
    std::atomic<bool> deleted{false};
    std::thread remover([&] {
        i2c_del_adapter(&other.adap);
        deleted = true;
    });
    // The node goes at once; the adapter's memory waits for the file.
    while (kern::vfs::exists(node))
        std::this_thread::yield();
    EXPECT_FALSE(deleted);
    EXPECT_EQ(-ENOENT, prog_.open(node, 2));
    prog_.close(static_cast<int>(fd));
    remover.join();
    EXPECT_TRUE(deleted);
}

} // namespace
