#include "kernel_board.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include <khost/fault.hpp>
#include <khost/kernel.hpp>

#include "coproc.hpp"
#include "coproc_control.hpp"
#include "tty_bridge.hpp"

namespace board {

KernelBoard::KernelBoard()
    : module_name_(std::filesystem::path(khost::module_path()).stem().string()),
      program_(std::make_unique<khost::Program>("board")), program_thread_(khost::SignalTarget::current_thread())
{}

KernelBoard::~KernelBoard() = default;

long KernelBoard::tty_bridge(const std::string &path, std::string *host_path)
{
    if (path.empty()) {
        bridges_.clear();
        return 0;
    }
    std::string error;
    auto bridge = TtyBridge::start(path, &error);
    if (!bridge) {
        *host_path = error;
        return -5; // EIO
    }
    *host_path = bridge->host_path();
    bridges_.push_back(std::move(bridge));
    return 0;
}

void KernelBoard::interrupt_program()
{
    // As SIGINT to a program without SA_RESTART: the call it is blocked in (a
    // read of /dev/ttySP0, a device that waits) returns -EINTR and the
    // command ends.
    program_thread_.send();
}

bool KernelBoard::module_loaded()
{
    const auto mods = khost::lsmod();
    return std::find(mods.begin(), mods.end(), module_name_) != mods.end();
}

void KernelBoard::close_all()
{
    bridges_.clear();
    for (int fd : program_->open_fds())
        program_->close(fd);
}

int KernelBoard::insmod(const std::vector<std::string> &params, std::string *why)
{
    return khost::insmod(khost::module_path(), params, why);
}

// A bridge holds its tty open: it goes first, as a program killed before
// the unload would. Its tty's release, which holds the module, follows on
// the system work queue: having closed it, the unload waits for that (5 s
// at most) as a script that killed the program would try rmmod again.
int KernelBoard::rmmod(std::string *why)
{
    if (bridges_.empty())
        return khost::rmmod(module_name_, why);
    bridges_.clear();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int rc;
    while ((rc = khost::rmmod(module_name_, why)) == -EBUSY && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return rc;
}

std::vector<std::string> KernelBoard::lsmod() { return khost::lsmod(); }

std::string KernelBoard::dmesg(bool clear) { return khost::dmesg(clear); }

int KernelBoard::coproc(const std::vector<std::string> &args, std::string *output)
{
    if (!sim_ && !line_.empty()) {
        const int r = forward_coproc(line_, args, output);
        if (r >= 0)
            return r;
    }
    return run_coproc(sim_, args, output);
}

std::vector<khost::SerialEvent> KernelBoard::trace_take() { return khost::serial_trace_take(); }

long KernelBoard::open(const std::string &path, int flags) { return program_->open(path, flags); }

long KernelBoard::read(int fd, void *buf, size_t count) { return program_->read(fd, buf, count); }

long KernelBoard::write(int fd, const void *buf, size_t count) { return program_->write(fd, buf, count); }

long KernelBoard::ioctl(int fd, unsigned cmd, unsigned long arg) { return program_->ioctl(fd, cmd, arg); }

long KernelBoard::close(int fd) { return program_->close(fd); }

long KernelBoard::list(const std::string &path, std::vector<khost::DirEntry> *out) { return program_->list(path, out); }

long KernelBoard::stat(const std::string &path, khost::DirEntry *out, bool follow)
{
    return program_->stat(path, out, follow);
}

void *KernelBoard::bad_pointer() { return khost::bad_user_pointer(); }

void KernelBoard::fail_nth(const std::string &name, unsigned nth, unsigned times)
{
    khost::fail_nth(name, nth, times);
    armed_.push_back({name, nth, times});
}

void KernelBoard::fail_clear()
{
    khost::fail_clear();
    armed_.clear();
}

FaultReport KernelBoard::fail_report()
{
    FaultReport report;
    for (const auto &name : khost::fail_names())
        report.calls.emplace_back(name, khost::fail_calls(name));
    report.all_calls = khost::fail_calls("");
    report.armed = armed_;
    report.forced = khost::fail_forced();
    return report;
}

} // namespace board
