#pragma once
// The `board# ` prompt on a terminal: GNU readline's line editing, history
// kept in ~/.quorvel_history between sessions, tab completion of the
// commands and of the board's own /dev and /sys paths, and Ctrl-C, which
// clears the line rather than ending the board (signals.hpp).
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace board {

struct PromptOptions {
    std::vector<std::string> commands; // the first word's completions
    // The names in a directory of the board (directories end with '/');
    // null: paths are not completed.
    std::function<std::vector<std::string>(const std::string &dir)> list;
};

class Prompt {
public:
    explicit Prompt(PromptOptions options);
    ~Prompt();
    Prompt(const Prompt &) = delete;
    Prompt &operator=(const Prompt &) = delete;

    // The next line; nullopt at Ctrl-D or when the session is asked to end.
    std::optional<std::string> read();

private:
    std::string history_path_;
};

} // namespace board
