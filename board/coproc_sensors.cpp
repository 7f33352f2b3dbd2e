// `coproc` subcommands for the simulated sensor and actuator devices: set a
// sensor's reading (or let it drift again), move the ICM-20689, inject an
// infrared code, and show what the module told the strip and the buzzer.
#include <charconv>
#include <ostream>
#include <string>

#include "coproc.hpp"
#include "coproc/models/sensors.hpp"
#include "coproc/simulator.hpp"
#include "parse.hpp"
#include "shell.hpp"

namespace board {

namespace {

double number(const std::string &word)
{
    double v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (ec != std::errc() || end != word.data() + word.size())
        throw UsageError("'" + word + "' is not a number");
    return v;
}

// No words: show; "drift": let the reading drift again; else the values.
template <class M>
int sensor_command(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out, size_t values,
                   void (*set)(M &, const std::vector<double> &), void (*drift)(M &))
{
    sim.with_firmware([&](coproc::Firmware &fw) {
        M &m = fw.model<M>();
        if (args.size() == 1 && args[0] == "drift") {
            drift(m);
        } else if (!args.empty() && !(args.size() == 1 && args[0] == "show")) {
            if (args.size() != values)
                throw UsageError("expects " + std::to_string(values) + " value" + (values == 1 ? "" : "s"));
            std::vector<double> v;
            for (const auto &w : args)
                v.push_back(number(w));
            set(m, v);
        }
        m.describe(out);
    });
    return 0;
}

int cmd_dht(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    return sensor_command<coproc::DhtModel>(
        sim, args, out, 2, [](auto &m, const auto &v) { m.set(v[0], v[1]); },
        [](auto &m) {
            m.temperature.release();
            m.humidity.release();
        });
}

int cmd_ds18b20(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    return sensor_command<coproc::Ds18b20Model>(
        sim, args, out, 1, [](auto &m, const auto &v) { m.set(v[0]); }, [](auto &m) { m.temperature.release(); });
}

int cmd_sr04(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    return sensor_command<coproc::Sr04Model>(
        sim, args, out, 1, [](auto &m, const auto &v) { m.set(v[0]); }, [](auto &m) { m.distance.release(); });
}

int cmd_gp2y(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    return sensor_command<coproc::Gp2yModel>(
        sim, args, out, 1, [](auto &m, const auto &v) { m.set(v[0]); }, [](auto &m) { m.density.release(); });
}

template <class M> int show_only(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    if (!args.empty() && !(args.size() == 1 && args[0] == "show"))
        throw UsageError("takes only 'show'");
    sim.with_firmware([&](coproc::Firmware &fw) { fw.model<M>().describe(out); });
    return 0;
}

int cmd_icm20689(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    sim.with_firmware([&](coproc::Firmware &fw) {
        auto &m = fw.model<coproc::Icm20689Model>();
        if (args.empty() || args[0] == "show") {
        } else if (args[0] == "rest" && args.size() == 1) {
            m.set_accel(0, 0, 1);
            m.set_gyro(0, 0, 0);
        } else if ((args[0] == "accel" || args[0] == "gyro") && args.size() == 4) {
            const double x = number(args[1]), y = number(args[2]), z = number(args[3]);
            if (args[0] == "accel")
                m.set_accel(x, y, z);
            else
                m.set_gyro(x, y, z);
        } else if (args[0] == "temp" && args.size() == 2) {
            m.set_temperature(number(args[1]));
        } else {
            throw UsageError("expects show, rest, accel X Y Z, gyro X Y Z or temp C");
        }
        m.describe(out);
    });
    return 0;
}

int cmd_ir(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    coproc::IrLink::Code code{};
    const bool send = !args.empty() && args[0] == "send";
    if (send) {
        if (args.size() != 5)
            throw UsageError("send takes the code's four bytes, e.g. send 10 EF 20 DF");
        for (size_t i = 0; i < 4; i++) {
            const auto b = parse_hex_byte(args[i + 1]);
            if (!b)
                throw UsageError("'" + args[i + 1] + "' is not a hex byte");
            code[i] = *b;
        }
    } else if (!args.empty() && !(args.size() == 1 && args[0] == "show")) {
        throw UsageError("expects show or send HEX HEX HEX HEX");
    }
    sim.with_firmware([&](coproc::Firmware &fw) {
        if (send)
            fw.model<coproc::IrRecvModel>().link().arrive(code);
        fw.model<coproc::IrSendModel>().describe(out);
        fw.model<coproc::IrRecvModel>().describe(out);
    });
    return 0;
}

} // namespace

void add_coproc_sensors_commands(std::vector<CoprocCommand> &table)
{
    table.push_back({"dht", "[show | C RH | drift]", "the DHT's temperature (degC) and humidity (%)", cmd_dht});
    table.push_back({"ds18b20", "[show | C | drift]", "the DS18B20's temperature (degC)", cmd_ds18b20});
    table.push_back({"sr04", "[show | MM | drift]", "the SR04's distance (mm)", cmd_sr04});
    table.push_back({"gp2y", "[show | UG_M3 | drift]", "the GP2Y1010AU's dust density (ug/m3)", cmd_gp2y});
    table.push_back({"ws2812", "[show]", "the WS2812 strip's colours", show_only<coproc::Ws2812Model>});
    table.push_back({"buzzer", "[show]", "the buzzer's claims and what it was told", show_only<coproc::BuzzerModel>});
    table.push_back({"icm20689", "[show | rest | accel X Y Z | gyro X Y Z | temp C]",
                     "the ICM-20689's motion (g, degrees per second) and temperature", cmd_icm20689});
    table.push_back({"ir", "[show | send HEX HEX HEX HEX]",
                     "the infrared link; send: a code from outside arrives at ir_recv", cmd_ir});
}

} // namespace board
