#include "line_watch.hpp"

#include <sys/stat.h>

#include <fmt/format.h>
#include <khost/serial.hpp>

namespace board {

namespace {

constexpr std::chrono::milliseconds kPeriod{200};

// The tty a path names now (following a link); 0 if it names none.
unsigned long device_of(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) ? st.st_rdev : 0;
}

} // namespace

LineWatch::LineWatch(std::string path, std::function<void(const std::string &)> say)
    : path_(std::move(path)), say_(std::move(say)), device_(device_of(path_)), thread_([this] { run(); })
{}

LineWatch::~LineWatch()
{
    {
        std::lock_guard hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void LineWatch::run()
{
    std::unique_lock hold(lock_);
    while (!wake_.wait_for(hold, kPeriod, [this] { return stop_; })) {
        hold.unlock();
        check();
        hold.lock();
    }
}

void LineWatch::check()
{
    const khost::SerialHealth h = khost::serial_health();
    if (!h.open)
        return;
    const bool quiet = h.hung_up || h.unanswered >= kSilentAfter;
    if (quiet && !silent_) {
        silent_ = true;
        say_(h.hung_up ? fmt::format("board: the co-processor on {} does not answer (the line hung up)\n", path_)
                       : fmt::format("board: the co-processor on {} does not answer ({} requests timed out)\n", path_,
                                     h.unanswered));
    } else if (silent_ && !h.hung_up && h.unanswered == 0 && h.answers > 0) {
        silent_ = false;
        say_(fmt::format("board: the co-processor on {} answers again\n", path_));
    }
    if (silent_)
        reopen_if_back(h.hung_up);
}

// A hung-up line is tried again whenever its path names a tty; a silent one
// only when the path has come to name another tty.
void LineWatch::reopen_if_back(bool hung_up)
{
    const unsigned long now = device_of(path_);
    if (!now || (!hung_up && now == device_))
        return;
    const int r = khost::serial_reopen();
    const bool news = r != last_reopen_;
    last_reopen_ = r;
    if (r == -16 && news) // EBUSY
        say_(fmt::format("board: {} is back but in use by another program\n", path_));
    if (r != 0)
        return;
    device_ = now;
    say_(fmt::format("board: {} is back; the line is reopened\n", path_));
}

} // namespace board
