#pragma once
// `coproc`: a person's or a test's hands on the simulated co-processor's
// side of the board: setting an input pin, a sensor's reading, bytes arriving
// on its serial port, and showing what the module made of its outputs. Each
// device area adds its subcommands to one table. Under --kernel qemu the
// guest forwards the command to the host, which owns the simulator.
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "parse.hpp"

namespace coproc {
class Simulator;
}

namespace board {

struct CoprocCommand {
    std::string_view name;
    std::string_view usage; // arguments, after the name
    std::string_view help;  // one line
    // `args` are the words after the name. 0, or 1 if it failed; words that
    // do not parse throw UsageError.
    int (*run)(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out);
};

// Each area's subcommands.
void add_coproc_base_commands(std::vector<CoprocCommand> &table);
void add_coproc_uart_commands(std::vector<CoprocCommand> &table);
void add_coproc_pins_commands(std::vector<CoprocCommand> &table);
void add_coproc_sensors_commands(std::vector<CoprocCommand> &table);
void add_coproc_i2c_commands(std::vector<CoprocCommand> &table);
void add_coproc_spi_commands(std::vector<CoprocCommand> &table);
void add_coproc_fault_commands(std::vector<CoprocCommand> &table);

// Runs `coproc ARGS...` against `sim` (null: there is no simulated
// co-processor). What it printed goes to `output`; the result is 0, 1 if it
// failed, 2 if its words did not parse.
int run_coproc(coproc::Simulator *sim, const std::vector<std::string> &args, std::string *output);

} // namespace board
