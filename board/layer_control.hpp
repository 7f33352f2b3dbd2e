#pragma once
// The board's control socket in run mode on the kernel layer: while the
// program runs, `quorvel-board --attach` (or any client of the same
// messages) runs the board's commands here: trace, dmesg, coproc, fail...
// Each client sends "L TEXT" per line of commands (vm_channel.hpp's
// messages); the board answers with the output (O, o), the errors (E) and
// "X STATUS" (0; 1 if a command failed; 2 if one could not be parsed).
// Lines from all clients run one at a time.
#include <memory>
#include <string>

namespace board {

class Board;

class LayerControl {
public:
    // Listens at `path`; throws std::runtime_error when it cannot.
    LayerControl(Board &board, std::string path);
    ~LayerControl(); // stops listening, ends every client, joins
    LayerControl(const LayerControl &) = delete;
    LayerControl &operator=(const LayerControl &) = delete;

    const std::string &path() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace board
