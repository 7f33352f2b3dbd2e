#pragma once
#include <linux/compiler.h>
#include <linux/stdarg.h>

// A message may start with a level marker: KERN_SOH and a digit. Without one,
// the message gets the default level, and a message that does not end its
// line is continued by the next one.
#define KERN_SOH	 "\001"
#define KERN_EMERG	 KERN_SOH "0"
#define KERN_ALERT	 KERN_SOH "1"
#define KERN_CRIT	 KERN_SOH "2"
#define KERN_ERR	 KERN_SOH "3"
#define KERN_WARNING	 KERN_SOH "4"
#define KERN_NOTICE	 KERN_SOH "5"
#define KERN_INFO	 KERN_SOH "6"
#define KERN_DEBUG	 KERN_SOH "7"
#define KERN_DEFAULT	 KERN_SOH "d"
#define KERN_CONT	 KERN_SOH "c"

#define LOGLEVEL_ERR	 3
#define LOGLEVEL_DEFAULT 4

extern "C" {
__printf(1, 2) int printk(const char *fmt, ...);
int vprintk(const char *fmt, va_list args);
}

#define pr_err(fmt, ...)  printk(KERN_ERR fmt, ##__VA_ARGS__)
#define pr_warn(fmt, ...) printk(KERN_WARNING fmt, ##__VA_ARGS__)
#define pr_info(fmt, ...) printk(KERN_INFO fmt, ##__VA_ARGS__)
#define pr_cont(fmt, ...) printk(KERN_CONT fmt, ##__VA_ARGS__)
#define pr_debug(fmt, ...)                                                                                             \
	do {                                                                                                           \
	} while (0)
