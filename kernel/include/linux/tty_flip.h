#pragma once
// Received bytes on their way to the line discipline: a driver inserts them
// into its port's flip buffer and pushes it; the line discipline takes them
// on a work queue (tty_buffer.c).
#include <linux/tty.h>

extern "C" {
// Bytes taken (fewer when the port's buffers are at their limit: the rest
// is lost, as the kernel loses it).
int tty_insert_flip_string_fixed_flag(struct tty_port *port, const unsigned char *chars, char flag, size_t size);
int tty_insert_flip_string_flags(struct tty_port *port, const unsigned char *chars, const char *flags, size_t size);
int tty_buffer_request_room(struct tty_port *port, size_t size);
void tty_flip_buffer_push(struct tty_port *port);
void tty_schedule_flip(struct tty_port *port);
}

inline int tty_insert_flip_string(struct tty_port *port, const unsigned char *chars, size_t size)
{
	return tty_insert_flip_string_fixed_flag(port, chars, TTY_NORMAL, size);
}

inline int tty_insert_flip_char(struct tty_port *port, unsigned char ch, char flag)
{
	return tty_insert_flip_string_fixed_flag(port, &ch, flag, 1);
}
