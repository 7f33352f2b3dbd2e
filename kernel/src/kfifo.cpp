// kfifo: the kernel's ring of elements with free-running in and out
// counters over a power-of-two buffer (lib/kfifo.c). One reader and one
// writer may use it at once without a lock.
#include <linux/errno.h>
#include <linux/kfifo.h>

#include "fault_inject.hpp"

#include <algorithm>
#include <cstring>

namespace {

unsigned int rounddown_pow_of_two(unsigned int n)
{
    unsigned int p = 1;
    while (p <= n / 2)
        p <<= 1;
    return p;
}

void copy_in(struct __kfifo *fifo, const void *src, unsigned int len, unsigned int off)
{
    unsigned int size = fifo->mask + 1;
    unsigned int esize = fifo->esize;
    off &= fifo->mask;
    if (esize != 1) {
        off *= esize;
        size *= esize;
        len *= esize;
    }
    unsigned int l = std::min(len, size - off);
    auto *data = static_cast<unsigned char *>(fifo->data);
    std::memcpy(data + off, src, l);
    std::memcpy(data, static_cast<const unsigned char *>(src) + l, len - l);
}

void copy_out(struct __kfifo *fifo, void *dst, unsigned int len, unsigned int off)
{
    unsigned int size = fifo->mask + 1;
    unsigned int esize = fifo->esize;
    off &= fifo->mask;
    if (esize != 1) {
        off *= esize;
        size *= esize;
        len *= esize;
    }
    unsigned int l = std::min(len, size - off);
    auto *data = static_cast<const unsigned char *>(fifo->data);
    std::memcpy(dst, data + off, l);
    std::memcpy(static_cast<unsigned char *>(dst) + l, data, len - l);
}

unsigned int used(struct __kfifo *fifo)
{
    return __atomic_load_n(&fifo->in, __ATOMIC_ACQUIRE) - __atomic_load_n(&fifo->out, __ATOMIC_ACQUIRE);
}

} // namespace

extern "C" {

int __kfifo_alloc(struct __kfifo *fifo, unsigned int size, size_t esize, gfp_t gfp_mask)
{
    size = rounddown_pow_of_two(size);
    fifo->in = 0;
    fifo->out = 0;
    fifo->esize = static_cast<unsigned int>(esize);
    if (size < 2) {
        fifo->data = nullptr;
        fifo->mask = 0;
        return -EINVAL;
    }
    fifo->data = kern::should_fail("kfifo_alloc") ? nullptr : kmalloc(size * esize, gfp_mask);
    if (!fifo->data) {
        fifo->mask = 0;
        return -ENOMEM;
    }
    fifo->mask = size - 1;
    return 0;
}

void __kfifo_free(struct __kfifo *fifo)
{
    kfree(fifo->data);
    fifo->in = 0;
    fifo->out = 0;
    fifo->esize = 0;
    fifo->data = nullptr;
    fifo->mask = 0;
}

int __kfifo_init(struct __kfifo *fifo, void *buffer, unsigned int size, size_t esize)
{
    size /= static_cast<unsigned int>(esize);
    size = rounddown_pow_of_two(size);
    fifo->in = 0;
    fifo->out = 0;
    fifo->esize = static_cast<unsigned int>(esize);
    fifo->data = buffer;
    if (size < 2) {
        fifo->mask = 0;
        return -EINVAL;
    }
    fifo->mask = size - 1;
    return 0;
}

unsigned int __kfifo_in(struct __kfifo *fifo, const void *buf, unsigned int len)
{
    unsigned int avail = fifo->mask + 1 - used(fifo);
    len = std::min(len, avail);
    copy_in(fifo, buf, len, fifo->in);
    __atomic_store_n(&fifo->in, fifo->in + len, __ATOMIC_RELEASE);
    return len;
}

unsigned int __kfifo_out_peek(struct __kfifo *fifo, void *buf, unsigned int len)
{
    len = std::min(len, used(fifo));
    copy_out(fifo, buf, len, fifo->out);
    return len;
}

unsigned int __kfifo_out(struct __kfifo *fifo, void *buf, unsigned int len)
{
    len = __kfifo_out_peek(fifo, buf, len);
    __atomic_store_n(&fifo->out, fifo->out + len, __ATOMIC_RELEASE);
    return len;
}

} // extern "C"
