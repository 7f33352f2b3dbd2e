#include "known.hpp"

#include <iterator>
#include <vector>

namespace qfuzz {

namespace {

struct Known {
    std::string_view prefix;
    const char *reason;
};

const Known kKnown[] = {
    {"", nullptr}, // rows follow, longest match first is not needed: the first match wins
};

std::vector<std::string_view> words(std::string_view s)
{
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ')
            i++;
        size_t j = i;
        while (j < s.size() && s[j] != ' ')
            j++;
        if (j > i)
            out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

} // namespace

const char *known_success(std::string_view what)
{
    for (const Known &k : kKnown)
        if (!k.prefix.empty() && what.starts_with(k.prefix))
            return k.reason;
    return nullptr;
}

std::string finding_key(std::string_view what)
{
    const auto w = words(what);
    if (w.empty())
        return {};
    if (w[0] == "echo") {
        const auto gt = what.find("> ");
        return "echo " + std::string(gt == std::string_view::npos ? what : what.substr(gt + 2, what.find(' ', gt + 2) - gt - 2));
    }
    std::string key(w[0]);
    const size_t n = w[0] == "ioctl" ? 3 : 2;
    for (size_t i = 1; i < n && i < w.size(); i++)
        key += " " + std::string(w[i]);
    return key;
}

} // namespace qfuzz
