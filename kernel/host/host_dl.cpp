// Module images are shared objects, loaded privately so that two modules'
// symbols never meet and each load starts from the image's own data.
#include "host/host.hpp"

#include <algorithm>
#include <cstdio>
#include <dlfcn.h>
#include <link.h>
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

bool dl_range(void *handle, uintptr_t *begin, uintptr_t *end)
{
    struct link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return false;
    struct Found {
        uintptr_t base, begin, end;
    } found{map->l_addr, UINTPTR_MAX, 0};
    dl_iterate_phdr(
        [](struct dl_phdr_info *info, size_t, void *arg) {
            auto *f = static_cast<Found *>(arg);
            if (info->dlpi_addr != f->base)
                return 0;
            for (int i = 0; i < info->dlpi_phnum; i++) {
                const auto &ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD)
                    continue;
                f->begin = std::min<uintptr_t>(f->begin, info->dlpi_addr + ph.p_vaddr);
                f->end = std::max<uintptr_t>(f->end, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
            }
            return 1;
        },
        &found);
    if (found.begin >= found.end)
        return false;
    *begin = found.begin;
    *end = found.end;
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
