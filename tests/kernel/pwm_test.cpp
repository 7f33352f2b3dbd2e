// The PWM core as a chip's driver and a program see it: which callback the
// core calls, in which order and with which arguments; the checks it makes
// before asking the driver; what it records of the driver's answers; chip
// numbering and removal; and failures injected into adding a chip and
// exporting a channel.
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/pwm.h>

#include <khost/fault.hpp>
#include <khost/kernel.hpp>

#include "khost/program.hpp"
#include "vfs.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

namespace {

// A chip whose channels keep what the driver was told, and a record of every
// callback; `refuse` makes the named callback fail with the given error.
struct FakePwm {
    struct pwm_chip chip {};
    std::mutex calls_lock; // channels are driven from several programs at once
    std::vector<std::string> calls;
    std::string refuse;
    int refuse_with = -EIO;
    struct {
        int duty = -1, period = -1;
        bool enabled = false, inversed = false;
    } hw[4];

    int fail(const char *what) { return refuse == what ? refuse_with : 0; }
};

FakePwm *fake_of(struct pwm_chip *chip) { return reinterpret_cast<FakePwm *>(chip); }

void note(struct pwm_chip *chip, const std::string &what, struct pwm_device *pwm)
{
    std::lock_guard hold(fake_of(chip)->calls_lock);
    fake_of(chip)->calls.push_back(what + " " + std::to_string(pwm->hwpwm));
}

int fake_request(struct pwm_chip *chip, struct pwm_device *pwm)
{
    note(chip, "request", pwm);
    return fake_of(chip)->fail("request");
}
void fake_free(struct pwm_chip *chip, struct pwm_device *pwm) { note(chip, "free", pwm); }
int fake_config(struct pwm_chip *chip, struct pwm_device *pwm, int duty_ns, int period_ns)
{
    note(chip, "config " + std::to_string(duty_ns) + " " + std::to_string(period_ns), pwm);
    if (int err = fake_of(chip)->fail("config"))
        return err;
    fake_of(chip)->hw[pwm->hwpwm].duty = duty_ns;
    fake_of(chip)->hw[pwm->hwpwm].period = period_ns;
    return 0;
}
int fake_set_polarity(struct pwm_chip *chip, struct pwm_device *pwm, enum pwm_polarity polarity)
{
    note(chip, polarity == PWM_POLARITY_INVERSED ? "polarity inversed" : "polarity normal", pwm);
    if (int err = fake_of(chip)->fail("set_polarity"))
        return err;
    fake_of(chip)->hw[pwm->hwpwm].inversed = polarity == PWM_POLARITY_INVERSED;
    return 0;
}
int fake_enable(struct pwm_chip *chip, struct pwm_device *pwm)
{
    note(chip, "enable", pwm);
    if (int err = fake_of(chip)->fail("enable"))
        return err;
    fake_of(chip)->hw[pwm->hwpwm].enabled = true;
    return 0;
}
void fake_disable(struct pwm_chip *chip, struct pwm_device *pwm)
{
    note(chip, "disable", pwm);
    fake_of(chip)->hw[pwm->hwpwm].enabled = false;
}

const struct pwm_ops fake_ops = {
    .request = fake_request,
    .free = fake_free,
    .config = fake_config,
    .set_polarity = fake_set_polarity,
    .enable = fake_enable,
    .disable = fake_disable,
};

const struct pwm_ops minimal_ops = {
    .config = fake_config,
    .enable = fake_enable,
    .disable = fake_disable,
};

void parent_release(struct device *) {}

using Calls = std::vector<std::string>;

class Pwm : public ::testing::Test {
protected:
    void SetUp() override
    {
        parent_.init_name = "pwm_parent";
        parent_.release = parent_release;
        ASSERT_EQ(0, device_register(&parent_));
        add(fake_);
    }
    void TearDown() override
    {
        for (FakePwm *f : added_) {
            if (f->chip.kernel_private) {
                EXPECT_EQ(0, pwmchip_remove(&f->chip));
            }
        }
        device_unregister(&parent_);
        khost::fail_clear();
    }

    int add(FakePwm &f, int base = -1, const struct pwm_ops *ops = &fake_ops)
    {
        f.chip.dev = &parent_;
        f.chip.ops = ops;
        f.chip.base = base;
        f.chip.npwm = 4;
        added_.push_back(&f);
        return pwmchip_add(&f.chip);
    }

    // What a program gets from writing `text` to a file, or from reading one.
    long put(const std::string &path, const std::string &text)
    {
        long fd = prog_.open(path, 1);
        if (fd < 0)
            return fd;
        long n = prog_.write(static_cast<int>(fd), text.data(), text.size());
        prog_.close(static_cast<int>(fd));
        return n;
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
    static long put_as(khost::Program &prog, const std::string &path, const std::string &text)
    {
        long fd = prog.open(path, 1);
        if (fd < 0)
            return fd;
        long n = prog.write(static_cast<int>(fd), text.data(), text.size());
        prog.close(static_cast<int>(fd));
        return n;
    }
    long ok(const std::string &text) { return static_cast<long>(text.size()); }

    // A chip that lives until the fixture has removed it.
    FakePwm &fresh() { return extra_.emplace_back(); }

    struct device parent_ {};
    FakePwm fake_;
    std::deque<FakePwm> extra_;
    std::vector<FakePwm *> added_;
    khost::Program prog_;
    const std::string chip0_ = "/sys/class/pwm/pwmchip0";
    const std::string pwm3_ = "/sys/class/pwm/pwmchip0/pwm3";
};

TEST_F(Pwm, ExportConfigureEnableAndUnexportCallTheDriverInOrder)
{
    EXPECT_EQ("4\n", get(chip0_ + "/npwm"));
    EXPECT_EQ(-EACCES, prog_.open(chip0_ + "/export", 0)) << "export is write-only";
    EXPECT_EQ(-EACCES, prog_.open(chip0_ + "/unexport", 0));
    EXPECT_TRUE(kern::vfs::exists("/sys/devices/pwm_parent/pwm/pwmchip0/npwm"));

    ASSERT_EQ(ok("3\n"), put(chip0_ + "/export", "3\n"));
    EXPECT_EQ("0\n", get(pwm3_ + "/period"));
    EXPECT_EQ("0\n", get(pwm3_ + "/duty_cycle"));
    EXPECT_EQ("normal\n", get(pwm3_ + "/polarity"));
    EXPECT_EQ("0\n", get(pwm3_ + "/enable"));

    EXPECT_EQ(ok("1000000\n"), put(pwm3_ + "/period", "1000000\n"));
    EXPECT_EQ(ok("250000"), put(pwm3_ + "/duty_cycle", "250000"));
    EXPECT_EQ(ok("inversed\n"), put(pwm3_ + "/polarity", "inversed\n"));
    EXPECT_EQ(ok("1\n"), put(pwm3_ + "/enable", "1\n"));
    EXPECT_EQ(ok("1"), put(pwm3_ + "/enable", "1")) << "already enabled: the driver is not asked";
    EXPECT_EQ(ok("0"), put(pwm3_ + "/enable", "0"));
    EXPECT_EQ(ok("0"), put(pwm3_ + "/enable", "0")) << "already disabled: the driver is not asked";
    EXPECT_EQ(ok("3"), put(chip0_ + "/unexport", "3"));

    EXPECT_EQ((Calls{"request 3", "config 0 1000000 3", "config 250000 1000000 3", "polarity inversed 3", "enable 3",
                     "disable 3", "free 3"}),
              fake_.calls);
    EXPECT_EQ(250000, fake_.hw[3].duty);
    EXPECT_EQ(1000000, fake_.hw[3].period);
    EXPECT_FALSE(kern::vfs::exists(pwm3_));
}

TEST_F(Pwm, TheCoreRefusesWhatItMustBeforeTheDriverIsAsked)
{
    ASSERT_EQ(ok("3"), put(chip0_ + "/export", "3"));
    fake_.calls.clear();
    EXPECT_EQ(-EINVAL, put(pwm3_ + "/duty_cycle", "100")) << "no period yet";
    EXPECT_EQ(-EINVAL, put(pwm3_ + "/period", "0"));
    ASSERT_EQ(ok("1000"), put(pwm3_ + "/period", "1000"));
    EXPECT_EQ(-EINVAL, put(pwm3_ + "/duty_cycle", "1001")) << "duty above period";
    ASSERT_EQ(ok("1000"), put(pwm3_ + "/duty_cycle", "1000")) << "duty equal to period is allowed";
    EXPECT_EQ(-EINVAL, put(pwm3_ + "/period", "999")) << "a period below the duty cycle";
    EXPECT_EQ(-EINVAL, put(pwm3_ + "/period", "3000000000")) << "above INT_MAX, taken as negative";
    EXPECT_EQ(-ERANGE, put(pwm3_ + "/period", "5000000000"));
    EXPECT_EQ(-EINVAL, put(pwm3_ + "/period", "fast"));
    EXPECT_EQ(-EINVAL, put(pwm3_ + "/enable", "2"));
    EXPECT_EQ(-EINVAL, put(pwm3_ + "/polarity", "sideways"));
    EXPECT_EQ(-EINVAL, put(pwm3_ + "/polarity", "inversedx"));
    ASSERT_EQ(ok("1"), put(pwm3_ + "/enable", "1"));
    EXPECT_EQ(-EBUSY, put(pwm3_ + "/polarity", "inversed")) << "polarity change while enabled";
    EXPECT_EQ("normal\n", get(pwm3_ + "/polarity"));
    EXPECT_EQ("1000\n1000\n", get(pwm3_ + "/period") + get(pwm3_ + "/duty_cycle"));
    EXPECT_EQ((Calls{"config 0 1000 3", "config 1000 1000 3", "enable 3"}), fake_.calls);

    EXPECT_EQ(-EBUSY, put(chip0_ + "/export", "3")) << "exported twice";
    EXPECT_EQ(-ENODEV, put(chip0_ + "/export", "4")) << "beyond npwm";
    EXPECT_EQ(-ENODEV, put(chip0_ + "/unexport", "2")) << "not exported";
    EXPECT_EQ(-ENODEV, put(chip0_ + "/unexport", "9"));
    EXPECT_EQ(-EINVAL, put(chip0_ + "/export", "x"));
    EXPECT_EQ(ok("3"), put(chip0_ + "/unexport", "3"));
}

TEST_F(Pwm, WhatTheDriverRefusesIsNotRecorded)
{
    ASSERT_EQ(ok("1"), put(chip0_ + "/export", "1"));
    const std::string pwm1 = chip0_ + "/pwm1";
    ASSERT_EQ(ok("2000"), put(pwm1 + "/period", "2000"));
    fake_.refuse = "config";
    EXPECT_EQ(-EIO, put(pwm1 + "/period", "5000"));
    EXPECT_EQ(-EIO, put(pwm1 + "/duty_cycle", "500"));
    EXPECT_EQ("2000\n0\n", get(pwm1 + "/period") + get(pwm1 + "/duty_cycle"));

    fake_.refuse = "set_polarity";
    EXPECT_EQ(-EIO, put(pwm1 + "/polarity", "inversed"));
    EXPECT_EQ("normal\n", get(pwm1 + "/polarity"));

    fake_.refuse = "enable";
    EXPECT_EQ(-EIO, put(pwm1 + "/enable", "1"));
    EXPECT_EQ("0\n", get(pwm1 + "/enable"));
    fake_.refuse.clear();
    fake_.calls.clear();
    EXPECT_EQ(ok("1"), put(pwm1 + "/enable", "1")) << "a failed enable leaves the channel disabled";
    EXPECT_EQ((Calls{"enable 1"}), fake_.calls);
    EXPECT_EQ(ok("1"), put(chip0_ + "/unexport", "1"));

    fake_.refuse = "request";
    fake_.refuse_with = -EBUSY;
    EXPECT_EQ(-EBUSY, put(chip0_ + "/export", "2"));
    EXPECT_FALSE(kern::vfs::exists(chip0_ + "/pwm2"));
    fake_.refuse.clear();
    EXPECT_EQ(ok("2"), put(chip0_ + "/export", "2")) << "the refused request left the channel free";
    EXPECT_EQ(ok("2"), put(chip0_ + "/unexport", "2"));
}

TEST_F(Pwm, AChipWithoutOptionalCallbacks)
{
    FakePwm &bare = fresh();
    ASSERT_EQ(0, add(bare, -1, &minimal_ops));
    const std::string dir = "/sys/class/pwm/pwmchip" + std::to_string(bare.chip.base);
    ASSERT_EQ(ok("0"), put(dir + "/export", "0"));
    EXPECT_EQ(-ENOSYS, put(dir + "/pwm0/polarity", "inversed"));
    EXPECT_EQ(ok("0"), put(dir + "/unexport", "0"));
    EXPECT_TRUE(bare.calls.empty());
}

TEST_F(Pwm, ChipsAreNumberedByTheirBaseAndRemovedOnlyWhenNoChannelIsInUse)
{
    FakePwm &second = fresh(), &fixed = fresh(), &clash = fresh(), &broken = fresh();
    ASSERT_EQ(0, add(second));
    EXPECT_EQ(4, second.chip.base);
    EXPECT_TRUE(kern::vfs::exists("/sys/class/pwm/pwmchip4/npwm"));
    ASSERT_EQ(0, add(fixed, 100));
    EXPECT_TRUE(kern::vfs::exists("/sys/class/pwm/pwmchip100"));
    EXPECT_EQ(-EEXIST, add(clash, 102)) << "overlaps pwmchip100";
    EXPECT_EQ(-EEXIST, add(clash, 0));
    EXPECT_EQ(-EINVAL, add(clash, 1024));
    EXPECT_EQ(nullptr, clash.chip.kernel_private);
    broken.chip.npwm = 0;
    EXPECT_EQ(-EINVAL, pwmchip_add(&broken.chip));
    broken.chip = {.dev = &parent_, .ops = &fake_ops, .base = -1, .npwm = 0};
    EXPECT_EQ(-EINVAL, pwmchip_add(&broken.chip)) << "no channels";
    const struct pwm_ops no_config = {.enable = fake_enable, .disable = fake_disable};
    broken.chip.npwm = 2;
    broken.chip.ops = &no_config;
    EXPECT_EQ(-EINVAL, pwmchip_add(&broken.chip));

    ASSERT_EQ(ok("2"), put("/sys/class/pwm/pwmchip4/export", "2"));
    EXPECT_EQ(-EBUSY, pwmchip_remove(&second.chip));
    EXPECT_TRUE(kern::vfs::exists("/sys/class/pwm/pwmchip4/pwm2/enable"));
    ASSERT_EQ(ok("2"), put("/sys/class/pwm/pwmchip4/unexport", "2"));
    EXPECT_EQ(0, pwmchip_remove(&second.chip));
    EXPECT_FALSE(kern::vfs::exists("/sys/class/pwm/pwmchip4"));
    EXPECT_EQ(-EINVAL, pwmchip_remove(&second.chip)) << "removed twice";

    FakePwm &reuse = fresh();
    ASSERT_EQ(0, add(reuse));
    EXPECT_EQ(4, reuse.chip.base) << "the freed range is given again";
}

TEST_F(Pwm, FailuresInAddingAChipOrExportingAChannelLeaveNothing)
{
    for (const char *name : {"pwmchip_add", "kmalloc"}) {
        FakePwm &f = fresh();
        khost::fail_nth(name, 1);
        EXPECT_EQ(-ENOMEM, add(f)) << name;
        EXPECT_EQ(nullptr, f.chip.kernel_private);
        EXPECT_FALSE(kern::vfs::exists("/sys/class/pwm/pwmchip4")) << name;
        khost::fail_clear();
    }
    FakePwm &after = fresh();
    ASSERT_EQ(0, add(after));
    EXPECT_EQ(4, after.chip.base) << "a failed add kept no numbers";

    khost::fail_nth("kmalloc", 1);
    EXPECT_EQ(-ENOMEM, put(chip0_ + "/export", "3"));
    khost::fail_clear();
    EXPECT_EQ((Calls{"request 3", "free 3"}), fake_.calls);
    EXPECT_FALSE(kern::vfs::exists(pwm3_));
    EXPECT_EQ(0, pwmchip_remove(&fake_.chip)) << "the channel was freed";

    // Without its directory the chip still works, as on Linux.
    FakePwm &hidden = fresh();
    khost::fail_nth("device_create", 1);
    ASSERT_EQ(0, add(hidden));
    khost::fail_clear();
    EXPECT_FALSE(kern::vfs::exists("/sys/class/pwm/pwmchip" + std::to_string(hidden.chip.base)));
    struct pwm_device *pwm = pwm_request_from_chip(&hidden.chip, 0, "test");
    ASSERT_FALSE(IS_ERR(pwm));
    EXPECT_EQ(0, pwm_config(pwm, 10, 20));
    pwm_put(pwm);
}

// Programs driving different channels at once: each channel's callbacks
// come in its own order, and what the core records is what its driver took.
TEST_F(Pwm, ChannelsDrivenAtOnceKeepTheirOwnState)
{
    constexpr int rounds = 50;
    std::vector<std::thread> programs;
    std::vector<long> failures(3, 0);
    for (int ch = 0; ch < 3; ++ch) {
        programs.emplace_back([this, ch, &failures] {
            khost::Program prog("pwm" + std::to_string(ch));
            const std::string dir = chip0_ + "/pwm" + std::to_string(ch);
            auto step = [&](const std::string &path, const std::string &text) {
                if (put_as(prog, path, text) != static_cast<long>(text.size()))
                    ++failures[ch];
            };
            step(chip0_ + "/export", std::to_string(ch));
            for (int i = 1; i <= rounds; ++i) {
                step(dir + "/period", std::to_string(1000 * i + ch));
                step(dir + "/duty_cycle", std::to_string(10 * i));
                step(dir + "/enable", i % 2 ? "1" : "0");
            }
            step(chip0_ + "/unexport", std::to_string(ch));
        });
    }
    for (auto &t : programs)
        t.join();
    EXPECT_EQ((std::vector<long>{0, 0, 0}), failures);
    for (unsigned ch = 0; ch < 3; ++ch) {
        EXPECT_EQ(1000 * rounds + static_cast<int>(ch), fake_.hw[ch].period);
        EXPECT_EQ(10 * rounds, fake_.hw[ch].duty);
        EXPECT_FALSE(fake_.hw[ch].enabled);
        EXPECT_EQ(static_cast<unsigned>(1000 * rounds) + ch, fake_.chip.pwms[ch].period);
        std::vector<std::string> mine;
        for (const auto &c : fake_.calls)
            if (c.back() == static_cast<char>('0' + ch))
                mine.push_back(c);
        ASSERT_EQ(static_cast<size_t>(2 + 3 * rounds), mine.size());
        EXPECT_EQ("request " + std::to_string(ch), mine.front());
        EXPECT_EQ("free " + std::to_string(ch), mine.back());
    }
    EXPECT_EQ(0, pwmchip_remove(&fake_.chip));
}

// sysfs reads a channel's settings without its lock while another program's
// write changes them, as Linux does: under TSan, each value is read once.
TEST_F(Pwm, SettingsReadWhileAnotherProgramChangesThem)
{
    ASSERT_EQ(ok("3"), put(chip0_ + "/export", "3"));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        khost::Program other("writer");
        for (int i = 1; !done; i++) {
            put_as(other, pwm3_ + "/period", std::to_string(1000 + i % 7));
            put_as(other, pwm3_ + "/duty_cycle", std::to_string(i % 5));
            put_as(other, pwm3_ + "/polarity", i % 2 ? "inversed" : "normal");
        }
    });
    for (int i = 0; i < 200; i++) {
        EXPECT_NE(get(pwm3_ + "/period").find('\n'), std::string::npos);
        EXPECT_NE(get(pwm3_ + "/duty_cycle").find('\n'), std::string::npos);
        EXPECT_NE(get(pwm3_ + "/polarity").find('\n'), std::string::npos);
    }
    done = true;
    writer.join();
    EXPECT_EQ(ok("3"), put(chip0_ + "/unexport", "3"));
}

} // namespace
