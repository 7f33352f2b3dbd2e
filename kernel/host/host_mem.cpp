// The host side of copies to and from programs: both live in this process,
// so a copy is a transfer within our own memory that must survive a bad
// address. The kernel does the transfer for us (process_vm_readv/writev on
// ourselves) and reports the bytes it managed; where that is not allowed
// (a seccomp filter, an old kernel), a pipe stands in as the probe. A buffer
// on the calling thread's own stack, where programs keep most of theirs,
// cannot fault and is copied directly.
#include "host.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace host {

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kMaxIov = 1024; // IOV_MAX

std::atomic<bool> process_vm_usable{true};

// The process whose memory this thread's copies reach; 0 for our own. A
// board that serves programs in other processes sets it per serving thread.
thread_local int user_process = 0;

// Bytes from `addr` to the end of its page, at most `left`. Mappings begin
// and end on page boundaries, so a piece is either all there or all absent.
size_t piece_length(uintptr_t addr, size_t left) { return std::min(left, kPage - (addr % kPage)); }

// One process_vm call over up to kMaxIov pieces of the other side. The bytes
// moved, or -1 with errno set.
ssize_t transfer_batch(bool to_other, char *local, uintptr_t other, size_t left, size_t *batch_len)
{
    struct iovec remote[kMaxIov];
    size_t count = 0, len = 0;
    while (count < kMaxIov && len < left) {
        size_t piece = piece_length(other + len, left - len);
        remote[count++] = {reinterpret_cast<void *>(other + len), piece};
        len += piece;
    }
    struct iovec mine = {local, len};
    *batch_len = len;
    const pid_t pid = user_process ? user_process : getpid();
    return to_other ? process_vm_writev(pid, &mine, 1, remote, count, 0)
                    : process_vm_readv(pid, &mine, 1, remote, count, 0);
}

// `local` is our own good buffer, `other` the address that may be bad.
// Returns the bytes moved, or -1 if process_vm is not available here.
long transfer_process_vm(bool to_other, char *local, uintptr_t other, size_t n)
{
    size_t done = 0;
    while (done < n) {
        size_t batch_len = 0;
        ssize_t moved = transfer_batch(to_other, local + done, other + done, n - done, &batch_len);
        if (moved < 0) {
            if (errno == ENOSYS || errno == EPERM)
                return done == 0 ? -1 : static_cast<long>(done);
            return static_cast<long>(done);
        }
        done += static_cast<size_t>(moved);
        if (static_cast<size_t>(moved) < batch_len)
            break;
    }
    return static_cast<long>(done);
}

// Through a pipe: a write from or a read into an absent page fails with
// EFAULT and moves nothing.
size_t transfer_pipe(bool to_other, char *local, uintptr_t other, size_t n)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return 0;
    size_t done = 0;
    while (done < n) {
        size_t piece = piece_length(other + done, n - done);
        auto *remote = reinterpret_cast<char *>(other + done);
        const char *src = to_other ? local + done : remote;
        char *dst = to_other ? remote : local + done;
        if (write(fds[1], src, piece) != static_cast<ssize_t>(piece))
            break;
        if (read(fds[0], dst, piece) != static_cast<ssize_t>(piece))
            break; // the pipe is closed below with whatever it still holds
        done += piece;
    }
    close(fds[0]);
    close(fds[1]);
    return done;
}

// The top of the calling thread's stack; 0 if the host will not say.
uintptr_t own_stack_top()
{
    thread_local uintptr_t top = [] {
        uintptr_t found = 0;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0)
            return found;
        void *base = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &base, &size) == 0)
            found = reinterpret_cast<uintptr_t>(base) + size;
        pthread_attr_destroy(&attr);
        return found;
    }();
    return top;
}

// From this frame to the top, the thread's stack is mapped and writable for
// as long as the thread runs: the frames of every caller, the program's among
// them, live there.
__attribute__((noinline)) bool on_own_stack(uintptr_t addr, size_t n)
{
    auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    uintptr_t top = own_stack_top();
    return addr > frame && addr < top && n <= top - addr;
}

// Byte by byte and unseen by the sanitizers, as the kernel's own copy would
// be: a program may pass a buffer smaller than the count it asks for.
__attribute__((no_sanitize("address", "thread"))) void stack_copy(char *to, const char *from, size_t n)
{
    volatile char *dst = to;
    for (size_t i = 0; i < n; i++)
        dst[i] = from[i];
}

size_t transfer(bool to_other, char *local, const void *other, size_t n)
{
    if (n == 0)
        return 0;
    auto addr = reinterpret_cast<uintptr_t>(other);
    if (user_process) {
        // Another process: only the kernel can reach it, and a refusal
        // (ESRCH for a process that has gone) moves nothing.
        long moved = transfer_process_vm(to_other, local, addr, n);
        return moved > 0 ? static_cast<size_t>(moved) : 0;
    }
    if (on_own_stack(addr, n)) {
        auto *remote = reinterpret_cast<char *>(addr);
        stack_copy(to_other ? remote : local, to_other ? local : remote, n);
        return n;
    }
    if (process_vm_usable.load(std::memory_order_relaxed)) {
        long moved = transfer_process_vm(to_other, local, addr, n);
        if (moved >= 0)
            return static_cast<size_t>(moved);
        process_vm_usable.store(false, std::memory_order_relaxed);
    }
    return transfer_pipe(to_other, local, addr, n);
}

int count_dir_entries(const char *path)
{
    DIR *dir = opendir(path);
    if (!dir)
        return -errno;
    int count = 0;
    while (const struct dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

} // namespace

size_t read_own_memory(void *to, const void *from, size_t n)
{
    return transfer(false, static_cast<char *>(to), from, n);
}

size_t write_own_memory(void *to, const void *from, size_t n)
{
    return transfer(true, static_cast<char *>(const_cast<void *>(from)), to, n);
}

void set_user_process(int pid) { user_process = pid; }

void *unmapped_address()
{
    // Reserved, never accessible and never unmapped, so nothing else can
    // ever be placed there.
    static void *const page = mmap(nullptr, kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page;
}

int count_open_fds()
{
    int n = count_dir_entries("/proc/self/fd");
    return n > 0 ? n - 1 : n; // less the directory being read
}

size_t alloc_size(const void *ptr) { return malloc_usable_size(const_cast<void *>(ptr)); }

int count_threads() { return count_dir_entries("/proc/self/task"); }

} // namespace host
