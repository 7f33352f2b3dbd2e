#pragma once
// quorvel-coproc's control socket: the board's `coproc` commands reach a
// simulated co-processor that runs as a program of its own (the board run
// with --uart on its pty). The socket is abstract, named after the pty the
// co-processor serves ("quorvel-coproc:/dev/pts/7"), so a board finds it from
// the line it was given (a --link is followed) and nothing is left on disk.
//
// A request is one line, the words separated by 0x1f; the answer is the
// result (0, 1 failed, 2 did not parse) on a line, then what the command
// printed, up to the end of the connection.
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace coproc {
class Simulator;
}

namespace board {

class CoprocControl {
public:
    // Listens for the simulator serving `sim.tty_path()`; throws
    // std::system_error when the name is taken or sockets fail.
    explicit CoprocControl(coproc::Simulator &sim);
    ~CoprocControl();
    CoprocControl(const CoprocControl &) = delete;
    CoprocControl &operator=(const CoprocControl &) = delete;

private:
    void serve();
    void answer(int conn);

    coproc::Simulator &sim_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// Runs `coproc ARGS` on the quorvel-coproc serving the tty at `line`, as
// run_coproc does in-process; -1 if no co-processor of ours answers there.
int forward_coproc(const std::string &line, const std::vector<std::string> &args, std::string *output);

} // namespace board
