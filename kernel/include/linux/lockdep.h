#pragma once
#include <linux/compiler.h>

extern "C" {
void __lockdep_assert_held(const void *lock);
}
// WARNs unless the current task holds the mutex or spinlock `l`.
#define lockdep_assert_held(l) __lockdep_assert_held(l)
