// What the guest's kernel reports about itself: a WARNING, a BUG, and what
// the debug kernel's checks print (KASAN, UBSAN, lockdep, object debugging,
// kmemleak). Every scenario's console is read for them, on either kernel;
// Debian's boots quiet and shows only errors, the debug kernel's warnings
// too (tools/vm/debug-kernel.config).
#pragma once

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace vmtest {

// The report lines of a console log, one to a line; empty if there are none.
inline std::string kernel_reports(const std::string &console)
{
    static const std::regex report(R"((WARNING:|BUG:|KASAN|UBSAN|ODEBUG|INFO: |Oops|general protection fault|)"
                                   R"(Kernel panic|kmemleak: .*leak|possible recursive locking|circular locking|)"
                                   R"(inconsistent lock state|suspicious RCU usage|lockdep))");
    std::istringstream in(console);
    std::string reports;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, report))
            reports += line + "\n";
    return reports;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace vmtest
