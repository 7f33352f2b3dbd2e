#pragma once
// Scope-based lock guards, spelt as the kernel spells them:
//   guard(mutex)(&lock);                   held to the end of the scope
//   scoped_guard(mutex, &lock) { ... }     held for the block
#include <linux/compiler.h>

#define DEFINE_GUARD(_name, _type, _lock, _unlock)                                                                     \
	struct class_##_name##_t {                                                                                     \
		_type _T;                                                                                              \
		explicit class_##_name##_t(_type t) : _T(t) { _lock; }                                                 \
		~class_##_name##_t() { _unlock; }                                                                      \
		class_##_name##_t(const class_##_name##_t &) = delete;                                                 \
		class_##_name##_t &operator=(const class_##_name##_t &) = delete;                                      \
	}

#define guard(_name) class_##_name##_t __UNIQUE_ID(guard)

// A break in the block leaves the guard, as it does in the kernel: both
// loops end once the block has run, however it was left.
#define scoped_guard(_name, ...)                                                                                       \
	for (bool __scope_once = true; __scope_once; __scope_once = false)                                             \
		for (class_##_name##_t __scope(__VA_ARGS__); __scope_once; __scope_once = false)
