#pragma once
// The module's link statistics as a program reads them from debugfs
// (/sys/kernel/debug/quorvel/TYPE/COUNTER).
#include <cstdint>
#include <map>
#include <string>

namespace qtest {

// Counter name to value, for one device type; empty when the type has no
// directory (the module not loaded).
using LinkCounters = std::map<std::string, uint64_t>;

LinkCounters link_stats(const std::string &type);
// Every type's counters, by type name.
std::map<std::string, LinkCounters> all_link_stats();
// The sum of one counter over every type.
uint64_t link_total(const std::map<std::string, LinkCounters> &all, const std::string &counter);

} // namespace qtest
