#pragma once
// The board's leaving, for the pins: a GPIO line or PWM channel exported
// through sysfs holds a reference on the module that exports it, as on
// Linux, so the module could not be unloaded while one is left exported.
// Leaving unexports them, as it closes the files the session left open.
#include "board.hpp"

namespace board {

// Unexports every gpioN under /sys/class/gpio and every pwmM of each
// /sys/class/pwm/pwmchipK; what it unexported, one name a line.
std::vector<std::string> unexport_pins(Board &b);

} // namespace board
