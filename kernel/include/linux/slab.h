#pragma once
#include <linux/types.h>

#define GFP_KERNEL 0x01U
#define GFP_ATOMIC 0x02U
#define __GFP_ZERO 0x100U

extern "C" {
void *kmalloc(size_t size, gfp_t flags);
void *kzalloc(size_t size, gfp_t flags);
void *kcalloc(size_t n, size_t size, gfp_t flags);
void kfree(const void *ptr);
}
