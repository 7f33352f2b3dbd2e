#pragma once
// A program on the board: its own table of open files, and the system calls
// a Linux program makes on device nodes and sysfs attributes. Results are as
// the kernel returns them: a value >= 0, or a negative errno. Several
// programs may run at once, each on its own thread.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace khost {

struct DirEntry {
    std::string name;
    char type;          // 'd' directory, 'c' character device, 'f' attribute file, 'l' symbolic link
    unsigned mode;      // permission bits
    uint32_t rdev;      // device number of a node, else 0
    std::string target; // where a link points, as written ("../../devices/virtual/x")
};

// One file of a poll: the events asked for, and those found.
struct PollFd {
    int fd;
    short events;  // POLLIN 0x1, POLLOUT 0x4, ...
    short revents; // set by poll, with POLLERR, POLLHUP and POLLNVAL
};

class Program {
public:
    explicit Program(std::string name = "program");
    ~Program(); // closes whatever is still open
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    long open(const std::string &path, int flags); // flags: O_RDONLY 0, O_WRONLY 1, O_RDWR 2
    long read(int fd, void *buf, size_t count);
    long write(int fd, const void *buf, size_t count);
    long ioctl(int fd, unsigned int cmd, unsigned long arg);
    long close(int fd);
    // lseek(2) (whence 0, 1, 2); pread(2) and pwrite(2); fcntl's F_GETFL
    // and F_SETFL (only O_APPEND and O_NONBLOCK change).
    long lseek(int fd, long offset, int whence);
    long pread(int fd, void *buf, size_t count, long pos);
    long pwrite(int fd, const void *buf, size_t count, long pos);
    long get_flags(int fd);
    // False for a file that is always ready (no poll operation), whose
    // poll need not be asked.
    bool pollable(int fd);
    long set_flags(int fd, int flags);
    // poll(2): waits until one of the files is ready or timeout_ms passes
    // (negative: no limit); the number of files ready, or a negative errno.
    long poll(std::vector<PollFd> &fds, int timeout_ms);
    // The same, also ending (with what is ready, perhaps nothing) when one
    // of the host descriptors `host_fds` becomes readable or hung up.
    long poll(std::vector<PollFd> &fds, int timeout_ms, const std::vector<int> &host_fds);
    // Lists a directory of /dev or /sys (a link to one is followed); a
    // negative errno if it is none.
    long list(const std::string &path, std::vector<DirEntry> *out) const;
    // What `path` names; with `follow` false a link at its end describes
    // itself (as lstat). The entry's name is the path's last component.
    long stat(const std::string &path, DirEntry *out, bool follow) const;

    const std::string &name() const { return name_; }
    std::vector<int> open_fds() const;

private:
    std::string name_;
    struct Files;
    Files *files_;
};

// A thread that makes programs' system calls, as the target of a signal
// (the board's Ctrl-C). A signal sent to it is pending until one of the
// thread's system calls returns, which delivers it: an interruptible wait
// in the kernel (a tty read or open waiting for data or a carrier,
// wait_event_interruptible, msleep_interruptible, mutex_lock_interruptible,
// poll...) does not begin, or ends at once, while it is pending, and the
// call it was in returns -EINTR, as on Linux for a signal whose handler was
// installed without SA_RESTART. A call that does not wait interruptibly is
// not affected. Copies share the thread; the target may outlive it.
class SignalTarget {
public:
    // The calling thread.
    static SignalTarget current_thread();
    // May be called from any thread, at any time.
    void send() const;

private:
    explicit SignalTarget(std::shared_ptr<void> task);
    std::shared_ptr<void> task_;
};

// An address that is never mapped: passing it as a buffer gives -EFAULT.
void *bad_user_pointer();

// Makes the calling thread a system call's context for another process:
// copies to and from user memory reach process `pid`'s (0: this process's
// own again). A `comm` not empty names the thread's task, as the process is
// named. A call of the process's that should end because the process has
// gone is ended by a signal (SignalTarget) to the thread.
void act_for_process(int pid, const std::string &comm = "");

} // namespace khost
