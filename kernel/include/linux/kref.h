#pragma once
// A reference count with the kernel's names; the release runs at the last put.
#include <linux/atomic.h>

struct kref {
	atomic_t refcount;
};

#define KREF_INIT(n)                                                                                                   \
	{                                                                                                              \
		ATOMIC_INIT(n)                                                                                         \
	}

inline void kref_init(struct kref *kref) { atomic_set(&kref->refcount, 1); }
inline unsigned int kref_read(const struct kref *kref)
{
	return static_cast<unsigned int>(atomic_read(&kref->refcount));
}
inline void kref_get(struct kref *kref) { atomic_inc(&kref->refcount); }
inline int kref_put(struct kref *kref, void (*release)(struct kref *kref))
{
	if (atomic_dec_and_test(&kref->refcount)) {
		release(kref);
		return 1;
	}
	return 0;
}
