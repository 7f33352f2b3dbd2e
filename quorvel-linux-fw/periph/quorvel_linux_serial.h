#pragma once
// The virtual serial port ttySP0: the co-processor's own UART as a tty.
// Written bytes leave in DEV_TYPE_UART frames, termios changes become one
// line-settings frame, and bytes the co-processor received come back
// through the receive poller's uart_recv.
#include <linux/device.h>
#include <linux/kfifo.h>
#include <linux/spinlock.h>
#include <linux/tty.h>
#include <linux/types.h>
#include <linux/workqueue.h>

constexpr unsigned int QUORVEL_TTY_LINES = 6;
constexpr unsigned int QUORVEL_TTY_FIFO_SIZE = 1024;
// The most one write frame carries; a longer write is cut there, and the
// tty core offers the rest again.
constexpr int QUORVEL_TTY_WRITE_MAX = 250;

// One line. Allocated by the platform probe; freed by the port's destruct
// when its last reference goes (the table's, and an installed tty's).
struct quorvel_tty_port {
	struct tty_port port; // first: the object is found from its tty_port
	unsigned int index;
	bool loopback_flag;	 // true while the port is open; READ_ONCE/WRITE_ONCE
	struct work_struct work; // the transmit FIFO's drain; never queued here
	struct kfifo xmit_fifo;	 // its free space is the write room
	spinlock_t write_lock;	 // guards removal from xmit_fifo
	struct device *tty_dev;	 // the line's tty class device
};

struct quorvel_tty_port_platform_config {
	int port_index;
};

// Hands received bytes to the active port's tty (the receive poller).
void uart_recv(const u8 *buf, u8 len);
