#pragma once
// Copies between a program's memory and the kernel's. A copy either
// completes or reports how many bytes it could not copy; a bad address never
// crashes the kernel.
#include <linux/types.h>
#include <linux/errno.h>

typedef struct {
	unsigned long seg;
} mm_segment_t;

#define KERNEL_DS (mm_segment_t{ ~0UL })
#define USER_DS	  (mm_segment_t{ 0x0000ffffffffffffUL })

extern "C" {
mm_segment_t get_fs(void);
void set_fs(mm_segment_t fs);
// Bytes not copied, 0 on success. copy_from_user zero-fills what it could not read.
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long clear_user(void __user *to, unsigned long n);
}

#define get_user(x, ptr) (copy_from_user(&(x), (ptr), sizeof(*(ptr))) ? -EFAULT : 0)
#define put_user(x, ptr)                                                                                               \
	({                                                                                                             \
		__typeof__(*(ptr)) __pu_val = (x);                                                                     \
		copy_to_user((ptr), &__pu_val, sizeof(*(ptr))) ? -EFAULT : 0;                                          \
	})
