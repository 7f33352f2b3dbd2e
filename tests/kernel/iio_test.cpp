// The IIO core as a driver and a program see it: the device's name and id,
// the files made from its channels and what a read or write of one calls in
// the driver, how read_raw's answer is printed, the ids a driver sets, and
// failures injected into allocation and registration.
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/iio/iio.h>
#include <linux/platform_device.h>

#include <khost/fault.hpp>
#include <khost/kernel.hpp>

#include "khost/program.hpp"
#include "vfs.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The driver's state, in iio_priv: a sample per channel, the answer read_raw
// gives (a kind of value or an error), and a record of every call.
struct FakeAdc {
    int sample[3];
    int result;
    int val2;
    std::vector<std::string> *calls;
};

std::mutex calls_lock; // reads come from several programs at once

int fake_read_raw(struct iio_dev *indio_dev, struct iio_chan_spec const *chan, int *val, int *val2, long mask)
{
    auto *adc = static_cast<FakeAdc *>(iio_priv(indio_dev));
    {
        std::lock_guard hold(calls_lock);
        adc->calls->push_back("read " + std::to_string(chan->channel) + " mask " + std::to_string(mask));
    }
    *val = adc->sample[chan->channel];
    *val2 = adc->val2;
    return adc->result;
}

int fake_write_raw(struct iio_dev *indio_dev, struct iio_chan_spec const *chan, int val, int val2, long mask)
{
    auto *adc = static_cast<FakeAdc *>(iio_priv(indio_dev));
    adc->calls->push_back("write " + std::to_string(chan->channel) + " " + std::to_string(val) + " " +
                          std::to_string(val2) + " mask " + std::to_string(mask));
    adc->sample[chan->channel] = val;
    return 0;
}

const struct iio_info read_only_info = {.read_raw = fake_read_raw};
const struct iio_info writable_info = {.read_raw = fake_read_raw, .write_raw = fake_write_raw};

const struct iio_chan_spec two_channels[] = {
    {.type = IIO_VOLTAGE, .channel = 0, .info_mask_separate = BIT(IIO_CHAN_INFO_RAW), .indexed = 1},
    {.type = IIO_VOLTAGE, .channel = 2, .info_mask_separate = BIT(IIO_CHAN_INFO_RAW), .indexed = 1},
};
const struct iio_chan_spec doubled[] = {
    {.type = IIO_VOLTAGE, .channel = 1, .info_mask_separate = BIT(IIO_CHAN_INFO_RAW), .indexed = 1},
    {.type = IIO_VOLTAGE, .channel = 1, .info_mask_separate = BIT(IIO_CHAN_INFO_RAW), .indexed = 1},
};

void parent_release(struct device *) {}

using Calls = std::vector<std::string>;

class Iio : public ::testing::Test {
protected:
    void SetUp() override
    {
        parent_.init_name = "adc_parent";
        parent_.release = parent_release;
        ASSERT_EQ(0, device_register(&parent_));
    }
    void TearDown() override
    {
        for (size_t i = 0; i < made_.size(); ++i) {
            struct iio_dev *d = made_[i];
            if (device_is_registered(&d->dev))
                iio_device_unregister(d);
            d->id = given_[i];
            iio_device_free(d);
        }
        device_unregister(&parent_);
        khost::fail_clear();
    }

    struct iio_dev *make(int id = -1, const struct iio_info *info = &read_only_info,
                         const struct iio_chan_spec *channels = two_channels)
    {
        struct iio_dev *d = iio_device_alloc(sizeof(FakeAdc));
        if (!d)
            return nullptr;
        made_.push_back(d);
        given_.push_back(d->id);
        auto *adc = static_cast<FakeAdc *>(iio_priv(d));
        *adc = {.sample = {100, 0, 4095}, .result = IIO_VAL_INT, .calls = &calls_};
        d->dev.parent = &parent_;
        d->name = "fake-adc";
        d->info = info;
        d->channels = channels;
        d->num_channels = 2;
        d->modes = INDIO_DIRECT_MODE;
        // As a driver numbers its devices itself: the id and the name.
        if (id >= 0) {
            d->id = id;
            dev_set_name(&d->dev, "iio:device%d", id);
        }
        return d;
    }
    // Frees the device made last, giving the core back the id it handed out.
    void free_last()
    {
        made_.back()->id = given_.back();
        iio_device_free(made_.back());
        made_.pop_back();
        given_.pop_back();
    }

    std::string get(const std::string &path)
    {
        long fd = prog_.open(path, 0);
        if (fd < 0)
            return "<open " + std::to_string(fd) + ">";
        char buf[64] = {};
        long n = prog_.read(static_cast<int>(fd), buf, sizeof(buf) - 1);
        prog_.close(static_cast<int>(fd));
        return n < 0 ? "<read " + std::to_string(n) + ">" : std::string(buf, n);
    }
    long put(const std::string &path, const std::string &text)
    {
        long fd = prog_.open(path, 1);
        if (fd < 0)
            return fd;
        long n = prog_.write(static_cast<int>(fd), text.data(), text.size());
        prog_.close(static_cast<int>(fd));
        return n;
    }
    unsigned mode_of(const std::string &path)
    {
        khost::DirEntry e;
        return prog_.stat(path, &e, true) ? 0 : e.mode;
    }

    struct device parent_ {};
    std::vector<struct iio_dev *> made_;
    std::vector<int> given_; // the id the core handed each
    Calls calls_;
    khost::Program prog_;
};

TEST_F(Iio, ChannelsBecomeFilesThatCallReadRaw)
{
    struct iio_dev *d = make();
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(0, d->id) << "the lowest free id";
    const long offset = static_cast<char *>(iio_priv(d)) - reinterpret_cast<char *>(d);
    EXPECT_GE(offset, static_cast<long>(sizeof(struct iio_dev))) << "the driver's part follows the device";
    EXPECT_EQ(0, offset % IIO_ALIGN);
    ASSERT_EQ(0, iio_device_register(d));
    const std::string dir = "/sys/bus/iio/devices/iio:device0";
    EXPECT_EQ("fake-adc\n", get(dir + "/name"));
    EXPECT_EQ(0444u, mode_of(dir + "/name"));
    EXPECT_EQ(0644u, mode_of(dir + "/in_voltage0_raw")) << "4.4 makes every channel file writable";
    EXPECT_TRUE(kern::vfs::exists("/sys/devices/adc_parent/iio:device0/in_voltage2_raw"));
    EXPECT_FALSE(kern::vfs::exists(dir + "/in_voltage1_raw"));
    EXPECT_EQ("100\n", get(dir + "/in_voltage0_raw"));
    EXPECT_EQ("4095\n", get(dir + "/in_voltage2_raw"));
    EXPECT_EQ((Calls{"read 0 mask 0", "read 2 mask 0"}), calls_);

    auto *adc = static_cast<FakeAdc *>(iio_priv(d));
    adc->sample[0] = -7;
    EXPECT_EQ("-7\n", get(dir + "/in_voltage0_raw"));
    adc->result = -EIO;
    EXPECT_EQ("<read -5>", get(dir + "/in_voltage0_raw")) << "a negative result is the read's error";
    adc->result = -ETIMEDOUT;
    EXPECT_EQ("<read " + std::to_string(-ETIMEDOUT) + ">", get(dir + "/in_voltage0_raw"));
    adc->result = IIO_VAL_INT_PLUS_MICRO;
    adc->sample[0] = 1;
    adc->val2 = 500;
    EXPECT_EQ("1.000500\n", get(dir + "/in_voltage0_raw"));
    adc->result = 99;
    EXPECT_EQ("", get(dir + "/in_voltage0_raw")) << "a kind the core does not know prints nothing";

    calls_.clear();
    EXPECT_EQ(-EINVAL, put(dir + "/in_voltage0_raw", "5")) << "no write_raw";
    EXPECT_TRUE(calls_.empty());

    iio_device_unregister(d);
    EXPECT_FALSE(kern::vfs::exists(dir));
    EXPECT_FALSE(kern::vfs::exists("/sys/devices/adc_parent/iio:device0"));
    EXPECT_EQ(nullptr, d->info);
}

TEST_F(Iio, WritesReachWriteRaw)
{
    struct iio_dev *d = make(-1, &writable_info);
    ASSERT_EQ(0, iio_device_register(d));
    const std::string raw = "/sys/bus/iio/devices/iio:device0/in_voltage2_raw";
    EXPECT_EQ(4, put(raw, "123\n"));
    EXPECT_EQ(4, put(raw, "-1.5"));
    EXPECT_EQ(-EINVAL, put(raw, "lots"));
    EXPECT_EQ((Calls{"write 2 123 0 mask 0", "write 2 -1 -500000 mask 0"}), calls_);

    static const struct iio_info write_only = {.write_raw = fake_write_raw};
    struct iio_dev *w = make(1, &write_only);
    ASSERT_EQ(0, iio_device_register(w));
    EXPECT_EQ("<read -22>", get("/sys/bus/iio/devices/iio:device1/in_voltage0_raw")) << "no read_raw";
}

// As 4.4's core: the id it handed out stays taken whatever the driver sets;
// the driver names the device itself; and at release the core frees the id
// the device holds then.
TEST_F(Iio, TheCoreKeepsTheIdItGaveAndFreesTheOneHeldAtRelease)
{
    struct iio_dev *three = make(3);
    struct iio_dev *one = make(1);
    EXPECT_EQ(1, one->id);
    ASSERT_EQ(0, iio_device_register(three));
    ASSERT_EQ(0, iio_device_register(one));
    EXPECT_STREQ("iio:device3", dev_name(&three->dev));
    EXPECT_EQ("fake-adc\n", get("/sys/bus/iio/devices/iio:device3/name"));
    EXPECT_EQ("fake-adc\n", get("/sys/bus/iio/devices/iio:device1/name"));

    struct iio_dev *fresh = make();
    EXPECT_EQ(2, fresh->id) << "0 and 1 are still the others'";
    fresh->id = 7;
    ASSERT_EQ(0, iio_device_register(fresh));
    EXPECT_STREQ("iio:device2", dev_name(&fresh->dev)) << "the id alone renames nothing";

    // Swapped before release: each frees the id it holds then.
    iio_device_unregister(three);
    iio_device_unregister(one);
    three->id = 1;
    one->id = 0;
    iio_device_free(three);
    EXPECT_EQ(1, make()->id) << "three's release freed 1, the id it held";
    iio_device_free(one);
    EXPECT_EQ(0, make()->id);
    EXPECT_FALSE(khost::log_contains("ida_remove called"));
    made_.erase(made_.begin(), made_.begin() + 2);
    given_.erase(given_.begin(), given_.begin() + 2);
}

TEST_F(Iio, RegistrationIsRefusedWhole)
{
    struct iio_dev *dup = make(-1, &read_only_info, doubled);
    EXPECT_EQ(-EBUSY, iio_device_register(dup)) << "two channels with one file name";
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/iio/devices/iio:device0"));
    struct iio_dev *no_info = make();
    no_info->info = nullptr;
    EXPECT_EQ(-EINVAL, iio_device_register(no_info));

    for (const char *name : {"iio_device_register", "kmalloc", "sysfs_create_group"}) {
        struct iio_dev *d = make(5);
        khost::fail_nth(name, 1);
        EXPECT_NE(0, iio_device_register(d)) << name;
        khost::fail_clear();
        EXPECT_FALSE(kern::vfs::exists("/sys/bus/iio/devices/iio:device5")) << name;
        EXPECT_FALSE(kern::vfs::exists("/sys/devices/adc_parent/iio:device5")) << name;
        free_last();
    }
    khost::fail_nth("kmalloc", 1);
    EXPECT_EQ(nullptr, iio_device_alloc(16));
    khost::fail_clear();
    struct iio_dev *d = make();
    EXPECT_EQ(2, d->id) << "the failed attempts and allocation left their ids free";
    EXPECT_EQ(0, iio_device_register(d));
}

// Programs reading while the device is unregistered: each read gives a
// value or an error, none reaches the driver after the unregistration.
TEST_F(Iio, ReadsRacingUnregistrationEndCleanly)
{
    struct iio_dev *d = make(2);
    ASSERT_EQ(0, iio_device_register(d));
    std::atomic<bool> stop{false};
    std::atomic<int> values{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            khost::Program prog("reader");
            while (!stop) {
                long fd = prog.open("/sys/bus/iio/devices/iio:device2/in_voltage2_raw", 0);
                if (fd < 0)
                    continue;
                char buf[16] = {};
                if (prog.read(static_cast<int>(fd), buf, sizeof(buf) - 1) > 0 && std::string(buf) == "4095\n")
                    ++values;
                prog.close(static_cast<int>(fd));
            }
        });
    }
    while (values < 20)
        std::this_thread::yield();
    iio_device_unregister(d);
    size_t seen;
    {
        std::lock_guard hold(calls_lock);
        seen = calls_.size();
    }
    stop = true;
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(seen, calls_.size()) << "no read reached the driver after unregistration";
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/iio/devices/iio:device2"));
}

// devm_: freed, and unregistered, when the parent's driver unbinds.
int managed_probe(struct platform_device *pdev)
{
    struct iio_dev *d = devm_iio_device_alloc(&pdev->dev, sizeof(FakeAdc));
    if (!d)
        return -ENOMEM;
    static std::vector<std::string> calls;
    *static_cast<FakeAdc *>(iio_priv(d)) = {.sample = {7, 0, 0}, .result = IIO_VAL_INT, .calls = &calls};
    d->dev.parent = &pdev->dev;
    d->name = "managed";
    d->info = &read_only_info;
    d->channels = two_channels;
    d->num_channels = 2;
    return devm_iio_device_register(&pdev->dev, d);
}

struct platform_driver managed_driver = {
    .probe = managed_probe,
    .driver = {.name = "managed_adc"},
};

TEST_F(Iio, ManagedDevicesGoWithTheDriver)
{
    struct platform_device *pdev = platform_device_alloc("managed_adc", 0);
    ASSERT_NE(nullptr, pdev);
    ASSERT_EQ(0, platform_device_add(pdev));
    ASSERT_EQ(0, platform_driver_register(&managed_driver));
    EXPECT_EQ("7\n", get("/sys/bus/iio/devices/iio:device0/in_voltage0_raw"));
    platform_driver_unregister(&managed_driver);
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/iio/devices/iio:device0"));

    khost::fail_nth("iio_device_register", 1);
    ASSERT_EQ(0, platform_driver_register(&managed_driver));
    khost::fail_clear();
    EXPECT_FALSE(kern::vfs::exists("/sys/bus/iio/devices/iio:device0"));
    EXPECT_TRUE(khost::log_contains("probe of managed_adc.0 failed with error -12"));
    platform_driver_unregister(&managed_driver);
    platform_device_unregister(pdev);
    EXPECT_EQ(0, make()->id) << "the managed device gave its id back";
}

} // namespace

namespace {

// A driver that frees a managed device itself, before it unbinds: its id is
// free at once; freeing one that is not managed is a WARNING.
int early_free_probe(struct platform_device *pdev)
{
    struct iio_dev *d = devm_iio_device_alloc(&pdev->dev, sizeof(FakeAdc));
    if (!d)
        return -ENOMEM;
    d->dev.parent = &pdev->dev;
    d->info = &read_only_info;
    khost::fail_nth("iio_device_register", 1);
    EXPECT_EQ(-ENOMEM, iio_device_register(d));
    khost::fail_clear();
    devm_iio_device_free(&pdev->dev, d);
    return 0;
}

struct platform_driver early_free_driver = {
    .probe = early_free_probe,
    .driver = {.name = "early_free_adc"},
};

TEST_F(Iio, AManagedDeviceFreedBeforeItsDriverUnbinds)
{
    struct platform_device *pdev = platform_device_alloc("early_free_adc", 0);
    ASSERT_NE(nullptr, pdev);
    ASSERT_EQ(0, platform_device_add(pdev));
    ASSERT_EQ(0, platform_driver_register(&early_free_driver));
    struct iio_dev *d = make();
    EXPECT_EQ(0, d->id) << "the freed device gave its id back";
    EXPECT_EQ(0, iio_device_register(d));
    devm_iio_device_free(&pdev->dev, d);
    auto warnings = khost::take_warnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("not a managed IIO device"), std::string::npos);
    platform_driver_unregister(&early_free_driver);
    platform_device_unregister(pdev);
}

} // namespace
