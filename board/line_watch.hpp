#pragma once
// With --uart the co-processor is another program or a real device, which can
// go away. The watch says so in one line when the line stops answering and
// in one when it answers again, and reopens the line when its path names a
// tty again after a hang-up, or another one (a restarted quorvel-coproc's
// --link, a replugged adapter). The module's own log is left as it is.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace board {

class LineWatch {
public:
    // Requests in a row without an answer before the line is called silent.
    static constexpr unsigned long kSilentAfter = 3;

    // `say` gets each notice, a line with its newline, on the watch's thread.
    LineWatch(std::string path, std::function<void(const std::string &)> say);
    ~LineWatch();
    LineWatch(const LineWatch &) = delete;
    LineWatch &operator=(const LineWatch &) = delete;

    // One look at the line (the watch's thread makes one every period).
    void check();

private:
    void run();
    void reopen_if_back(bool hung_up);

    std::string path_;
    std::function<void(const std::string &)> say_;
    unsigned long device_ = 0; // the tty the path named when it was (re)opened
    bool silent_ = false;      // "does not answer" said, "answers again" not yet
    int last_reopen_ = 0;      // said once, not every period
    std::mutex lock_;          // guards stop_
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_; // last: starts once the rest exists
};

} // namespace board
