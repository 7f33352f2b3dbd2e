#pragma once
// A tty driver for the tty core's tests: two lines, whose port 0 records
// every callback of the driver and the port; writes are kept, taken at most
// `write_max` bytes at a time, and can be held back. Tests of one file
// each include it once.
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/slab.h>
#include <linux/tty.h>
#include <linux/tty_flip.h>
#include <linux/workqueue.h>

#include <khost/fault.hpp>
#include <khost/kernel.hpp>
#include <khost/program.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct FakeTty {
    struct tty_port port;
    std::mutex lock; // guards calls and written
    std::vector<std::string> calls;
    std::string written;
    int write_max = 1 << 20;
    int budget = -1; // bytes the driver takes before it is full (-1: no end)
    int install_error = 0;
    int room = 4096;
    bool destructed = false;
    bool carrier = true;
    std::function<void()> on_cleanup;
    struct tty_struct *tty = nullptr; // the installed tty
    // While set, the driver's write waits (echoes included) until cleared.
    std::atomic<bool> hold_writes{false};
    std::atomic<bool> write_waiting{false};

    void note(const std::string &what)
    {
        std::lock_guard hold(lock);
        calls.push_back(what);
    }
    std::vector<std::string> take_calls()
    {
        std::lock_guard hold(lock);
        return std::exchange(calls, {});
    }
    std::string take_written()
    {
        std::lock_guard hold(lock);
        return std::exchange(written, {});
    }
    // Echoes are written by the flip buffer's work: waits (2 s at most)
    // until n bytes have come.
    std::string take_written(size_t n)
    {
        for (int i = 0; i < 200; i++) {
            {
                std::lock_guard hold(lock);
                if (written.size() >= n)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return take_written();
    }
};

FakeTty *fake;

int fake_install(struct tty_driver *driver, struct tty_struct *tty)
{
    fake->note("install " + std::to_string(tty->index));
    if (fake->install_error)
        return fake->install_error;
    tty_port_get(&fake->port);
    tty->driver_data = fake;
    fake->tty = tty;
    return tty_standard_install(driver, tty);
}
void fake_remove(struct tty_driver *driver, struct tty_struct *tty)
{
    fake->note("remove");
    driver->ttys[tty->index] = nullptr;
}
int fake_open(struct tty_struct *tty, struct file *filp)
{
    fake->note("open");
    return tty_port_open(&fake->port, tty, filp);
}
void fake_close(struct tty_struct *tty, struct file *filp)
{
    fake->note("close");
    tty_port_close(&fake->port, tty, filp);
}
void fake_cleanup(struct tty_struct *tty)
{
    fake->note("cleanup");
    if (fake->on_cleanup)
        fake->on_cleanup();
    tty_port_put(&fake->port);
}
int fake_write(struct tty_struct *tty, const unsigned char *buf, int count)
{
    while (fake->hold_writes) {
        fake->write_waiting = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    fake->write_waiting = false;
    int n = std::min(count, fake->write_max);
    std::lock_guard hold(fake->lock);
    if (fake->budget >= 0) {
        n = std::min(n, fake->budget);
        fake->budget -= n;
    }
    fake->calls.push_back("write " + std::to_string(count));
    fake->written.append(reinterpret_cast<const char *>(buf), static_cast<size_t>(n));
    return n;
}
int fake_write_room(struct tty_struct *tty) { return fake->room; }
void fake_set_termios(struct tty_struct *tty, struct ktermios *old)
{
    fake->note("set_termios " + std::to_string(tty_termios_baud_rate(&tty->termios)) + " old " +
               std::to_string(old ? tty_termios_baud_rate(old) : 0));
    // The driver can only do 8 data bits: what it writes back is what
    // programs read.
    tty->termios.c_cflag = (tty->termios.c_cflag & ~CSIZE) | CS8;
}
void fake_hangup(struct tty_struct *tty)
{
    fake->note("hangup");
    tty_port_hangup(&fake->port);
}
void fake_stop(struct tty_struct *tty) { fake->note("stop"); }
void fake_start(struct tty_struct *tty) { fake->note("start"); }

const struct tty_operations fake_ops = {
    .install = fake_install,
    .remove = fake_remove,
    .open = fake_open,
    .close = fake_close,
    .cleanup = fake_cleanup,
    .write = fake_write,
    .write_room = fake_write_room,
    .set_termios = fake_set_termios,
    .stop = fake_stop,
    .start = fake_start,
    .hangup = fake_hangup,
};

int port_activate(struct tty_port *port, struct tty_struct *tty)
{
    fake->note("activate");
    return 0;
}
void port_shutdown(struct tty_port *port) { fake->note("shutdown"); }
void port_destruct(struct tty_port *port)
{
    fake->note("destruct");
    fake->destructed = true;
}
int port_carrier_raised(struct tty_port *port) { return fake->carrier; }
const struct tty_port_operations fake_port_ops = {
    .carrier_raised = port_carrier_raised,
    .shutdown = port_shutdown,
    .activate = port_activate,
    .destruct = port_destruct,
};

constexpr int O_RDWR_ = 2, O_NONBLOCK_ = 04000;
constexpr short POLLIN_ = 1, POLLOUT_ = 4;

class Tty : public ::testing::Test {
protected:
    void SetUp() override
    {
        khost::boot({"", 1000, 1});
        fake = &fake_;
        tty_port_init(&fake_.port);
        fake_.port.ops = &fake_port_ops;
        driver_ = __tty_alloc_driver(2, nullptr, 0);
        ASSERT_FALSE(IS_ERR(driver_));
        driver_->driver_name = "fake_tty";
        driver_->name = "ttyFK";
        driver_->major = 240;
        driver_->minor_start = 10;
        driver_->type = TTY_DRIVER_TYPE_SERIAL;
        driver_->init_termios = tty_std_termios;
        driver_->flags = TTY_DRIVER_RESET_TERMIOS | TTY_DRIVER_REAL_RAW | TTY_DRIVER_DYNAMIC_DEV;
        tty_set_operations(driver_, &fake_ops);
        ASSERT_EQ(tty_register_driver(driver_), 0);
        struct device *dev = tty_port_register_device(&fake_.port, driver_, 0, nullptr);
        ASSERT_FALSE(IS_ERR(dev));
        fake_.take_calls();
    }
    void TearDown() override
    {
        flush_scheduled_work(); // the release of the last tty
        tty_unregister_device(driver_, 0);
        tty_unregister_driver(driver_);
        put_tty_driver(driver_);
        tty_port_put(&fake_.port);
        EXPECT_TRUE(fake_.destructed);
        khost::fail_clear();
        khost::halt();
    }

    int open(khost::Program &p, int flags = O_RDWR_)
    {
        long fd = p.open("/dev/ttyFK0", flags);
        EXPECT_GE(fd, 3);
        return static_cast<int>(fd);
    }
    void receive(const std::string &s)
    {
        EXPECT_EQ(tty_insert_flip_string(&fake_.port, reinterpret_cast<const unsigned char *>(s.data()), s.size()),
                  static_cast<int>(s.size()));
        tty_flip_buffer_push(&fake_.port);
    }
    std::string read_now(khost::Program &p, int fd, size_t n = 256)
    {
        std::vector<khost::PollFd> fds{{fd, POLLIN_, 0}};
        if (p.poll(fds, 2000) <= 0)
            return "(nothing)";
        std::string buf(n, '\0');
        long r = p.read(fd, buf.data(), n);
        return r < 0 ? "error " + std::to_string(r) : buf.substr(0, static_cast<size_t>(r));
    }
    termios get(khost::Program &p, int fd)
    {
        termios t{};
        EXPECT_EQ(p.ioctl(fd, TCGETS, reinterpret_cast<unsigned long>(&t)), 0);
        return t;
    }
    void set(khost::Program &p, int fd, termios t, unsigned cmd = TCSETS)
    {
        EXPECT_EQ(p.ioctl(fd, cmd, reinterpret_cast<unsigned long>(&t)), 0);
    }
    void make_raw(khost::Program &p, int fd, cc_t vmin = 1, cc_t vtime = 0)
    {
        termios t = get(p, fd);
        t.c_lflag = 0;
        t.c_iflag = 0;
        t.c_oflag = 0;
        t.c_cc[VMIN] = vmin;
        t.c_cc[VTIME] = vtime;
        set(p, fd, t);
    }

    // The release after a last close runs on the system work queue.
    std::vector<std::string> calls_after_release()
    {
        flush_scheduled_work();
        return fake_.take_calls();
    }

    FakeTty fake_;
    struct tty_driver *driver_ = nullptr;
};

} // namespace

// Whether a task waits on q.
inline bool has_waiter(wait_queue_head_t *q)
{
    guard(spinlock)(&q->lock);
    return !list_empty(&q->task_list);
}

// Waits (10 s at most) until cond holds.
template <typename Cond> inline bool wait_until(Cond cond)
{
    for (int i = 0; i < 10000 && !cond(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return cond();
}
