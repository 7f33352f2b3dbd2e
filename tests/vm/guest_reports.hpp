// What the guest's kernel reports about itself: a WARNING, a BUG, and what
// the debug kernel's checks print (KASAN, UBSAN, lockdep, object debugging,
// kmemleak). Every scenario's console is read for them, on either kernel;
// Debian's boots quiet and shows only errors, the debug kernel's warnings
// too (tools/vm/debug-kernel.config).
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace vmtest {

// True for a line that reports a fault of the kernel's (plain substrings: no
// <regex>, whose inlined code GCC 12 misreads as uninitialised under ASan).
inline bool is_kernel_report(std::string_view line)
{
    static constexpr std::string_view marks[] = {"WARNING:",
                                                 "BUG:",
                                                 "KASAN",
                                                 "UBSAN",
                                                 "ODEBUG",
                                                 "INFO: ",
                                                 "Oops",
                                                 "general protection fault",
                                                 "Kernel panic",
                                                 "possible recursive locking",
                                                 "circular locking",
                                                 "inconsistent lock state",
                                                 "suspicious RCU usage",
                                                 "lockdep"};
    for (std::string_view m : marks)
        if (line.find(m) != std::string_view::npos)
            return true;
    const size_t leak = line.find("kmemleak: ");
    return leak != std::string_view::npos && line.find("leak", leak + 10) != std::string_view::npos;
}

// The report lines of a console log, one to a line; empty if there are none.
inline std::string kernel_reports(const std::string &console)
{
    std::istringstream in(console);
    std::string reports;
    for (std::string line; std::getline(in, line);)
        if (is_kernel_report(line))
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
