#include "session.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <ostream>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <khost/kernel.hpp>

#include "coproc/simulator.hpp"
#include "leave_pins.hpp"
#include "line_watch.hpp"

namespace board {

namespace {

// The session's files were just closed: the last close of a tty leaves its
// release, and the module reference it holds, to the system work queue, on
// the kernel layer as on Linux. The unload is tried again while the module
// is in use, as a script would, for 5 s at most.
int rmmod_when_free(KernelBoard &board, std::string *why)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int rc;
    while ((rc = board.rmmod(why)) == -EBUSY && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return rc;
}

// Two boards on one line would take each other's replies: as serial programs
// do, the line is held exclusively (the kernel layer's open takes the lock),
// and a line someone holds is refused here with a reason.
void check_line_free(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw StartError(fmt::format("cannot open the line {}: {}", path, std::strerror(errno)));
    const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    if (busy)
        throw StartError(fmt::format("the line {} is in use by another program (another board?)", path));
}

} // namespace

Session::Session(const SessionOptions &options)
{
    if (options.uart.empty()) {
        try {
            sim_ = std::make_unique<coproc::Simulator>();
        } catch (const std::exception &e) {
            throw StartError(fmt::format("cannot start the simulated co-processor: {}", e.what()));
        }
        serial_path_ = sim_->tty_path();
    } else {
        serial_path_ = options.uart;
        check_line_free(serial_path_);
    }
    khost::BootConfig config;
    config.serial_path = serial_path_;
    config.hz = options.hz;
    khost::boot(config);
    up_ = true;
    board_ = std::make_unique<KernelBoard>();
    board_->set_simulator(sim_.get());
    board_->set_line(options.uart);
    std::string why;
    const int rc = board_->insmod(options.params, &why);
    if (rc < 0) {
        std::ostringstream ignored;
        leave(ignored);
        throw StartError(fmt::format("insmod: {} ({})", why.empty() ? "refused" : why, rc));
    }
    if (!options.uart.empty())
        watch_ = std::make_unique<LineWatch>(
            serial_path_,
            options.notice ? options.notice : [](const std::string &text) { std::cerr << text << std::flush; });
}

Session::~Session()
{
    std::ostringstream ignored;
    leave(ignored);
}

bool Session::leave(std::ostream &err)
{
    if (!up_)
        return true;
    up_ = false;
    watch_.reset();
    bool clean = true;
    // The module cannot go while the session's program holds its files, or
    // while a line or channel it exported holds the module.
    board_->close_all();
    (void)unexport_pins(*board_);
    if (board_->module_loaded()) {
        std::string why;
        const int rc = rmmod_when_free(*board_, &why);
        if (rc < 0) {
            err << fmt::format("rmmod: {} ({})\n", why.empty() ? "refused" : why, rc);
            clean = false;
        }
    }
    board_.reset();
    khost::halt();
    sim_.reset();
    return clean;
}

} // namespace board
