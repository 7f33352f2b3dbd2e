// kmalloc and friends on the host's allocator.
#include <linux/slab.h>

#include "fault_inject.hpp"
#include "host/host.hpp"
#include "task.hpp"
#include "workqueue_internal.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" {
void *kmalloc(size_t size, gfp_t flags)
{
    if (flags & GFP_KERNEL)
        KERN_MIGHT_SLEEP();
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
// A work item still queued in the freed memory is reported and cancelled.
void kfree(const void *ptr)
{
    if (ptr && kern::debug_objects_active())
        kern::debug_check_no_obj_freed(ptr, host::alloc_size(ptr), __builtin_return_address(0));
    std::free(const_cast<void *>(ptr));
}
}
