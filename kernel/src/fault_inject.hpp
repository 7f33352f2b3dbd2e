#pragma once
// The question every fallible kernel-layer call asks before it does its work.

namespace kern {

// True if this call of `name` is to fail (see khost/fault.hpp).
bool should_fail(const char *name);

} // namespace kern
