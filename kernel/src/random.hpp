#pragma once
#include <cstdint>
namespace kern {
void prandom_restart(uint64_t value);
}
