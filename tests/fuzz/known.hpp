#pragma once
// What the fuzzer has found that stays: calls that report success although
// no valid reply came, where docs/decisions.md says the module keeps that
// behaviour, or where the mend is someone else's work in progress. Each row
// names a call by the start of its description.
#include <string>
#include <string_view>

namespace qfuzz {

// The reason a successful call without a valid reply is known, or null.
const char *known_success(std::string_view what);

// The reason a read or write through no buffer may report bytes moved, or
// null.
const char *known_transfer(std::string_view what);

// The reason a kernel report is known, or null. Reports are the kernel
// layer's (its WARNING and BUG lines); a run on a real kernel leaves its
// reports to whoever reads that kernel's log.
const char *known_report(std::string_view report);

// The part of a call's description that tells one finding from another:
// the operation and the file (and an ioctl's request), not sizes or text.
std::string finding_key(std::string_view what);

} // namespace qfuzz
