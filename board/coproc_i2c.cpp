// `coproc i2c`: the devices behind the co-processor's I2C bus. A person sets
// the sensor's temperature, looks at or fills the EEPROM, and takes a device
// off the bus to see what the module makes of an address nobody answers.
#include <charconv>
#include <ostream>

#include <fmt/format.h>

#include "coproc.hpp"
#include "coproc/models/i2c.hpp"
#include "coproc/simulator.hpp"
#include "parse.hpp"
#include "shell.hpp"

namespace board {

namespace {

long number(const std::string &word, long lo, long hi, const char *what)
{
    long value = 0;
    int base = 10;
    std::string_view text = word;
    if (text.starts_with("0x")) {
        text.remove_prefix(2);
        base = 16;
    }
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || value < lo || value > hi)
        throw UsageError(fmt::format("{} '{}' is not a number from {} to {}", what, word, lo, hi));
    return value;
}

// Bytes are hex, as everywhere on the board.
uint8_t hex_byte(const std::string &word)
{
    const auto b = parse_hex_byte(word);
    if (!b)
        throw UsageError(fmt::format("byte '{}' is not a hex byte (00 to ff)", word));
    return *b;
}

uint8_t device_address(const std::string &word)
{
    const long addr = number(word, 0, 0x7f, "address");
    if (addr != coproc::kEepromAddr && addr != coproc::kSensorAddr)
        throw UsageError(fmt::format("no device at {}: the bus has 0x50 and 0x48", word));
    return static_cast<uint8_t>(addr);
}

// i2c                      the bus's state
// i2c temp HALF_DEGREES    the sensor's temperature, in half degrees (-110..250)
// i2c eeprom [ADDR [HEXBYTE...]]  the EEPROM's 16 bytes from ADDR, after writing the bytes there
// i2c absent|present ADDR  takes the device at ADDR off the bus or puts it back
int coproc_i2c(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    const std::string verb = args.empty() ? "" : args[0];
    if (verb == "temp" && args.size() != 2)
        throw UsageError("i2c temp takes one value, in half degrees");
    if ((verb == "absent" || verb == "present") && args.size() != 2)
        throw UsageError("i2c absent and present take an address");
    if (!verb.empty() && verb != "temp" && verb != "eeprom" && verb != "absent" && verb != "present")
        throw UsageError(fmt::format("unknown i2c verb '{}'", verb));
    std::vector<uint8_t> bytes;
    long from = 0;
    if (verb == "eeprom" && args.size() > 1) {
        from = number(args[1], 0, 255, "EEPROM address");
        for (size_t i = 2; i < args.size(); i++)
            bytes.push_back(hex_byte(args[i]));
    }
    sim.with_firmware([&](coproc::Firmware &fw) {
        auto &bus = fw.model<coproc::I2cBus>();
        if (verb == "temp")
            bus.sensor().set_temperature_half_degrees(static_cast<int16_t>(number(args[1], -110, 250, "temperature")));
        if (verb == "absent" || verb == "present")
            bus.set_present(device_address(args[1]), verb == "present");
        if (verb == "eeprom") {
            auto &cells = bus.eeprom().cells();
            for (size_t i = 0; i < bytes.size(); i++)
                cells[(from + i) & 0xff] = bytes[i];
            out << fmt::format("{:02x}:", from);
            for (long i = 0; i < 16; i++)
                out << fmt::format(" {:02x}", cells[(from + i) & 0xff]);
            out << '\n';
            return;
        }
        bus.describe(out);
    });
    return 0;
}

} // namespace

void add_coproc_i2c_commands(std::vector<CoprocCommand> &table)
{
    table.push_back({"i2c", "[temp HALF_DEGREES | eeprom [ADDR [HEXBYTE...]] | absent ADDR | present ADDR]",
                     "the I2C bus's EEPROM (0x50) and temperature sensor (0x48)", coproc_i2c});
}

} // namespace board
