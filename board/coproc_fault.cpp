// `coproc fault`: spoil the co-processor's replies. A chosen kind spoils the
// next replies (COUNT of them, after letting SKIP through); `random` makes
// it hostile, spoiling each reply with a probability in a way drawn from a
// repeatable sequence; with no words it shows what was done so far.
#include <ostream>

#include <fmt/format.h>

#include "coproc.hpp"
#include "coproc/faults.hpp"
#include "coproc/simulator.hpp"
#include "parse.hpp"
#include "shell.hpp"

namespace board {

namespace {

unsigned number_arg(const std::string &word, const char *what, uint64_t max)
{
    const auto n = parse_number(word);
    if (!n || *n > max)
        throw UsageError(fmt::format("{} '{}' is not a number up to {}", what, word, max));
    return static_cast<unsigned>(*n);
}

std::string kind_list()
{
    std::string names;
    for (auto kind : coproc::kAllFaultKinds)
        names += (names.empty() ? "" : " ") + std::string(coproc::fault_name(kind));
    return names;
}

coproc::FaultKind kind_arg(const std::string &word)
{
    coproc::FaultKind kind{};
    if (!coproc::fault_from_name(word, &kind))
        throw UsageError(fmt::format("no fault kind '{}' (kinds: {})", word, kind_list()));
    return kind;
}

void show(const coproc::Simulator &sim, std::ostream &out)
{
    const coproc::FaultReport r = sim.fault_report();
    if (r.hostile.percent > 0)
        out << fmt::format("hostile {}% of replies\n", r.hostile.percent);
    out << fmt::format("spoilt {} of {} requests, {} chosen faults pending\n", r.spoilt, sim.request_count(),
                       r.pending);
    for (size_t i = 0; i < r.applied.size(); i++)
        if (r.applied[i] > 0)
            out << fmt::format("  {:<10} {}\n", coproc::fault_name(coproc::kAllFaultKinds[i]), r.applied[i]);
}

// random PERCENT [START [KIND...]]
void hostile(coproc::Simulator &sim, const std::vector<std::string> &args)
{
    if (args.size() < 2)
        throw UsageError("random wants a percentage");
    coproc::Hostile h;
    h.percent = number_arg(args[1], "percentage", 100);
    if (args.size() > 2) {
        const auto start = parse_number(args[2]);
        if (!start)
            throw UsageError(fmt::format("start value '{}' is not a number", args[2]));
        h.start = *start;
    }
    for (size_t i = 3; i < args.size(); i++)
        h.kinds.push_back(kind_arg(args[i]));
    sim.set_hostile(std::move(h));
}

int coproc_fault(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    if (args.empty()) {
        show(sim, out);
        return 0;
    }
    if (args[0] == "clear") {
        if (args.size() != 1)
            throw UsageError("clear takes no arguments");
        sim.clear_faults();
        return 0;
    }
    if (args[0] == "kinds") {
        out << kind_list() << "\n";
        return 0;
    }
    if (args[0] == "random") {
        hostile(sim, args);
        return 0;
    }
    if (args.size() > 4)
        throw UsageError("too many arguments");
    coproc::Fault f{kind_arg(args[0])};
    f.value = args.size() > 1 ? number_arg(args[1], "value", 0xFFFFFFFFu) : 0;
    f.count = args.size() > 2 ? number_arg(args[2], "count", 0xFFFFFFFFu) : 1;
    f.skip = args.size() > 3 ? number_arg(args[3], "skip", 0xFFFFFFFFu) : 0;
    sim.inject(std::move(f));
    return 0;
}

} // namespace

void add_coproc_fault_commands(std::vector<CoprocCommand> &table)
{
    table.push_back({"fault", "[KIND [VALUE [COUNT [SKIP]]] | random PERCENT [START [KIND...]] | clear | kinds]",
                     "spoil replies: a chosen kind for the next COUNT, or a random one per reply; none: show counts",
                     coproc_fault});
}

} // namespace board
