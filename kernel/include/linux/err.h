#pragma once
// Error pointers: the top 4095 addresses carry a negative errno.
#include <linux/types.h>

#define MAX_ERRNO	4095
#define IS_ERR_VALUE(x) unlikely((unsigned long)(x) >= (unsigned long)-MAX_ERRNO)

template <typename T = void> inline T *ERR_PTR(long error) { return reinterpret_cast<T *>(error); }
inline long PTR_ERR(const void *ptr) { return reinterpret_cast<long>(ptr); }
inline bool IS_ERR(const void *ptr) { return IS_ERR_VALUE(reinterpret_cast<unsigned long>(ptr)); }
inline bool IS_ERR_OR_NULL(const void *ptr) { return !ptr || IS_ERR(ptr); }
template <typename T> inline T *ERR_CAST(const void *ptr) { return const_cast<T *>(static_cast<const T *>(ptr)); }
