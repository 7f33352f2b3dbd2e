// The sensor and actuator drivers under load: all eight nodes used at once
// beside the configuration device, 100 loads and unloads with every driver
// running, and every probe failure of the drivers the switches start.
#include "board.hpp"

#include <coproc/models/sensors.hpp>
#include <khost/fault.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using qtest::Board;

namespace {

constexpr unsigned DHT_IOCTL_CMD = 0x40044403, DS18B20_READ_CMD = 0x40044400, SR04_READ_CMD = 0x40045301,
                   GP2Y_READ_CMD = 0x40044700, IR_SEND_CMD = 0x400a410a, IR_RECV_CMD = 0xc00a410b;
const std::vector<std::string> all_on = {"dev_ws2812=1", "dev_dht=1", "dev_18b20=1"};
const char *const nodes[] = {"ws_2812", "buzzer",     "dht",     "ds18b20", "icm20689",
                             "sr04",    "gp2y1010au", "ir_send", "ir_recv"};

bool node_exists(const std::string &name)
{
    khost::Program p;
    khost::DirEntry e;
    return p.stat("/dev/" + name, &e, true) == 0;
}

// One program per node, each checking that what came back is what the
// simulated device holds: a frame torn by another exchange would not be.
void use_node(const std::string &node, int rounds, std::atomic<int> &wrong)
{
    khost::Program p(node);
    const int fd = static_cast<int>(p.open("/dev/" + node, 2));
    if (fd < 3) {
        wrong++;
        return;
    }
    auto expect = [&](bool ok) { wrong += ok ? 0 : 1; };
    for (int r = 0; r < rounds; r++) {
        uint8_t arg[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        uint8_t buf[20] = {};
        if (node == "ws_2812") {
            const uint8_t leds[] = {1, 0, 1, 2, 3};
            expect(p.write(fd, leds, sizeof leds) == 5);
            expect(p.read(fd, buf, 4) == 4);
        } else if (node == "buzzer") {
            const uint8_t off[] = {0, 0, 0, 0, 0};
            expect(p.write(fd, off, 5) == 5);
            expect(p.read(fd, buf, 1) == 1 && buf[0] == 0);
        } else if (node == "dht") {
            expect(p.ioctl(fd, DHT_IOCTL_CMD, reinterpret_cast<unsigned long>(arg)) == 0 && arg[0] == 40 &&
                   arg[2] == 20);
        } else if (node == "ds18b20") {
            expect(p.ioctl(fd, DS18B20_READ_CMD, reinterpret_cast<unsigned long>(arg)) == 0 && arg[0] == 0x40 &&
                   arg[1] == 0x01);
        } else if (node == "sr04") {
            expect(p.ioctl(fd, SR04_READ_CMD, reinterpret_cast<unsigned long>(arg)) == 0 && arg[0] == 100 &&
                   arg[2] == 3);
        } else if (node == "gp2y1010au") {
            expect(p.ioctl(fd, GP2Y_READ_CMD, reinterpret_cast<unsigned long>(arg)) == 0 && arg[0] == 50);
        } else if (node == "icm20689") {
            expect(p.read(fd, buf, 14) == 14 && buf[4] == 0x40 && buf[5] == 0);
        } else if (node == "ir_send") {
            expect(p.ioctl(fd, IR_SEND_CMD, reinterpret_cast<unsigned long>(arg)) == 0);
        } else {
            arg[0] = 0;
            expect(p.ioctl(fd, IR_RECV_CMD, reinterpret_cast<unsigned long>(arg)) == 0);
        }
    }
    p.close(fd);
}

TEST(SensorsLoad, AllEightNodesAtOnceWithTheOthersBusy)
{
    Board board(all_on);
    board.sim().with_firmware([](coproc::Firmware &fw) {
        fw.model<coproc::DhtModel>().set(20.0, 40.0);
        fw.model<coproc::Ds18b20Model>().set(20.0);
        fw.model<coproc::Sr04Model>().set(100);
        fw.model<coproc::Gp2yModel>().set(50);
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (const char *node : nodes)
        threads.emplace_back(use_node, node, 8, std::ref(wrong));
    threads.emplace_back([&] {
        khost::Program p("config");
        const int fd = static_cast<int>(p.open("/dev/quorvel_config", 2));
        for (int r = 0; r < 8; r++) {
            uint8_t version[2] = {};
            wrong += p.ioctl(fd, 0x5201, reinterpret_cast<unsigned long>(version)) == 0 && version[0] == 1 ? 0 : 1;
        }
        p.close(fd);
    });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(board.sim().bad_crc_count(), 0u);
    EXPECT_EQ(board.sim().dropped_bytes(), 0u);
    for (const auto &r : board.requests())
        EXPECT_TRUE(r.crc_ok && r.answered) << coproc::hex(r.raw);
    EXPECT_EQ(board.sim().with_firmware([](coproc::Firmware &fw) { return fw.model<coproc::BuzzerModel>().claims(); }),
              0u);
}

// The device numbers of the nodes: a region left behind by an unload would
// move the next load's majors.
std::vector<uint32_t> numbers()
{
    khost::Program p;
    std::vector<uint32_t> out;
    for (const char *node : nodes) {
        khost::DirEntry e;
        out.push_back(p.stat(std::string("/dev/") + node, &e, true) == 0 ? e.rdev : 0);
    }
    return out;
}

TEST(SensorsLoad, HundredLoadsWithEveryDriverLeaveNothing)
{
    Board board(all_on);
    const auto first = numbers();
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(board.unload(), 0) << i;
        for (const char *node : nodes)
            ASSERT_FALSE(node_exists(node)) << node << " after unload " << i;
        ASSERT_TRUE(khost::lsmod().empty());
        ASSERT_EQ(board.load(all_on), 0) << i;
    }
    for (const char *node : nodes)
        EXPECT_TRUE(node_exists(node)) << node;
    EXPECT_EQ(numbers(), first);
    khost::Program p;
    std::vector<khost::DirEntry> classes;
    ASSERT_EQ(p.list("/sys/class", &classes), 0);
    EXPECT_EQ(std::count_if(classes.begin(), classes.end(),
                            [](const auto &e) { return e.name.starts_with("quorvel_") && e.name.ends_with("_class"); }),
              8);
}

// Programs opening and closing a node while its driver is unbound and bound
// again, over and over: each bind makes the device anew, while files of the
// last binding may still be on their way in. A cdev made over by the new
// probe is written under them (TSan); a cdev of its own per binding is not.
TEST(SensorsLoad, OpensRacingARebindOfTheirDriver)
{
    Board board;
    std::atomic<bool> stop{false};
    std::atomic<int> opens{0};
    auto opener = [&](const std::string &node) {
        khost::Program p(node);
        while (!stop) {
            const int fd = static_cast<int>(p.open("/dev/" + node, 2));
            if (fd < 0)
                continue; // between an unbind and the next bind
            opens++;
            p.close(fd);
        }
    };
    std::thread first(opener, "icm20689"), second(opener, "icm20689"), third(opener, "ir_recv");
    khost::Program p("rebind");
    for (int i = 0; i < 300 || opens < 100; i++) {
        for (const char *file : {"unbind", "bind"}) {
            for (const std::string dev : {"quorvel-icm20689", "quorvel-ir"}) {
                const int fd = static_cast<int>(p.open("/sys/bus/platform/drivers/" + dev + "/" + file, 1));
                const std::string name = dev + ".0";
                ASSERT_EQ(p.write(fd, name.data(), name.size()), static_cast<long>(name.size())) << dev << file;
                p.close(fd);
            }
        }
    }
    stop = true;
    first.join();
    second.join();
    third.join();
    EXPECT_TRUE(node_exists("icm20689"));
    EXPECT_TRUE(node_exists("ir_recv"));
    ASSERT_EQ(board.unload(), 0);
}

// The drivers the switches start (WS2812, DHT, DS18B20) come after the
// configuration device: each fallible call of their probes, failed in turn,
// costs that driver its node alone, with its message, and nothing else.
TEST(SensorsLoad, SwitchedDriversProbeFailures)
{
    Board board;
    ASSERT_EQ(board.unload(), 0);
    struct Case {
        const char *call;
        const char *message;
    };
    const Case cases[] = {{"alloc_chrdev_region", "Failed to allocate device numbers"},
                          {"cdev_add", "Failed to add character device"},
                          {"class_create", "Failed to create device class"},
                          {"device_create", "Failed to create device1 file"}};
    const char *const switched[] = {"ws_2812", "dht", "ds18b20"};
    for (const auto &c : cases) {
        for (unsigned i = 0; i < 3; i++) {
            // The configuration device's cdev, class and node come first;
            // its region (register_chrdev) is not allocated by range.
            const bool config_counts = std::string(c.call) != "alloc_chrdev_region";
            const std::string context = std::string(c.call) + " of " + switched[i];
            khost::log_clear();
            khost::fail_nth(c.call, i + 1 + (config_counts ? 1 : 0));
            ASSERT_EQ(board.load(all_on), 0) << context;
            khost::fail_clear();
            EXPECT_TRUE(khost::log_contains(c.message)) << context;
            for (unsigned j = 0; j < 3; j++)
                EXPECT_EQ(node_exists(switched[j]), j != i) << context << ": " << switched[j];
            EXPECT_TRUE(node_exists("ir_recv")) << context;
            ASSERT_EQ(board.unload(), 0) << context;
            for (const char *node : nodes)
                EXPECT_FALSE(node_exists(node)) << context << ": " << node;
        }
    }
    EXPECT_EQ(board.load(), 0);
}

} // namespace
