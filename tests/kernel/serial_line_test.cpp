// The board's serial line: a real tty of the host behind "/dev/ttyS3", its
// tty ioctls, and the trace of what crossed it.
#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/serial.h>
#include <linux/termios.h>
#include <linux/uaccess.h>

#include <coproc/simulator.hpp>
#include <khost/kernel.hpp>
#include <khost/serial.hpp>

#include <gtest/gtest.h>
#include <tty_input.hpp>

#include <memory>

namespace {

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        khost::boot({sim_.tty_path(), 1000, 1});
        f_ = filp_open("/dev/ttyS3", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
        ASSERT_FALSE(IS_ERR(f_));
    }
    void TearDown() override
    {
        filp_close(f_, nullptr);
        khost::halt();
    }
    coproc::Simulator sim_;
    struct file *f_ = nullptr;
};

TEST_F(SerialLine, TermiosReachesTheRealTtyAndSerialIoctlsAreRefused)
{
    struct termios t = {};
    mm_segment_t old = get_fs();
    set_fs(KERNEL_DS);
    EXPECT_EQ(f_->f_op->unlocked_ioctl(f_, TCGETS, reinterpret_cast<unsigned long>(&t)), 0);
    t.c_cflag = B4000000 | CS8 | CREAD | CLOCAL;
    t.c_lflag = 0;
    EXPECT_EQ(f_->f_op->unlocked_ioctl(f_, TCSETS, reinterpret_cast<unsigned long>(&t)), 0);
    struct termios back = {};
    EXPECT_EQ(f_->f_op->unlocked_ioctl(f_, TCGETS, reinterpret_cast<unsigned long>(&back)), 0);
    EXPECT_EQ(back.c_cflag & CBAUD, static_cast<tcflag_t>(B4000000));
    struct serial_struct ss = {};
    EXPECT_EQ(f_->f_op->unlocked_ioctl(f_, TIOCGSERIAL, reinterpret_cast<unsigned long>(&ss)), -ENOTTY);
    set_fs(old);
}

TEST_F(SerialLine, ReadsDoNotBlockAndPollSeesData)
{
    char c;
    EXPECT_EQ(kernel_read(f_, 0, &c, 1), -EAGAIN);
    EXPECT_EQ(f_->f_op->poll(f_, nullptr) & POLLIN, 0u);
    sim_.send_unsolicited({0x42});
    ASSERT_TRUE(qtest::wait_for_input(sim_.tty_path(), 1));
    EXPECT_NE(f_->f_op->poll(f_, nullptr) & POLLIN, 0u);
    EXPECT_EQ(kernel_read(f_, 0, &c, 1), 1);
    EXPECT_EQ(c, 0x42);
}

// A read takes everything that has arrived into the line's buffer, as a
// tty's line discipline does; what it holds is still the line's input.
TEST_F(SerialLine, BufferedInputComesFirstAndCountsAsInput)
{
    mm_segment_t old = get_fs();
    set_fs(KERNEL_DS);
    auto queued = [&] {
        int n = -1;
        EXPECT_EQ(f_->f_op->unlocked_ioctl(f_, FIONREAD, reinterpret_cast<unsigned long>(&n)), 0);
        return n;
    };
    sim_.send_unsolicited({0x01, 0x02, 0x03});
    ASSERT_TRUE(qtest::wait_for_input(sim_.tty_path(), 3));
    char c = 0;
    EXPECT_EQ(kernel_read(f_, 0, &c, 1), 1);
    EXPECT_EQ(c, 0x01);
    EXPECT_FALSE(qtest::wait_for_input(sim_.tty_path(), 1, std::chrono::milliseconds(0))) << "the host holds none";
    EXPECT_EQ(queued(), 2);
    EXPECT_NE(f_->f_op->poll(f_, nullptr) & POLLIN, 0u) << "buffered bytes make the line readable";

    struct file *other = filp_open("/dev/ttyS3", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
    ASSERT_FALSE(IS_ERR(other));
    EXPECT_EQ(kernel_read(other, 0, &c, 1), 1) << "every open of the line shares its input";
    EXPECT_EQ(c, 0x02);
    filp_close(other, nullptr);

    sim_.send_unsolicited({0x04, 0x05});
    ASSERT_TRUE(qtest::wait_for_input(sim_.tty_path(), 2));
    EXPECT_EQ(queued(), 3);
    char rest[50] = {};
    ASSERT_EQ(kernel_read(f_, 0, rest, 50), 3) << "the buffered byte, then the host's";
    EXPECT_EQ(std::vector<char>(rest, rest + 3), (std::vector<char>{0x03, 0x04, 0x05}));
    EXPECT_EQ(kernel_read(f_, 0, rest, 50), -EAGAIN);
    set_fs(old);
}

TEST_F(SerialLine, BlockingLineTakesTheBufferedBytesFirst)
{
    sim_.send_unsolicited({0x01, 0x02, 0x03});
    ASSERT_TRUE(qtest::wait_for_input(sim_.tty_path(), 3));
    char c = 0;
    EXPECT_EQ(kernel_read(f_, 0, &c, 1), 1);
    struct file *blocking = filp_open("/dev/ttyS3", O_RDWR | O_NOCTTY, 0);
    ASSERT_FALSE(IS_ERR(blocking));
    char two[8] = {};
    EXPECT_EQ(kernel_read(blocking, 0, two, sizeof two), 2) << "what is buffered, without waiting for more";
    EXPECT_EQ(two[0], 0x02);
    sim_.send_unsolicited({0x04});
    EXPECT_EQ(kernel_read(blocking, 0, two, sizeof two), 1) << "then it waits for the line";
    EXPECT_EQ(two[0], 0x04);
    filp_close(blocking, nullptr);
}

TEST_F(SerialLine, InputFlushDiscardsBufferedBytes)
{
    sim_.send_unsolicited({0x01, 0x02, 0x03});
    ASSERT_TRUE(qtest::wait_for_input(sim_.tty_path(), 3));
    char c = 0;
    EXPECT_EQ(kernel_read(f_, 0, &c, 1), 1);
    EXPECT_EQ(f_->f_op->unlocked_ioctl(f_, TCFLSH, TCOFLUSH), 0);
    EXPECT_EQ(kernel_read(f_, 0, &c, 1), 1) << "an output flush keeps the input";
    EXPECT_EQ(c, 0x02);
    EXPECT_EQ(f_->f_op->unlocked_ioctl(f_, TCFLSH, TCIFLUSH), 0);
    EXPECT_EQ(kernel_read(f_, 0, &c, 1), -EAGAIN);
    EXPECT_EQ(f_->f_op->poll(f_, nullptr) & POLLIN, 0u);
}

TEST_F(SerialLine, TraceTellsRequestsRepliesAndDrainedBytes)
{
    khost::serial_trace_take();
    sim_.send_unsolicited({0x55, 0x56});
    ASSERT_TRUE(qtest::wait_for_input(sim_.tty_path(), 2));
    char drain[50];
    EXPECT_EQ(kernel_read(f_, 0, drain, 50), 2);
    const char version[6] = {char(0x8A), 0x06, 0x70, 0x1E, 0x5A, char(0x80)};
    EXPECT_EQ(kernel_write(f_, version, 6, 0), 6);
    ASSERT_TRUE(qtest::wait_for_input(sim_.tty_path(), 7));
    char reply[7];
    for (char &b : reply)
        EXPECT_EQ(kernel_read(f_, 0, &b, 1), 1);

    auto events = khost::serial_trace_take();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].dir, khost::SerialEvent::Dir::Drained);
    EXPECT_EQ(events[0].bytes, (std::vector<uint8_t>{0x55, 0x56}));
    EXPECT_EQ(events[1].dir, khost::SerialEvent::Dir::ToPeer);
    EXPECT_EQ(events[1].bytes.size(), 6u);
    EXPECT_EQ(events[2].dir, khost::SerialEvent::Dir::FromPeer);
    EXPECT_EQ(events[2].bytes.size(), 7u) << "one-byte reads make one reply";
    EXPECT_TRUE(khost::serial_trace_take().empty());
}

// A session that never asks for the trace keeps only its newest events.
TEST_F(SerialLine, TraceKeepsTheNewestEvents)
{
    khost::serial_trace_take();
    constexpr int writes = 10000; // more than the trace keeps, which is 8192
    for (int i = 0; i < writes; i++) {
        const char byte = static_cast<char>(i & 0x7f); // never a frame's head
        ASSERT_EQ(kernel_write(f_, &byte, 1, 0), 1);
    }
    auto events = khost::serial_trace_take();
    ASSERT_EQ(events.size(), 8192u);
    EXPECT_EQ(events.front().bytes, std::vector<uint8_t>{(writes - 8192) & 0x7f});
    EXPECT_EQ(events.back().bytes, std::vector<uint8_t>{(writes - 1) & 0x7f});
}

// The buffer must not hide a hang-up: the host's answer comes through.
TEST(SerialLineHungUp, ReadAndPollReportThePeerGone)
{
    auto sim = std::make_unique<coproc::Simulator>();
    khost::boot({sim->tty_path(), 1000, 1});
    struct file *f = filp_open("/dev/ttyS3", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
    ASSERT_FALSE(IS_ERR(f));
    sim.reset(); // closes the master side
    char c;
    EXPECT_EQ(kernel_read(f, 0, &c, 1), 0) << "end of file, as the host tty says";
    EXPECT_NE(f->f_op->poll(f, nullptr) & POLLHUP, 0u);
    filp_close(f, nullptr);
    khost::halt();
}

TEST(SerialLineAbsent, OpeningWithoutALineFails)
{
    khost::boot({"", 1000, 1});
    EXPECT_EQ(PTR_ERR(filp_open("/dev/ttyS3", O_RDWR, 0)), -ENOENT);
    EXPECT_EQ(PTR_ERR(filp_open("/dev/ttyS9", O_RDWR, 0)), -ENOENT);
    khost::halt();
}

} // namespace

// The line is this process's alone, as serial programs hold theirs: its own
// opens share it, another program's hold refuses it.
TEST_F(SerialLine, HeldExclusivelyAgainstOtherPrograms)
{
    EXPECT_EQ(qtest::hold_line(sim_.tty_path()), -1) << "the kernel's open holds the line";
    struct file *second = filp_open("/dev/ttyS3", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
    ASSERT_FALSE(IS_ERR(second)) << "a second open of this kernel shares it";
    filp_close(second, nullptr);
    filp_close(f_, nullptr);
    const int other = qtest::hold_line(sim_.tty_path());
    ASSERT_GE(other, 0) << "closed: free for others";
    f_ = filp_open("/dev/ttyS3", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
    EXPECT_EQ(PTR_ERR(f_), -EBUSY);
    qtest::release_line(other);
    f_ = filp_open("/dev/ttyS3", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
    ASSERT_FALSE(IS_ERR(f_));
}

// A peer that goes away hangs the line up; a new one under the configured
// path takes its place in the same kernel file, with the line's settings.
TEST(SerialLineReopen, HangUpSeenAndTheLineReopenedInPlace)
{
    auto peer = std::make_unique<coproc::Simulator>();
    khost::boot({peer->tty_path(), 1000, 1});
    struct file *line = filp_open("/dev/ttyS3", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
    ASSERT_FALSE(IS_ERR(line));
    struct termios t = {};
    mm_segment_t old = get_fs();
    set_fs(KERNEL_DS);
    ASSERT_EQ(line->f_op->unlocked_ioctl(line, TCGETS, reinterpret_cast<unsigned long>(&t)), 0);
    t.c_cflag = B4000000 | CS8 | CREAD | CLOCAL;
    ASSERT_EQ(line->f_op->unlocked_ioctl(line, TCSETS, reinterpret_cast<unsigned long>(&t)), 0);
    const char request[] = {'\x8a', 0x06, 0x70, 0x1e, 0x5a, '\x11'};
    EXPECT_EQ(kernel_write(line, request, sizeof request, 0), static_cast<ssize_t>(sizeof request));
    EXPECT_EQ(khost::serial_health().unanswered, 1u);

    peer.reset();
    EXPECT_LT(kernel_write(line, request, sizeof request, 0), 0);
    EXPECT_TRUE(khost::serial_health().hung_up);
    EXPECT_EQ(khost::serial_health().short_writes, 1u) << "a refused write is told apart";

    coproc::Simulator again;
    khost::set_serial_path(again.tty_path());
    ASSERT_EQ(khost::serial_reopen(), 0);
    EXPECT_FALSE(khost::serial_health().hung_up);
    struct termios back = {};
    ASSERT_EQ(line->f_op->unlocked_ioctl(line, TCGETS, reinterpret_cast<unsigned long>(&back)), 0);
    EXPECT_EQ(back.c_cflag & CBAUD, static_cast<tcflag_t>(B4000000)) << "the settings came along";
    set_fs(old);
    again.send_unsolicited({0x42});
    ASSERT_TRUE(qtest::wait_for_input(again.tty_path(), 1));
    char c = 0;
    EXPECT_EQ(kernel_read(line, 0, &c, 1), 1);
    EXPECT_EQ(c, 0x42);
    filp_close(line, nullptr);
    khost::halt();
}
