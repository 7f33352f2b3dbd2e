// The sensor and actuator devices as programs use them: each node against
// its switch, the frames byte for byte against the simulated devices, the
// fault paths (silence, refusals, bad buffers, foreign ioctl numbers), the
// limits left open and how they were decided, and the unload's messages.
#include "board.hpp"

#include <coproc/frame.hpp>
#include <coproc/models/sensors.hpp>
#include <khost/sleeps.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using coproc::hex;
using qtest::Board;
using ::testing::ElementsAre;

namespace {

constexpr unsigned DHT_IOCTL_CMD = 0x40044403, DS18B20_READ_CMD = 0x40044400, SR04_READ_CMD = 0x40045301,
                   GP2Y_READ_CMD = 0x40044700, IR_SEND_CMD = 0x400a410a, IR_RECV_CMD = 0xc00a410b;
constexpr unsigned ENABLE_ALL = 0x4102;
const std::vector<std::string> all_on = {"dev_ws2812=1", "dev_dht=1", "dev_18b20=1"};

bool node_exists(const std::string &name)
{
    khost::Program p;
    khost::DirEntry e;
    return p.stat("/dev/" + name, &e, true) == 0;
}

// A board with every switch on and one program, with helpers that leave the
// request the call made for the test to check.
class Sensors : public ::testing::Test {
protected:
    explicit Sensors(std::vector<std::string> params = all_on) : board_(std::move(params)) {}

    // The log keeps what the open printed.
    int open(const std::string &node)
    {
        khost::log_clear();
        const long fd = prog_.open("/dev/" + node, 2);
        EXPECT_GE(fd, 3) << node;
        board_.sim().clear_log();
        return static_cast<int>(fd);
    }
    long ioctl(int fd, unsigned cmd, void *arg) { return prog_.ioctl(fd, cmd, reinterpret_cast<unsigned long>(arg)); }
    // The requests since the last call, as hex without their random tails.
    std::vector<std::string> sent()
    {
        std::vector<std::string> out;
        for (const auto &r : board_.sim().requests()) {
            EXPECT_EQ(r.raw.back() & 0xc0, 0x80) << hex(r.raw);
            out.push_back(hex({r.raw.begin(), r.raw.end() - 1}));
        }
        board_.sim().clear_log();
        return out;
    }
    template <class M, class F> auto model(F &&f)
    {
        return board_.sim().with_firmware([&](coproc::Firmware &fw) { return f(fw.model<M>()); });
    }

    Board board_;
    khost::Program prog_;
};

TEST(SensorNodes, EachNodeFollowsItsSwitch)
{
    Board board;
    for (const char *node : {"buzzer", "icm20689", "sr04", "gp2y1010au", "ir_send", "ir_recv"})
        EXPECT_TRUE(node_exists(node)) << node;
    for (const char *node : {"ws_2812", "dht", "ds18b20"})
        EXPECT_FALSE(node_exists(node)) << node;
    EXPECT_FALSE(khost::log_contains("quorvel_linux_dht")) << "a driver not started prints nothing";

    // The infrared region's two minors, one major.
    khost::Program p;
    khost::DirEntry send, recv;
    ASSERT_EQ(p.stat("/dev/ir_send", &send, true), 0);
    ASSERT_EQ(p.stat("/dev/ir_recv", &recv, true), 0);
    EXPECT_EQ(send.rdev >> 20, recv.rdev >> 20);
    EXPECT_EQ(send.rdev & 0xfffff, 0u);
    EXPECT_EQ(recv.rdev & 0xfffff, 1u);

    // The run-time start brings the three switched drivers.
    const int fd = static_cast<int>(p.open("/dev/quorvel_config", 2));
    EXPECT_EQ(p.ioctl(fd, ENABLE_ALL, 0), 0);
    p.close(fd);
    for (const char *node : {"ws_2812", "dht", "ds18b20"})
        EXPECT_TRUE(node_exists(node)) << node;
    EXPECT_TRUE(khost::log_contains("platform_driver_register\r"));

    // The unload stops them too, each printing its stop entry's name and
    // line before its remove's message; the buzzer prints only the latter.
    khost::log_clear();
    ASSERT_EQ(board.unload(), 0);
    std::vector<std::string> stops;
    for (const auto &line : Board::log())
        if (line.starts_with("quorvel_linux_") || line == "Character device exited")
            stops.push_back(line.substr(0, line.find(':')));
    EXPECT_THAT(stops, ElementsAre("quorvel_linux_2812_exit", "Character device exited", "quorvel_linux_dht_exit",
                                   "Character device exited", "quorvel_linux_ds18b20_exit", "Character device exited",
                                   "Character device exited", "quorvel_linux_icm20689_exit", "Character device exited",
                                   "quorvel_linux_sr04_exit", "Character device exited", "quorvel_linux_gp2y_exit",
                                   "Character device exited", "quorvel_linux_ir_exit", "Character device exited"));
    for (const char *node : {"ws_2812", "dht", "ds18b20", "buzzer", "icm20689", "sr04", "gp2y1010au", "ir_send"})
        EXPECT_FALSE(node_exists(node)) << node;
}

TEST_F(Sensors, MeasurementFramesAndReadings)
{
    model<coproc::DhtModel>([](auto &m) { m.set(23.5, 41.0); });
    model<coproc::Sr04Model>([](auto &m) { m.set(1234); });
    model<coproc::Gp2yModel>([](auto &m) { m.set(80); });
    model<coproc::Ds18b20Model>([](auto &m) { m.set(-10.125); });

    khost::Program opener;
    const int dht = open("dht");
    EXPECT_TRUE(khost::log_contains("DHT_IOCTL_CMD  = 40044403 "));
    uint8_t arg[4] = {1, 2, 3, 4};
    EXPECT_EQ(ioctl(dht, DHT_IOCTL_CMD, arg), 0);
    EXPECT_THAT(sent(), ElementsAre("89 09 70 01 02 03 04 e3"));
    EXPECT_THAT(arg, ElementsAre(41, 0, 23, 5)) << "humidity 41.0 %, 23.5 degC";
    uint8_t store[10] = {};
    EXPECT_EQ(prog_.read(dht, store, 4), 4);
    EXPECT_THAT(std::vector<uint8_t>(store, store + 4), ElementsAre(41, 0, 23, 5));
    // Chosen: a read of 5 to 10 bytes is short, the store's 4 bytes.
    EXPECT_EQ(prog_.read(dht, store, 10), 4);
    EXPECT_EQ(prog_.read(dht, store, 11), -EINVAL);
    EXPECT_EQ(prog_.read(dht, store, 0), 0);

    const int sr04 = open("sr04");
    EXPECT_TRUE(khost::log_contains("SR04_READ_CMD  = 40045301 "));
    uint8_t sarg[4] = {1, 2, 3, 4};
    EXPECT_EQ(ioctl(sr04, SR04_READ_CMD, sarg), 0);
    EXPECT_THAT(sent(), ElementsAre("88 09 70 01 02 03 04 e3"));
    EXPECT_THAT(sarg, ElementsAre(0xd2, 0x04, 3, 4)) << "1234 mm; only two bytes written back";

    const int gp2y = open("gp2y1010au");
    EXPECT_TRUE(khost::log_contains("GP2Y_READ_CMD  = 40044700 "));
    uint8_t garg[4] = {7, 0, 0xaa, 0xbb};
    EXPECT_EQ(ioctl(gp2y, GP2Y_READ_CMD, garg), 0);
    EXPECT_THAT(garg, ElementsAre(80, 0, 0xaa, 0xbb)) << "the caller's last two bytes come back as sent";
    EXPECT_EQ(prog_.read(gp2y, store, 4), 4);
    EXPECT_THAT(std::vector<uint8_t>(store, store + 4), ElementsAre(80, 0, 0, 0));

    const int ds = open("ds18b20");
    EXPECT_TRUE(khost::log_contains("DS18B20_READ_CMD  = 40044400 "));
    uint8_t darg[4] = {9, 0, 0, 0};
    EXPECT_EQ(ioctl(ds, DS18B20_READ_CMD, darg), 0);
    EXPECT_EQ(sent().at(0).substr(0, 8), "8c 09 70");
    EXPECT_THAT(darg, ElementsAre(0x5e, 0xff, 0x4b, 0x7f)) << "-10.125 degC in 1/16";

    // A reading failing hands back the last good one, from the store.
    board_.sim().inject({.kind = coproc::FaultKind::BadCrc});
    uint8_t again[4] = {9, 0, 0, 0};
    EXPECT_EQ(ioctl(ds, DS18B20_READ_CMD, again), 0);
    EXPECT_THAT(again, ElementsAre(0x5e, 0xff, 0x4b, 0x7f));
    sent();
    // A write stores over the start; the next good reading replaces all four.
    uint8_t two[2] = {1, 2};
    EXPECT_EQ(prog_.write(ds, two, 2), 2);
    EXPECT_EQ(prog_.read(ds, store, 4), 4);
    EXPECT_THAT(std::vector<uint8_t>(store, store + 4), ElementsAre(1, 2, 0x4b, 0x7f));
    EXPECT_EQ(prog_.write(ds, store, 5), -EINVAL);
    EXPECT_EQ(prog_.read(ds, store, 5), -EINVAL);
    EXPECT_THAT(sent(), ::testing::IsEmpty()) << "reads and writes of the store send nothing";
    // Reopened, the store is as it was.
    prog_.close(ds);
    const int ds2 = open("ds18b20");
    EXPECT_EQ(prog_.read(ds2, store, 2), 2);
    EXPECT_THAT(std::vector<uint8_t>(store, store + 2), ElementsAre(1, 2));
}

TEST_F(Sensors, MeasurementFaults)
{
    const int sr04 = open("sr04");
    const int dht = open("dht");
    // Before any good reading a silent co-processor gives zeros, and no more
    // than one bounded wait.
    board_.sim().set_silent(true);
    uint8_t arg[4] = {1, 2, 3, 4};
    auto before = khost::sleeps_of_current();
    EXPECT_EQ(ioctl(sr04, SR04_READ_CMD, arg), 0);
    EXPECT_LE((khost::sleeps_of_current() - before).timeouts, 2u) << "the 1 ms pause, one wait";
    EXPECT_THAT(arg, ElementsAre(0, 0, 3, 4));
    board_.sim().set_silent(false);

    // Each device takes only its own number; nothing is sent for another.
    sent();
    for (unsigned cmd : {DS18B20_READ_CMD, SR04_READ_CMD, GP2Y_READ_CMD, IR_SEND_CMD, IR_RECV_CMD, 0x4403u})
        EXPECT_EQ(ioctl(dht, cmd, arg), -ENOTTY) << std::hex << cmd;
    EXPECT_EQ(ioctl(sr04, DHT_IOCTL_CMD, arg), -ENOTTY);
    for (const char *node : {"ws_2812", "buzzer", "icm20689"}) {
        const int fd = open(node);
        EXPECT_EQ(ioctl(fd, DHT_IOCTL_CMD, arg), -ENOTTY) << node;
        prog_.close(fd);
    }
    const int ir = open("ir_send");
    EXPECT_EQ(ioctl(ir, DHT_IOCTL_CMD, arg), -ENOTTY);
    sent();
    // An argument that cannot be read: "copy error", nothing sent.
    khost::log_clear();
    EXPECT_EQ(prog_.ioctl(dht, DHT_IOCTL_CMD, reinterpret_cast<unsigned long>(khost::bad_user_pointer())), -EFAULT);
    EXPECT_TRUE(khost::log_contains("copy error"));
    EXPECT_THAT(sent(), ::testing::IsEmpty());

    // The DHT's write goes to the co-processor; a reply that is not this
    // request's fails it, and so does a refusal. Chosen: an acknowledgement
    // whose CRC (over the unused data byte only) is bad counts as done.
    uint8_t bytes[51] = {5, 6};
    EXPECT_EQ(prog_.write(dht, bytes, 2), 2);
    EXPECT_THAT(sent(), ElementsAre("89 07 20 05 06 " + hex(std::vector<uint8_t>{coproc::crc8(bytes, 2)})));
    EXPECT_EQ(model<coproc::DhtModel>([](auto &m) { return m.written(); }), (coproc::Bytes{5, 6}));
    board_.sim().inject({.kind = coproc::FaultKind::BadCrc});
    EXPECT_EQ(prog_.write(dht, bytes, 2), 2);
    board_.sim().inject({.kind = coproc::FaultKind::WrongTail});
    EXPECT_EQ(prog_.write(dht, bytes, 2), -EFAULT);
    sent();
    board_.sim().inject({.kind = coproc::FaultKind::Status, .value = 1});
    EXPECT_EQ(prog_.write(dht, bytes, 2), -EIO) << "mended: a refusal is not a count";
    EXPECT_EQ(sent().size(), 1u);
    // Chosen: above 50 bytes, refused before anything is sent.
    EXPECT_EQ(prog_.write(dht, bytes, 51), -EINVAL);
    EXPECT_EQ(prog_.write(dht, khost::bad_user_pointer(), 3), -EFAULT);
    EXPECT_THAT(sent(), ::testing::IsEmpty());
    EXPECT_EQ(prog_.write(dht, bytes, 50), 50);
}

TEST_F(Sensors, Ws2812KeepsColoursAndCountsReads)
{
    const int fd = open("ws_2812");
    // Pin 5, from LED 0: red, then green (the strip takes G R B).
    const uint8_t leds[] = {5, 0, 0x00, 0xff, 0x00, 0xff, 0x00, 0x00};
    EXPECT_EQ(prog_.write(fd, leds, sizeof leds), 8);
    EXPECT_EQ(sent().at(0).substr(0, 8), "87 0d 20");
    using Colour = coproc::Ws2812Model::Colour;
    EXPECT_THAT(model<coproc::Ws2812Model>([](auto &m) { return m.leds(); }),
                ElementsAre(Colour{.r = 0xff}, Colour{.g = 0xff}));
    EXPECT_EQ(prog_.write(fd, leds, 0), 0);
    EXPECT_THAT(sent(), ElementsAre("87 05 20 00"));
    // Anything but an acknowledgement is -EFAULT: a refusal, a bad CRC, silence.
    EXPECT_EQ(prog_.write(fd, leds, 3), -EFAULT) << "the strip refuses a partial colour";
    board_.sim().inject({.kind = coproc::FaultKind::Status, .value = 1});
    EXPECT_EQ(prog_.write(fd, leds, 8), -EFAULT);
    board_.sim().inject({.kind = coproc::FaultKind::NoReply});
    EXPECT_EQ(prog_.write(fd, leds, 8), -EFAULT);
    sent();
    // Chosen: above 50 bytes is refused like an unreadable buffer, unsent.
    uint8_t big[51] = {};
    EXPECT_EQ(prog_.write(fd, big, 51), -EINVAL);
    EXPECT_EQ(prog_.write(fd, khost::bad_user_pointer(), 8), -EINVAL);
    EXPECT_THAT(sent(), ::testing::IsEmpty());

    uint8_t count[4];
    EXPECT_EQ(prog_.read(fd, count, 4), 4);
    EXPECT_THAT(count, ElementsAre(1, 0, 0, 0));
    EXPECT_EQ(prog_.read(fd, count, 5), -EINVAL) << "refused before it counts";
    EXPECT_EQ(prog_.read(fd, count, 0), 0);
    EXPECT_EQ(prog_.read(fd, khost::bad_user_pointer(), 4), -EFAULT);
    EXPECT_EQ(prog_.read(fd, count, 4), 4);
    EXPECT_THAT(count, ElementsAre(4, 0, 0, 0)) << "a read of 0 and one that failed its copy count too";
    for (int i = 0; i < 251; i++)
        prog_.read(fd, count, 1);
    EXPECT_EQ(prog_.read(fd, count, 4), 4);
    EXPECT_THAT(count, ElementsAre(0, 0, 0, 0)) << "the 256th read wraps";
}

TEST_F(Sensors, BuzzerClaimsAndReleases)
{
    const long first = prog_.open("/dev/buzzer", 2);
    ASSERT_GE(first, 3);
    const int fd = open("buzzer");
    EXPECT_EQ(model<coproc::BuzzerModel>([](auto &m) { return m.claims(); }), 2u) << "each open claims";
    // On, 440 Hz, until told off: a tone with a duration ends by itself.
    const uint8_t tone[] = {1, 0xb8, 0x01, 0x00, 0x00};
    EXPECT_EQ(prog_.write(fd, tone, sizeof tone), 5);
    uint8_t b = 0xee;
    EXPECT_EQ(prog_.read(fd, &b, 1), 1);
    EXPECT_EQ(b, 1) << "sounding";
    EXPECT_EQ(prog_.write(fd, tone, 0), 0);
    EXPECT_THAT(sent(), ElementsAre("8b 0a 20 01 b8 01 00 00 " + hex(std::vector<uint8_t>{coproc::crc8(tone, 5)}),
                                    "8b 06 30 00 00", "8b 05 20 00"));
    // Mended: a refused read is -EIO, its byte not handed over.
    model<coproc::BuzzerModel>([](auto &m) { m.set_read_byte(0x5a); });
    board_.sim().inject({.kind = coproc::FaultKind::Status, .value = 3});
    EXPECT_EQ(prog_.read(fd, &b, 1), -EIO);
    EXPECT_EQ(b, 1);
    EXPECT_THAT(sent(), ElementsAre("8b 06 30 00 00")) << "the frame as before";
    board_.sim().inject({.kind = coproc::FaultKind::BadCrc});
    EXPECT_EQ(prog_.read(fd, &b, 1), -EFAULT);
    sent();
    EXPECT_EQ(prog_.read(fd, &b, 2), -EINVAL);
    // Chosen: above 20 bytes is refused, unsent.
    uint8_t big[21] = {};
    EXPECT_EQ(prog_.write(fd, big, 21), -EINVAL);
    EXPECT_EQ(prog_.write(fd, khost::bad_user_pointer(), 2), -EFAULT);
    EXPECT_THAT(sent(), ::testing::IsEmpty());
    EXPECT_EQ(prog_.write(fd, big, 20), 20);

    EXPECT_EQ(prog_.close(fd), 0);
    EXPECT_EQ(prog_.close(static_cast<int>(first)), 0);
    std::string twenty_zeros_and_crc;
    for (int i = 0; i < 21; i++)
        twenty_zeros_and_crc += " 00";
    EXPECT_THAT(sent(), ElementsAre("8b 19 20" + twenty_zeros_and_crc, "8b 06 50 01 07", "8b 06 50 01 07"));
    EXPECT_EQ(model<coproc::BuzzerModel>([](auto &m) { return m.claims(); }), 0u);

    // A silent co-processor cannot be claimed: the open fails after one wait.
    board_.sim().set_silent(true);
    auto before = khost::sleeps_of_current();
    EXPECT_EQ(prog_.open("/dev/buzzer", 2), -EFAULT);
    EXPECT_LE((khost::sleeps_of_current() - before).timeouts, 1u);
    EXPECT_THAT(sent(), ElementsAre("8b 06 10 01 07"));
}

TEST_F(Sensors, Icm20689ReadsTheRegisterBlock)
{
    const int fd = open("icm20689");
    uint8_t data[20];
    EXPECT_EQ(prog_.read(fd, data, 12), 12);
    EXPECT_THAT(sent(), ElementsAre("8f 06 30 0c 24"));
    EXPECT_THAT(std::vector<uint8_t>(data, data + 6), ElementsAre(0, 0, 0, 0, 0x40, 0x00)) << "1 g on z at rest";
    model<coproc::Icm20689Model>([](auto &m) {
        m.set_accel(0.5, 0, 1);
        m.set_gyro(0, 0, -1);
    });
    // Chosen: reads of 16 to 20 bytes are served whole.
    std::fill(std::begin(data), std::end(data), 0xee);
    EXPECT_EQ(prog_.read(fd, data, 20), 20);
    EXPECT_THAT(std::vector<uint8_t>(data, data + 2), ElementsAre(0x20, 0x00));
    EXPECT_THAT(std::vector<uint8_t>(data + 12, data + 20), ElementsAre(0xff, 0x7d, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(prog_.read(fd, data, 21), -EINVAL);
    EXPECT_EQ(prog_.write(fd, data, 200), 200);
    EXPECT_THAT(sent(),
                ElementsAre("8f 06 30 14 " + hex(std::vector<uint8_t>{coproc::crc8(std::vector<uint8_t>{20})})));
    EXPECT_EQ(prog_.read(fd, data, 0), 0);
    // Chosen: no data from a failed exchange; -EIO instead of zeros.
    board_.sim().inject({.kind = coproc::FaultKind::NoReply});
    EXPECT_EQ(prog_.read(fd, data, 6), -EIO);
    board_.sim().inject({.kind = coproc::FaultKind::Status, .value = 2});
    EXPECT_EQ(prog_.read(fd, data, 6), -EIO);
    EXPECT_EQ(prog_.read(fd, khost::bad_user_pointer(), 6), -EFAULT);
}

TEST_F(Sensors, InfraredSendsAndReceives)
{
    const int send = open("ir_send");
    EXPECT_THAT(Board::log(), ElementsAre("minor 0 = ", "ir ioctl0  400a410a ", "ir ioctl1  c00a410b "));
    khost::log_clear();
    const int recv = static_cast<int>(prog_.open("/dev/ir_recv", 2));
    EXPECT_THAT(Board::log(), ElementsAre("minor 1 = ", "ir ioctl0  400a410a ", "ir ioctl1  c00a410b "));
    sent();

    uint8_t code[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(ioctl(send, IR_SEND_CMD, code), 0);
    EXPECT_THAT(sent(), ElementsAre("8d 0f 70 01 02 03 04 05 06 07 08 09 0a a4"));
    // Byte 0 below 47: one byte back (the codes waiting), 6-byte reply.
    uint8_t arg[10] = {46};
    EXPECT_EQ(ioctl(recv, IR_RECV_CMD, arg), 0);
    auto reqs = board_.sim().requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].reply_sent.size(), 6u);
    EXPECT_THAT(std::vector<uint8_t>(arg, arg + 3),
                ElementsAre(1, coproc::crc8(std::vector<uint8_t>{1}), reqs[0].raw.back()));
    EXPECT_THAT(std::vector<uint8_t>(arg + 3, arg + 10), ::testing::Each(0));
    // From 47 on: the code itself, a 9-byte reply.
    uint8_t take[10] = {47, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    sent();
    EXPECT_EQ(ioctl(recv, IR_RECV_CMD, take), 0);
    reqs = board_.sim().requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].raw[0], 0x8e);
    EXPECT_EQ(reqs[0].reply_sent.size(), 9u);
    EXPECT_THAT(take, ElementsAre(1, 2, 3, 4, coproc::crc8(code, 4), reqs[0].raw.back(), 0, 0, 0, 0));
    // A code from outside arrives the same way; the read gives the last taken.
    model<coproc::IrRecvModel>([](auto &m) { m.link().arrive({0x10, 0xef, 0x20, 0xdf}); });
    take[0] = 47;
    EXPECT_EQ(ioctl(recv, IR_RECV_CMD, take), 0);
    EXPECT_THAT(std::vector<uint8_t>(take, take + 4), ElementsAre(0x10, 0xef, 0x20, 0xdf));
    sent();
    khost::log_clear();
    uint8_t data[9];
    EXPECT_EQ(prog_.read(recv, data, 4), 4);
    EXPECT_THAT(sent(), ElementsAre("8e 06 30 04 1c"));
    EXPECT_THAT(std::vector<uint8_t>(data, data + 4), ElementsAre(0x10, 0xef, 0x20, 0xdf));
    EXPECT_EQ(prog_.read(recv, data, 9), -E2BIG);
    EXPECT_THAT(Board::log(), ElementsAre("minor = 1 ", "minor = 1 ")) << "printed also for the refused read";
    EXPECT_EQ(prog_.read(recv, data, 0), 0);

    // Writes: up to 20 bytes; an unreadable buffer sends nothing.
    khost::log_clear();
    uint8_t big[21] = {};
    EXPECT_EQ(prog_.write(send, big, 21), -E2BIG);
    EXPECT_THAT(Board::log(), ::testing::IsEmpty());
    EXPECT_EQ(prog_.write(send, khost::bad_user_pointer(), 4), -EFAULT);
    sent();
    EXPECT_EQ(prog_.write(send, big, 20), 20);
    EXPECT_EQ(sent().at(0).substr(0, 8), "8d 19 20");
    board_.sim().inject({.kind = coproc::FaultKind::WrongHead});
    EXPECT_EQ(prog_.write(send, big, 2), -EINVAL);
    board_.sim().inject({.kind = coproc::FaultKind::BadCrc});
    EXPECT_EQ(prog_.write(send, big, 2), 2) << "chosen: the CRC covers only the unused data byte";
    sent();
    board_.sim().inject({.kind = coproc::FaultKind::Status, .value = 2});
    EXPECT_EQ(prog_.write(send, big, 2), -EIO) << "mended: a refusal is not a count";
    EXPECT_EQ(sent().size(), 1u);

    // Mended: a failed exchange is -EIO after "return error".
    khost::log_clear();
    board_.sim().inject({.kind = coproc::FaultKind::NoReply});
    EXPECT_EQ(ioctl(send, IR_SEND_CMD, code), -EIO);
    EXPECT_TRUE(khost::log_contains("return error--------------"));
    board_.sim().inject({.kind = coproc::FaultKind::Status, .value = 2});
    EXPECT_EQ(ioctl(recv, IR_RECV_CMD, take), -EIO);
    board_.sim().inject({.kind = coproc::FaultKind::ShortReply});
    EXPECT_EQ(prog_.read(recv, data, 4), -EIO);
    board_.sim().inject({.kind = coproc::FaultKind::BadCrc});
    EXPECT_EQ(prog_.read(recv, data, 4), -EIO);
    board_.sim().inject({.kind = coproc::FaultKind::Status, .value = 2});
    EXPECT_EQ(prog_.read(recv, data, 4), 4) << "a refusal with a good frame is handed over";
    sent();
    EXPECT_EQ(ioctl(send, IR_SEND_CMD, nullptr), -EFAULT);
    EXPECT_EQ(prog_.ioctl(recv, IR_RECV_CMD, reinterpret_cast<unsigned long>(khost::bad_user_pointer())), -EFAULT);
    EXPECT_THAT(sent(), ::testing::IsEmpty());
    EXPECT_EQ(ioctl(recv, 0x400a410c, code), -ENOTTY);
    prog_.close(recv);
}

// Every operation that talks to a silent co-processor returns after one
// bounded wait for its first missing byte, with the result it is to give.
TEST_F(Sensors, SilentCoprocessorEveryOperationBounded)
{
    std::map<std::string, int> fds;
    for (const char *node : {"ws_2812", "buzzer", "dht", "ds18b20", "icm20689", "sr04", "gp2y1010au", "ir_send"})
        fds[node] = open(node);
    board_.sim().set_silent(true);
    uint8_t buf[20] = {1, 2, 3, 4};
    struct Op {
        const char *what;
        std::function<long()> call;
        long want;
        unsigned pauses = 0; // the exchange's 1 ms sleep
    };
    const std::vector<Op> ops = {
        {"ws2812 write", [&] { return prog_.write(fds["ws_2812"], buf, 5); }, -EFAULT, 1},
        {"buzzer write", [&] { return prog_.write(fds["buzzer"], buf, 5); }, -EFAULT},
        {"buzzer read", [&] { return prog_.read(fds["buzzer"], buf, 1); }, -EFAULT},
        {"dht ioctl", [&] { return ioctl(fds["dht"], DHT_IOCTL_CMD, buf); }, 0, 1},
        {"dht write", [&] { return prog_.write(fds["dht"], buf, 4); }, -EFAULT},
        {"ds18b20 ioctl", [&] { return ioctl(fds["ds18b20"], DS18B20_READ_CMD, buf); }, 0, 1},
        {"sr04 ioctl", [&] { return ioctl(fds["sr04"], SR04_READ_CMD, buf); }, 0, 1},
        {"gp2y ioctl", [&] { return ioctl(fds["gp2y1010au"], GP2Y_READ_CMD, buf); }, 0, 1},
        {"icm20689 read", [&] { return prog_.read(fds["icm20689"], buf, 20); }, -EIO},
        {"ir send", [&] { return ioctl(fds["ir_send"], IR_SEND_CMD, buf); }, -EIO},
        {"ir recv", [&] { return ioctl(fds["ir_send"], IR_RECV_CMD, buf); }, -EIO},
        {"ir read", [&] { return prog_.read(fds["ir_send"], buf, 8); }, -EIO},
        {"ir write", [&] { return prog_.write(fds["ir_send"], buf, 20); }, -EINVAL},
        {"buzzer close", [&] { return prog_.close(fds["buzzer"]); }, 0},
    };
    for (const auto &op : ops) {
        auto before = khost::sleeps_of_current();
        EXPECT_EQ(op.call(), op.want) << op.what;
        EXPECT_LE((khost::sleeps_of_current() - before).timeouts, 1u + op.pauses) << op.what;
    }
    EXPECT_EQ(board_.sim().requests().size(), ops.size());
}

} // namespace
