#pragma once
// One file a program outside the board holds: the file open on the board,
// the board's end of the socket pair whose other end is the program's
// descriptor, and a thread that keeps the descriptor readable while the
// file is.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace khost {
class Program;
}

namespace board {

class ServedFile {
public:
    // `id` is the file's descriptor in `program`; `board_end` and
    // `program_end` the socket pair (the program's end is only looked at).
    ServedFile(khost::Program &program, int id, std::string path, int board_end, int program_end);
    ~ServedFile();
    ServedFile(const ServedFile &) = delete;
    ServedFile &operator=(const ServedFile &) = delete;

    // Starts the thread that watches the file's readiness.
    void start();
    // After a call on the file: the tokens the program is to take from its
    // descriptor because the file is not readable any more (then 0 are
    // left), or 0. A file that is readable gets its token here.
    int after_call();
    // True once every descriptor of the program's end is closed.
    bool hung_up();
    // Stops the watch and closes the file on the board; once.
    void release();

    const int id;
    const std::string path;
    const uint64_t inode; // of the program's end, which an exec'd program presents

private:
    void watch();
    bool close_once();
    void put_token(); // with lock_ held

    khost::Program &program_;
    const int board_end_;
    const int wake_fd_;
    const bool pollable_; // else always ready: no need to ask after a call
    std::mutex lock_;     // guards tokens_, released_ and the writes to board_end_
    int tokens_ = 0;      // bytes written to board_end_ that the program has not been told to take
    bool released_ = false;
    std::atomic<bool> quit_{false};
    std::mutex join_lock_;
    std::thread watcher_;
};

} // namespace board
