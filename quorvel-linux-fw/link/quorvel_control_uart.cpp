// The control UART: the serial line to the co-processor, opened from kernel
// space and read one byte at a time, each byte with a bounded wait.
#include <linux/err.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/ktime.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <linux/serial.h>
#include <linux/termios.h>
#include <linux/uaccess.h>
#include <linux/delay.h>
#include <linux/jiffies.h>

#include "link/quorvel_control_uart.h"
#include "link/quorvel_link_stats.h"

// Null before start-up and after shutdown; an error pointer after a failed
// open, in which case no operation touches it.
struct file *filp;

namespace {

constexpr const char *QUORVEL_UART_PATH = "/dev/ttyS3";
constexpr int QUORVEL_UART_FLAGS = O_RDWR | O_NOCTTY | O_NONBLOCK;
constexpr size_t QUORVEL_DRAIN_MAX = 50;
// A co-processor that never stops talking must not hold the write for ever:
// the drain gives up after this many bytes (more than a tty's whole receive
// buffer, 4096, so a stalled flood is always taken in full).
constexpr size_t QUORVEL_DRAIN_LIMIT = 16384;
constexpr long QUORVEL_BYTE_TIMEOUT_US = 1000;
constexpr int QUORVEL_READ_ATTEMPTS = 999;
constexpr unsigned int QUORVEL_READABLE = POLLIN | POLLERR | POLLHUP | POLLRDNORM | POLLRDBAND;
constexpr unsigned int QUORVEL_WRITABLE = POLLOUT | POLLERR | POLLHUP | POLLWRNORM;
constexpr tcflag_t QUORVEL_UART_CFLAG = B4000000 | CS8 | CREAD | CLOCAL;

bool quorvel_uart_usable(void) { return !IS_ERR_OR_NULL(filp); }

long quorvel_uart_ioctl(struct file *f, unsigned int op, unsigned long param)
{
	if (!f->f_op->unlocked_ioctl)
		return -ENOTTY;
	printk("f->f_op->unlocked_ioctl\r\n");
	return f->f_op->unlocked_ioctl(f, op, param);
}

// The four results are not examined: a line that refuses a setting (a
// pseudo-terminal has no serial driver flags) still works as it is.
void quorvel_uart_setspeed(struct file *f, int speed)
{
	struct termios termios = {};
	struct serial_struct serial = {};
	mm_segment_t old_fs = get_fs();

	set_fs(KERNEL_DS);
	(void)quorvel_uart_ioctl(f, TCGETS, reinterpret_cast<unsigned long>(&termios));
	printk("termios.c_cflag = %d", termios.c_cflag);
	termios.c_iflag = 0;
	termios.c_oflag = 0;
	termios.c_lflag = 0;
	termios.c_cflag = QUORVEL_UART_CFLAG;
	termios.c_cc[VTIME] = 0;
	termios.c_cc[VMIN] = 1;
	(void)quorvel_uart_ioctl(f, TCSETS, reinterpret_cast<unsigned long>(&termios));

	(void)quorvel_uart_ioctl(f, TIOCGSERIAL, reinterpret_cast<unsigned long>(&serial));
	serial.flags |= ASYNC_LOW_LATENCY;
	(void)quorvel_uart_ioctl(f, TIOCSSERIAL, reinterpret_cast<unsigned long>(&serial));
	set_fs(old_fs);
}

// Sleeps until the line shows one of `events`, for at most about 100 ticks
// counted from the start of the wait; whether it showed one. A task that
// comes to its first look late (preempted on a busy machine) or is woken
// without the events (the line's other side shares the wait) still waits
// out its ticks: a reply on its way is not given up. Only a signal ends the
// wait early, once the 1000 us have passed.
bool quorvel_uart_poll_wait(struct file *f, unsigned int events, long timeout)
{
	struct poll_wqueues table;
	ktime_t start = ktime_get();
	unsigned long deadline = jiffies + static_cast<unsigned long>(timeout * 1000 / 10000);
	bool ready;

	poll_initwait(&table);
	for (;;) {
		ready = f->f_op->poll(f, &table.pt) & events;
		if (ready)
			break;
		long elapsed = static_cast<long>((ktime_get() - start) / 1000);
		long left = static_cast<long>(deadline - jiffies);
		if (elapsed > timeout && (left <= 0 || signal_pending(current)))
			break;
		set_current_state(TASK_INTERRUPTIBLE);
		schedule_timeout(left > 0 ? left : 1);
	}
	poll_freewait(&table);
	return ready;
}

// Waits until the line is readable; the caller learns the outcome from its read.
void quorvel_uart_read_poll_wait(struct file *f, long timeout)
{
	(void)quorvel_uart_poll_wait(f, QUORVEL_READABLE, timeout);
}

// One byte, 0..255, or -1 when none came in time.
int quorvel_uart_read(struct file *f, long timeout)
{
	char byte = 0;
	int got = -1;
	mm_segment_t old_fs;

	if (IS_ERR_OR_NULL(f))
		return -1;
	old_fs = get_fs();
	set_fs(KERNEL_DS);
	if (f->f_op->poll) {
		quorvel_uart_read_poll_wait(f, timeout);
		if (kernel_read(f, 0, &byte, 1) == 1)
			got = static_cast<u8>(byte);
	} else {
		for (int i = 0; i < QUORVEL_READ_ATTEMPTS; i++) {
			if (kernel_read(f, 0, &byte, 1) == 1) {
				got = static_cast<u8>(byte);
				break;
			}
			usleep_range(10, 1000);
		}
	}
	set_fs(old_fs);
	return got;
}

} // namespace

void quorvel_control_uart_init(void)
{
	filp = filp_open(QUORVEL_UART_PATH, QUORVEL_UART_FLAGS, 0);
	if (IS_ERR(filp)) {
		printk("IS_ERR(filp)\r\n");
		return;
	}
	quorvel_uart_setspeed(filp, 4000000);
}

void quorvel_control_uart_exit(void)
{
	if (quorvel_uart_usable())
		filp_close(filp, nullptr);
	filp = nullptr;
}

// Takes every stale byte waiting on the line, 50 at a time, so that an
// unsolicited flood is gone before the next request rather than read as the
// start of its reply; the count taken.
size_t quorvel_control_uart_drain(void)
{
	char recv[QUORVEL_DRAIN_MAX] = {};
	size_t drained = 0;

	while (drained < QUORVEL_DRAIN_LIMIT) {
		ssize_t got = kernel_read(filp, 0, recv, QUORVEL_DRAIN_MAX);
		if (got <= 0)
			break;
		drained += static_cast<size_t>(got);
		if (static_cast<size_t>(got) < QUORVEL_DRAIN_MAX)
			break;
	}
	return drained;
}

// The whole request, or as much as the line took: a line whose transmit side
// is full (the co-processor has not yet taken what went before) takes the
// rest once it has room, each wait for room bounded as a reply byte's is.
// A line that is refused again right after it showed room gives up too.
ssize_t quorvel_control_uart_write(const u8 *buf, size_t len)
{
	size_t done = 0;
	bool waited = false;

	if (!quorvel_uart_usable())
		return -ENODEV;
	quorvel_link_count_drained(len ? buf[0] : 0, quorvel_control_uart_drain());
	while (done < len) {
		ssize_t n = kernel_write(filp, reinterpret_cast<const char *>(buf + done), len - done, filp->f_pos);
		if (n > 0) {
			done += static_cast<size_t>(n);
			waited = false;
			continue;
		}
		if ((n != -EAGAIN && n != 0) || waited ||
		    !quorvel_uart_poll_wait(filp, QUORVEL_WRITABLE, QUORVEL_BYTE_TIMEOUT_US))
			return done ? static_cast<ssize_t>(done) : n;
		waited = true;
	}
	return static_cast<ssize_t>(done);
}

int quorvel_control_uart_read(u8 *buf, size_t len)
{
	for (size_t i = 0; i < len; i++) {
		int byte = quorvel_uart_read(filp, QUORVEL_BYTE_TIMEOUT_US);
		if (byte < 0)
			return static_cast<int>(i);
		buf[i] = static_cast<u8>(byte);
	}
	return static_cast<int>(len);
}
