#pragma once
// The kernel layer's whole boundary to the host system, in one place. The
// files in host/ are the only ones of the kernel layer that include system
// headers; the rest see the kernel's own headers and this table.
#include <cstddef>
#include <cstdint>

namespace host {

// ---- clock ----
int64_t monotonic_ns();
void sleep_ns(int64_t ns);

// ---- open files of the host (the board's serial line maps onto one) ----
// Each returns the result or a negative errno.
int open_path(const char *path, int linux_flags);
int close_fd(int fd);
long read_fd(int fd, void *buf, size_t n);
long write_fd(int fd, const void *buf, size_t n);
long ioctl_fd(int fd, unsigned long request, void *arg);
bool is_tty(int fd);
// Readiness of fd as poll(2) reports it (POLLIN...), without waiting.
unsigned poll_now(int fd);
// An exclusive advisory lock on the open file (flock), not waiting: 0, or
// -EWOULDBLOCK while another open file holds it.
int lock_exclusive(int fd);
// Makes `to` refer to what `from` refers to (dup2), then closes `from`.
int replace_fd(int from, int to);

// ---- wake-ups: one per task ----
int wakefd_create(); // an eventfd; negative errno on failure
void wakefd_signal(int fd);
void wakefd_drain(int fd);
// Sleeps until wake_fd is signalled, one of watch_fds is readable (or in
// error or hung up), or timeout_ns passes (negative: no limit).
void wait_any(int wake_fd, const int *watch_fds, int n_watch, int64_t timeout_ns);

// ---- lock words (kernel mutexes and spinlocks) ----
// Sleeps while *word holds `expected` (or until a wake-up); returns at once otherwise.
void futex_wait(int *word, int expected);
// The same, for at most timeout_ns.
void futex_wait_for(int *word, int expected, int64_t timeout_ns);
// Wakes up to `count` sleepers on word.
void futex_wake(int *word, int count);

// ---- the calling process's own memory (for copies to and from programs) ----
// Bytes copied; fewer when part of the range is not mapped.
size_t read_own_memory(void *to, const void *from, size_t n);
size_t write_own_memory(void *to, const void *from, size_t n);
// Makes the calling thread's copies reach process `pid` instead (0: our
// own again), as a system call's copies reach its caller.
void set_user_process(int pid);
// An address with no mapping behind it, reserved for the process's life.
void *unmapped_address();

// The usable size of a block from the host's malloc.
size_t alloc_size(const void *ptr);

// Number of open file descriptors and threads of this process (for leak checks).
int count_open_fds();
int count_threads();

} // namespace host

namespace host {
// ---- loading shared objects (module images) ----
// A handle, or nullptr with the loader's reason in *why.
void *dl_open(const char *path, const char **why);
void *dl_sym(void *handle, const char *name);
void dl_close(void *handle);
// True while the object at path is still mapped (after dl_close: not unloaded).
bool dl_is_loaded(const char *path);
// The address range [*begin, *end) an image loaded by dl_open occupies; false if unknown.
bool dl_range(void *handle, uintptr_t *begin, uintptr_t *end);
// Names a code address as a call trace does: "symbol+0xoff [object]", or
// "object+0xoff" where the symbol is not exported.
void dl_describe(const void *addr, char *buf, size_t n);
} // namespace host
