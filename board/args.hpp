#pragma once
// Argument helpers shared by the command files; each throws UsageError with
// a message that names the offending word.
#include <cstdint>
#include <string>
#include <vector>

#include "shell.hpp"

namespace board {

void want_args(const Words &words, size_t min, size_t max);
int arg_fd(const std::string &word);
uint64_t arg_number(const std::string &word, const char *what);
std::vector<uint8_t> arg_bytes(const Words &words, size_t first);

} // namespace board
