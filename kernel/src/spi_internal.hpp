#pragma once
// What the SPI core shares with spidev, its user interface.
#include <linux/device.h>

namespace kern::spi {

// Registers the spi bus and the spi_master class, once; false if they could
// not be registered.
bool init();
struct bus_type *bus();
// Registers spidev: the "spi" character major 153, the spidev class and the
// driver, as the kernel does at boot. Called at boot.
void spidev_init();

} // namespace kern::spi
