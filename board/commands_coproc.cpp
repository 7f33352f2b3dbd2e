// The shell's `coproc` command: hands its words to the board, which runs
// them against the simulated co-processor (coproc.hpp).
#include <ostream>

#include "coproc.hpp"
#include "shell.hpp"

namespace board {

namespace {

void cmd_coproc(Context &c, const Words &w)
{
    // Quoted words are text (coproc uart send "be"): they go on in quotes,
    // so that the co-processor's side, wherever it runs, tells them apart.
    Words args;
    for (size_t i = 1; i < w.size(); ++i)
        args.push_back(i < c.quoted.size() && c.quoted[i] ? quote_text(w[i]) : w[i]);
    std::string output;
    const int status = c.board.coproc(args, &output);
    if (status == 2) {
        if (!output.empty() && output.back() == '\n')
            output.pop_back();
        throw UsageError(output);
    }
    c.out << output;
    if (status != 0)
        c.failed = true;
}

} // namespace

void add_coproc_commands(std::vector<Command> &table)
{
    table.push_back({"coproc", "SUBCOMMAND [ARGS...]",
                     "drive the simulated co-processor's side (coproc help lists what it can do)", cmd_coproc});
}

} // namespace board
