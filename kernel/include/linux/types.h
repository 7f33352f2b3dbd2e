#pragma once
// Fixed-size types as the kernel names them. Built on the compiler's own
// predefined types so that no C library header is needed.
#include <linux/compiler.h>

typedef __INT8_TYPE__ s8;
typedef __UINT8_TYPE__ u8;
typedef __INT16_TYPE__ s16;
typedef __UINT16_TYPE__ u16;
typedef __INT32_TYPE__ s32;
typedef __UINT32_TYPE__ u32;
typedef __INT64_TYPE__ s64;
typedef __UINT64_TYPE__ u64;

// The UAPI spellings, which the kernel's own headers (and the host's, where
// the kernel layer meets them) use too.
typedef s8 __s8;
typedef u8 __u8;
typedef s16 __s16;
typedef u16 __u16;
typedef s32 __s32;
typedef u32 __u32;
typedef s64 __s64;
typedef u64 __u64;
typedef u16 __le16;
typedef u16 __be16;
typedef u32 __le32;
typedef u32 __be32;
typedef u64 __le64;
typedef u64 __be64;
typedef __u64 __attribute__((aligned(8))) __aligned_u64;

typedef __INT8_TYPE__ int8_t;
typedef __UINT8_TYPE__ uint8_t;
typedef __INT16_TYPE__ int16_t;
typedef __UINT16_TYPE__ uint16_t;
typedef __INT32_TYPE__ int32_t;
typedef __UINT32_TYPE__ uint32_t;
typedef __INT64_TYPE__ int64_t;
typedef __UINT64_TYPE__ uint64_t;
typedef __UINTPTR_TYPE__ uintptr_t;

typedef __SIZE_TYPE__ size_t;
typedef __PTRDIFF_TYPE__ ssize_t;
typedef __INT64_TYPE__ loff_t;
typedef __UINT64_TYPE__ dev_t; // as wide as the host C library's, which the kernel layer also sees
typedef unsigned short umode_t;
typedef unsigned int fmode_t;
typedef unsigned int gfp_t;

#ifndef NULL
#define NULL nullptr
#endif
