#pragma once
struct device;
namespace kern {
// Runs and forgets the device's managed resources, newest first.
void devres_release_all(struct device *dev);
} // namespace kern
