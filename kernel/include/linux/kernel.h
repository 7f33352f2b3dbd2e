#pragma once
#include <linux/compiler.h>
#include <linux/types.h>
#include <linux/stddef.h>
#include <linux/printk.h>
#include <linux/string.h>
#include <linux/err.h>
#include <linux/errno.h>

#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#define container_of(ptr, type, member)                                                                                \
	(reinterpret_cast<type *>(reinterpret_cast<char *>(ptr) - offsetof(type, member)))
#define DIV_ROUND_UP(n, d) (((n) + (d)-1) / (d))

template <typename T> constexpr T min(T a, T b) { return a < b ? a : b; }
template <typename T> constexpr T max(T a, T b) { return a > b ? a : b; }
#define min_t(type, a, b) min<type>((type)(a), (type)(b))
#define max_t(type, a, b) max<type>((type)(a), (type)(b))

extern "C" {
__printf(3, 4) int snprintf(char *buf, size_t size, const char *fmt, ...) noexcept;
int vsnprintf(char *buf, size_t size, const char *fmt, va_list args) noexcept;
int kstrtol(const char *s, unsigned int base, long *res);
int kstrtoul(const char *s, unsigned int base, unsigned long *res);
int kstrtoint(const char *s, unsigned int base, int *res);
int kstrtouint(const char *s, unsigned int base, unsigned int *res);
// True if the two strings are equal but for one newline at the end of either.
bool sysfs_streq(const char *s1, const char *s2);
void __might_sleep(const char *file, int line, int preempt_offset);
}
// Marks a place that may sleep: a task holding a spinlock that gets here is
// reported ("BUG: sleeping function called from invalid context at FILE:LINE").
#ifndef might_sleep
#define might_sleep() __might_sleep(__FILE__, __LINE__, 0)
#endif
