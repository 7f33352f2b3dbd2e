// The tty core as a tty driver and a program see it: the order of the
// driver's and the port's callbacks over opens and closes, an install that
// fails, port references, the N_TTY line discipline (raw and canonical
// reads, echo, VMIN/VTIME, O_NONBLOCK, poll, flow into a full buffer),
// termios requests and the speed helpers, the write's chunking, hangup,
// and kfifo.
#include <linux/kfifo.h>

#include <gmock/gmock.h>

#include "tty_fixture.hpp"

using ::testing::ElementsAre;

namespace {

TEST_F(Tty, CallbacksInTheKernelsOrder)
{
    khost::Program a, b;
    int fa = open(a), fb = open(b);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("install 0", "open", "activate", "open"))
        << "activate inside the driver's tty_port_open, on the first open only";
    EXPECT_EQ(a.close(fa), 0);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("close"));
    EXPECT_EQ(b.close(fb), 0);
    // The last close: the port shuts down and the tty is removed; its
    // cleanup follows on the system work queue.
    EXPECT_THAT(calls_after_release(), ElementsAre("close", "shutdown", "remove", "cleanup"));
    EXPECT_FALSE(fake_.destructed) << "the driver still holds its reference";
    EXPECT_EQ(kref_read(&fake_.port.kref), 1u);
}

TEST_F(Tty, AFailedInstallLeavesNothingAndCallsNoCleanup)
{
    fake_.install_error = -EPERM;
    khost::Program p;
    EXPECT_EQ(p.open("/dev/ttyFK0", O_RDWR_), -EPERM);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("install 0"));
    EXPECT_EQ(kref_read(&driver_->kref), 1u);
    fake_.install_error = 0;
    int fd = open(p);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("install 0", "open", "activate"));
    p.close(fd);
}

TEST_F(Tty, ALineWithoutADeviceHasNoNode)
{
    khost::Program p;
    EXPECT_EQ(p.open("/dev/ttyFK1", O_RDWR_), -ENOENT);
    EXPECT_TRUE(fake_.take_calls().empty());
}

TEST_F(Tty, RawReadsTakeWhatArrived)
{
    khost::Program p;
    int fd = open(p);
    make_raw(p, fd);
    receive("abc");
    EXPECT_EQ(read_now(p, fd, 2), "ab");
    EXPECT_EQ(read_now(p, fd), "c");
    p.close(fd);
}

// A tty has no position (4.4's tty_open makes it nonseekable): pread,
// pwrite and lseek are refused before the line discipline sees them, and
// the input stays for read.
TEST_F(Tty, PreadPwriteAndLseekAreRefused)
{
    khost::Program p;
    int fd = open(p);
    make_raw(p, fd);
    receive("abc");
    char buf[4];
    EXPECT_EQ(p.pread(fd, buf, 1, 0), -ESPIPE);
    EXPECT_EQ(p.pwrite(fd, "x", 1, 0), -ESPIPE);
    EXPECT_EQ(p.lseek(fd, 0, 0), -ESPIPE);
    EXPECT_EQ(read_now(p, fd), "abc");
    p.close(fd);
}

// The tty core's own requests, before the driver and the line discipline:
// the window size kept, the line discipline N_TTY and no other, a character
// put into the input, break.
TEST_F(Tty, WindowSizeAndLineDisciplineRequests)
{
    khost::Program p;
    int fd = open(p);
    unsigned short ws[4] = {24, 80, 0, 0}, back[4] = {};
    EXPECT_EQ(p.ioctl(fd, TIOCGWINSZ, reinterpret_cast<unsigned long>(back)), 0);
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(p.ioctl(fd, TIOCSWINSZ, reinterpret_cast<unsigned long>(ws)), 0);
    EXPECT_EQ(p.ioctl(fd, TIOCGWINSZ, reinterpret_cast<unsigned long>(back)), 0);
    EXPECT_EQ(back[0], 24);
    EXPECT_EQ(back[1], 80);
    EXPECT_EQ(p.ioctl(fd, TIOCGWINSZ, reinterpret_cast<unsigned long>(khost::bad_user_pointer())), -EFAULT);
    int ldisc = -1;
    EXPECT_EQ(p.ioctl(fd, TIOCGETD, reinterpret_cast<unsigned long>(&ldisc)), 0);
    EXPECT_EQ(ldisc, 0);
    EXPECT_EQ(p.ioctl(fd, TIOCSETD, reinterpret_cast<unsigned long>(&ldisc)), 0);
    ldisc = 99;
    EXPECT_EQ(p.ioctl(fd, TIOCSETD, reinterpret_cast<unsigned long>(&ldisc)), -EINVAL);
    // A character put into the input as if it had arrived.
    make_raw(p, fd);
    EXPECT_EQ(p.ioctl(fd, TIOCSTI, reinterpret_cast<unsigned long>("z")), 0);
    EXPECT_EQ(read_now(p, fd), "z");
    // Break on and off, and a timed one: the driver has no break_ctl, so
    // there is nothing to do.
    EXPECT_EQ(p.ioctl(fd, TIOCSBRK, 0), 0);
    EXPECT_EQ(p.ioctl(fd, TIOCCBRK, 0), 0);
    EXPECT_EQ(p.ioctl(fd, TCSBRKP, 0), 0);
    // The System V settings: the low half of each flag word.
    struct {
        unsigned short iflag, oflag, cflag, lflag;
        unsigned char line, cc[8];
    } termio{};
    EXPECT_EQ(p.ioctl(fd, TCGETA, reinterpret_cast<unsigned long>(&termio)), 0);
    EXPECT_NE(termio.cflag & CS8, 0);
    termio.iflag = static_cast<unsigned short>(termio.iflag ^ ICRNL);
    const unsigned short iflag = termio.iflag;
    EXPECT_EQ(p.ioctl(fd, TCSETA, reinterpret_cast<unsigned long>(&termio)), 0);
    EXPECT_EQ(p.ioctl(fd, TCGETA, reinterpret_cast<unsigned long>(&termio)), 0);
    EXPECT_EQ(termio.iflag, iflag);
    p.close(fd);
}

// FIONBIO is the VFS's, for every file: it sets and clears O_NONBLOCK.
TEST_F(Tty, FionbioSetsAndClearsNonBlocking)
{
    khost::Program p;
    int fd = open(p);
    int on = 1;
    EXPECT_EQ(p.ioctl(fd, FIONBIO, reinterpret_cast<unsigned long>(&on)), 0);
    EXPECT_NE(p.get_flags(fd) & 04000, 0);
    on = 0;
    EXPECT_EQ(p.ioctl(fd, FIONBIO, reinterpret_cast<unsigned long>(&on)), 0);
    EXPECT_EQ(p.get_flags(fd) & 04000, 0);
    EXPECT_EQ(p.ioctl(fd, FIONBIO, reinterpret_cast<unsigned long>(khost::bad_user_pointer())), -EFAULT);
    p.close(fd);
}

TEST_F(Tty, NonBlockingAndVminVtime)
{
    khost::Program p;
    int fd = open(p, O_RDWR_ | O_NONBLOCK_);
    make_raw(p, fd);
    char c;
    EXPECT_EQ(p.read(fd, &c, 1), -EAGAIN);
    p.close(fd);
    fd = open(p);
    make_raw(p, fd, 0, 0);
    EXPECT_EQ(p.read(fd, &c, 1), 0) << "VMIN 0, VTIME 0: a poll";
    make_raw(p, fd, 0, 1);
    EXPECT_EQ(p.read(fd, &c, 1), 0) << "VTIME 1: 0 after a tenth of a second";
    // VMIN 4: the read waits for four bytes.
    make_raw(p, fd, 4, 0);
    std::string got(8, '\0');
    long n = 0;
    std::thread reader([&] { n = p.read(fd, got.data(), 8); });
    receive("ab");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    receive("cd");
    reader.join();
    EXPECT_EQ(got.substr(0, static_cast<size_t>(n)), "abcd");
    p.close(fd);
}

TEST_F(Tty, CanonicalLinesWithEditingAndEcho)
{
    khost::Program p;
    int fd = open(p); // the standard termios: canonical, echo, ONLCR
    fake_.take_written();
    receive("ab\x7f"
            "c\r");
    EXPECT_EQ(read_now(p, fd), "ac\n") << "ICRNL, erase";
    EXPECT_EQ(fake_.take_written(), "ab\b \bc\r\n") << "echo with ECHOE and ONLCR";
    receive("one two\x17"
            "x\n");
    EXPECT_EQ(read_now(p, fd), "one x\n") << "word erase";
    receive("gone\x15kept\n");
    EXPECT_EQ(read_now(p, fd), "kept\n") << "kill";
    receive("partial");
    char c;
    termios t = get(p, fd);
    set(p, fd, t);
    EXPECT_EQ(p.ioctl(fd, TIOCINQ, reinterpret_cast<unsigned long>(&t.c_iflag)), 0);
    EXPECT_EQ(t.c_iflag, 0u) << "no whole line yet";
    receive("\x04");
    EXPECT_EQ(read_now(p, fd), "partial") << "EOF pushes the line without itself";
    receive("\x04");
    EXPECT_EQ(p.read(fd, &c, 1), 0) << "EOF at a line's start reads as end of file";
    fake_.take_written();
    receive("\x03");
    EXPECT_EQ(fake_.take_written(2), "^C");
    receive("x\x03");
    EXPECT_EQ(fake_.take_written(3), "x^C") << "ISIG: input flushed, ^C echoed";
    p.close(fd);
}

TEST_F(Tty, SwitchingToRawMakesTheLineReadable)
{
    khost::Program p;
    int fd = open(p);
    receive("half");
    make_raw(p, fd);
    EXPECT_EQ(read_now(p, fd), "half");
    p.close(fd);
}

TEST_F(Tty, PollWakesOnInput)
{
    khost::Program p;
    int fd = open(p);
    make_raw(p, fd);
    std::vector<khost::PollFd> fds{{fd, static_cast<short>(POLLIN_ | POLLOUT_), 0}};
    EXPECT_EQ(p.poll(fds, 0), 1);
    EXPECT_EQ(fds[0].revents, POLLOUT_);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        receive("z");
    });
    fds = {{fd, POLLIN_, 0}};
    EXPECT_EQ(p.poll(fds, 5000), 1);
    EXPECT_EQ(fds[0].revents, POLLIN_);
    late.join();
    p.close(fd);
}

// A full line discipline leaves the rest in the flip buffer, and takes it
// as the reader makes room: nothing is lost.
TEST_F(Tty, AFullBufferHoldsTheRestUntilRead)
{
    khost::Program p;
    int fd = open(p);
    make_raw(p, fd);
    std::string big(10000, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>('a' + i % 26);
    receive(big);
    std::string got;
    while (got.size() < big.size()) {
        std::string more = read_now(p, fd, 3000);
        ASSERT_NE(more, "(nothing)") << "after " << got.size();
        got += more;
    }
    EXPECT_EQ(got, big);
    p.close(fd);
}

TEST_F(Tty, FlipBuffersRefuseBeyondTheirLimit)
{
    std::vector<unsigned char> lots(70000, 'q');
    EXPECT_EQ(tty_insert_flip_string(&fake_.port, lots.data(), lots.size()), 65536);
    EXPECT_EQ(tty_insert_flip_char(&fake_.port, 'x', TTY_NORMAL), 0);
}

TEST_F(Tty, TermiosRequestsReachTheDriverWithTheOldSettings)
{
    khost::Program p;
    int fd = open(p);
    fake_.take_calls();
    termios t = get(p, fd);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B38400));
    t.c_cflag = (t.c_cflag & ~(CBAUD | CSIZE)) | B115200 | CS7;
    set(p, fd, t);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("set_termios 115200 old 38400"));
    termios back = get(p, fd);
    EXPECT_EQ(back.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
    EXPECT_EQ(back.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << "the driver's change is what reads back";
    set(p, fd, back, TCSETSW);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("set_termios 115200 old 115200")) << "called unchanged too";
    receive("unread\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    set(p, fd, back, TCSETSF);
    int inq = -1;
    EXPECT_EQ(p.ioctl(fd, TIOCINQ, reinterpret_cast<unsigned long>(&inq)), 0);
    EXPECT_EQ(inq, 0) << "TCSETSF drops the input";
    // termios2: a speed no Bfoo names, through BOTHER.
    termios2 t2{};
    EXPECT_EQ(p.ioctl(fd, TCGETS2, reinterpret_cast<unsigned long>(&t2)), 0);
    EXPECT_EQ(t2.c_ospeed, 115200u);
    t2.c_cflag = (t2.c_cflag & ~CBAUD) | BOTHER;
    t2.c_ospeed = t2.c_ispeed = 250000;
    fake_.take_calls();
    EXPECT_EQ(p.ioctl(fd, TCSETS2, reinterpret_cast<unsigned long>(&t2)), 0);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("set_termios 250000 old 115200"));
    EXPECT_EQ(p.ioctl(fd, TCGETS, 0), -EFAULT);
    EXPECT_EQ(p.ioctl(fd, 0x54ff, 0), -ENOTTY);
    EXPECT_EQ(p.ioctl(fd, TCFLSH, 7), -EINVAL);
    p.close(fd);
}

TEST(TtySpeeds, BaudRatesFromTheBits)
{
    struct ktermios t = tty_std_termios;
    EXPECT_EQ(tty_termios_baud_rate(&t), 38400u);
    t.c_cflag = (t.c_cflag & ~CBAUD) | B4000000;
    EXPECT_EQ(tty_termios_baud_rate(&t), 4000000u);
    t.c_cflag = (t.c_cflag & ~CBAUD) | B0;
    EXPECT_EQ(tty_termios_baud_rate(&t), 0u);
    t.c_cflag = (t.c_cflag & ~CBAUD) | BOTHER;
    t.c_ospeed = 31250;
    EXPECT_EQ(tty_termios_baud_rate(&t), 31250u);
    tty_termios_encode_baud_rate(&t, 115200, 115200);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
    tty_termios_encode_baud_rate(&t, 31250, 31250);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(tty_termios_baud_rate(&t), 31250u);
    t.c_cflag = (t.c_cflag & ~CBAUD) | B9600 | (B19200 << IBSHIFT);
    EXPECT_EQ(tty_termios_input_baud_rate(&t), 19200u) << "an input speed of its own";
    EXPECT_EQ(tty_termios_baud_rate(&t), 9600u);
}

// Writes reach the driver a chunk at a time, and a driver that takes less
// is offered the rest.
TEST_F(Tty, WritesAreChunkedAndRetried)
{
    khost::Program p;
    int fd = open(p);
    make_raw(p, fd);
    fake_.write_max = 100;
    fake_.take_calls();
    std::string data(5000, 'w');
    EXPECT_EQ(p.write(fd, data.data(), data.size()), 5000);
    EXPECT_EQ(fake_.take_written(), data);
    auto calls = fake_.take_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "write 2048") << "the core's chunk";
    EXPECT_EQ(calls.size(), 52u) << "2048, 2048 and 904, each in pieces of 100";
    p.close(fd);
}

// With output processing, as 4.4: runs of characters that need no
// translation, no longer than the driver's room, then each translated
// character on its own, sent only when its whole translation fits.
TEST_F(Tty, OutputProcessingHonoursWriteRoom)
{
    khost::Program p;
    int fd = open(p, O_RDWR_ | O_NONBLOCK_); // OPOST and ONLCR
    fake_.room = 10;
    fake_.take_calls();
    fake_.take_written();
    std::string data = std::string(25, 'o') + "\n";
    EXPECT_EQ(p.write(fd, data.data(), data.size()), 26);
    EXPECT_EQ(fake_.take_written(), std::string(25, 'o') + "\r\n");
    EXPECT_THAT(fake_.take_calls(), ElementsAre("write 10", "write 10", "write 5", "write 2"));
    fake_.room = 1;
    EXPECT_EQ(p.write(fd, "a\nb", 3), 1) << "CR LF does not fit in a room of 1: the write stops before it";
    EXPECT_EQ(p.write(fd, "\nb", 2), -EAGAIN);
    fake_.room = 2;
    EXPECT_EQ(p.write(fd, "\nb", 2), 2);
    EXPECT_EQ(fake_.take_written(), "a\r\nb");
    p.close(fd);
}

// A driver that takes part of what it is offered: the write counts what it
// took, so the rest is neither lost nor sent twice.
TEST_F(Tty, OutputProcessingCountsWhatTheDriverTook)
{
    khost::Program p;
    int fd = open(p, O_RDWR_ | O_NONBLOCK_);
    fake_.write_max = 3;
    fake_.budget = 5;
    fake_.take_written();
    const std::string text = "hello world\nagain\n";
    EXPECT_EQ(p.write(fd, text.data(), text.size()), 5) << "the driver was full after five";
    fake_.budget = -1;
    EXPECT_EQ(p.write(fd, text.data() + 5, text.size() - 5), static_cast<long>(text.size() - 5));
    EXPECT_EQ(fake_.take_written(), "hello world\r\nagain\r\n");
    p.close(fd);
}

// XTABS expands a tab to the next multiple of eight columns; without it
// the tab goes as it is.
TEST_F(Tty, TabsAreExpandedUnderXtabs)
{
    khost::Program p;
    int fd = open(p);
    termios t = get(p, fd);
    t.c_oflag |= XTABS;
    set(p, fd, t);
    fake_.take_written();
    EXPECT_EQ(p.write(fd, "ab\tc\t\n\tx", 8), 8);
    EXPECT_EQ(fake_.take_written(), "ab      c       \r\n        x");
    t.c_oflag &= ~TABDLY;
    set(p, fd, t);
    EXPECT_EQ(p.write(fd, "\ty", 2), 2);
    EXPECT_EQ(fake_.take_written(), "\ty");
    p.close(fd);
}

TEST_F(Tty, HangupCutsTheFilesOff)
{
    khost::Program p;
    int fd = open(p);
    fake_.take_calls();
    EXPECT_EQ(p.ioctl(fd, TIOCVHANGUP, 0), 0);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("hangup", "shutdown"));
    char c;
    EXPECT_EQ(p.read(fd, &c, 1), 0);
    EXPECT_EQ(p.write(fd, "x", 1), -EIO);
    EXPECT_EQ(p.ioctl(fd, TCGETS, 0), -EIO);
    EXPECT_EQ(p.close(fd), 0);
    EXPECT_THAT(calls_after_release(), ElementsAre("close", "remove", "cleanup"));
    fd = open(p);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("install 0", "open", "activate")) << "a fresh tty";
    p.close(fd);
}

TEST(TtyDriver, AllocationAndRegistrationFailures)
{
    khost::boot({"", 1000, 1});
    khost::fail_nth("tty_alloc_driver", 1);
    struct tty_driver *d = __tty_alloc_driver(1, nullptr, 0);
    EXPECT_EQ(PTR_ERR(d), -ENOMEM);
    EXPECT_TRUE(IS_ERR(__tty_alloc_driver(0, nullptr, 0))) << "no lines";
    khost::fail_clear();
    d = __tty_alloc_driver(1, nullptr, 0);
    ASSERT_FALSE(IS_ERR(d));
    d->name = "ttyX";
    d->major = 241;
    d->flags = TTY_DRIVER_DYNAMIC_DEV;
    khost::fail_nth("register_chrdev_region", 1);
    EXPECT_EQ(tty_register_driver(d), -EBUSY);
    khost::fail_clear();
    EXPECT_EQ(tty_register_driver(d), 0);
    khost::fail_nth("tty_register_device", 1);
    EXPECT_TRUE(IS_ERR(tty_register_device(d, 0, nullptr)));
    khost::fail_clear();
    EXPECT_TRUE(IS_ERR(tty_register_device(d, 1, nullptr))) << "beyond its lines";
    EXPECT_TRUE(khost::log_contains("Attempt to register invalid tty line number"));
    tty_unregister_driver(d);
    put_tty_driver(d);
    khost::halt();
}

TEST(Kfifo, ARingOfBytes)
{
    struct kfifo f;
    EXPECT_EQ(kfifo_alloc(&f, 1000, GFP_KERNEL), 0);
    EXPECT_EQ(kfifo_size(&f), 512u) << "rounded down to a power of two";
    unsigned char buf[600];
    for (int i = 0; i < 600; i++)
        buf[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(kfifo_in(&f, buf, 600), 512u);
    EXPECT_EQ(kfifo_avail(&f), 0u);
    unsigned char out[600] = {};
    EXPECT_EQ(kfifo_out(&f, out, 500), 500u);
    EXPECT_EQ(kfifo_in(&f, buf, 100), 100u) << "wraps";
    EXPECT_EQ(kfifo_len(&f), 112u);
    EXPECT_EQ(kfifo_out(&f, out, 600), 112u);
    EXPECT_EQ(out[11], buf[511]);
    EXPECT_EQ(out[12], buf[0]);
    EXPECT_TRUE(kfifo_is_empty(&f));
    kfifo_free(&f);
    EXPECT_EQ(kfifo_alloc(&f, 1, GFP_KERNEL), -EINVAL);
    khost::fail_nth("kfifo_alloc", 1);
    EXPECT_EQ(kfifo_alloc(&f, 64, GFP_KERNEL), -ENOMEM);
    khost::fail_clear();
}

} // namespace
