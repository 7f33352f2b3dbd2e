// kmalloc and friends on the host's allocator.
#include <linux/slab.h>

#include <cstdlib>

extern "C" {
void *kmalloc(size_t size, gfp_t flags) { return flags & __GFP_ZERO ? std::calloc(1, size) : std::malloc(size); }
void *kzalloc(size_t size, gfp_t flags) { return std::calloc(1, size); }
void *kcalloc(size_t n, size_t size, gfp_t flags) { return std::calloc(n, size); }
void kfree(const void *ptr) { std::free(const_cast<void *>(ptr)); }
}
