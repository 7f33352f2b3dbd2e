#pragma once
// The Board inside the VM: the session's program is this process, and every
// command is a real system call on the real kernel (open, read, write, ioctl,
// close, finit_module, delete_module, /dev/kmsg). The trace comes from the
// host, which serves the co-processor's end of the line.
#include <cstdint>
#include <string>
#include <vector>

#include "board.hpp"
#include "kernel_log.hpp"
#include "vm_channel.hpp"

namespace board {

class GuestBoard : public Board {
public:
    // The kernel log is the board's from here on: what the kernel printed
    // while booting stays out of dmesg.
    GuestBoard(vm::Channel &host, std::string module_path);
    ~GuestBoard() override;
    // Files the shell writes would land in the guest, out of reach.
    bool writes_host_files() const override { return false; }

    bool module_loaded();
    // Closes what the session's program left open, so that rmmod may go on.
    void close_all();

    int insmod(const std::vector<std::string> &params, std::string *why) override;
    int rmmod(std::string *why) override;
    std::vector<std::string> lsmod() override;
    std::string dmesg(bool clear) override;
    std::vector<khost::SerialEvent> trace_take() override;

    long open(const std::string &path, int flags) override;
    long read(int fd, void *buf, size_t count) override;
    long write(int fd, const void *buf, size_t count) override;
    long ioctl(int fd, unsigned cmd, unsigned long arg) override;
    long close(int fd) override;
    long list(const std::string &path, std::vector<khost::DirEntry> *out) override;
    long stat(const std::string &path, khost::DirEntry *out, bool follow) override;
    void *bad_pointer() override;
    long shell_command(const std::string &command, std::string *output) override;
    // The simulated co-processor is the host's: the command runs there.
    int coproc(const std::vector<std::string> &args, std::string *output) override;
    // The real kernel fails calls by name only in the kernel layer.
    bool has_fault_injection() const override { return false; }
    void fail_nth(const std::string &, unsigned, unsigned) override {}
    void fail_clear() override {}
    FaultReport fail_report() override { return {}; }

private:
    using Record = KernelRecord;
    std::vector<Record> kernel_log(uint64_t from) const;
    std::string load_failure(uint64_t from, int rc) const;
    void await_delayed_releases();

    vm::Channel &host_;
    std::string module_path_;
    std::string module_name_;
    uint64_t log_from_ = 0;      // first record of the board's log
    uint64_t releases_from_ = 0; // first record not yet looked at for delayed releases
    std::vector<int> fds_;       // opened by the session's program
    void *bad_ = nullptr;
};

} // namespace board
