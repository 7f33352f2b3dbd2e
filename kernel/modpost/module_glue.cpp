// Linked into every module, as the kernel build links a generated .mod.c:
// the module's descriptor, through which the loader finds its entries,
// parameters and information strings.
#include <linux/module.h>

extern "C" {
int init_module(void) __attribute__((weak));
void cleanup_module(void) __attribute__((weak));
extern const struct kernel_param __start___param[] __attribute__((weak, visibility("hidden")));
extern const struct kernel_param __stop___param[] __attribute__((weak, visibility("hidden")));
extern const char __start___modinfo[] __attribute__((weak, visibility("hidden")));
extern const char __stop___modinfo[] __attribute__((weak, visibility("hidden")));

__visible struct module __this_module = {
    .name = KBUILD_MODNAME,
    .init = init_module,
    .exit = cleanup_module,
    .params_begin = __start___param,
    .params_end = __stop___param,
    .modinfo_begin = __start___modinfo,
    .modinfo_end = __stop___modinfo,
    .loader_private = nullptr,
};
}
