// Module images are shared objects, loaded privately so that two modules'
// symbols never meet and each load starts from the image's own data.
#include "host/host.hpp"

#include <dlfcn.h>

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

} // namespace host
