#pragma once
// The control UART "/dev/ttyS3": opened once at load, raw at 4,000,000 baud.
// It takes no lock: callers hold uart_mutex around each write-then-read.
#include <linux/fs.h>
#include <linux/types.h>

extern struct file *filp;

void quorvel_control_uart_init(void);
void quorvel_control_uart_exit(void);
// Takes whatever stale bytes wait on the line (bounded against an endless
// flood); the count taken. The caller holds uart_mutex.
size_t quorvel_control_uart_drain(void);
// Drains, then writes; the write's result.
ssize_t quorvel_control_uart_write(const u8 *buf, size_t len);
// Reads up to len bytes one at a time, each within its own wait; the count read.
int quorvel_control_uart_read(u8 *buf, size_t len);
