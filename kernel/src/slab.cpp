// kmalloc and friends on the host's allocator.
#include <linux/slab.h>

#include "fault_inject.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" {
void *kmalloc(size_t size, gfp_t flags)
{
    if (kern::should_fail("kmalloc"))
        return nullptr;
    return flags & __GFP_ZERO ? std::calloc(1, size) : std::malloc(size);
}
void *kzalloc(size_t size, gfp_t flags) { return kmalloc(size, flags | __GFP_ZERO); }
void *kcalloc(size_t n, size_t size, gfp_t flags)
{
    if (size && n > SIZE_MAX / size)
        return nullptr;
    return kmalloc(n * size, flags | __GFP_ZERO);
}
void kfree(const void *ptr) { std::free(const_cast<void *>(ptr)); }
}
