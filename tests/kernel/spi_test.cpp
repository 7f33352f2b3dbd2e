// The SPI core as a master's driver and a device's driver see it: what it
// checks before a driver is asked, which thread hands a message to
// transfer_one_message, the order of messages, registration and its
// unwinding, and what goes with the master.
#include <khost/fault.hpp>
#include <khost/kernel.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "khost/program.hpp"
#include "spi_internal.hpp"
#include "vfs.hpp"

// After the C++ library: the kernel's `current` is a macro.
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/sched.h>
#include <linux/spi/spi.h>
#include <linux/spi/spidev.h>

namespace {

// What the fake master saw: every setup and cleanup, and each message's
// transfers with the thread that ran them. It ends each message at once
// unless told to hold it.
struct FakeMaster {
    std::mutex lock;
    std::vector<std::string> calls;
    std::vector<std::string> threads;
    int setup_result = 0;
    std::atomic<bool> hold{false};
    std::atomic<struct spi_message *> held{nullptr};
    // Set: the next setup call waits in the master until it is cleared.
    std::atomic<bool> hold_setup{false};
    std::atomic<bool> in_setup{false};
};
FakeMaster fake;

void note(const std::string &what)
{
    std::lock_guard hold(fake.lock);
    fake.calls.push_back(what);
}

int fake_setup(struct spi_device *spi)
{
    if (fake.hold_setup) {
        fake.in_setup = true;
        while (fake.hold_setup)
            std::this_thread::yield();
        fake.in_setup = false;
        note("setup held");
    }
    note("setup " + std::string(dev_name(&spi->dev)) + " mode " + std::to_string(spi->mode) + " bits " +
         std::to_string(spi->bits_per_word) + " hz " + std::to_string(spi->max_speed_hz));
    return fake.setup_result;
}

void fake_cleanup(struct spi_device *spi) { note("cleanup " + std::string(dev_name(&spi->dev))); }

int fake_transfer_one_message(struct spi_master *master, struct spi_message *msg)
{
    std::string what = "message";
    struct spi_transfer *t;
    list_for_each_entry(t, &msg->transfers, transfer_list)
    {
        what +=
            " " + std::to_string(t->len) + "@" + std::to_string(t->speed_hz) + "/" + std::to_string(t->bits_per_word);
        msg->actual_length += t->len;
    }
    {
        std::lock_guard hold(fake.lock);
        fake.calls.push_back(what);
        fake.threads.push_back(task_comm(get_current()));
    }
    msg->status = 0;
    if (fake.hold) {
        fake.held = msg;
        return 0;
    }
    spi_finalize_current_message(master);
    return 0;
}

// A device driver for modalias "fake".
std::atomic<int> probes{0}, removes{0};
int fake_probe(struct spi_device *) { return ++probes, 0; }
int fake_remove(struct spi_device *) { return ++removes, 0; }
struct spi_driver fake_driver = {
    .probe = fake_probe,
    .remove = fake_remove,
    .driver = {.name = "fake"},
};

void parent_release(struct device *) {}

class Spi : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            std::lock_guard hold(fake.lock);
            fake.calls.clear();
            fake.threads.clear();
        }
        fake.setup_result = 0;
        fake.hold = false;
        fake.held = nullptr;
        fake.hold_setup = false;
        parent_.init_name = "spi_parent";
        parent_.release = parent_release;
        ASSERT_EQ(0, device_register(&parent_));
    }
    void TearDown() override
    {
        if (master_)
            spi_unregister_master(master_);
        device_unregister(&parent_);
        khost::fail_clear();
    }

    struct spi_master *make(s16 bus_num, u16 mode_bits = SPI_MODE_3)
    {
        struct spi_master *m = spi_alloc_master(&parent_, 8);
        EXPECT_NE(m, nullptr);
        m->bus_num = bus_num;
        m->mode_bits = mode_bits;
        m->setup = fake_setup;
        m->cleanup = fake_cleanup;
        m->transfer_one_message = fake_transfer_one_message;
        return m;
    }
    struct spi_device *add(const char *modalias = "fake", u16 cs = 0, u16 mode = SPI_MODE_0, u32 hz = 0)
    {
        struct spi_board_info info = {};
        std::strncpy(info.modalias, modalias, sizeof(info.modalias) - 1);
        info.chip_select = cs;
        info.mode = mode;
        info.max_speed_hz = hz;
        return spi_new_device(master_, &info);
    }
    std::vector<std::string> calls()
    {
        std::lock_guard hold(fake.lock);
        return fake.calls;
    }

    struct device parent_ {};
    struct spi_master *master_ = nullptr;
};

TEST_F(Spi, RegistrationNamesTheMasterAndFindsItByNumber)
{
    EXPECT_EQ(spi_alloc_master(nullptr, 0), nullptr);
    struct spi_master *m = make(-1);
    EXPECT_EQ(m->num_chipselect, 1) << "one chip select unless the driver says otherwise";
    EXPECT_EQ(spi_master_get_devdata(m), static_cast<void *>(&m[1]));
    ASSERT_EQ(spi_register_master(m), 0);
    master_ = m;
    EXPECT_EQ(m->bus_num, 32766) << "dynamic numbers count down from the top";
    EXPECT_TRUE(kern::vfs::exists("/sys/class/spi_master/spi32766"));
    EXPECT_TRUE(kern::vfs::exists("/sys/devices/spi_parent/spi_master/spi32766"));
    struct spi_master *found = spi_busnum_to_master(32766);
    EXPECT_EQ(found, m);
    spi_master_put(found);
    EXPECT_EQ(spi_busnum_to_master(5), nullptr);

    struct spi_master *none = make(7);
    none->num_chipselect = 0;
    EXPECT_EQ(spi_register_master(none), -EINVAL);
    spi_master_put(none);
}

// spi_new_device checks the chip select, calls setup before the device is
// added, and a driver whose name is the modalias binds to it.
TEST_F(Spi, NewDevicesAreSetUpBeforeADriverSeesThem)
{
    master_ = make(9);
    master_->num_chipselect = 2;
    ASSERT_EQ(spi_register_master(master_), 0);
    ASSERT_EQ(spi_register_driver(&fake_driver), 0);
    const int probed = probes;

    struct spi_device *spi = add("fake", 0, SPI_MODE_3, 1000);
    ASSERT_NE(spi, nullptr);
    EXPECT_EQ(probes, probed + 1);
    EXPECT_EQ(calls(), std::vector<std::string>{"setup spi9.0 mode 3 bits 8 hz 1000"}) << "bits per word 0 becomes 8";
    EXPECT_TRUE(kern::vfs::exists("/sys/bus/spi/devices/spi9.0"));

    EXPECT_EQ(add("fake", 2), nullptr);
    EXPECT_TRUE(khost::log_contains("spi9: cs2 >= max 2"));
    EXPECT_EQ(add("fake", 0), nullptr);
    EXPECT_TRUE(khost::log_contains("spi9: chipselect 0 already in use"));
    EXPECT_EQ(add("fake", 1, SPI_CS_HIGH), nullptr) << "a mode bit the master does not know";
    EXPECT_TRUE(khost::log_contains("spi9.1: setup: unsupported mode bits 4"));
    EXPECT_TRUE(khost::log_contains("spi9: can't setup spi9.1, status -22"));
    fake.setup_result = -EIO;
    EXPECT_EQ(add("fake", 1), nullptr);
    EXPECT_TRUE(khost::log_contains("spi9: can't setup spi9.1, status -5"));
    fake.setup_result = 0;
    struct spi_device *quad = add("other", 1, SPI_TX_QUAD | SPI_MODE_1);
    ASSERT_NE(quad, nullptr) << "dual and quad bits are dropped with a warning, not refused";
    EXPECT_EQ(quad->mode, SPI_MODE_1);
    EXPECT_TRUE(khost::log_contains("spi9.1: setup: ignoring unsupported mode bits 200"));
    EXPECT_EQ(quad->dev.driver, nullptr) << "no driver is named 'other'";

    // 4.4 cleans a device up at its release: the refused ones already went.
    const int removed = removes;
    const size_t before = calls().size();
    spi_unregister_master(master_);
    master_ = nullptr;
    EXPECT_EQ(removes, removed + 1);
    auto seen = calls();
    EXPECT_EQ(std::vector<std::string>(seen.begin() + static_cast<long>(before), seen.end()),
              (std::vector<std::string>{"cleanup spi9.0", "cleanup spi9.1"}));
    EXPECT_FALSE(kern::vfs::exists("/sys/class/spi_master/spi9"));
    spi_unregister_driver(&fake_driver);
}

// The checks of a message before the master is asked, and the defaults the
// core fills in.
TEST_F(Spi, MessagesAreCheckedAndCompletedBeforeTheDriverSeesThem)
{
    master_ = make(10);
    master_->bits_per_word_mask = SPI_BPW_MASK(8) | SPI_BPW_MASK(16);
    ASSERT_EQ(spi_register_master(master_), 0);
    struct spi_device *spi = add("x", 0, SPI_MODE_0, 500000);
    ASSERT_NE(spi, nullptr);

    struct spi_message m;
    spi_message_init(&m);
    EXPECT_EQ(spi_sync(spi, &m), -EINVAL) << "no transfers";

    uint8_t buf[8] = {};
    struct spi_transfer t = {};
    t.tx_buf = buf;
    t.len = 3;
    t.bits_per_word = 16;
    spi_message_add_tail(&t, &m);
    EXPECT_EQ(spi_sync(spi, &m), -EINVAL) << "16-bit words and an odd length";
    t.bits_per_word = 12;
    EXPECT_EQ(spi_sync(spi, &m), -EINVAL) << "a word size the master does not take";
    t.bits_per_word = 0;
    t.len = 5;
    EXPECT_EQ(spi_sync(spi, &m), 0);
    EXPECT_EQ(m.frame_length, 5u);
    EXPECT_EQ(m.actual_length, 5u);
    EXPECT_EQ(calls().back(), "message 5@500000/8") << "rate and word size from the device";

    spi->mode |= SPI_3WIRE;
    t.rx_buf = buf;
    EXPECT_EQ(spi_sync(spi, &m), -EINVAL) << "a 3-wire device cannot send and receive at once";
}

// spi_sync runs a message in the caller's thread when the master is idle;
// spi_async's messages go to the pump thread named after the master, in
// the order queued. A message the driver holds keeps the next waiting.
TEST_F(Spi, WhichThreadRunsAMessage)
{
    master_ = make(11);
    ASSERT_EQ(spi_register_master(master_), 0);
    struct spi_device *spi = add("x");
    ASSERT_NE(spi, nullptr);
    uint8_t buf[4] = {};

    const std::string caller = task_comm(get_current());
    EXPECT_EQ(spi_write(spi, buf, 1), 0);
    ASSERT_EQ(fake.threads.size(), 1u);
    EXPECT_EQ(fake.threads[0], caller);

    struct Async {
        struct spi_transfer t {};
        struct spi_message m;
        std::atomic<bool> done{false};
    } async[3];
    fake.hold = true;
    for (unsigned i = 0; i < 3; i++) {
        async[i].t.tx_buf = buf;
        async[i].t.len = i + 1;
        spi_message_init(&async[i].m);
        spi_message_add_tail(&async[i].t, &async[i].m);
        async[i].m.complete = [](void *ctx) { static_cast<std::atomic<bool> *>(ctx)->store(true); };
        async[i].m.context = &async[i].done;
        ASSERT_EQ(spi_async(spi, &async[i].m), 0);
    }
    for (int i = 0; i < 2000 && !fake.held; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(fake.held, nullptr);
    EXPECT_EQ(spi_get_next_queued_message(master_), &async[1].m) << "held: the others wait";
    fake.hold = false;
    spi_finalize_current_message(master_);
    for (int i = 0; i < 2000 && !async[2].done; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(async[0].done && async[1].done && async[2].done);
    auto seen = calls();
    EXPECT_EQ(std::vector<std::string>(seen.end() - 3, seen.end()),
              (std::vector<std::string>{"message 1@0/8", "message 2@0/8", "message 3@0/8"}));
    for (size_t i = 1; i < fake.threads.size(); i++)
        EXPECT_EQ(fake.threads[i], "spi11");

    spi_finalize_current_message(master_);
    auto warnings = khost::take_warnings();
    ASSERT_EQ(warnings.size(), 1u) << "a finalize without a message";
}

// Registration's failures leave nothing; after unregistration the queue is
// stopped.
TEST_F(Spi, FailedRegistrationsLeaveNothing)
{
    for (const char *name : {"spi_register_master", "kthread_create_on_node"}) {
        struct spi_master *m = make(12);
        khost::fail_nth(name, 1);
        EXPECT_LT(spi_register_master(m), 0) << name;
        khost::fail_clear();
        EXPECT_FALSE(kern::vfs::exists("/sys/class/spi_master/spi12")) << name;
        spi_master_put(m);
    }
    EXPECT_TRUE(khost::log_contains("spi12: failed to create message pump task"));
    master_ = make(12);
    ASSERT_EQ(spi_register_master(master_), 0);
    khost::fail_nth("kmalloc", 1);
    EXPECT_EQ(add("x"), nullptr);
    khost::fail_clear();
    EXPECT_EQ(calls().size(), 0u) << "no device, no setup";
}

// Waits for a condition another thread makes true; false after about 20 s.
template <class F> bool wait_for(F done)
{
    for (int i = 0; i < 20000 && !done(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

struct spi_device *spi_of_test;

// A queue that still holds messages when the unregistration's wait of 5 s
// ends keeps running, as 4.4 leaves it: the messages in it are still done
// and their callers woken.
TEST_F(Spi, AQueueThatCannotBeStoppedKeepsRunning)
{
    master_ = make(13);
    ASSERT_EQ(spi_register_master(master_), 0);
    struct spi_device *spi = add("x");
    ASSERT_NE(spi, nullptr);
    struct spi_master *m = master_;
    master_ = nullptr; // unregistered here
    spi_dev_get(spi);  // the callers' reference, as a driver holds its device
    // Static: a caller left waiting (the fault) must not outlive its state.
    static uint8_t buf[2];
    static std::atomic<int> results[2];
    static std::atomic<int> done;
    done = 0;
    fake.hold = true;
    auto caller = [](int i) {
        results[i] = spi_write(spi_of_test, buf, static_cast<size_t>(i) + 1);
        done++;
    };
    spi_of_test = spi;
    std::thread first(caller, 0);
    ASSERT_TRUE(wait_for([] { return fake.held != nullptr; }));
    std::thread second(caller, 1);
    ASSERT_TRUE(wait_for([&] { return spi_get_next_queued_message(m) != nullptr; }));
    spi_unregister_master(m);
    EXPECT_TRUE(khost::log_contains("spi13: could not stop message queue"));
    EXPECT_TRUE(khost::log_contains("spi13: queue remove failed"));

    fake.hold = false;
    spi_finalize_current_message(m);
    const bool all_done = wait_for([] { return done == 2; });
    EXPECT_TRUE(all_done) << "a message left in the queue was never done";
    if (!all_done) {
        first.detach();
        second.detach();
        return;
    }
    first.join();
    second.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    auto seen = calls();
    EXPECT_EQ(seen.back(), "message 2@0/8");
    spi_dev_put(spi); // the master goes with its last device, its pump with it
}

// spidev holds the device's lock across each request, so that the remove
// waits for a setup call under way: nothing reaches the master once
// spi_unregister_master has returned.
TEST_F(Spi, SpidevRequestsEndBeforeTheMasterIsUnregistered)
{
    master_ = make(14);
    ASSERT_EQ(spi_register_master(master_), 0);
    kern::spi::spidev_init();
    ASSERT_NE(add("spidev"), nullptr);
    struct spi_master *m = master_;
    master_ = nullptr; // unregistered here
    khost::Program p;
    const int fd = static_cast<int>(p.open("/dev/spidev14.0", 2));
    ASSERT_GE(fd, 3);
    fake.hold_setup = true;
    long result = 1;
    std::thread user([&] {
        uint8_t mode = SPI_MODE_1;
        result = p.ioctl(fd, SPI_IOC_WR_MODE, reinterpret_cast<unsigned long>(&mode));
    });
    ASSERT_TRUE(wait_for([] { return fake.in_setup.load(); }));
    std::atomic<bool> unregistered{false};
    std::thread remover([&] {
        spi_unregister_master(m);
        unregistered = true;
    });
    // The remover must wait for the setup call; give it time to show that
    // it does not (the wait is only long when it is right).
    for (int i = 0; i < 1000 && !unregistered; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(unregistered) << "the master was unregistered under a setup call";
    fake.hold_setup = false;
    user.join();
    remover.join();
    EXPECT_EQ(result, 0);
    uint8_t b = 0;
    EXPECT_EQ(p.write(fd, &b, 1), -ESHUTDOWN);
    // spidev opens nonseekable: pread and pwrite are refused before it is asked.
    EXPECT_EQ(p.pread(fd, &b, 1, 0), -ESPIPE);
    EXPECT_EQ(p.pwrite(fd, &b, 1, 0), -ESPIPE);
    EXPECT_EQ(p.close(fd), 0);
}

// A last close racing the device's removal: of the two, exactly one frees
// the file's record (ASan tells a second free).
TEST_F(Spi, SpidevLastCloseRacingTheRemoveFreesOnce)
{
    master_ = make(15);
    ASSERT_EQ(spi_register_master(master_), 0);
    kern::spi::spidev_init();
    struct spi_device *spi = add("spidev");
    ASSERT_NE(spi, nullptr);
    khost::Program p;
    int fd;
    for (int round = 0; round < 200; round++) {
        struct spi_device *dev = spi;
        fd = static_cast<int>(p.open("/dev/spidev15.0", 2));
        ASSERT_GE(fd, 3);
        std::thread closer([&] { p.close(fd); });
        spi_unregister_device(dev);
        closer.join();
        spi = add("spidev");
        ASSERT_NE(spi, nullptr);
    }
}

} // namespace
