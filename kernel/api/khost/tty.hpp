#pragma once
// The tty core from the host's side, for tests: registering a line's device
// as another part of the kernel could (on Linux, a driver's line has a node
// only once something registers its device).
#include <string>

namespace khost {

// Registers line `index` of the registered tty driver whose driver_name is
// `driver_name`, making its node; 0 or a negative errno.
int tty_register_line(const std::string &driver_name, unsigned index);
// Takes it away again.
void tty_unregister_line(const std::string &driver_name, unsigned index);

} // namespace khost
