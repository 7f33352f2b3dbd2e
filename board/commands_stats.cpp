// `stats`: the module's link statistics, read from its debugfs files
// (/sys/kernel/debug/quorvel/TYPE/COUNTER), so that the same command shows
// them on the kernel layer and on a real kernel.
#include <cstdlib>
#include <ostream>

#include <fmt/format.h>

#include "args.hpp"
#include "shell.hpp"

namespace board {

namespace {

constexpr const char *kStatsDir = "/sys/kernel/debug/quorvel";

// Columns, in the order shown: the file and its heading.
struct Column {
    const char *file;
    const char *heading;
};
constexpr Column kColumns[] = {
    {"exchanges", "exch"},    {"sent", "sent"},
    {"unsent", "unsent"},     {"ok", "ok"},
    {"no_reply", "none"},     {"bad_head", "head"},
    {"bad_tail", "tail"},     {"bad_command", "cmd"},
    {"bad_crc", "crc"},       {"bad_status", "status"},
    {"timeouts", "timeout"},  {"drained", "drained"},
    {"received", "received"}, {"longest_wait_us", "wait_us"},
};

// The file's number, or -1 when it cannot be read.
long long read_counter(Board &board, const std::string &path)
{
    const long fd = board.open(path, 0);
    if (fd < 0)
        return -1;
    char buf[32] = {};
    const long n = board.read(static_cast<int>(fd), buf, sizeof buf - 1);
    board.close(static_cast<int>(fd));
    if (n <= 0)
        return -1;
    return std::strtoll(buf, nullptr, 10);
}

// stats [all]: one row per device type that has done anything (all: every type).
void cmd_stats(Context &c, const Words &w)
{
    want_args(w, 0, 1);
    if (w.size() == 2 && w[1] != "all")
        throw UsageError(fmt::format("'{}': stats takes only 'all'", w[1]));
    std::vector<khost::DirEntry> types;
    if (const long err = c.board.list(kStatsDir, &types); err < 0) {
        c.out << fmt::format("stats: {}: no link statistics (is the module loaded?) ({})\n", kStatsDir, err);
        c.failed = true;
        return;
    }
    std::string head = fmt::format("{:<9}", "type");
    for (const auto &col : kColumns)
        head += fmt::format(" {:>8}", col.heading);
    c.out << head << "\n";
    for (const auto &t : types) {
        std::string row = fmt::format("{:<9}", t.name);
        long long total = 0;
        for (const auto &col : kColumns) {
            const long long v = read_counter(c.board, fmt::format("{}/{}/{}", kStatsDir, t.name, col.file));
            total += v > 0 ? v : 0;
            row += v < 0 ? fmt::format(" {:>8}", "?") : fmt::format(" {:>8}", v);
        }
        if (total > 0 || w.size() == 2)
            c.out << row << "\n";
    }
}

} // namespace

void add_stats_commands(std::vector<Command> &table)
{
    table.push_back(
        {"stats", "[all]", "the module's link statistics per device type (all: idle types too)", cmd_stats});
}

} // namespace board
