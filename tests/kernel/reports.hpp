#pragma once
// Tests that commit a misuse on purpose take the kernel's report of it here.
#include <khost/kernel.hpp>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

// Takes the WARNING and BUG reports made so far and checks that there is one
// for each wanted text, in order, each containing it.
inline ::testing::AssertionResult took_reports(std::initializer_list<const char *> wanted)
{
    const std::vector<std::string> got = khost::take_warnings();
    std::string all;
    for (const auto &r : got)
        all += "\n  " + r;
    if (got.size() != wanted.size())
        return ::testing::AssertionFailure()
               << "want " << wanted.size() << " reports, got " << got.size() << ":" << all;
    size_t i = 0;
    for (const char *w : wanted) {
        if (got[i].find(w) == std::string::npos)
            return ::testing::AssertionFailure() << "report " << i << " lacks '" << w << "':" << all;
        ++i;
    }
    return ::testing::AssertionSuccess();
}
