#pragma once
// The kernel's string routines; the host's C library provides them with the
// same meaning. Declared here so that the module needs no C library header.
#include <linux/types.h>

extern "C" {
void *memcpy(void *dst, const void *src, size_t n) noexcept;
void *memmove(void *dst, const void *src, size_t n) noexcept;
void *memset(void *dst, int c, size_t n) noexcept;
int memcmp(const void *a, const void *b, size_t n) noexcept;
size_t strlen(const char *s) noexcept;
size_t strnlen(const char *s, size_t max) noexcept;
int strcmp(const char *a, const char *b) noexcept;
int strncmp(const char *a, const char *b, size_t n) noexcept;
}
