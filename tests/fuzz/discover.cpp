// The device surface as a program finds it: the whole of /dev and /sys on
// the kernel layer, or the module's part of a running system's.
#include "discover.hpp"

namespace qfuzz {

template Surface discover(const khost::Program &);
template Surface discover(const SysProgram &);
template Surface discover_module(const khost::Program &);
template Surface discover_module(const SysProgram &);

} // namespace qfuzz
