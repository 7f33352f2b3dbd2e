#pragma once
// Reports of misuse, as the kernel gives them: a "WARNING:" record with the
// place of the check and the caller, and the run goes on.
#include <linux/compiler.h>

extern "C" {
void __warn_printk(const char *file, int line, const void *caller, const char *fmt, ...)
	__attribute__((format(printf, 4, 5)));
}

static inline bool __warn_on(bool cond, const char *file, int line, const void *caller)
{
	if (unlikely(cond))
		__warn_printk(file, line, caller, nullptr);
	return cond;
}

#define WARN_ON(condition)	__warn_on(!!(condition), __FILE__, __LINE__, __builtin_return_address(0))
#define WARN_ON_ONCE(condition) WARN_ON(condition)
