#include "coproc.hpp"

#include <algorithm>
#include <exception>
#include <ostream>
#include <sstream>

#include <fmt/format.h>

#include "coproc/simulator.hpp"
#include "shell.hpp"

namespace board {

namespace {

std::vector<CoprocCommand> coproc_table()
{
    std::vector<CoprocCommand> table;
    add_coproc_base_commands(table);
    add_coproc_uart_commands(table);
    add_coproc_pins_commands(table);
    add_coproc_sensors_commands(table);
    add_coproc_i2c_commands(table);
    add_coproc_spi_commands(table);
    add_coproc_fault_commands(table);
    return table;
}

void coproc_help(const std::vector<CoprocCommand> &table, std::ostream &out)
{
    for (const auto &c : table)
        out << fmt::format("coproc {} {}\n    {}\n", c.name, c.usage, c.help);
}

int coproc_show(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    if (!args.empty())
        throw UsageError("show takes no arguments");
    sim.with_firmware([&](coproc::Firmware &fw) { fw.describe(out); });
    return 0;
}

} // namespace

void add_coproc_base_commands(std::vector<CoprocCommand> &table)
{
    table.push_back({"show", "", "the simulated devices' state", coproc_show});
}

int run_coproc(coproc::Simulator *sim, const std::vector<std::string> &given, std::string *output)
{
    // Only `uart send` takes text; elsewhere a quoted word is read as if bare.
    std::vector<std::string> args = given;
    const bool takes_text = args.size() >= 2 && unquote(args[0]) == "uart" && unquote(args[1]) == "send";
    for (size_t i = 0; i < args.size(); ++i)
        if (!takes_text || i < 2)
            args[i] = unquote(args[i]);
    const auto table = coproc_table();
    std::ostringstream out;
    int status = 0;
    if (args.empty() || args[0] == "help") {
        coproc_help(table, out);
    } else if (auto it = std::find_if(table.begin(), table.end(), [&](const auto &c) { return c.name == args[0]; });
               it == table.end()) {
        out << fmt::format("unknown subcommand '{}' (coproc help lists them)\n", args[0]);
        status = 2;
    } else if (!sim) {
        out << "coproc: the co-processor on this board's line is not a simulated one of ours (no quorvel-coproc "
               "answers for it)\n";
        status = 1;
    } else {
        try {
            status = it->run(*sim, std::vector<std::string>(args.begin() + 1, args.end()), out);
        } catch (const UsageError &e) {
            out << fmt::format("{}: {} (usage: coproc {} {})\n", it->name, e.what(), it->name, it->usage);
            status = 2;
        } catch (const std::exception &e) {
            out << fmt::format("coproc {}: {}\n", it->name, e.what());
            status = 1;
        }
    }
    *output = out.str();
    return status;
}

} // namespace board
