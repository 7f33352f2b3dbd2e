// `coproc pin`, `coproc pwm` and `coproc adc`: the outside world of the
// co-processor's pins. A person puts a level on an input pin or a sample on
// an analog input, and sees what the module made of the outputs.
#include <ostream>

#include <fmt/format.h>

#include "coproc.hpp"
#include "coproc/models/pins.hpp"
#include "coproc/simulator.hpp"
#include "parse.hpp"
#include "shell.hpp"

namespace board {

namespace {

unsigned number(const std::string &word, unsigned limit, const char *what)
{
    // Decimal unless written 0x..., as every number on the board.
    const auto value = parse_number(word);
    if (!value || *value >= limit)
        throw UsageError(fmt::format("{} '{}' is not a number below {}", what, word, limit));
    return static_cast<unsigned>(*value);
}

void show_pin(const coproc::GpioModel &gpio, unsigned n, std::ostream &out)
{
    const auto &p = gpio.pin(n);
    out << fmt::format("pin {}: {} {}, outside level {}{}\n", n, p.output ? "output" : "input", gpio.level(n), p.input,
                       p.open ? "" : " (not open)");
}

// pin N [high|low|0..255]: sets the level the outside world puts on pin N
// (an input reads it; an output goes on driving its own), then shows the pin.
int coproc_pin(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    if (args.empty() || args.size() > 2)
        throw UsageError("pin takes a pin number and an optional level");
    const unsigned n = number(args[0], coproc::GpioModel::kPins, "pin");
    int level = -1;
    if (args.size() == 2)
        level = args[1] == "high" ? 1 : args[1] == "low" ? 0 : static_cast<int>(number(args[1], 256, "level"));
    sim.with_firmware([&](coproc::Firmware &fw) {
        auto &gpio = fw.model<coproc::GpioModel>();
        if (level >= 0)
            gpio.set_input(n, static_cast<uint8_t>(level));
        show_pin(gpio, n, out);
    });
    return 0;
}

// pwm [N]: one channel's state, or every channel in use.
int coproc_pwm(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    if (args.size() > 1)
        throw UsageError("pwm takes at most a channel number");
    sim.with_firmware([&](coproc::Firmware &fw) {
        auto &pwm = fw.model<coproc::PwmModel>();
        if (args.empty()) {
            pwm.describe(out);
            return;
        }
        const unsigned n = number(args[0], coproc::PwmModel::kChannels, "channel");
        const auto &c = pwm.channel(n);
        out << fmt::format("pwm {}: period {} ns, duty {} ns, {}, {}{}\n", n, c.period_ns, c.duty_ns,
                           c.inversed ? "inversed" : "normal", c.enabled ? "enabled" : "disabled",
                           c.open ? "" : " (not open)");
    });
    return 0;
}

// adc N [VALUE|ramp]: fixes input N's sample (0..65535) or lets it ramp again.
int coproc_adc(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    if (args.empty() || args.size() > 2)
        throw UsageError("adc takes an input number and an optional sample or 'ramp'");
    const unsigned n = number(args[0], coproc::AdcModel::kInputs, "input");
    std::optional<std::optional<uint16_t>> change;
    if (args.size() == 2)
        change = args[1] == "ramp" ? std::nullopt
                                   : std::optional<uint16_t>(static_cast<uint16_t>(number(args[1], 65536, "sample")));
    sim.with_firmware([&](coproc::Firmware &fw) {
        auto &adc = fw.model<coproc::AdcModel>();
        if (change)
            adc.set_sample(n, *change);
        out << fmt::format("adc {}: next sample {}\n", n, adc.sample(n));
    });
    return 0;
}

} // namespace

void add_coproc_pins_commands(std::vector<CoprocCommand> &table)
{
    table.push_back({"pin", "N [high|low|LEVEL]", "put a level on pin N from outside (an input reads it); show the pin",
                     coproc_pin});
    table.push_back({"pwm", "[N]", "show PWM channel N, or every channel in use", coproc_pwm});
    table.push_back(
        {"adc", "N [SAMPLE|ramp]", "fix analog input N's sample, or let it ramp; show its next sample", coproc_adc});
}

} // namespace board
