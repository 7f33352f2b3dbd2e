#pragma once
#include <linux/types.h>

struct kernel_param;

struct kernel_param_ops {
	// Parses val into the parameter; 0 or a negative errno.
	int (*set)(const char *val, const struct kernel_param *kp);
	// Formats the value into buffer (a page); the length written.
	int (*get)(char *buffer, const struct kernel_param *kp);
};

struct kernel_param {
	const char *name;
	const struct kernel_param_ops *ops;
	u16 perm;
	void *arg;
};

extern "C" {
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

// Each parameter is one descriptor in the __param section; the loader walks
// the section, as the kernel's loader does.
#define module_param_named(name, var, type, perm)                                                                      \
	static_assert(__param_same<decltype(var), __param_type_##type>::value,                                         \
		      "module_param: variable and type differ");                                                       \
	static const struct kernel_param __param_##name __used __section("__param")                                    \
		__attribute__((aligned(sizeof(void *)))) = { #name, &param_ops_##type, (perm), &(var) }
#define module_param(name, type, perm) module_param_named(name, name, type, perm)
#define MODULE_PARM_DESC(name, text)   MODULE_INFO(parm, #name ":" text)
