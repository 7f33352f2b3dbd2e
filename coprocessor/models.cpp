// The firmware's device models, one line each. Types without a model are
// acknowledged with a single zero byte.
#include "coproc/firmware.hpp"
#include "coproc/models/i2c.hpp"
#include "coproc/models/pins.hpp"
#include "coproc/models/sensors.hpp"
#include "coproc/models/spi.hpp"
#include "coproc/models/uart.hpp"

#include <memory>

namespace coproc {

void install_models(Firmware &firmware)
{
    install_pin_models(firmware);
    install_sensor_models(firmware);
    install_i2c_models(firmware);
    firmware.add_model(std::make_unique<SpiModel>());
    firmware.add_model(std::make_unique<UartModel>());
}

} // namespace coproc
