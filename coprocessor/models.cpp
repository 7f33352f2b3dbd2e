// The firmware's device models, one line each. Types without a model are
// acknowledged with a single zero byte.
#include "coproc/firmware.hpp"
#include "coproc/models/uart.hpp"

namespace coproc {

void install_models(Firmware &firmware) { firmware.add_model(std::make_unique<UartModel>()); }

} // namespace coproc
