#pragma once
// One run of the board: the kernel layer booted, its serial line attached to
// a co-processor (the built-in simulated one unless a tty is given), and the
// module loaded. Leaving undoes all of it in reverse.
#include <iosfwd>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernel_board.hpp"

namespace coproc {
class Simulator;
}

namespace board {

class LineWatch;

struct SessionOptions {
    std::string uart{}; // host tty of the co-processor; empty: the simulated one
    unsigned hz = 250;
    std::vector<std::string> params; // module parameters, name=value
    // What the --uart line's watch says happened to the line, a line at a
    // time from its thread; null: standard error.
    std::function<void(const std::string &)> notice{};
};

// The board could not be brought up; what() says why.
struct StartError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Session {
public:
    explicit Session(const SessionOptions &options); // throws StartError
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    KernelBoard &board() { return *board_; }
    const std::string &serial_path() const { return serial_path_; }
    // Closes open files, unloads the module and halts the kernel layer.
    // Problems are reported to `err`; false if there were any.
    bool leave(std::ostream &err);

private:
    std::unique_ptr<coproc::Simulator> sim_;
    std::unique_ptr<KernelBoard> board_;
    std::unique_ptr<LineWatch> watch_;
    std::string serial_path_;
    bool up_ = false;
};

} // namespace board
