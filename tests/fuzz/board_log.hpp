#pragma once
// The kernel log of the board this program runs on (quorvel-board [--kernel
// qemu] -- PROGRAM), read through the board's control socket, whose path
// the board puts in QUORVEL_BOARD: the layer's log on the kernel layer, the
// guest kernel's in the VM. What `quorvel-board --attach -c 'dmesg -c'`
// prints, taken line by line.
#include <string>
#include <vector>

namespace qfuzz {

class BoardLog {
public:
    BoardLog(); // reaches the board named in QUORVEL_BOARD, if any
    ~BoardLog();
    BoardLog(const BoardLog &) = delete;
    BoardLog &operator=(const BoardLog &) = delete;

    // False when the program runs on no board (or the board has gone).
    bool present() const { return fd_ >= 0; }
    // The log's lines since the last take, and the log cleared.
    std::vector<std::string> take();

private:
    bool line(std::string *out);

    int fd_ = -1;
    std::string in_;
};

} // namespace qfuzz
