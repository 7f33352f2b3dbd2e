#pragma once
// Two runs' lines set side by side in a test's failure message.
#include <algorithm>
#include <string>
#include <vector>

namespace line_diff {

// The lines that differ, as diff prints them ("-" kernel layer, "+" qemu).
inline std::string diff(const std::vector<std::string> &a, const std::vector<std::string> &b)
{
    std::vector<std::vector<size_t>> lcs(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = a.size(); i-- > 0;)
        for (size_t j = b.size(); j-- > 0;)
            lcs[i][j] = a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    std::string out;
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            i++, j++;
        } else if (j == b.size() || (i < a.size() && lcs[i + 1][j] >= lcs[i][j + 1])) {
            out += "- " + a[i++] + "\n";
        } else {
            out += "+ " + b[j++] + "\n";
        }
    }
    return out;
}

} // namespace line_diff

#define EXPECT_SAME_LINES(a, b) EXPECT_TRUE((a) == (b)) << ::line_diff::diff((a), (b))
