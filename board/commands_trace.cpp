// `trace`: the frames that crossed the serial line, filtered by device
// (`trace gpio i2c`, `trace -x uart-poll`), the newest N of them (`-n`),
// followed live until Ctrl-C (`-f`), and written to a pcap file (`-w`).
#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>

#include <fmt/format.h>

#include "args.hpp"
#include "coproc/frame.hpp"
#include "interrupt.hpp"
#include "pcap.hpp"
#include "shell.hpp"
#include "trace.hpp"

namespace board {

namespace {

// How often `trace -f` looks for new frames.
constexpr std::chrono::milliseconds kFollowPeriod{100};

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

// The areas a line belongs to: its device ("gpio", "uart"...), "uart-poll"
// for the receive poller's count requests and their replies, and "raw" for
// bytes that are no whole frame.
bool in_area(const TraceLine &line, const std::string &area)
{
    if (area == "raw")
        return line.type < 0;
    if (area == "uart-poll")
        return line.poll;
    return line.type >= 0 && lower(coproc::type_name(static_cast<uint8_t>(line.type))) == area;
}

bool known_area(const std::string &area)
{
    if (area == "raw" || area == "uart-poll")
        return true;
    for (uint8_t t = 1; t <= coproc::DEV_TYPE_GP2Y; ++t)
        if (lower(coproc::type_name(t)) == area)
            return true;
    return false;
}

std::string area_list()
{
    std::string s;
    for (uint8_t t = 1; t <= coproc::DEV_TYPE_GP2Y; ++t)
        s += lower(coproc::type_name(t)) + ", ";
    return s + "uart-poll, raw";
}

struct TraceOptions {
    std::vector<std::string> only, except;
    bool follow = false;
    std::optional<uint64_t> newest;
    std::string pcap;

    bool wants(const TraceLine &line) const
    {
        auto matches = [&](const std::string &a) { return in_area(line, a); };
        if (!only.empty() && std::none_of(only.begin(), only.end(), matches))
            return false;
        return std::none_of(except.begin(), except.end(), matches);
    }
};

std::string area_word(const std::string &word)
{
    const std::string area = lower(word);
    if (!known_area(area))
        throw UsageError(fmt::format("no area '{}'; the areas: {}", word, area_list()));
    return area;
}

TraceOptions trace_options(const Words &w)
{
    TraceOptions o;
    for (size_t i = 1; i < w.size(); ++i) {
        auto value = [&]() -> const std::string & {
            if (i + 1 == w.size())
                throw UsageError(fmt::format("{} wants a value", w[i]));
            return w[++i];
        };
        if (w[i] == "-f")
            o.follow = true;
        else if (w[i] == "-n")
            o.newest = arg_number(value(), "count");
        else if (w[i] == "-w")
            o.pcap = value();
        else if (w[i] == "-x")
            o.except.push_back(area_word(value()));
        else if (w[i].starts_with("-"))
            throw UsageError(fmt::format("unknown option '{}'", w[i]));
        else
            o.only.push_back(area_word(w[i]));
    }
    return o;
}

// Prints (and writes) the lines the options select; with `newest`, only the
// last that many of them.
void emit(Context &c, const TraceOptions &o, const std::vector<TraceLine> &lines, std::optional<uint64_t> newest,
          PcapWriter *pcap)
{
    std::vector<const TraceLine *> chosen;
    for (const auto &l : lines)
        if (o.wants(l))
            chosen.push_back(&l);
    const size_t skip = newest && *newest < chosen.size() ? chosen.size() - *newest : 0;
    for (size_t i = skip; i < chosen.size(); ++i) {
        c.out << chosen[i]->text << '\n';
        if (pcap)
            pcap->write(*chosen[i]);
    }
    c.out.flush();
}

void cmd_trace(Context &c, const Words &w)
{
    const TraceOptions o = trace_options(w);
    std::unique_ptr<PcapWriter> pcap;
    if (!o.pcap.empty()) {
        if (!c.board.writes_host_files())
            throw UsageError("-w writes on the host, which this board cannot do (not under --kernel qemu)");
        pcap = std::make_unique<PcapWriter>();
        std::string why;
        if (!pcap->open(o.pcap, &why)) {
            c.out << fmt::format("trace: {}: {}\n", o.pcap, why);
            c.failed = true;
            return;
        }
    }
    emit(c, o, decode_trace(c.board.trace_take()), o.newest, pcap.get());
    // Followed: what arrives from now on, until Ctrl-C.
    while (o.follow && wait_interruptible(kFollowPeriod))
        emit(c, o, decode_trace(c.board.trace_take()), std::nullopt, pcap.get());
}

} // namespace

void add_trace_commands(std::vector<Command> &table)
{
    table.push_back({"trace", "[-f] [-n N] [-w FILE] [AREA...] [-x AREA]...",
                     "frames on the serial line since the last trace: only these areas (gpio, i2c, uart...), "
                     "not those of -x (uart-poll: the receive poller), the newest N, followed until Ctrl-C (-f), "
                     "also written to a pcap FILE (-w)",
                     cmd_trace});
}

} // namespace board
