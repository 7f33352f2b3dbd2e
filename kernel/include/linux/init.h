#pragma once
#include <linux/compiler.h>

// The loader finds a module's entries by these two names, as the kernel's does.
#define module_init(initfn)                                                                                            \
	extern "C" __visible int init_module(void) { return initfn(); }
#define module_exit(exitfn)                                                                                            \
	extern "C" __visible void cleanup_module(void) { exitfn(); }
