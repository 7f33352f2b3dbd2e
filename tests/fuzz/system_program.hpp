#pragma once
// A program's system calls made for real: open, read, write, ioctl, poll and
// close on the running system's /dev and /sys, and directory listings with
// opendir and readdir. The same methods, results and errno convention as
// khost::Program, so that the fuzzer's callers drive either. On the real
// kernel in the VM the calls reach Linux; on the host under the board's
// preload library they reach the kernel layer.
#include <khost/program.hpp>

#include <set>
#include <string>
#include <vector>

namespace qfuzz {

class SysProgram {
public:
    explicit SysProgram(std::string name = "program") : name_(std::move(name)) {}
    ~SysProgram(); // closes whatever is still open
    SysProgram(const SysProgram &) = delete;
    SysProgram &operator=(const SysProgram &) = delete;

    // flags: O_RDONLY 0, O_WRONLY 1, O_RDWR 2, with O_NONBLOCK; never a
    // controlling terminal, never inherited.
    long open(const std::string &path, int flags);
    long read(int fd, void *buf, size_t count);
    long write(int fd, const void *buf, size_t count);
    long ioctl(int fd, unsigned int cmd, unsigned long arg);
    long close(int fd);
    long poll(std::vector<khost::PollFd> &fds, int timeout_ms);
    // Directories, character devices, regular files and links only: a
    // block device or a socket is nothing the fuzzer calls.
    long list(const std::string &path, std::vector<khost::DirEntry> *out) const;
    long stat(const std::string &path, khost::DirEntry *out, bool follow) const;

    const std::string &name() const { return name_; }

private:
    std::string name_;
    std::set<int> fds_;
};

} // namespace qfuzz
