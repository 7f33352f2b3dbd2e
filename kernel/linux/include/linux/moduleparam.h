#pragma once
// Module parameters with the real kernel's descriptor layout: the loader
// walks the __param section itself and calls the kernel's own parameter
// operations (param_ops_long...), so the descriptors and operation tables
// are the kernel's, checked against its headers when the module is built.
#include <linux/types.h>

struct module;
struct kernel_param;

struct kernel_param_ops {
	unsigned int flags;
	int (*set)(const char *val, const struct kernel_param *kp);
	int (*get)(char *buffer, const struct kernel_param *kp);
	void (*free)(void *arg);
};

struct kernel_param {
	const char *name;
	struct module *mod;
	const struct kernel_param_ops *ops;
	const u16 perm;
	s8 level;
	u8 flags;
	union {
		void *arg;
	};
};

extern "C" {
extern struct module __this_module;
extern const struct kernel_param_ops param_ops_long;
extern const struct kernel_param_ops param_ops_ulong;
extern const struct kernel_param_ops param_ops_int;
extern const struct kernel_param_ops param_ops_uint;
extern const struct kernel_param_ops param_ops_bool;
}

template <typename T, typename U> struct __param_same {
	static constexpr bool value = false;
};
template <typename T> struct __param_same<T, T> {
	static constexpr bool value = true;
};
#define __param_type_long  long
#define __param_type_ulong unsigned long
#define __param_type_int   int
#define __param_type_uint  unsigned int
#define __param_type_bool  bool

// As the kernel's module_param: the descriptor (level -1: a module's
// parameter), its name string, and the "parmtype=" information string.
#define module_param_named(name, var, type, perm)                                                                      \
	static_assert(__param_same<decltype(var), __param_type_##type>::value,                                         \
		      "module_param: variable and type differ");                                                       \
	static const char __param_str_##name[] = #name;                                                                \
	static const struct kernel_param __param_##name __used __section("__param")                                    \
		__attribute__((aligned(alignof(struct kernel_param)))) = {                                             \
			__param_str_##name, &__this_module, &param_ops_##type, (perm), -1, 0, { &(var) }               \
		};                                                                                                     \
	static const char __UNIQUE_ID(name##type)[] __used __section(".modinfo") __attribute__((aligned(1))) =         \
		"parmtype=" #name ":" #type
#define module_param(name, type, perm) module_param_named(name, name, type, perm)
#define MODULE_PARM_DESC(name, text)                                                                                   \
	static const char __UNIQUE_ID(name)[] __used __section(".modinfo") __attribute__((aligned(1))) =               \
		"parm=" #name ":" text
