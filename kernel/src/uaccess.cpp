// Copies between a program's buffers and the kernel's. Programs share the
// host process with the kernel, so a copy is a plain one, done through the
// host so that an address without memory behind it yields a short count
// instead of a fault.
#include <linux/uaccess.h>

#include "host/host.hpp"

namespace {

// The caller's address limit. Every address is reachable either way; it is
// kept so that code which switches to KERNEL_DS and back behaves as written.
thread_local mm_segment_t address_limit = USER_DS;

} // namespace

extern "C" {

mm_segment_t get_fs(void) { return address_limit; }

void set_fs(mm_segment_t fs) { address_limit = fs; }

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n)
{
    return n - host::write_own_memory(to, from, n);
}

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n)
{
    size_t copied = host::read_own_memory(to, from, n);
    // What could not be read must not leak stale kernel bytes to the caller.
    auto *tail = static_cast<unsigned char *>(to) + copied;
    for (size_t i = copied; i < n; ++i)
        *tail++ = 0;
    return n - copied;
}

unsigned long clear_user(void __user *to, unsigned long n)
{
    static const unsigned char zeros[4096] = {};
    unsigned long done = 0;
    while (done < n) {
        unsigned long chunk = n - done < sizeof(zeros) ? n - done : sizeof(zeros);
        size_t wrote = host::write_own_memory(static_cast<char *>(to) + done, zeros, chunk);
        done += wrote;
        if (wrote < chunk)
            break;
    }
    return n - done;
}

} // extern "C"
