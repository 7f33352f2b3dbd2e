#pragma once
// The module's view of the loader on a real kernel. The kernel's own build
// defines __this_module (in the generated .mod.c) with the kernel's layout,
// and reads the information strings from the .modinfo section; the module
// only ever takes the descriptor's address, so its inside stays unseen.
#include <linux/compiler.h>
#include <linux/types.h>
#include <linux/init.h>
#include <linux/moduleparam.h>

struct module;

extern "C" {
extern struct module __this_module;
bool try_module_get(struct module *mod);
void module_put(struct module *mod);
}
#define THIS_MODULE (&__this_module)

#define MODULE_INFO(tag, info)                                                                                         \
	static const char __UNIQUE_ID(tag)[] __used __section(".modinfo") __attribute__((aligned(1))) = #tag "=" info
#define MODULE_LICENSE(text)	 MODULE_INFO(license, text)
#define MODULE_DESCRIPTION(text) MODULE_INFO(description, text)
#define MODULE_AUTHOR(text)	 MODULE_INFO(author, text)
#define MODULE_VERSION(text)	 MODULE_INFO(version, text)
