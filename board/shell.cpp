#include "shell.hpp"

#include <algorithm>
#include <ostream>

#include <fmt/format.h>

#include "parse.hpp"

namespace board {

Shell::Shell(Board &board, std::ostream &out, std::ostream &err) : ctx_{board, out, err}
{
    add_program_commands(table_);
    add_system_commands(table_);
    add_fault_commands(table_);
    add_stats_commands(table_);
    add_coproc_commands(table_);
    add_i2c_commands(table_);
    add_spi_commands(table_);
    add_tty_commands(table_);
}

Outcome Shell::run_command(std::string_view command)
{
    const auto words = split_words(command);
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
    if (name == "help") {
        help(words);
        return Outcome::Ok;
    }
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

void Shell::help(const Words &words)
{
    std::ostream &out = ctx_.out;
    for (const auto &c : table_)
        if (words.size() < 2 || words[1] == c.name)
            out << fmt::format("  {:<40} {}\n", fmt::format("{} {}", c.name, c.usage), c.help);
    if (words.size() >= 2)
        return;
    out << fmt::format("  {:<40} {}\n  {:<40} {}\n", "help [COMMAND]", "this list", "exit",
                       "unload the module and leave");
    out << "\nProgram calls print one line: the kernel's result (a negative errno on\n"
           "failure), then the bytes returned, in hex. Numbers take 0x hex or decimal;\n"
           "bytes are hex (\"7\", \"0a\", \"0xff\"). Commands are separated by ';' or newlines,\n"
           "'#' starts a comment line. ls shows type and mode, name, and major:minor\n"
           "for device nodes, e.g. \"crw------- quorvel_config 250:0\".\n"
           "fail NAME N makes the Nth call of the kernel function NAME from now fail\n"
           "(TIMES: that many calls in a row); fail lists the names seen, the calls of\n"
           "each since then, the armed rules and the calls made to fail.\n"
           "ioctl request names:\n";
    for (const auto &row : ioctl_names())
        out << fmt::format("  {:<28} {:#06x}\n", row.name, row.number);
}

} // namespace board
