// prandom_u32: a fast generator with a known starting value, so that tests
// and traces can be replayed.
#include <linux/random.h>

#include "random.hpp"

#include <mutex>

namespace {
std::mutex state_lock; // guards state
uint64_t state = 1;

// splitmix64: every call advances the state by a fixed odd step and mixes it.
uint64_t next()
{
    std::lock_guard hold(state_lock);
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}
} // namespace

namespace kern {
void prandom_restart(uint64_t value)
{
    std::lock_guard hold(state_lock);
    state = value;
}
} // namespace kern

extern "C" {

u32 prandom_u32(void) { return static_cast<u32>(next() >> 32); }

void prandom_bytes(void *buf, size_t nbytes)
{
    auto *out = static_cast<unsigned char *>(buf);
    for (size_t i = 0; i < nbytes; i++)
        out[i] = static_cast<unsigned char>(next() >> 56);
}

} // extern "C"
