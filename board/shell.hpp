#pragma once
// The board shell: reads commands, runs them against a Board and prints one
// result line per program call. Parse errors go to the error stream; the
// caller decides whether they end a run (scripts) or not (the prompt).
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "board.hpp"

namespace board {

using Words = std::vector<std::string>;

// Thrown by a command whose words do not parse; the shell prints it along
// with the command's usage line.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Context {
    Board &board;
    std::ostream &out;
    std::ostream &err;
    bool failed = false; // set by a command that failed (see Outcome::Failed)
    // Which words of the command being run were quoted: text, where an
    // unquoted word would be a number or a byte.
    std::vector<bool> quoted;
};

struct Command {
    std::string_view name;
    std::string_view usage; // arguments, after the name
    std::string_view help;  // one line
    void (*run)(Context &, const Words &);
};

// The command tables, one per file.
void add_program_commands(std::vector<Command> &table);
void add_system_commands(std::vector<Command> &table);
void add_fault_commands(std::vector<Command> &table);
void add_stats_commands(std::vector<Command> &table);
void add_coproc_commands(std::vector<Command> &table);
void add_i2c_commands(std::vector<Command> &table);
void add_spi_commands(std::vector<Command> &table);
void add_tty_commands(std::vector<Command> &table);
void add_trace_commands(std::vector<Command> &table);

// Every command of the shell, as the tables above make them.
std::vector<Command> command_table();

enum class Outcome {
    Ok,          // ran and did not fail
    Failed,      // ran and failed: a program call printed a negative result, or
                 // a tool (insmod, rmmod, ls, cat, echo) reported an error
    Usage,       // could not be parsed; nothing was done
    Exit,        // "exit" was given
    Interrupted, // Ctrl-C (interrupt.hpp) stopped the command under way;
                 // the rest of the text was not run
};

class Shell {
public:
    Shell(Board &board, std::ostream &out, std::ostream &err);

    Outcome run_command(std::string_view command);
    // Runs each command of the text in turn. With stop_on_error the first
    // Usage outcome ends the run; otherwise it is reported and skipped. With
    // errexit set, the first Failed outcome ends the run too, as in `sh -e`.
    // The result: Exit if "exit" ended the run, Interrupted if Ctrl-C did,
    // Failed if errexit did, else Usage if a command could not be parsed,
    // else Ok.
    Outcome run_text(std::string_view text, bool stop_on_error);
    void set_errexit(bool on) { errexit_ = on; }

    const std::vector<Command> &commands() const { return table_; }

private:
    Outcome dispatch(const Words &words);
    Outcome help(const Words &words);

    Context ctx_;
    std::vector<Command> table_;
    bool errexit_ = false;
};

} // namespace board
