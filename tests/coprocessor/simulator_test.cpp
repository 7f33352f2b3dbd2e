// End to end through the pseudo-terminal, with the test playing the module:
// plain POSIX I/O on the slave path. A reply is waited for as long as a
// loaded machine may need; only silence is checked with a short wait, which
// can pass wrongly on a slow machine but never fail wrongly.
#include "coproc/simulator.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

using namespace coproc;
using namespace std::chrono_literals;

namespace {

class Line {
public:
    explicit Line(const std::string &path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    explicit Line(int fd) : fd_(fd) {}
    ~Line() { ::close(fd_); }
    [[nodiscard]] bool ok() const { return fd_ >= 0; }

    void write(const Bytes &b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), (ssize_t)b.size()); }

    // Reads until n bytes arrived or the line stayed quiet for `quiet`.
    Bytes read(size_t n, std::chrono::milliseconds quiet = 5s)
    {
        Bytes out;
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0)
                break;
            uint8_t buf[512];
            const ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (got > 0)
                out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    Bytes exchange(const Bytes &request, size_t reply_len, std::chrono::milliseconds quiet = 5s)
    {
        write(request);
        return read(reply_len, quiet);
    }

private:
    int fd_;
};

Bytes version_request(uint8_t tail = 0xA3)
{
    return encode_request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_VERSION}, tail);
}

size_t open_fds()
{
    size_t n = 0;
    DIR *d = ::opendir("/proc/self/fd");
    while (dirent *e = ::readdir(d))
        n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
}

// The niceness of each of this process's threads.
std::vector<int> thread_nices()
{
    std::vector<int> nices;
    DIR *d = ::opendir("/proc/self/task");
    while (dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        for (int i = 0; i <= 16 && fields >> field; i++) // field 19, nice, is the 17th after the name
            ;
        nices.push_back(std::stoi(field));
    }
    ::closedir(d);
    return nices;
}

} // namespace

// The service thread asks for a larger share of the processor, so that a
// busy host does not keep it from answering within the module's wait.
TEST(SimulatorPty, ServiceThreadRunsAtItsOwnHigherPriority)
{
    bool allowed = false;
    std::thread([&] {
        allowed = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), Simulator::kServiceNice) == 0;
    }).join();
    if (!allowed)
        GTEST_SKIP() << "this host does not let a thread raise its priority";
    Simulator sim;
    Line line(sim.tty_path());
    ASSERT_TRUE(line.ok());
    ASSERT_EQ(line.exchange(version_request(), 7).size(), 7u) << "the service thread is running";
    const auto nices = thread_nices();
    EXPECT_EQ(std::count(nices.begin(), nices.end(), Simulator::kServiceNice), 1) << "the service thread alone";
}

TEST(SimulatorPty, VersionRequestGetsTheSevenByteReply)
{
    Simulator sim;
    Line line(sim.tty_path());
    ASSERT_TRUE(line.ok());
    const Bytes reply = line.exchange(version_request(0xA3), 7);
    EXPECT_EQ(reply, (Bytes{0x8A, 0x07, 0x70, 0x01, 0x07, crc8(Bytes{0x01, 0x07}), 0xA3}));
    ASSERT_TRUE(sim.wait_for_requests(1, 1s));
    auto log = sim.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].raw, version_request(0xA3));
    EXPECT_TRUE(log[0].crc_ok);
    EXPECT_EQ(log[0].reply_sent, reply);
    EXPECT_EQ(sim.reply_count(), 1u);
}

// A long session keeps the simulator's size: its log holds the newest
// requests only, while its counts go on.
TEST(SimulatorPty, LogKeepsTheNewestRequestsAndCountsThemAll)
{
    Simulator sim;
    Line line(sim.tty_path());
    const size_t total = Simulator::kMaxLogged + 5;
    for (size_t i = 0; i < total; i++)
        ASSERT_EQ(line.exchange(version_request(static_cast<uint8_t>(i)), 7).size(), 7u) << i;
    ASSERT_TRUE(sim.wait_for_requests(total, 1s));
    EXPECT_EQ(sim.reply_count(), total);
    auto log = sim.requests();
    ASSERT_EQ(log.size(), Simulator::kMaxLogged);
    EXPECT_EQ(log.front().raw, version_request(5));
    EXPECT_EQ(log.back().raw, version_request(static_cast<uint8_t>(total - 1)));
}

TEST(SimulatorPty, TableWriteThenReadAndTheLogKeepsBoth)
{
    Simulator sim;
    Line line(sim.tty_path());
    Bytes w = line.exchange(encode_request(DEV_TYPE_CONFIG, CMD_WRITE, Bytes{5, 1, 1}, 0x91), 6);
    ASSERT_EQ(w.size(), 6u);
    EXPECT_EQ(w[2], 0x20);
    EXPECT_TRUE(sim.table_valid());
    Bytes r = line.exchange(encode_request(DEV_TYPE_CONFIG, CMD_READ, Bytes{49}, 0x92), 54);
    ASSERT_EQ(r.size(), 54u);
    EXPECT_EQ(r[3 + 5], 0x01);
    EXPECT_EQ(r[51], kTableValidMarker);
}

TEST(SimulatorPty, ResetIsUnansweredAndBootBytesFollow)
{
    SimulatorOptions opt;
    opt.boot_bytes = Bytes{'B', 'O', 'O', 'T'};
    Simulator sim(opt);
    sim.set_table(PinTable{});
    sim.feed_uart_rx(Bytes{1, 2});
    Line line(sim.tty_path());
    line.write(encode_request(DEV_TYPE_CONFIG, CMD_CONTROL, Bytes{CTRL_RESET}, 0x80));
    EXPECT_EQ(line.read(4), (Bytes{'B', 'O', 'O', 'T'}));
    EXPECT_EQ(sim.reset_count(), 1u);
    EXPECT_FALSE(sim.table_valid());
    EXPECT_EQ(sim.uart_rx_waiting(), 0u);
    EXPECT_EQ(sim.reply_count(), 0u);
}

TEST(SimulatorPty, NoiseBeforeARequestIsSkipped)
{
    Simulator sim;
    Line line(sim.tty_path());
    Bytes noisy{0x00, 0x41, 0xFF};
    const Bytes req = version_request();
    noisy.insert(noisy.end(), req.begin(), req.end());
    EXPECT_EQ(line.exchange(noisy, 7).size(), 7u);
    EXPECT_EQ(sim.dropped_bytes(), 3u);
}

TEST(SimulatorPty, StalledPartialFrameIsGivenUp)
{
    SimulatorOptions opt;
    opt.partial_timeout = 20ms;
    Simulator sim(opt);
    Line line(sim.tty_path());
    line.write(Bytes{0x8A, 40}); // claims 40 bytes that never come
    for (int i = 0; i < 1000 && sim.dropped_bytes() == 0; i++)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(sim.dropped_bytes(), 2u) << "the stalled head and its length byte are given up";
    EXPECT_EQ(line.exchange(version_request(), 7).size(), 7u);
    EXPECT_EQ(sim.dropped_bytes(), 2u);
}

TEST(SimulatorPty, BadCrcIsAnsweredWithStatusE)
{
    Simulator sim;
    Line line(sim.tty_path());
    Bytes req = version_request();
    req[4] ^= 0x01;
    const Bytes reply = line.exchange(req, 7);
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ(reply[2], 0x70 | STATUS_BAD_CRC);
    EXPECT_EQ(sim.bad_crc_count(), 1u);
}

TEST(SimulatorFaults, LostLateAndStaleRepliesOnTheLine)
{
    Simulator sim;
    Line line(sim.tty_path());
    sim.inject({FaultKind::NoReply});
    EXPECT_TRUE(line.exchange(version_request(), 7, 100ms).empty());
    // The lost reply's request was still carried out and logged.
    EXPECT_EQ(sim.request_count(), 1u);

    sim.inject({FaultKind::Delay, 150});
    line.write(version_request());
    EXPECT_TRUE(line.read(7, 60ms).empty());
    EXPECT_EQ(line.read(7).size(), 7u);

    sim.inject({FaultKind::StaleBytes, 2});
    EXPECT_EQ(line.exchange(version_request(0x8C), 9), (Bytes{0x55, 0x55, 0x8A, 0x07, 0x70, 0x01, 0x07, 0x00, 0x8C}));

    sim.inject({FaultKind::ShortReply, 2});
    EXPECT_EQ(line.exchange(version_request(), 5).size(), 5u);
    EXPECT_TRUE(line.read(1, 100ms).empty());
    EXPECT_EQ(line.exchange(version_request(), 7).size(), 7u); // one reply only
}

TEST(SimulatorFaults, SilentModeNeitherDoesNorAnswers)
{
    Simulator sim;
    Line line(sim.tty_path());
    sim.set_silent(true);
    EXPECT_TRUE(line.exchange(encode_request(DEV_TYPE_CONFIG, CMD_WRITE, Bytes{0, 1}, 0x80), 6, 100ms).empty());
    EXPECT_FALSE(sim.table_valid());
    ASSERT_EQ(sim.requests().size(), 1u);
    EXPECT_FALSE(sim.requests()[0].answered);
    sim.set_silent(false);
    EXPECT_EQ(line.exchange(version_request(), 7).size(), 7u);
}

TEST(SimulatorPty, UnsolicitedBytesAndReceiveDataReachTheLine)
{
    Simulator sim;
    Line line(sim.tty_path());
    sim.send_unsolicited(Bytes{0x21, 0x22});
    EXPECT_EQ(line.read(2), (Bytes{0x21, 0x22}));
    sim.feed_uart_rx(Bytes{'x', 'y'});
    Bytes count = line.exchange(encode_request(DEV_TYPE_UART, CMD_CONTROL, Bytes{0x11}, 0x80), 6);
    ASSERT_EQ(count.size(), 6u);
    EXPECT_EQ(count[3], 2);
    Bytes data = line.exchange(encode_request(DEV_TYPE_UART, CMD_READ, Bytes{3}, 0x80), 8);
    EXPECT_EQ(Bytes(data.begin() + 3, data.begin() + 6), (Bytes{2, 'x', 'y'}));
}

// QEMU's serial port takes a socket: once one is opened the simulator
// serves it, a peer that goes leaves it serving the next, and a socket
// never taken up is closed with the simulator.
TEST(SimulatorSocket, ASocketLineIsServedAndOutlivesItsPeer)
{
    const size_t before = open_fds();
    {
        Simulator sim;
        {
            Line first(sim.open_socket_line());
            EXPECT_EQ(first.exchange(version_request(0xA3), 7).size(), 7u);
        }
        Line second(sim.open_socket_line());
        const Bytes reply = second.exchange(version_request(0xB5), 7);
        ASSERT_EQ(reply.size(), 7u);
        EXPECT_EQ(reply.back(), 0xB5);
        sim.send_unsolicited(Bytes{0x55, 0xAA});
        EXPECT_EQ(second.read(2), (Bytes{0x55, 0xAA}));
        EXPECT_EQ(sim.request_count(), 2u);
        ::close(sim.open_socket_line()); // its other end is never served
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(SimulatorLifetime, TwoHundredSimulatorsLeakNoFd)
{
    const size_t before = open_fds();
    for (int i = 0; i < 200; ++i) {
        Simulator sim;
        if (i % 50 == 0) { // some of them with a user and a pending fault
            Line line(sim.tty_path());
            sim.inject({FaultKind::Delay, 10000});
            line.write(version_request());
            ASSERT_TRUE(sim.wait_for_requests(1, 1s));
        }
    }
    EXPECT_EQ(open_fds(), before);
}
