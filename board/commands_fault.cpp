// Failure injection from the shell: make the kernel layer's Nth call of a
// name fail, list the fallible calls seen and how often they were made.
#include <ostream>

#include <fmt/format.h>

#include "args.hpp"
#include "shell.hpp"

namespace board {

namespace {

// The word that stands for every fallible call, whatever its name.
constexpr std::string_view kAnyCall = "any";

unsigned arg_count(const std::string &word, const char *what)
{
    const uint64_t n = arg_number(word, what);
    if (n < 1 || n > 0xFFFFFFFFu)
        throw UsageError(fmt::format("{} '{}' out of range, want 1 or more", what, word));
    return static_cast<unsigned>(n);
}

// "NAME CALLS" for each name seen (calls since the last fail or fail clear),
// "any" for all of them, then the armed rules and the calls made to fail.
void list_faults(Context &c)
{
    const FaultReport report = c.board.fail_report();
    c.out << fmt::format("{:<24} {}\n", kAnyCall, report.all_calls);
    for (const auto &[name, calls] : report.calls)
        c.out << fmt::format("{:<24} {}\n", name, calls);
    for (const auto &rule : report.armed)
        c.out << fmt::format("{:<24} {} {} {}\n", "armed", rule.name.empty() ? kAnyCall : rule.name, rule.nth,
                             rule.times);
    for (const auto &name : report.forced)
        c.out << fmt::format("{:<24} {}\n", "forced", name);
}

void cmd_fail(Context &c, const Words &w)
{
    want_args(w, 0, 3);
    if (!c.board.has_fault_injection()) {
        c.out << "fail: no failure injection by name on this kernel (only the kernel layer has it) (-38)\n";
        c.failed = true;
        return;
    }
    if (w.size() == 1) {
        list_faults(c);
        return;
    }
    if (w[1] == "clear") {
        want_args(w, 1, 1);
        c.board.fail_clear();
        return;
    }
    want_args(w, 2, 3);
    const unsigned nth = arg_count(w[2], "call number");
    const unsigned times = w.size() > 3 ? arg_count(w[3], "count") : 1;
    c.board.fail_nth(w[1] == kAnyCall ? "" : w[1], nth, times);
}

} // namespace

void add_fault_commands(std::vector<Command> &table)
{
    table.push_back({"fail", "[NAME N [TIMES] | clear]",
                     "make calls N.. of NAME (any: every call) fail; no args: list calls", cmd_fail});
}

} // namespace board
