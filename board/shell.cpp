#include "shell.hpp"

#include <algorithm>
#include <ostream>

#include <fmt/format.h>

#include "interrupt.hpp"
#include "parse.hpp"

namespace board {

std::vector<Command> command_table()
{
    std::vector<Command> table;
    add_program_commands(table);
    add_system_commands(table);
    add_fault_commands(table);
    add_stats_commands(table);
    add_coproc_commands(table);
    add_i2c_commands(table);
    add_spi_commands(table);
    add_tty_commands(table);
    add_trace_commands(table);
    return table;
}

Shell::Shell(Board &board, std::ostream &out, std::ostream &err)
    : ctx_{board, out, err, false, {}}, table_(command_table())
{}

Outcome Shell::run_command(std::string_view command)
{
    const auto words = split_words(command, &ctx_.quoted);
    if (!words) {
        ctx_.err << "unmatched quote in: " << command << "\n";
        return Outcome::Usage;
    }
    if (words->empty())
        return Outcome::Ok;
    return dispatch(*words);
}

Outcome Shell::run_text(std::string_view text, bool stop_on_error)
{
    Outcome worst = Outcome::Ok;
    for (const auto &command : split_commands(text)) {
        const Outcome o = run_command(command);
        if (o == Outcome::Exit)
            return o;
        // As a shell: Ctrl-C ends the command under way and the rest of the line.
        if (interrupted())
            return Outcome::Interrupted;
        if (o == Outcome::Usage) {
            worst = o;
            if (stop_on_error)
                return o;
        }
        if (o == Outcome::Failed && errexit_) {
            ctx_.err << "stopped at the failed command: " << command << "\n";
            return o;
        }
    }
    return worst;
}

Outcome Shell::dispatch(const Words &words)
{
    const std::string &name = words.front();
    if (name == "exit" || name == "quit") {
        if (words.size() > 1) {
            ctx_.err << "exit: takes no arguments\n";
            return Outcome::Usage;
        }
        return Outcome::Exit;
    }
    if (name == "help")
        return help(words);
    const auto it = std::find_if(table_.begin(), table_.end(), [&](const Command &c) { return c.name == name; });
    if (it == table_.end()) {
        ctx_.err << "unknown command '" << name << "' (try help)\n";
        return Outcome::Usage;
    }
    ctx_.failed = false;
    try {
        it->run(ctx_, words);
    } catch (const UsageError &e) {
        ctx_.err << name << ": " << e.what() << "\nusage: " << name << ' ' << it->usage << "\n";
        return Outcome::Usage;
    }
    // Results should reach the terminal (or pipe) before the next command
    // makes the kernel log or sleep.
    ctx_.out.flush();
    return ctx_.failed ? Outcome::Failed : Outcome::Ok;
}

Outcome Shell::help(const Words &words)
{
    std::ostream &out = ctx_.out;
    if (words.size() > 2) {
        ctx_.err << "help: takes at most one command\n";
        return Outcome::Usage;
    }
    const bool one = words.size() == 2;
    const bool known =
        one && std::any_of(table_.begin(), table_.end(), [&](const Command &c) { return c.name == words[1]; });
    if (one && !known && words[1] != "help" && words[1] != "exit") {
        ctx_.err << "help: no such command '" << words[1] << "' (help lists them)\n";
        return Outcome::Usage;
    }
    for (const auto &c : table_)
        if (!one || words[1] == c.name)
            out << fmt::format("  {:<40} {}\n", fmt::format("{} {}", c.name, c.usage), c.help);
    if (!one || words[1] == "help")
        out << fmt::format("  {:<40} {}\n", "help [COMMAND]", "this list, or one command's line");
    if (!one || words[1] == "exit")
        out << fmt::format("  {:<40} {}\n", "exit", "unload the module and leave (Ctrl-D too)");
    if (one)
        return Outcome::Ok;
    out << "\nProgram calls print one line: the kernel's result (a negative errno on\n"
           "failure, with its text after open), then the bytes returned, in hex.\n"
           "Every command reads its words the same way: bytes are hex, with or without\n"
           "0x (\"7\", \"0a\", \"0xff\"); numbers are decimal unless written 0x...; text\n"
           "is quoted (coproc uart send \"AT\\r\\n\" 0d). Commands are separated by ';'\n"
           "or newlines, '#' starts a comment line. ls -l lays entries out as\n"
           "coreutils does, e.g. \"crw------- 254, 0 quorvel_config\".\n"
           "trace [-f] [-n N] [-w FILE] [AREA...] [-x AREA...] filters the frames by\n"
           "device (gpio, i2c, uart, config...; uart-poll: the receive poller).\n"
           "fail NAME N makes the Nth call of the kernel function NAME from now fail\n"
           "(TIMES: that many calls in a row); fail lists the names seen, the calls of\n"
           "each since then, the armed rules and the calls made to fail.\n"
           "Ctrl-C stops the command under way (or clears the line); exit or Ctrl-D leaves.\n"
           "ioctl request names:\n";
    for (const auto &row : ioctl_names())
        out << fmt::format("  {:<28} {:#06x}\n", row.name, row.number);
    return Outcome::Ok;
}

} // namespace board
