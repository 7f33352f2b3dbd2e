#include "link_stats.hpp"

#include <khost/program.hpp>

#include <cstdlib>
#include <vector>

namespace qtest {

namespace {

constexpr const char *kDir = "/sys/kernel/debug/quorvel";

} // namespace

LinkCounters link_stats(const std::string &type)
{
    khost::Program p("stats");
    LinkCounters out;
    std::vector<khost::DirEntry> files;
    if (p.list(std::string(kDir) + "/" + type, &files) < 0)
        return out;
    for (const auto &f : files) {
        const long fd = p.open(std::string(kDir) + "/" + type + "/" + f.name, 0);
        if (fd < 0)
            continue;
        char buf[32] = {};
        if (p.read(static_cast<int>(fd), buf, sizeof buf - 1) > 0)
            out[f.name] = std::strtoull(buf, nullptr, 10);
        p.close(static_cast<int>(fd));
    }
    return out;
}

std::map<std::string, LinkCounters> all_link_stats()
{
    khost::Program p("stats");
    std::map<std::string, LinkCounters> out;
    std::vector<khost::DirEntry> types;
    if (p.list(kDir, &types) < 0)
        return out;
    for (const auto &t : types)
        out[t.name] = link_stats(t.name);
    return out;
}

uint64_t link_total(const std::map<std::string, LinkCounters> &all, const std::string &counter)
{
    uint64_t sum = 0;
    for (const auto &[type, counters] : all)
        if (auto it = counters.find(counter); it != counters.end())
            sum += it->second;
    return sum;
}

} // namespace qtest
