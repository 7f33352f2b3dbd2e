#pragma once
#include <linux/types.h>

extern "C" {
// Fast pseudo-random numbers, not for secrets.
u32 prandom_u32(void);
void prandom_bytes(void *buf, size_t nbytes);
}
