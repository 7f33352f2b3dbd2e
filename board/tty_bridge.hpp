#pragma once
// A host pseudo-terminal joined to a tty of the board, so that unmodified
// host programs (picocom, pyserial, screen) use the board's tty: bytes
// written to the host pty reach the board's tty as a program's writes,
// bytes the board's tty receives come out of the host pty, and the host
// program's termios changes (tcsetattr on the pty) are made on the board's
// tty with TCSETS2, so that they reach its driver's set_termios.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <khost/program.hpp>

namespace board {

class TtyBridge {
public:
    // Opens `board_path` in a program of its own and a host pty; nullptr and
    // `error` set if either fails.
    static std::unique_ptr<TtyBridge> start(const std::string &board_path, std::string *error);
    ~TtyBridge(); // stops both directions and closes both ends

    const std::string &host_path() const { return host_path_; }
    const std::string &board_path() const { return board_path_; }

private:
    TtyBridge() = default;
    void host_to_board();
    void board_to_host();
    void apply_host_termios();

    std::string board_path_, host_path_;
    khost::Program program_{"tty-bridge"};
    int board_fd_ = -1;
    int master_ = -1, slave_ = -1, stop_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread in_, out_;
};

} // namespace board
