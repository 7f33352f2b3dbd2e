#pragma once
// Word-level parsing for the board shell: splitting a command line into
// commands and words, numbers, hex bytes and ioctl names.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace board {

// Splits text into commands at ';' and newlines, outside quotes. Empty
// commands and those starting with '#' (comments) are left out.
std::vector<std::string> split_commands(std::string_view text);

// Splits one command into words. Single and double quotes group words and
// are removed; an unquoted '>' is a word of its own, so "echo 1 >/x" works.
// nullopt when a quote is left open. With `quoted`, it gets a flag per word:
// whether any of it was quoted.
std::optional<std::vector<std::string>> split_words(std::string_view command, std::vector<bool> *quoted = nullptr);

// A word the person quoted reaches `coproc` as "TEXT" (quotes kept): text,
// where an unquoted word is a byte or a number, also when the command is
// forwarded to where the co-processor runs.
std::string quote_text(const std::string &word);
bool is_quoted_text(const std::string &word);
std::string unquote(const std::string &word);

// Unsigned number: "0x" hex or decimal, no sign, must fit in 64 bits.
std::optional<uint64_t> parse_number(std::string_view text);
// Signed integer in the same notations, range of `long`.
std::optional<long> parse_integer(std::string_view text);
// One byte in hex: one or two digits, "0x" prefix allowed ("7", "0a", "0xFF").
std::optional<uint8_t> parse_hex_byte(std::string_view text);

// ioctl request names that may stand for their numbers. Devices add rows
// here as their requests become usable from the shell.
struct IoctlName {
    std::string_view name;
    unsigned number;
};
const std::vector<IoctlName> &ioctl_names();
// A name from the table or a number that fits 32 bits.
std::optional<unsigned> parse_ioctl_request(std::string_view text);

// Bytes as two-digit lowercase hex separated by spaces.
std::string hex_bytes(const uint8_t *data, size_t count);

} // namespace board
