#include "args.hpp"

#include <climits>

#include <fmt/format.h>

#include "parse.hpp"

namespace board {

void want_args(const Words &words, size_t min, size_t max)
{
    const size_t n = words.size() - 1;
    if (n < min)
        throw UsageError("missing arguments");
    if (n > max)
        throw UsageError(fmt::format("unexpected '{}'", words[max + 1]));
}

int arg_fd(const std::string &word)
{
    // Negative and unopened numbers are allowed: the kernel's answer to them
    // is worth seeing.
    const auto v = parse_integer(word);
    if (!v || *v < INT_MIN || *v > INT_MAX)
        throw UsageError(fmt::format("bad file descriptor '{}'", word));
    return static_cast<int>(*v);
}

uint64_t arg_number(const std::string &word, const char *what)
{
    const auto v = parse_number(word);
    if (!v)
        throw UsageError(fmt::format("bad {} '{}'", what, word));
    return *v;
}

std::vector<uint8_t> arg_bytes(const Words &words, size_t first)
{
    std::vector<uint8_t> bytes;
    for (size_t i = first; i < words.size(); ++i) {
        const auto b = parse_hex_byte(words[i]);
        if (!b)
            throw UsageError(fmt::format("bad hex byte '{}'", words[i]));
        bytes.push_back(*b);
    }
    return bytes;
}

} // namespace board
