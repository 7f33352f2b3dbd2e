// `coproc uart`: the remote end of the co-processor's serial port. `send`
// puts bytes on the port's receive side, as a device wired to its pins
// would; `show` prints the line settings the board gave and what the board
// sent out since the last `show`.
#include <ostream>

#include <fmt/format.h>

#include "coproc.hpp"
#include "coproc/models/uart.hpp"
#include "coproc/simulator.hpp"
#include "parse.hpp"
#include "shell.hpp"

namespace board {

namespace {

// Text with the escapes \n, \r, \t, \\ and \xHH.
coproc::Bytes unescape(const std::string &text)
{
    coproc::Bytes out;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out.push_back(static_cast<uint8_t>(c));
            continue;
        }
        char e = text[++i];
        if (e == 'n')
            out.push_back('\n');
        else if (e == 'r')
            out.push_back('\r');
        else if (e == 't')
            out.push_back('\t');
        else if (e == 'x' && i + 2 < text.size() && parse_hex_byte(text.substr(i + 1, 2))) {
            out.push_back(*parse_hex_byte(text.substr(i + 1, 2)));
            i += 2;
        } else
            out.push_back(static_cast<uint8_t>(e));
    }
    return out;
}

// Each word is a hex byte, or quoted text with its escapes: the one rule of
// the board's commands, so "be" is text and be the byte 0xbe.
coproc::Bytes send_bytes(const std::vector<std::string> &words)
{
    coproc::Bytes bytes;
    for (const auto &w : words) {
        if (is_quoted_text(w)) {
            const coproc::Bytes text = unescape(unquote(w));
            bytes.insert(bytes.end(), text.begin(), text.end());
            continue;
        }
        const auto b = parse_hex_byte(w);
        if (!b)
            throw UsageError(fmt::format("'{}' is not a hex byte; text is quoted: \"{}\"", w, w));
        bytes.push_back(*b);
    }
    return bytes;
}

std::string printable(const coproc::Bytes &bytes)
{
    std::string s;
    for (uint8_t b : bytes)
        s += (b >= 0x20 && b < 0x7f) ? std::string(1, static_cast<char>(b)) : fmt::format("\\x{:02x}", b);
    return s;
}

int uart_send(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    coproc::Bytes bytes = send_bytes(args);
    if (bytes.empty())
        throw UsageError("nothing to send");
    size_t taken = sim.with_firmware([&](coproc::Firmware &fw) { return fw.model<coproc::UartModel>().feed(bytes); });
    out << fmt::format("sent {} byte{}", taken, taken == 1 ? "" : "s");
    if (taken < bytes.size())
        out << fmt::format(", {} lost: the receive buffer is full", bytes.size() - taken);
    out << '\n';
    return taken == bytes.size() ? 0 : 1;
}

int uart_show(coproc::Simulator &sim, std::ostream &out)
{
    sim.with_firmware([&](coproc::Firmware &fw) {
        auto &uart = fw.model<coproc::UartModel>();
        uart.describe(out);
        coproc::Bytes sent = uart.sent();
        uart.clear_sent();
        if (!sent.empty())
            out << fmt::format("sent by the board: {}\n  \"{}\"\n", hex_bytes(sent.data(), sent.size()),
                               printable(sent));
    });
    return 0;
}

int coproc_uart(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    if (args.empty())
        throw UsageError("want send or show");
    if (args[0] == "send")
        return uart_send(sim, std::vector<std::string>(args.begin() + 1, args.end()), out);
    if (args[0] == "show") {
        if (args.size() != 1)
            throw UsageError("show takes no arguments");
        return uart_show(sim, out);
    }
    throw UsageError(fmt::format("unknown '{}', want send or show", args[0]));
}

} // namespace

void add_coproc_uart_commands(std::vector<CoprocCommand> &table)
{
    table.push_back(
        {"uart", "send HEX|\"TEXT\"... | show",
         "the serial port's remote end: send bytes (hex bytes, or quoted text with \\n \\r \\t \\xHH) to the "
         "board; show the line settings and what the board sent since the last show",
         coproc_uart});
}

} // namespace board
