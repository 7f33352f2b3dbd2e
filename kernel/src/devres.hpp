#pragma once
struct device;
namespace kern {
// Runs and forgets the device's managed resources, newest first.
void devres_release_all(struct device *dev);
// Runs the newest managed action of the device that matches and forgets it;
// false if the device has none such.
bool devres_release_action(struct device *dev, void (*action)(void *), void *data);
} // namespace kern
