// The virtual serial port ttySP0 and the receive poller: the frames a write
// and a line setting send, byte for byte; the baud codes and their limits;
// the attributes; what the poller asks and hands on; a long stream without
// loss; programs using the port and the configuration device at once; and
// every start and probe failure of the port, through failure injection.
#include "board.hpp"

#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <coproc/models/uart.hpp>
#include <khost/fault.hpp>
#include <khost/tty.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using coproc::Bytes;
using qtest::Board;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const char *tty_node = "/dev/ttySP0";
const std::string tty_dir = "/sys/class/tty/ttySP0/";
constexpr int O_RDWR_ = 2, O_NONBLOCK_ = 04000;
constexpr short POLLIN_ = 1;

std::vector<coproc::RequestRecord> uart_requests(Board &b, uint8_t cmd = 0)
{
    std::vector<coproc::RequestRecord> out;
    for (auto &r : b.requests())
        if (r.frame.type() == coproc::DEV_TYPE_UART && (!cmd || r.frame.command == cmd))
            out.push_back(r);
    return out;
}

// Waits (up to about 10 s, so that a fault fails rather than hangs) until
// `n` bytes have been read from fd.
Bytes read_bytes(khost::Program &p, int fd, size_t n)
{
    Bytes got;
    for (int polls = 0; got.size() < n && polls < 100; polls++) {
        std::vector<khost::PollFd> fds{{fd, POLLIN_, 0}};
        if (p.poll(fds, 100) <= 0)
            continue;
        uint8_t buf[4096];
        long r = p.read(fd, buf, std::min(sizeof(buf), n - got.size()));
        if (r > 0)
            got.insert(got.end(), buf, buf + r);
    }
    return got;
}

std::string read_attr(const std::string &path)
{
    khost::Program p;
    long fd = p.open(path, 0);
    if (fd < 0)
        return "error " + std::to_string(fd);
    char buf[64] = {};
    long n = p.read(static_cast<int>(fd), buf, sizeof(buf) - 1);
    p.close(static_cast<int>(fd));
    return n < 0 ? "error " + std::to_string(n) : std::string(buf, static_cast<size_t>(n));
}

long write_attr(const std::string &path, const std::string &text)
{
    khost::Program p;
    long fd = p.open(path, 1);
    if (fd < 0)
        return fd;
    long n = p.write(static_cast<int>(fd), text.data(), text.size());
    p.close(static_cast<int>(fd));
    return n;
}

Bytes line_payload(Board &b)
{
    auto r = uart_requests(b, coproc::CMD_CONTROL);
    for (auto it = r.rbegin(); it != r.rend(); ++it)
        if (!it->frame.payload.empty() && it->frame.payload[0] == coproc::CTRL_SET_LINE)
            return it->frame.payload;
    return {};
}

class Serial : public ::testing::Test {
protected:
    Board board_{{"dev_uart=1"}};
    khost::Program p_;
    int fd_ = -1;

    void open_tty(int flags = O_RDWR_)
    {
        long fd = p_.open(tty_node, flags);
        ASSERT_GE(fd, 3);
        fd_ = static_cast<int>(fd);
    }

    // TCGETS, then `change`, then TCSETS; the termios as read back after.
    termios set(const std::function<void(termios &)> &change)
    {
        termios t{};
        EXPECT_EQ(p_.ioctl(fd_, TCGETS, reinterpret_cast<unsigned long>(&t)), 0);
        change(t);
        EXPECT_EQ(p_.ioctl(fd_, TCSETS, reinterpret_cast<unsigned long>(&t)), 0);
        termios back{};
        EXPECT_EQ(p_.ioctl(fd_, TCGETS, reinterpret_cast<unsigned long>(&back)), 0);
        return back;
    }

    termios set_speed(tcflag_t bits)
    {
        return set([&](termios &t) { t.c_cflag = (t.c_cflag & ~CBAUD) | bits; });
    }

    std::optional<coproc::UartLine> line()
    {
        return board_.sim().with_firmware([](coproc::Firmware &fw) { return fw.model<coproc::UartModel>().line(); });
    }
    Bytes sent()
    {
        return board_.sim().with_firmware([](coproc::Firmware &fw) { return fw.model<coproc::UartModel>().sent(); });
    }
    void feed(const Bytes &b) { EXPECT_EQ(board_.sim().feed_uart_rx(b), b.size()); }
};

TEST_F(Serial, WriteIsOneFrameAndReturnsItsCount)
{
    open_tty();
    board_.sim().clear_log();
    const uint8_t abc[] = {0x41, 0x42, 0x43};
    EXPECT_EQ(p_.write(fd_, abc, 3), 3);
    auto w = uart_requests(board_, coproc::CMD_WRITE);
    ASSERT_EQ(w.size(), 1u);
    const Bytes &raw = w[0].raw;
    ASSERT_EQ(raw.size(), 8u);
    EXPECT_THAT(Bytes(raw.begin(), raw.begin() + 6), ElementsAre(0x83, 0x08, 0x20, 0x41, 0x42, 0x43));
    EXPECT_EQ(raw[6], coproc::crc8(abc, 3));
    EXPECT_EQ(raw[7] & 0xC0, 0x80) << "tail 0x80..0xBF";
    EXPECT_EQ(w[0].reply_sent.size(), 6u);
    EXPECT_THAT(sent(), ElementsAre(0x41, 0x42, 0x43));
}

TEST_F(Serial, WriteCountIsReturnedWhateverTheReply)
{
    open_tty();
    board_.sim().set_silent(true);
    EXPECT_EQ(p_.write(fd_, "xy", 2), 2);
    board_.sim().set_silent(false);
}

// A write longer than one frame leaves in frames of at most 250 bytes, in
// order and without loss.
TEST_F(Serial, LongWriteLeavesInFramesOf250)
{
    open_tty();
    board_.sim().clear_log();
    Bytes data(600);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(p_.write(fd_, data.data(), data.size()), 600);
    std::vector<size_t> sizes;
    for (auto &r : uart_requests(board_, coproc::CMD_WRITE))
        sizes.push_back(r.frame.payload.size());
    EXPECT_THAT(sizes, ElementsAre(250, 250, 100));
    EXPECT_EQ(sent(), data);
}

TEST_F(Serial, LineSettingsFrameAndReadBack)
{
    open_tty();
    board_.sim().clear_log();
    termios back = set_speed(B115200);
    EXPECT_EQ(back.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
    // The receive poller's count queries are control requests too.
    auto c = uart_requests(board_, coproc::CMD_CONTROL);
    std::erase_if(c, [](const coproc::RequestRecord &r) {
        return r.frame.payload.empty() || r.frame.payload[0] != coproc::CTRL_SET_LINE;
    });
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(c[0].raw.size(), 11u);
    EXPECT_THAT(c[0].frame.payload, ElementsAre(0x10, 0x05, 0x08, 0x00, 0x01, 0x01));
    EXPECT_EQ(c[0].reply_sent.size(), 6u);
    ASSERT_TRUE(line().has_value());
    EXPECT_EQ(line()->baud_code, 5);
}

TEST_F(Serial, BaudCodesAndTheirLimits)
{
    open_tty();
    const struct {
        tcflag_t bits;
        uint8_t code;
    } table[] = {{B9600, 1},   {B19200, 2},  {B38400, 3},  {B57600, 4},   {B115200, 5}, {B230400, 6},
                 {B460800, 7}, {B500000, 8}, {B921600, 8}, {B1000000, 1}, {B1500000, 1}};
    for (const auto &row : table) {
        termios back = set_speed(row.bits);
        EXPECT_EQ(line_payload(board_)[1], row.code) << std::oct << row.bits;
        EXPECT_EQ(back.c_cflag & CBAUD, row.bits) << "kept in the termios";
    }
}

// A speed out of range is refused in the termios (speed bits cleared) and
// the previous speed is sent.
TEST_F(Serial, OutOfRangeSpeedSendsThePreviousOne)
{
    open_tty();
    set_speed(B19200);
    termios back = set_speed(B4800);
    EXPECT_EQ(back.c_cflag & CBAUD, 0u) << "reads back as speed 0";
    EXPECT_EQ(line_payload(board_)[1], 2);
    set_speed(B115200);
    back = set_speed(B2000000);
    EXPECT_EQ(back.c_cflag & CBAUD, 0u);
    EXPECT_EQ(line_payload(board_)[1], 5);
}

TEST_F(Serial, StopBitsParityAndSevenBitsLeaveTheFrameAlone)
{
    open_tty();
    for (tcflag_t flags : {tcflag_t(CSTOPB), tcflag_t(PARENB), tcflag_t(PARENB | PARODD)}) {
        set([&](termios &t) { t.c_cflag = (t.c_cflag & ~CBAUD) | B57600 | flags; });
        EXPECT_THAT(line_payload(board_), ElementsAre(0x10, 4, 8, 0, 1, 1));
    }
    set([](termios &t) { t.c_cflag = (t.c_cflag & ~(CSIZE | CREAD)) | CS7; });
    EXPECT_THAT(line_payload(board_), ElementsAre(0x10, 4, 8, 0, 1, 1));
    // Every request sends the frame, also when only local flags change.
    board_.sim().clear_log();
    set([](termios &t) { t.c_lflag |= ECHO; });
    EXPECT_EQ(line_payload(board_).size(), 6u);
}

TEST_F(Serial, RawByDefaultAndOpeningSendsNothing)
{
    board_.sim().clear_log();
    open_tty();
    termios t{};
    ASSERT_EQ(p_.ioctl(fd_, TCGETS, reinterpret_cast<unsigned long>(&t)), 0);
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag, 0xBFu);
    EXPECT_TRUE(line_payload(board_).empty());
    EXPECT_EQ(p_.ioctl(fd_, TIOCMGET, reinterpret_cast<unsigned long>(&t.c_iflag)), 0);
    EXPECT_EQ(t.c_iflag, 0u) << "no modem lines";
}

TEST_F(Serial, ReceiveBufferAttributeFeedsAReader)
{
    open_tty();
    EXPECT_EQ(write_attr(tty_dir + "vtty_receive_buff", "hello"), 5);
    EXPECT_EQ(read_bytes(p_, fd_, 5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(read_attr(tty_dir + "vtty_receive_buff"), "error -13") << "0200: not readable";
}

TEST_F(Serial, LoopbackFollowsOpensAndWrites)
{
    const std::string attr = tty_dir + "vtty_loopback";
    EXPECT_EQ(read_attr(attr), "0\n");
    open_tty();
    EXPECT_EQ(read_attr(attr), "1\n");
    EXPECT_EQ(write_attr(attr, "0"), 1);
    EXPECT_EQ(read_attr(attr), "0\n");
    EXPECT_EQ(write_attr(attr, "7x9"), 3) << "the whole write is taken";
    EXPECT_EQ(read_attr(attr), "1\n");
    EXPECT_EQ(write_attr(attr, "4294967296"), 10) << "low 32 bits: 0";
    EXPECT_EQ(read_attr(attr), "0\n");
    EXPECT_EQ(write_attr(attr, "1"), 1);
    khost::Program other;
    long fd2 = other.open(tty_node, O_RDWR_);
    ASSERT_GE(fd2, 3);
    EXPECT_EQ(other.close(static_cast<int>(fd2)), 0);
    EXPECT_EQ(read_attr(attr), "1\n") << "not the last close";
    EXPECT_EQ(p_.close(fd_), 0);
    EXPECT_EQ(read_attr(attr), "0\n");
    EXPECT_EQ(p_.ioctl(fd_, TCGETS, 0), -EBADF);
}

// A hangup goes through tty_port_hangup: the port shuts down, the file is
// cut off, and the next open starts afresh.
TEST_F(Serial, HangupShutsThePortDown)
{
    open_tty();
    EXPECT_EQ(read_attr(tty_dir + "vtty_loopback"), "1\n");
    EXPECT_EQ(p_.ioctl(fd_, 0x5437 /* TIOCVHANGUP */, 0), 0);
    EXPECT_EQ(read_attr(tty_dir + "vtty_loopback"), "0\n");
    uint8_t b;
    EXPECT_EQ(p_.read(fd_, &b, 1), 0);
    EXPECT_EQ(p_.write(fd_, "x", 1), -EIO);
    EXPECT_EQ(p_.close(fd_), 0);
    open_tty();
    EXPECT_EQ(read_attr(tty_dir + "vtty_loopback"), "1\n");
    EXPECT_EQ(p_.write(fd_, "y", 1), 1);
}

// Unbinding the port's device hangs its open tty up before the remove
// returns: the file's later writes and line settings fail as after a
// hangup, and no frame goes out for a device that is gone.
TEST_F(Serial, UnbindHangsTheOpenTtyUp)
{
    open_tty();
    ASSERT_EQ(p_.write(fd_, "a", 1), 1);
    ASSERT_EQ(write_attr("/sys/bus/platform/drivers/quorvel_tty_port_dev/unbind", "quorvel_tty_port_dev.0"), 22);
    board_.sim().clear_log();
    EXPECT_EQ(p_.write(fd_, "b", 1), -EIO);
    termios t{};
    EXPECT_EQ(p_.ioctl(fd_, TCGETS, reinterpret_cast<unsigned long>(&t)), -EIO);
    EXPECT_EQ(p_.ioctl(fd_, TCSETS, reinterpret_cast<unsigned long>(&t)), -EIO);
    std::vector<khost::PollFd> fds{{fd_, POLLIN_, 0}};
    EXPECT_EQ(p_.poll(fds, 0), 1);
    EXPECT_TRUE(fds[0].revents & 0x10) << "POLLHUP";
    EXPECT_TRUE(uart_requests(board_, coproc::CMD_WRITE).empty());
    EXPECT_TRUE(line_payload(board_).empty()) << "no line settings";
    EXPECT_EQ(p_.close(fd_), 0);
    EXPECT_EQ(p_.open(tty_node, O_RDWR_), -ENOENT);
}

TEST_F(Serial, WriteRoomIsTheFifoSize)
{
    open_tty();
    std::vector<khost::PollFd> fds{{fd_, 4, 0}};
    EXPECT_EQ(p_.poll(fds, 0), 1) << "POLLOUT: room in the FIFO";
    int out = -1;
    EXPECT_EQ(p_.ioctl(fd_, TIOCOUTQ, reinterpret_cast<unsigned long>(&out)), 0);
    EXPECT_EQ(out, 0);
}

// Line 1 exists in the driver's numbering but has no port: its install
// fails with -1 and the poller stays idle.
TEST_F(Serial, ASecondLinesInstallFails)
{
    ASSERT_EQ(khost::tty_register_line("quorvel_tty_driver", 1), 0);
    board_.sim().clear_log();
    khost::Program p;
    EXPECT_EQ(p.open("/dev/ttySP1", O_RDWR_), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(uart_requests(board_).empty()) << "uart_flag stayed 0";
    khost::tty_unregister_line("quorvel_tty_driver", 1);
    // Line 0 still opens.
    open_tty();
    EXPECT_TRUE(board_.sim().wait_for_requests(1, std::chrono::seconds(2)));
}

TEST_F(Serial, PollerIsSilentWhileTheTtyIsClosed)
{
    board_.sim().clear_log();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(board_.sim().request_count(), 0u);
    open_tty();
    ASSERT_TRUE(board_.sim().wait_for_requests(3, std::chrono::seconds(3)));
    auto counts = uart_requests(board_, coproc::CMD_CONTROL);
    ASSERT_FALSE(counts.empty());
    EXPECT_THAT(counts[0].frame.payload, ElementsAre(0x11));
    EXPECT_TRUE(uart_requests(board_, coproc::CMD_READ).empty()) << "a count of 0 asks for no data";
    EXPECT_EQ(p_.close(fd_), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(120)); // a cycle under way ends
    board_.sim().clear_log();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_TRUE(board_.requests().empty());
}

// A count of 255 asks for 240 bytes (payload F1) and reads 246; the rest
// comes in the next cycle, in order.
TEST_F(Serial, ACountOf255AsksFor240)
{
    Bytes data(300);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i);
    feed(data);
    board_.sim().clear_log();
    open_tty();
    EXPECT_EQ(read_bytes(p_, fd_, 300), data);
    auto reads = uart_requests(board_, coproc::CMD_READ);
    ASSERT_GE(reads.size(), 2u);
    EXPECT_THAT(reads[0].frame.payload, ElementsAre(0xF1));
    EXPECT_EQ(reads[0].reply_sent.size(), 246u);
    EXPECT_THAT(reads[1].frame.payload, ElementsAre(60 + 1));
}

// A co-processor that claims more bytes than were asked for: only the bytes
// of the reply read are handed on.
class OverclaimingUart : public coproc::UartModel {
public:
    coproc::Reply handle(const coproc::Frame &req) override
    {
        if (req.command == coproc::CMD_CONTROL && !req.payload.empty() && req.payload[0] == coproc::CTRL_RX_COUNT)
            return {coproc::STATUS_DONE, Bytes{5}};
        if (req.command == coproc::CMD_READ) {
            Bytes out(req.payload[0], 0xEE);
            out[0] = 200;
            for (size_t i = 1; i < out.size(); i++)
                out[i] = static_cast<uint8_t>('a' + i - 1);
            return {coproc::STATUS_DONE, out};
        }
        return UartModel::handle(req);
    }
};

TEST_F(Serial, ADataCountBeyondTheRequestHandsOnOnlyWhatWasRead)
{
    board_.sim().with_firmware([](coproc::Firmware &fw) { fw.add_model(std::make_unique<OverclaimingUart>()); });
    open_tty();
    Bytes got = read_bytes(p_, fd_, 10);
    EXPECT_EQ(std::string(got.begin(), got.end()), "abcdeabcde");
    EXPECT_THAT(uart_requests(board_, coproc::CMD_READ)[0].frame.payload, ElementsAre(6));
}

// The reader blocks until bytes arrive, and gets them as the remote side
// sent them, across cycles.
TEST_F(Serial, ABlockedReaderGetsTheRemoteBytesInOrder)
{
    open_tty();
    Bytes got;
    std::thread reader([&] {
        uint8_t buf[64];
        while (got.size() < 12) {
            long n = p_.read(fd_, buf, sizeof(buf));
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
    });
    feed(Bytes{'f', 'i', 'r', 's', 't', ' '});
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    feed(Bytes{'s', 'e', 'c', 'o', 'n', 'd'});
    reader.join();
    EXPECT_EQ(std::string(got.begin(), got.end()), "first second");
}

TEST_F(Serial, NonBlockingReadOfNothingIsEAGAIN)
{
    open_tty(O_RDWR_ | O_NONBLOCK_);
    uint8_t b;
    EXPECT_EQ(p_.read(fd_, &b, 1), -EAGAIN);
}

// A long stream arrives whole and in order, fed as fast as the
// co-processor's buffer takes it.
TEST_F(Serial, ALongStreamArrivesWithoutLoss)
{
    constexpr size_t total = 12 * 1024;
    Bytes data(total);
    for (size_t i = 0; i < total; i++)
        data[i] = static_cast<uint8_t>((i * 31) ^ (i >> 8));
    open_tty();
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        size_t at = 0;
        while (at < total && !done) {
            size_t room = coproc::kUartRxCapacity - board_.sim().uart_rx_waiting();
            size_t n = std::min(room, total - at);
            at += board_.sim().feed_uart_rx(std::span(data).subspan(at, n));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    Bytes got;
    for (int i = 0; i < 100 && got.size() < total; i++) {
        Bytes more = read_bytes(p_, fd_, total - got.size());
        got.insert(got.end(), more.begin(), more.end());
    }
    done = true;
    feeder.join();
    EXPECT_EQ(got.size(), total);
    EXPECT_TRUE(got == data) << "in order, nothing lost";
    EXPECT_EQ(board_.sim().with_firmware([](coproc::Firmware &fw) { return fw.uart_rx_lost(); }), 0u);
}

// A reader and a writer on ttySP0 while other programs use the
// configuration device: every exchange keeps to itself.
TEST_F(Serial, ReaderWriterAndConfigurationDeviceAtOnce)
{
    open_tty();
    Bytes incoming(1000);
    for (size_t i = 0; i < incoming.size(); i++)
        incoming[i] = static_cast<uint8_t>(i);
    feed(incoming);
    Bytes got;
    std::thread reader([&] { got = read_bytes(p_, fd_, incoming.size()); });
    std::thread writer([&] {
        khost::Program w;
        long fd = w.open(tty_node, O_RDWR_);
        for (int i = 0; i < 40; i++) {
            uint8_t chunk[10];
            for (int j = 0; j < 10; j++)
                chunk[j] = static_cast<uint8_t>(i);
            EXPECT_EQ(w.write(static_cast<int>(fd), chunk, sizeof(chunk)), 10);
        }
        w.close(static_cast<int>(fd));
    });
    std::vector<std::thread> configs;
    for (int t = 0; t < 2; t++)
        configs.emplace_back([] {
            khost::Program c;
            long fd = c.open("/dev/quorvel_config", O_RDWR_);
            for (int i = 0; i < 20; i++) {
                uint8_t v[2] = {};
                EXPECT_EQ(c.ioctl(static_cast<int>(fd), 0x5201, reinterpret_cast<unsigned long>(v)), 0);
                EXPECT_EQ(v[0], 0x01);
            }
            c.close(static_cast<int>(fd));
        });
    writer.join();
    for (auto &t : configs)
        t.join();
    reader.join();
    EXPECT_EQ(got, incoming);
    Bytes out = sent();
    ASSERT_EQ(out.size(), 400u);
    for (size_t i = 0; i < out.size(); i++)
        ASSERT_EQ(out[i], i / 10) << "writes keep their order, each one frame";
}

TEST_F(Serial, UnloadIsRefusedWhileOpenAndLeavesNothingAfter)
{
    open_tty();
    EXPECT_EQ(board_.unload(), -EBUSY);
    EXPECT_EQ(p_.close(fd_), 0);
    // The tty's release, with its module reference, follows on the system
    // work queue: the unload waits for it as a program would.
    ASSERT_EQ(board_.unload_when_free(), 0);
    khost::Program p;
    std::vector<khost::DirEntry> entries;
    EXPECT_EQ(p.list("/sys/class/tty", &entries), 0);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(p.open(tty_node, O_RDWR_), -ENOENT);
    EXPECT_EQ(p.list("/sys/devices/platform/quorvel_tty_port_dev.0", &entries), -ENOENT);
}

// The run-time start: ttySP0 appears on CONFIG_IOCTL_ENABLE_ALL.
TEST(SerialStart, EnableAllStartsThePort)
{
    Board board;
    khost::Program p;
    EXPECT_EQ(p.open(tty_node, O_RDWR_), -ENOENT);
    long cfg = p.open("/dev/quorvel_config", O_RDWR_);
    ASSERT_EQ(p.ioctl(static_cast<int>(cfg), 0x4102, 0), 0);
    long fd = p.open(tty_node, O_RDWR_);
    EXPECT_GE(fd, 3);
    EXPECT_EQ(p.write(static_cast<int>(fd), "z", 1), 1);
    p.close(static_cast<int>(fd));
    p.close(static_cast<int>(cfg));
}

// Each fallible call of the port's start and probe failed in turn: the
// run-time start still answers 0, nothing is left half made, the unload is
// clean and the next load has a working port.
TEST(SerialFaults, EveryCallOfTheStartFailedInTurn)
{
    Board board;
    auto enable_all = [] {
        khost::Program p;
        long cfg = p.open("/dev/quorvel_config", O_RDWR_);
        EXPECT_EQ(p.ioctl(static_cast<int>(cfg), 0x4102, 0), 0);
        p.close(static_cast<int>(cfg));
    };
    khost::fail_clear();
    enable_all();
    const unsigned calls = khost::fail_calls("");
    ASSERT_GE(calls, 6u);
    ASSERT_EQ(board.unload_when_free(), 0);
    for (unsigned n = 1; n <= calls; n++) {
        ASSERT_EQ(board.load(), 0);
        khost::fail_nth("", n);
        enable_all();
        const auto forced = khost::fail_forced();
        khost::fail_clear();
        const std::string context = "call " + std::to_string(n) + (forced.empty() ? "" : ": " + forced[0]);
        khost::Program p;
        long fd = p.open(tty_node, O_RDWR_);
        // Other drivers start here too; only these names are certainly the
        // port's own (its attribute group is failed by name below).
        const bool serial_call = !forced.empty() && (forced[0].starts_with("tty_") || forced[0] == "kfifo_alloc");
        if (serial_call) {
            EXPECT_LT(fd, 0) << context;
        }
        if (fd >= 0)
            p.close(static_cast<int>(fd));
        ASSERT_EQ(board.unload_when_free(), 0) << context;
        std::vector<khost::DirEntry> entries;
        if (p.list("/sys/class/tty", &entries) == 0) {
            EXPECT_TRUE(entries.empty()) << context;
        }
        EXPECT_EQ(p.list("/sys/bus/platform/drivers/quorvel_tty_port_dev", &entries), -ENOENT) << context;
    }
    // And a clean load afterwards works.
    ASSERT_EQ(board.load({"dev_uart=1"}), 0);
    khost::Program p;
    long fd = p.open(tty_node, O_RDWR_);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(p.write(static_cast<int>(fd), "ok", 2), 2);
    p.close(static_cast<int>(fd));
}

// Named failures of each step, checking what each leaves.
TEST(SerialFaults, EachStepsFailureLeavesNoLine)
{
    for (const char *name :
         {"platform_device_register", "tty_alloc_driver", "tty_register_driver", "register_chrdev_region",
          "platform_driver_register", "kfifo_alloc", "tty_register_device", "sysfs_create_group"}) {
        Board board;
        ASSERT_EQ(board.unload(), 0);
        khost::fail_nth(name, 1);
        ASSERT_EQ(board.load({"dev_uart=1"}), 0) << name;
        khost::fail_clear();
        khost::Program p;
        EXPECT_EQ(p.open(tty_node, O_RDWR_), -ENOENT) << name;
        std::vector<khost::DirEntry> entries;
        if (p.list("/sys/class/tty", &entries) == 0) {
            EXPECT_TRUE(entries.empty()) << name;
        }
        ASSERT_EQ(board.unload_when_free(), 0) << name;
        ASSERT_EQ(board.load({"dev_uart=1"}), 0) << name;
        long fd = p.open(tty_node, O_RDWR_);
        EXPECT_GE(fd, 3) << name;
        p.close(static_cast<int>(fd));
    }
}

} // namespace
