// A tty's life at its edges, as 4.4 lives it: an open racing the last
// close, a blocking open that waits for a carrier without holding the tty's
// lock, signals ending a program's waits in the tty core, and the release
// after the last close on the system work queue.
#include <gmock/gmock.h>

#include <future>

#include "tty_fixture.hpp"
#include "tty_internal.hpp"

#include <linux/sched.h> // last: its `current` would rename the C++ library's members

using ::testing::ElementsAre;

namespace {

class TtyLife : public Tty {};

// A call made on a thread of its own, which can be sent a signal.
struct Caller {
    std::promise<khost::SignalTarget> target;
    std::future<long> result;

    template <typename Call> explicit Caller(Call call)
    {
        result = std::async(std::launch::async, [this, call] {
            target.set_value(khost::SignalTarget::current_thread());
            return call();
        });
    }
    void signal() { target.get_future().get().send(); }
};

// The last close has let go of the tty (its count is 0) but not yet taken
// it out of the driver's table: an open then must not bring it back.
TEST_F(TtyLife, AnOpenRacingTheLastCloseIsRefused)
{
    khost::Program p, q;
    int fd = open(p); // canonical, with echo
    // The flip buffer's work holds the line discipline while its echo waits
    // in the driver; the last close then waits for it after the count went.
    fake_.hold_writes = true;
    receive("x");
    ASSERT_TRUE(wait_until([&] { return fake_.write_waiting.load(); }));
    struct tty_struct *tty = fake_.tty;
    std::thread closer([&] { p.close(fd); });
    ASSERT_TRUE(wait_until([&] {
        kern::tty::lock(tty);
        const int count = tty->count;
        kern::tty::unlock(tty);
        return count == 0;
    }));
    EXPECT_EQ(q.open("/dev/ttyFK0", O_RDWR_), -EIO);
    fake_.hold_writes = false;
    closer.join();
    EXPECT_THAT(calls_after_release(), testing::Contains("cleanup"));
    int again = open(q);
    EXPECT_THAT(fake_.take_calls(), ElementsAre("install 0", "open", "activate")) << "a fresh tty";
    q.close(again);
}

// A blocking open waiting for the carrier lets go of the tty's lock: a
// hangup through another file goes through (and the open waits again, as
// 4.4 retries it), and a signal ends the open with -EINTR.
TEST_F(TtyLife, ABlockingOpenWaitsWithoutTheTtyLock)
{
    fake_.carrier = false;
    khost::Program a, b;
    int fa = open(a, O_RDWR_ | O_NONBLOCK_);
    Caller opener([&] { return b.open("/dev/ttyFK0", O_RDWR_); });
    ASSERT_TRUE(wait_until([&] { return has_waiter(&fake_.port.open_wait); }));
    fake_.take_calls();
    auto hangup = std::async(std::launch::async, [&] { return a.ioctl(fa, TIOCVHANGUP, 0); });
    ASSERT_EQ(hangup.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the hangup waits for the lock";
    EXPECT_EQ(hangup.get(), 0);
    ASSERT_TRUE(wait_until([&] { return has_waiter(&fake_.port.open_wait); })) << "the open waits again";
    EXPECT_EQ(opener.result.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    opener.signal();
    EXPECT_EQ(opener.result.get(), -EINTR);
    EXPECT_EQ(a.close(fa), 0);
    EXPECT_THAT(calls_after_release(), testing::Contains("cleanup"));
    EXPECT_EQ(fake_.port.blocked_open, 0);
}

// A signal ends a read waiting for input and a write waiting for room with
// -EINTR; one sent before the call ends its first wait at once. Each call's
// return delivers the signal: the next call waits as usual.
TEST_F(TtyLife, SignalsEndReadsAndWritesWaitingInTheTty)
{
    khost::Program p;
    int fd = open(p);
    make_raw(p, fd);
    char c;
    Caller reader([&] { return p.read(fd, &c, 1); });
    ASSERT_TRUE(wait_until([&] { return has_waiter(&fake_.tty->read_wait); }));
    reader.signal();
    EXPECT_EQ(reader.result.get(), -EINTR);

    fake_.budget = 0; // the driver is full
    fake_.room = 0;
    Caller writer([&] { return p.write(fd, "w", 1); });
    ASSERT_TRUE(wait_until([&] { return has_waiter(&fake_.tty->write_wait); }));
    writer.signal();
    EXPECT_EQ(writer.result.get(), -EINTR);

    Caller early([&] {
        khost::SignalTarget::current_thread().send();
        long first = p.read(fd, &c, 1);
        receive("z");
        long second = p.read(fd, &c, 1);
        return first * 10 + second;
    });
    EXPECT_EQ(early.result.get(), -EINTR * 10 + 1);
    p.close(fd);
}

// Programs here run as root: TIOCVHANGUP is allowed and TIOCEXCL does not
// keep them out, as CAP_SYS_ADMIN lets root through on Linux.
TEST_F(TtyLife, AnExclusiveTtyStillOpensForRoot)
{
    khost::Program a, b;
    int fa = open(a);
    EXPECT_EQ(a.ioctl(fa, TIOCEXCL, 0), 0);
    int fb = open(b);
    EXPECT_EQ(b.ioctl(fb, TIOCVHANGUP, 0), 0);
    a.close(fa);
    b.close(fb);
}

// The last close leaves the driver's cleanup to the system work queue, as
// 4.4's release does; the module reference goes with it.
TEST_F(TtyLife, TheReleaseRunsOnTheSystemWorkQueue)
{
    khost::Program p;
    std::string cleaned_by;
    fake_.on_cleanup = [&] { cleaned_by = task_comm(get_current()); };
    int fd = open(p);
    p.close(fd);
    flush_scheduled_work();
    EXPECT_THAT(cleaned_by, testing::StartsWith("kworker/"));
}

} // namespace
