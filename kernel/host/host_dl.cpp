// Module images are shared objects, loaded privately so that two modules'
// symbols never meet and each load starts from the image's own data.
#include "host/host.hpp"

#include <cstdio>
#include <dlfcn.h>
#include <libgen.h>
#include <string.h>

namespace host {

void *dl_open(const char *path, const char **why)
{
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle && why)
        *why = dlerror();
    return handle;
}

void *dl_sym(void *handle, const char *name) { return dlsym(handle, name); }

void dl_close(void *handle) { dlclose(handle); }

bool dl_is_loaded(const char *path)
{
    void *handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return false;
    dlclose(handle);
    return true;
}

void dl_describe(const void *addr, char *buf, size_t n)
{
    Dl_info info{};
    if (!dladdr(addr, &info) || !info.dli_fname) {
        std::snprintf(buf, n, "%p", addr);
        return;
    }
    auto at = reinterpret_cast<uintptr_t>(addr);
    char path[512];
    std::snprintf(path, sizeof path, "%s", info.dli_fname);
    const char *object = basename(path);
    if (info.dli_sname)
        std::snprintf(buf, n, "%s+0x%lx [%s]", info.dli_sname,
                      static_cast<unsigned long>(at - reinterpret_cast<uintptr_t>(info.dli_saddr)), object);
    else
        std::snprintf(buf, n, "%s+0x%lx", object,
                      static_cast<unsigned long>(at - reinterpret_cast<uintptr_t>(info.dli_fbase)));
}

} // namespace host
