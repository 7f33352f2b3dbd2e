// Programs' system calls against a fake driver that keeps real state: file
// numbers, the errors of each call, module references held by open files,
// a device taken away under an open file, sysfs attributes, and several
// programs at once.
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/uaccess.h>

#include "device_core.hpp"
#include "khost/program.hpp"
#include "vfs.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

// Module references as the loader would count them, for the one fake
// module. These definitions take the place of the loader's in this test
// program, so that a test can watch the references open files hold.
std::atomic<int> module_refs{0};
std::atomic<bool> module_going{false};

extern "C" bool try_module_get(struct module *mod)
{
    if (module_going.load())
        return false;
    module_refs++;
    return true;
}

extern "C" void module_put(struct module *mod) { module_refs--; }

namespace {

struct module fake_module = {.name = "fake"};

// The fake device: a byte store that reads back from the file position,
// appends on write, and counts opens and releases.
struct FakeDevice {
    std::mutex lock; // guards all below
    std::string data;
    int opens = 0;
    int releases = 0;
    int open_error = 0;
    std::atomic<bool> blocked{false}, unblock{false};
};
FakeDevice fake;

int fake_open(struct inode *inode, struct file *file)
{
    std::lock_guard guard(fake.lock);
    if (fake.open_error)
        return fake.open_error;
    fake.opens++;
    file->private_data = &fake;
    return 0;
}

int fake_release(struct inode *inode, struct file *file)
{
    std::lock_guard guard(fake.lock);
    fake.releases++;
    return 0;
}

ssize_t fake_read(struct file *file, char __user *buf, size_t count, loff_t *pos)
{
    std::lock_guard guard(fake.lock);
    if (*pos >= static_cast<loff_t>(fake.data.size()))
        return 0;
    size_t n = std::min(count, fake.data.size() - static_cast<size_t>(*pos));
    if (copy_to_user(buf, fake.data.data() + *pos, n))
        return -EFAULT;
    *pos += static_cast<loff_t>(n);
    return static_cast<ssize_t>(n);
}

ssize_t fake_write(struct file *file, const char __user *buf, size_t count, loff_t *pos)
{
    std::string bytes(count, '\0');
    if (copy_from_user(bytes.data(), buf, count))
        return -EFAULT;
    std::lock_guard guard(fake.lock);
    fake.data += bytes;
    return static_cast<ssize_t>(count);
}

constexpr unsigned kIoctlAddOne = 0x4601;
constexpr unsigned kIoctlBlock = 0x4603; // stays in the driver until the test lets it go

long fake_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
    switch (cmd) {
    case kIoctlAddOne:
        return static_cast<long>(arg + 1);
    case kIoctlBlock:
        fake.blocked.store(true);
        while (!fake.unblock.load())
            std::this_thread::yield();
        return 0;
    default:
        return -EINVAL;
    }
}

const struct file_operations fake_fops = {
    .owner = &fake_module,
    .read = fake_read,
    .write = fake_write,
    .unlocked_ioctl = fake_ioctl,
    .open = fake_open,
    .release = fake_release,
};

// Minor 1 of the same region: no read, write or ioctl at all.
const struct file_operations bare_fops = {.owner = &fake_module};

// The driver's probe and remove, as a driver of the board does them.
class FakeDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            std::lock_guard guard(fake.lock);
            fake.data.clear();
            fake.opens = fake.releases = fake.open_error = 0;
            fake.blocked = false;
            fake.unblock = false;
        }
        ASSERT_EQ(0, alloc_chrdev_region(&devt_, 0, 2, "fake"));
        cdev_init(&cdev_, &fake_fops);
        ASSERT_EQ(0, cdev_add(&cdev_, devt_, 1));
        cdev_init(&bare_, &bare_fops);
        ASSERT_EQ(0, cdev_add(&bare_, devt_ + 1, 1));
        cls_ = class_create(&fake_module, "fake_class");
        ASSERT_FALSE(IS_ERR_OR_NULL(cls_));
        ASSERT_FALSE(IS_ERR(device_create(cls_, nullptr, devt_, nullptr, "fake")));
        ASSERT_FALSE(IS_ERR(device_create(cls_, nullptr, devt_ + 1, nullptr, "bare")));
    }

    void TearDown() override
    {
        device_destroy(cls_, devt_ + 1);
        device_destroy(cls_, devt_);
        class_destroy(cls_);
        cdev_del(&bare_);
        cdev_del(&cdev_);
        unregister_chrdev_region(devt_, 2);
        EXPECT_EQ(0, module_refs.load());
    }

    dev_t devt_ = 0;
    struct cdev cdev_ {};
    struct cdev bare_ {};
    struct device_class *cls_ = nullptr;
};

TEST_F(FakeDriver, DescriptorsStartAtThreeAndReuseTheLowest)
{
    khost::Program prog;
    EXPECT_EQ(3, prog.open("/dev/fake", O_RDWR));
    EXPECT_EQ(4, prog.open("/dev", O_RDONLY));
    EXPECT_EQ(5, prog.open("/dev/fake", O_RDONLY));
    EXPECT_EQ(0, prog.close(4));
    EXPECT_EQ((std::vector<int>{3, 5}), prog.open_fds());
    EXPECT_EQ(4, prog.open("/dev/fake", O_WRONLY));

    EXPECT_EQ(-EBADF, prog.close(4 + 100));
    EXPECT_EQ(0, prog.close(4));
    EXPECT_EQ(-EBADF, prog.close(4));
    EXPECT_EQ(-EBADF, prog.read(4, nullptr, 0));
    EXPECT_EQ(-EBADF, prog.write(4, "x", 1));
    EXPECT_EQ(-EBADF, prog.ioctl(4, kIoctlAddOne, 0));

    long fd;
    while ((fd = prog.open("/dev", O_RDONLY)) >= 0)
        ASSERT_LT(fd, 1024);
    EXPECT_EQ(-EMFILE, fd);
}

TEST_F(FakeDriver, OpenRefusals)
{
    khost::Program prog;
    EXPECT_EQ(-ENOENT, prog.open("/dev/none", O_RDWR));
    EXPECT_EQ(-ENOENT, prog.open("/tmp", O_RDONLY));
    EXPECT_EQ(-EISDIR, prog.open("/dev", O_WRONLY));

    ASSERT_EQ(0, kern::vfs::add_chrdev_node("/dev/orphan", MKDEV(77, 7), 0600));
    EXPECT_EQ(-ENXIO, prog.open("/dev/orphan", O_RDWR)); // a node without a driver
    kern::vfs::remove("/dev/orphan");

    module_going.store(true);
    EXPECT_EQ(-ENXIO, prog.open("/dev/fake", O_RDWR));
    module_going.store(false);
    {
        std::lock_guard guard(fake.lock);
        fake.open_error = -EBUSY;
    }
    EXPECT_EQ(-EBUSY, prog.open("/dev/fake", O_RDWR));
    EXPECT_EQ(0, module_refs.load()); // a failed open gives the reference back
    EXPECT_EQ(0, fake.releases);      // and is never released
    EXPECT_TRUE(prog.open_fds().empty());
}

TEST_F(FakeDriver, ReadWriteIoctlReachTheDriver)
{
    khost::Program prog;
    long fd = prog.open("/dev/fake", O_RDWR);
    ASSERT_EQ(3, fd);
    EXPECT_EQ(5, prog.write(fd, "hello", 5));
    // The position is the file's: this file wrote nothing at it, so it
    // reads from the start, in pieces, to end of file.
    char buf[8] = {};
    EXPECT_EQ(3, prog.read(fd, buf, 3));
    EXPECT_EQ(2, prog.read(fd, buf + 3, 8));
    EXPECT_STREQ("hello", buf);
    EXPECT_EQ(0, prog.read(fd, buf, 8));

    EXPECT_EQ(42, prog.ioctl(fd, kIoctlAddOne, 41));
    EXPECT_EQ(-EINVAL, prog.ioctl(fd, 0x1234, 0));

    // A bad buffer is the driver's to report.
    EXPECT_EQ(-EFAULT, prog.write(fd, khost::bad_user_pointer(), 4));
    long again = prog.open("/dev/fake", O_RDONLY);
    EXPECT_EQ(-EFAULT, prog.read(again, khost::bad_user_pointer(), 4));
    EXPECT_EQ(5, prog.read(again, buf, 8)); // a failed read leaves the position
}

TEST_F(FakeDriver, AccessModeAndMissingOperations)
{
    khost::Program prog;
    long ro = prog.open("/dev/fake", O_RDONLY);
    long wo = prog.open("/dev/fake", O_WRONLY);
    EXPECT_EQ(-EBADF, prog.write(ro, "x", 1));
    char c;
    EXPECT_EQ(-EBADF, prog.read(wo, &c, 1));

    long bare = prog.open("/dev/bare", O_RDWR);
    ASSERT_GE(bare, 3);
    EXPECT_EQ(-EINVAL, prog.read(bare, &c, 1));
    EXPECT_EQ(-EINVAL, prog.write(bare, "x", 1));
    EXPECT_EQ(-ENOTTY, prog.ioctl(bare, kIoctlAddOne, 0));

    long dir = prog.open("/sys", O_RDONLY);
    EXPECT_EQ(-EISDIR, prog.read(dir, &c, 1));
    EXPECT_EQ(-EBADF, prog.write(dir, "x", 1));
    EXPECT_EQ(-ENOTTY, prog.ioctl(dir, 0, 0));
}

TEST_F(FakeDriver, OpenFilesHoldTheModuleUntilClosed)
{
    {
        khost::Program prog;
        long a = prog.open("/dev/fake", O_RDWR);
        prog.open("/dev/bare", O_RDONLY);
        prog.open("/dev/fake", O_RDONLY);
        EXPECT_EQ(3, module_refs.load());
        EXPECT_EQ(0, prog.close(a));
        EXPECT_EQ(2, module_refs.load());
        EXPECT_EQ(1, fake.releases);
    } // the program's end closes the rest
    EXPECT_EQ(2, fake.releases);
    EXPECT_EQ(0, module_refs.load());
}

// As in the kernel, cdev_del() takes the number away from new opens only:
// files already open go on reaching the driver, and their module
// references keep it loaded until they are closed.
TEST_F(FakeDriver, DeletedCdevStillServesOpenFiles)
{
    khost::Program prog;
    long fd = prog.open("/dev/fake", O_RDWR);
    ASSERT_EQ(3, fd);
    cdev_del(&cdev_); // the device was unbound
    EXPECT_EQ(2, prog.write(fd, "ok", 2));
    char buf[4] = {};
    EXPECT_EQ(2, prog.read(fd, buf, sizeof(buf)));
    EXPECT_STREQ("ok", buf);
    EXPECT_EQ(2, prog.ioctl(fd, kIoctlAddOne, 1));
    EXPECT_EQ(-ENXIO, prog.open("/dev/fake", O_RDWR)); // the node is still there
    EXPECT_EQ(1, module_refs.load());
    EXPECT_EQ(0, prog.close(fd));
    EXPECT_EQ(1, fake.releases);
    EXPECT_EQ(0, module_refs.load());
    cdev_init(&cdev_, &fake_fops); // for TearDown's cdev_del
}

// Nor does cdev_del() wait for calls under way: a driver frees what its
// open files use only after they are closed, as on Linux.
TEST_F(FakeDriver, DeletingACdevDoesNotWaitForCallsUnderWay)
{
    khost::Program prog;
    long fd = prog.open("/dev/fake", O_RDWR);
    std::thread caller([&] { EXPECT_EQ(0, prog.ioctl(fd, kIoctlBlock, 0)); });
    while (!fake.blocked.load())
        std::this_thread::yield();
    cdev_del(&cdev_);
    EXPECT_FALSE(kern::chrdev::lookup(devt_));
    fake.unblock.store(true);
    caller.join();
    EXPECT_EQ(1, prog.ioctl(fd, kIoctlAddOne, 0));
    cdev_init(&cdev_, &fake_fops);
}

// register_chrdev()'s own cdev outlives unregister_chrdev() while a file
// holds it, as the kernel's refcounted one does.
TEST_F(FakeDriver, RegisteredMajorsCdevLivesWhileAFileHoldsIt)
{
    int major = register_chrdev(0, "fake_major", &fake_fops);
    ASSERT_GT(major, 0);
    ASSERT_EQ(0, kern::vfs::add_chrdev_node("/dev/fake_major", MKDEV(major, 3), 0600));
    khost::Program prog;
    long fd = prog.open("/dev/fake_major", O_RDWR);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(2, module_refs.load()); // the cdev's owner's and the operations' owner's
    unregister_chrdev(major, "fake_major");
    kern::vfs::remove("/dev/fake_major");
    EXPECT_EQ(5, prog.ioctl(fd, kIoctlAddOne, 4)); // ASan watches the cdev
    EXPECT_EQ(0, prog.close(fd));
    EXPECT_EQ(0, module_refs.load());
}

// cdev_alloc()'s cdev likewise: cdev_del() lets it go, and a file opened on
// it keeps it (and its owner) until closed, while the next binding adds a
// cdev of its own on the same number.
TEST_F(FakeDriver, AllocatedCdevLivesWhileAFileHoldsIt)
{
    dev_t devt = 0;
    ASSERT_EQ(0, alloc_chrdev_region(&devt, 0, 1, "fake_alloc"));
    ASSERT_EQ(0, kern::vfs::add_chrdev_node("/dev/fake_alloc", devt, 0600));
    struct cdev *first = cdev_alloc();
    ASSERT_NE(nullptr, first);
    first->owner = &fake_module;
    first->ops = &fake_fops;
    ASSERT_EQ(0, cdev_add(first, devt, 1));
    khost::Program prog;
    long fd = prog.open("/dev/fake_alloc", O_RDWR);
    ASSERT_GE(fd, 3);
    cdev_del(first);                    // unbound
    struct cdev *second = cdev_alloc(); // bound again
    ASSERT_NE(nullptr, second);
    second->owner = &fake_module;
    second->ops = &fake_fops;
    ASSERT_EQ(0, cdev_add(second, devt, 1));
    long again = prog.open("/dev/fake_alloc", O_RDWR);
    ASSERT_GE(again, 3);
    EXPECT_EQ(4, module_refs.load());
    EXPECT_EQ(3, prog.ioctl(fd, kIoctlAddOne, 2)); // ASan watches the first cdev
    EXPECT_EQ(0, prog.close(fd));
    EXPECT_EQ(0, prog.close(again));
    EXPECT_EQ(0, module_refs.load());
    cdev_del(second);
    EXPECT_FALSE(kern::chrdev::lookup(devt));
    kern::vfs::remove("/dev/fake_alloc");
    unregister_chrdev_region(devt, 1);
}

TEST_F(FakeDriver, ManyProgramsAtOnce)
{
    constexpr int kPrograms = 4, kRounds = 100;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int p = 0; p < kPrograms; ++p) {
        threads.emplace_back([&failures] {
            khost::Program prog;
            for (int i = 0; i < kRounds; ++i) {
                long fd = prog.open("/dev/fake", O_RDWR);
                char c;
                if (fd != 3 || prog.write(fd, "ab", 2) != 2 || prog.read(fd, &c, 1) != 1 ||
                    prog.ioctl(fd, kIoctlAddOne, 1) != 2 || prog.close(fd) != 0)
                    failures++;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(kPrograms * kRounds, fake.opens);
    EXPECT_EQ(kPrograms * kRounds, fake.releases);
    EXPECT_EQ(size_t(2 * kPrograms * kRounds), fake.data.size());
}

// sysfs rules: modes decide what may be opened, show() runs once per open.
class AttrFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        kern::vfs::AttrOps counting;
        counting.show = [this](std::string &out) -> long {
            out = "shown " + std::to_string(++shows_) + "\n";
            return static_cast<long>(out.size());
        };
        counting.store = [this](const char *buf, size_t n) -> long {
            stored_.assign(buf, n);
            return buf[n] == '\0' ? static_cast<long>(n) : -EIO;
        };
        ASSERT_EQ(0, kern::vfs::add_attribute("/sys/test_prog/rw", 0644, counting));
        ASSERT_EQ(0, kern::vfs::add_attribute("/sys/test_prog/ro", 0444, counting));
        ASSERT_EQ(0, kern::vfs::add_attribute("/sys/test_prog/wo", 0200, counting));
        ASSERT_EQ(0, kern::vfs::add_attribute("/sys/test_prog/noshow", 0644, {nullptr, counting.store}));
    }
    void TearDown() override { kern::vfs::remove("/sys/test_prog"); }

    int shows_ = 0;
    std::string stored_;
};

TEST_F(AttrFiles, ModesDecideOpens)
{
    khost::Program prog;
    EXPECT_EQ(-EACCES, prog.open("/sys/test_prog/ro", O_WRONLY));
    EXPECT_EQ(-EACCES, prog.open("/sys/test_prog/ro", O_RDWR));
    EXPECT_EQ(-EACCES, prog.open("/sys/test_prog/wo", O_RDONLY));
    EXPECT_GE(prog.open("/sys/test_prog/wo", O_WRONLY), 3);
    // The mode decides the open; a callback that is missing fails the call.
    long noshow = prog.open("/sys/test_prog/noshow", O_RDWR);
    ASSERT_GE(noshow, 3);
    char c;
    EXPECT_EQ(-EIO, prog.read(noshow, &c, 1));
    EXPECT_EQ(1, prog.write(noshow, "1", 1));
    long ro = prog.open("/sys/test_prog/ro", O_RDONLY);
    EXPECT_EQ(-EBADF, prog.write(ro, "1", 1));
    EXPECT_EQ(-ENOTTY, prog.ioctl(ro, 0, 0));
}

TEST_F(AttrFiles, ShowOncePerOpenStoreGetsTerminatedBytes)
{
    khost::Program prog;
    long fd = prog.open("/sys/test_prog/rw", O_RDWR);
    char buf[32] = {};
    EXPECT_EQ(4, prog.read(fd, buf, 4));
    EXPECT_EQ(4, prog.read(fd, buf + 4, sizeof(buf) - 5));
    EXPECT_STREQ("shown 1\n", buf);
    EXPECT_EQ(0, prog.read(fd, buf, sizeof(buf)));
    EXPECT_EQ(1, shows_);
    long again = prog.open("/sys/test_prog/rw", O_RDONLY);
    EXPECT_EQ(-EFAULT, prog.read(again, khost::bad_user_pointer(), 8));

    EXPECT_EQ(3, prog.write(fd, "123", 3));
    EXPECT_EQ("123", stored_);
    EXPECT_EQ(0, prog.write(fd, "", 0)); // store is not called for nothing
    EXPECT_EQ("123", stored_);
    EXPECT_EQ(-EFAULT, prog.write(fd, khost::bad_user_pointer(), 2));
    std::string big(5000, 'z');
    EXPECT_EQ(4096, prog.write(fd, big.data(), big.size())); // a page at most
}

} // namespace
