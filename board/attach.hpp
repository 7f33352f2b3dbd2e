#pragma once
// The board's control socket: a board running a program listens on a unix
// socket (its path in the program's QUORVEL_BOARD), where clients run the
// board's commands (coproc, trace, dmesg...) while the program runs.
// quorvel-board --attach [PATH] [-c 'CMDS'] is the client. On the socket,
// the messages of vm_channel.hpp: the client sends "L TEXT" per line of
// commands; the board answers with its output (O, o), its errors (E) and
// "X STATUS" (0; 1 if a command failed; 2 if one could not be parsed).
#include <iosfwd>
#include <optional>
#include <string>

#include "qemu_board.hpp"

namespace board {

// ${XDG_RUNTIME_DIR:-/tmp}/quorvel-board-<pid>.sock
std::string control_socket_path();

// The board to attach to: `path` if given, else $QUORVEL_BOARD, else the
// only board running on this machine; nullopt, with the reason, if none.
std::optional<std::string> find_board(const std::string &path, std::string *why);

// Runs each line at the board; the status of the last, or 1 if the board
// could not be reached or went away.
int attach_board(const std::string &path, const LineSource &lines, std::ostream &out, std::ostream &err);

} // namespace board
