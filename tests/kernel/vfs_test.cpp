// The /dev and /sys tree: its shape, its refusals, and removal of an
// attribute while a program is inside its callbacks.
#include <linux/errno.h>

#include "vfs.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using kern::vfs::AttrOps;
using kern::vfs::Entry;
using kern::vfs::Lookup;
using kern::vfs::NodeType;

AttrOps text_attr(std::string text)
{
    AttrOps ops;
    ops.show = [text](std::string &out) -> long {
        out = text;
        return static_cast<long>(out.size());
    };
    return ops;
}

// A flag one thread raises and another waits for, without a timeout.
struct Latch {
    std::atomic<bool> up{false};
    void raise() { up.store(true); }
    void wait() const
    {
        while (!up.load())
            std::this_thread::yield();
    }
};

TEST(VfsTree, ShapeAndRefusals)
{
    ASSERT_EQ(0, kern::vfs::add_attribute("/sys/test_tree/b/file", 0444, text_attr("x")));
    ASSERT_EQ(0, kern::vfs::add_chrdev_node("/sys/test_tree/a", 0x12345, 0600));
    std::vector<Entry> entries;
    ASSERT_EQ(0, kern::vfs::list("/sys//test_tree/./b/../", &entries));
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("a", entries[0].name);
    EXPECT_EQ(0x12345u, entries[0].devt);
    EXPECT_EQ(NodeType::Dir, entries[1].type);

    EXPECT_EQ(-EEXIST, kern::vfs::add_attribute("/sys/test_tree/b/file", 0444, text_attr("y")));
    EXPECT_EQ(-EEXIST, kern::vfs::add_chrdev_node("/sys/test_tree/b/file", 1, 0600));
    EXPECT_EQ(-ENOTDIR, kern::vfs::add_attribute("/sys/test_tree/b/file/below", 0444, text_attr("z")));
    EXPECT_EQ(-ENOTDIR, kern::vfs::mkdir_p("/sys/test_tree/a"));
    EXPECT_EQ(-ENOTDIR, kern::vfs::list("/sys/test_tree/a", &entries));
    EXPECT_EQ(-EINVAL, kern::vfs::add_attribute("sys/relative", 0444, text_attr("z")));
    EXPECT_EQ(-EINVAL, kern::vfs::mkdir_p("/"));
    EXPECT_EQ(0, kern::vfs::mkdir_p("/sys/test_tree/b")); // already there: fine
    Lookup found;
    EXPECT_EQ(-ENOENT, kern::vfs::lookup("/proc/self", &found));

    kern::vfs::remove("/sys/test_tree/missing"); // no error, no effect
    kern::vfs::remove("/sys/test_tree");
    EXPECT_FALSE(kern::vfs::exists("/sys/test_tree/b/file"));
    EXPECT_EQ(-ENOENT, kern::vfs::list("/sys/test_tree", &entries));
}

TEST(VfsAttr, RemoveWaitsForShowUnderWay)
{
    Latch entered, release;
    std::atomic<bool> show_done{false};
    AttrOps ops;
    ops.show = [&](std::string &out) -> long {
        entered.raise();
        release.wait();
        out = "late";
        show_done.store(true);
        return 4;
    };
    ASSERT_EQ(0, kern::vfs::add_attribute("/sys/test_busy/value", 0444, ops));
    Lookup found;
    ASSERT_EQ(0, kern::vfs::lookup("/sys/test_busy/value", &found));

    std::thread reader([&] {
        std::string out;
        EXPECT_EQ(4, kern::vfs::attr_show(*found.node, out));
    });
    entered.wait();
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        kern::vfs::remove("/sys/test_busy");
        // The callback must have finished: its captures may die from here on.
        EXPECT_TRUE(show_done.load());
        removed.store(true);
    });
    while (kern::vfs::exists("/sys/test_busy"))
        std::this_thread::yield();
    EXPECT_FALSE(removed.load());
    release.raise();
    reader.join();
    remover.join();
    std::string out;
    EXPECT_EQ(-ENODEV, kern::vfs::attr_show(*found.node, out));
}

TEST(VfsAttr, StoreMayRemoveItsOwnDirectory)
{
    AttrOps ops;
    ops.store = [](const char *, size_t n) -> long {
        kern::vfs::remove("/sys/test_self");
        return static_cast<long>(n);
    };
    ASSERT_EQ(0, kern::vfs::add_attribute("/sys/test_self/delete", 0200, ops));
    Lookup found;
    ASSERT_EQ(0, kern::vfs::lookup("/sys/test_self/delete", &found));
    EXPECT_EQ(1, kern::vfs::attr_store(*found.node, "1", 1));
    EXPECT_FALSE(kern::vfs::exists("/sys/test_self"));
}

// Links as sysfs writes them: relative to the link's directory, followed by
// lookup and list, not by the calls that make and take away nodes.
TEST(VfsLinks, FollowedWhereAPathWalkFollowsThem)
{
    ASSERT_EQ(0, kern::vfs::add_attribute("/sys/test_links/devices/virtual/c/n/dev", 0444, text_attr("1:2\n")));
    ASSERT_EQ(0, kern::vfs::add_link("/sys/test_links/class/c/n", "/sys/test_links/devices/virtual/c/n"));
    std::string target;
    ASSERT_EQ(0, kern::vfs::readlink("/sys/test_links/class/c/n", &target));
    EXPECT_EQ("../../devices/virtual/c/n", target);
    EXPECT_EQ(-EINVAL, kern::vfs::readlink("/sys/test_links/devices", &target));

    Lookup found;
    ASSERT_EQ(0, kern::vfs::lookup("/sys/test_links/class/c/n/dev", &found));
    EXPECT_EQ(NodeType::Attr, found.type);
    ASSERT_EQ(0, kern::vfs::lookup("/sys/test_links/class/c/n", &found));
    EXPECT_EQ(NodeType::Dir, found.type);
    ASSERT_EQ(0, kern::vfs::lookup("/sys/test_links/class/c/n", &found, false));
    EXPECT_EQ(NodeType::Link, found.type);
    EXPECT_EQ(0777u, found.mode);
    EXPECT_EQ("../../devices/virtual/c/n", found.target);
    // A '/' after the link follows it even for lstat; ".." after a link goes
    // up from where the link leads, not from where it is.
    ASSERT_EQ(0, kern::vfs::lookup("/sys/test_links/class/c/n/", &found, false));
    EXPECT_EQ(NodeType::Dir, found.type);
    std::vector<Entry> entries;
    ASSERT_EQ(0, kern::vfs::list("/sys/test_links/class/c/n/..", &entries));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("n", entries[0].name);
    EXPECT_EQ(NodeType::Dir, entries[0].type) << "listed from /sys/test_links/devices/virtual/c";
    ASSERT_EQ(0, kern::vfs::list("/sys/test_links/class/c", &entries));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(NodeType::Link, entries[0].type);
    EXPECT_EQ("../../devices/virtual/c/n", entries[0].target);
    EXPECT_EQ(-ENOTDIR, kern::vfs::lookup("/sys/test_links/class/c/n/dev/", &found));

    // Creation does not go through links; removal takes the link, not its target.
    EXPECT_EQ(-ENOTDIR, kern::vfs::add_attribute("/sys/test_links/class/c/n/other", 0444, text_attr("x")));
    kern::vfs::remove("/sys/test_links/class/c/n");
    EXPECT_TRUE(kern::vfs::exists("/sys/test_links/devices/virtual/c/n/dev"));

    // Relative targets are kept as written, absolute ones need not exist yet,
    // and a link whose target is gone leads nowhere.
    ASSERT_EQ(0, kern::vfs::add_link("/sys/test_links/rel", "devices/virtual"));
    EXPECT_TRUE(kern::vfs::exists("/sys/test_links/rel/c/n/dev"));
    ASSERT_EQ(0, kern::vfs::add_link("/sys/test_links/later", "/sys/test_links/not_yet"));
    EXPECT_EQ(-ENOENT, kern::vfs::lookup("/sys/test_links/later", &found));
    ASSERT_EQ(0, kern::vfs::mkdir("/sys/test_links/not_yet"));
    EXPECT_EQ(0, kern::vfs::lookup("/sys/test_links/later", &found));
    EXPECT_EQ(-EEXIST, kern::vfs::mkdir("/sys/test_links/not_yet"));
    EXPECT_EQ(-EINVAL, kern::vfs::add_link("/sys/test_links/empty", ""));

    // A loop ends with -ELOOP, as after 40 links in the kernel.
    ASSERT_EQ(0, kern::vfs::add_link("/sys/test_links/a", "b"));
    ASSERT_EQ(0, kern::vfs::add_link("/sys/test_links/b", "a"));
    EXPECT_EQ(-ELOOP, kern::vfs::lookup("/sys/test_links/a", &found));
    EXPECT_EQ(-ELOOP, kern::vfs::list("/sys/test_links/a", &entries));
    kern::vfs::remove("/sys/test_links");
}

TEST(VfsLinks, RelativePathsAsSysfsWritesThem)
{
    EXPECT_EQ("../../devices/platform/x", kern::vfs::relative_path("/sys/bus/platform", "/sys/devices/platform/x"));
    EXPECT_EQ("../../../bus/platform", kern::vfs::relative_path("/sys/devices/platform/x", "/sys/bus/platform"));
    EXPECT_EQ("x/y", kern::vfs::relative_path("/sys/a", "/sys/a/x/y"));
    EXPECT_EQ("../../a", kern::vfs::relative_path("/sys/a/b", "/sys/a"));
    EXPECT_EQ("../a", kern::vfs::relative_path("/sys/a", "/sys/a"));
}

TEST(VfsTree, RmdirOnlyEmptiesAway)
{
    ASSERT_EQ(0, kern::vfs::add_attribute("/sys/test_rmdir/full/f", 0444, text_attr("x")));
    ASSERT_EQ(0, kern::vfs::mkdir_p("/sys/test_rmdir/empty"));
    EXPECT_EQ(-ENOTEMPTY, kern::vfs::rmdir("/sys/test_rmdir/full"));
    EXPECT_EQ(-ENOTDIR, kern::vfs::rmdir("/sys/test_rmdir/full/f"));
    EXPECT_EQ(-ENOENT, kern::vfs::rmdir("/sys/test_rmdir/none"));
    EXPECT_EQ(0, kern::vfs::rmdir("/sys/test_rmdir/empty"));
    EXPECT_FALSE(kern::vfs::exists("/sys/test_rmdir/empty"));
    kern::vfs::remove("/sys/test_rmdir");
}

} // namespace
