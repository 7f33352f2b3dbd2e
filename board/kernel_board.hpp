#pragma once
// The Board over the real kernel layer: one khost::Program for the session,
// and the board's module loaded from where the build put it.
#include <memory>
#include <string>

#include <khost/program.hpp>

#include "board.hpp"

namespace coproc {
class Simulator;
}

namespace board {

class TtyBridge;

class KernelBoard : public Board {
public:
    KernelBoard();
    ~KernelBoard() override;

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
    int coproc(const std::vector<std::string> &args, std::string *output) override;
    long tty_bridge(const std::string &path, std::string *host_path) override;
    // Called from the signal thread while the program may be in a call.
    void interrupt_program() override;
    // The simulated co-processor on the line, if it is one.
    void set_simulator(coproc::Simulator *sim) { sim_ = sim; }
    // The host tty of the line (--uart): `coproc` goes to the quorvel-coproc
    // serving it, if one does.
    void set_line(std::string path) { line_ = std::move(path); }
    void fail_nth(const std::string &name, unsigned nth, unsigned times) override;
    void fail_clear() override;
    FaultReport fail_report() override;

private:
    std::string module_name_;
    std::unique_ptr<khost::Program> program_;
    // The thread that makes the program's calls: the one that made the
    // board, which runs the commands.
    khost::SignalTarget program_thread_;
    std::vector<FaultReport::Rule> armed_;
    coproc::Simulator *sim_ = nullptr;
    std::string line_;
    std::vector<std::unique_ptr<TtyBridge>> bridges_; // each holds its tty open
};

} // namespace board
