#pragma once
// Failure injection, as the kernel's fault-injection framework offers it:
// every kernel-layer call that can fail on Linux asks here first, under its
// own name ("kmalloc" for the whole allocator family, else the function's
// name: "register_chrdev", "class_create", "device_create",
// "platform_device_register", "platform_driver_register",
// "kthread_create_on_node", "filp_open", "pwmchip_add",
// "iio_device_register"...), and fails as Linux would when
// told to. Each forced failure is logged as "FAULT_INJECTION: forcing a
// failure." with the call's name.
#include <string>
#include <vector>

namespace khost {

// Makes calls number `nth` .. `nth + times - 1` of `name`, counted from now,
// fail. An empty name counts every fallible call, whatever its name, so that
// a test can walk every failure point of a path: count the calls once
// (fail_calls("")), then fail each in turn.
void fail_nth(const std::string &name, unsigned nth, unsigned times = 1);
// Disarms every rule and restarts the counts.
void fail_clear();
// Calls of `name` (empty: of all names) since the last fail_nth or fail_clear.
unsigned fail_calls(const std::string &name = "");
// Failures forced since the last fail_clear, by name in order.
std::vector<std::string> fail_forced();
// The names of fallible calls seen so far, for the board's `fail` listing.
std::vector<std::string> fail_names();

} // namespace khost
