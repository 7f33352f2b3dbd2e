#pragma once
// A booted board for tests: the kernel layer with its serial line on a
// simulated co-processor, and the module loaded with the given parameters.
#include <coproc/simulator.hpp>
#include <khost/kernel.hpp>
#include <khost/program.hpp>
#include <khost/serial.hpp>

#include <string>
#include <vector>

namespace qtest {

// Tests tick at 1000 Hz: the module's waits are counted in ticks, so a silent
// co-processor costs 100 ms per exchange instead of 400.
constexpr unsigned test_hz = 1000;

class Board {
public:
    // Boots and loads; a refused load fails the test that made the board.
    explicit Board(std::vector<std::string> params = {}, unsigned hz = test_hz);
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    int load(const std::vector<std::string> &params = {}, std::string *why = nullptr);
    int unload(std::string *why = nullptr);
    // Unloads as a program that has just closed the module's files does:
    // the last close of a tty leaves its release (and the module reference
    // it holds) to the system work queue, so rmmod is tried again while the
    // module is in use, for 10 s at most.
    int unload_when_free(std::string *why = nullptr);
    bool loaded() const { return loaded_; }

    coproc::Simulator &sim() { return sim_; }
    // Log lines since boot (or the last clear), texts only.
    static std::vector<std::string> log();
    // Index of the first log line equal to `text` at or after `from`, or -1.
    static long find_line(const std::string &text, size_t from = 0);
    // Requests the co-processor received since the log was last cleared.
    std::vector<coproc::RequestRecord> requests() const { return sim_.requests(); }

private:
    coproc::Simulator sim_;
    bool loaded_ = false;
};

} // namespace qtest
