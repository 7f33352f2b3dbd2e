// N_TTY's flow and flushing as 4.4 has them: TCXONC through the driver's
// stop and start or a STOP/START character, TCIFLUSH keeping what the flip
// buffer still holds, and one reader at a time taking input.
#include <gmock/gmock.h>

#include "tty_fixture.hpp"

using ::testing::ElementsAre;

namespace {

class TtyFlow : public Tty {};

TEST_F(TtyFlow, TcxoncStopsAndStartsOutputThroughTheDriver)
{
    khost::Program p;
    int fd = open(p); // IXON, START ^Q, STOP ^S
    fake_.take_calls();
    EXPECT_EQ(p.ioctl(fd, TCXONC, TCOOFF), 0);
    EXPECT_EQ(p.ioctl(fd, TCXONC, TCOOFF), 0);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("stop")) << "once";
    receive("\x11");                    // START: output stopped by TCOOFF stays stopped
    flush_workqueue(system_unbound_wq); // the flip buffer's push
    EXPECT_TRUE(fake_.take_calls().empty());
    EXPECT_EQ(p.ioctl(fd, TCXONC, TCOON), 0);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("start"));
    receive("\x13");
    flush_workqueue(system_unbound_wq); // the flip buffer's push
    EXPECT_THAT(fake_.take_calls(), ElementsAre("stop")) << "IXON's STOP character";
    receive("\x11");
    flush_workqueue(system_unbound_wq); // the flip buffer's push
    EXPECT_THAT(fake_.take_calls(), ElementsAre("start"));

    fake_.take_written();
    EXPECT_EQ(p.ioctl(fd, TCXONC, TCIOFF), 0);
    EXPECT_EQ(p.ioctl(fd, TCXONC, TCION), 0);
    EXPECT_EQ(fake_.take_written(), "\x13\x11") << "STOP, then START, through the driver's write";
    termios t = get(p, fd);
    t.c_cc[VSTOP] = 0;
    set(p, fd, t);
    EXPECT_EQ(p.ioctl(fd, TCXONC, TCIOFF), 0);
    EXPECT_EQ(fake_.take_written(), "") << "a disabled STOP character is not sent";
    EXPECT_EQ(p.ioctl(fd, TCXONC, 4), -EINVAL);
    p.close(fd);
}

// TCIFLUSH drops the line discipline's input; bytes still in the flip
// buffer (the line discipline was full) come in afterwards.
TEST_F(TtyFlow, InputFlushKeepsTheFlipBuffer)
{
    khost::Program p;
    int fd = open(p);
    make_raw(p, fd);
    receive(std::string(N_TTY_BUF_SIZE - 1, 'a') + "xyz");
    int inq = 0;
    ASSERT_TRUE(wait_until([&] {
        p.ioctl(fd, TIOCINQ, reinterpret_cast<unsigned long>(&inq));
        return inq == N_TTY_BUF_SIZE - 1;
    }));
    EXPECT_EQ(p.ioctl(fd, TCFLSH, TCIFLUSH), 0);
    EXPECT_EQ(read_now(p, fd), "xyz");
    p.close(fd);
}

// A reader waiting for VMIN bytes holds the input: another file's
// non-blocking read of the same tty finds it busy instead of taking the
// bytes the first is waiting for.
TEST_F(TtyFlow, ReadersTakeInputOneAtATime)
{
    khost::Program a, b;
    int fa = open(a), fb = open(b, O_RDWR_ | O_NONBLOCK_);
    termios t = get(a, fa);
    t.c_lflag = ECHO;
    t.c_iflag = t.c_oflag = 0;
    t.c_cc[VMIN] = 2;
    t.c_cc[VTIME] = 0;
    set(a, fa, t);
    std::string got(2, '\0');
    long n = 0;
    std::thread reader([&] { n = a.read(fa, got.data(), 2); });
    ASSERT_TRUE(wait_until([&] { return has_waiter(&fake_.tty->read_wait); }));
    // The byte is in the line discipline while its echo is held in the
    // driver, before the reader is woken.
    fake_.hold_writes = true;
    receive("a");
    ASSERT_TRUE(wait_until([&] { return fake_.write_waiting.load(); }));
    char c;
    const long stolen = b.read(fb, &c, 1);
    EXPECT_EQ(stolen, -EAGAIN);
    fake_.hold_writes = false;
    receive(stolen == 1 ? "bc" : "b");
    reader.join();
    EXPECT_EQ(n, 2);
    EXPECT_EQ(got, "ab");
    a.close(fa);
    b.close(fb);
}

} // namespace
