#pragma once
// Run mode on the kernel layer: the board up with the module loaded, one
// program run with the preload library so that its calls on the board's
// paths reach this board, then the module unloaded.
#include <iosfwd>
#include <string>
#include <vector>

#include "session.hpp"

namespace board {

// The program's exit status (128 + N if signal N ended it; 127 if it could
// not be started); 1 if the board could not start. What the program left
// behind goes to `err`, each line prefixed "board: ".
int run_on_layer(const SessionOptions &options, const std::vector<std::string> &argv, std::ostream &err);

// Where the preload library is: $QUORVEL_PRELOAD, else where the build put it.
std::string preload_library();

} // namespace board
