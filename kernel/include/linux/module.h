#pragma once
#include <linux/compiler.h>
#include <linux/types.h>
#include <linux/init.h>
#include <linux/moduleparam.h>

// What the loader knows of a loaded module. Every module carries one, named
// __this_module, defined by the build's module glue.
struct module {
	const char *name;
	int (*init)(void);
	void (*exit)(void);
	const struct kernel_param *params_begin;
	const struct kernel_param *params_end;
	const char *modinfo_begin;
	const char *modinfo_end;
	void *loader_private; // owned by the loader: reference count, state
};

extern "C" {
extern struct module __this_module;
bool try_module_get(struct module *mod);
void module_put(struct module *mod);
}
#define THIS_MODULE (&__this_module)

// "key=value" strings in the __modinfo section, as modinfo shows them.
#define MODULE_INFO(tag, info)                                                                                         \
	static const char __UNIQUE_ID(tag)[] __used __section("__modinfo") __attribute__((aligned(1))) = #tag "=" info
#define MODULE_LICENSE(text)	 MODULE_INFO(license, text)
#define MODULE_DESCRIPTION(text) MODULE_INFO(description, text)
#define MODULE_AUTHOR(text)	 MODULE_INFO(author, text)
#define MODULE_VERSION(text)	 MODULE_INFO(version, text)
