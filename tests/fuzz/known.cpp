#include "known.hpp"

#include <iterator>
#include <vector>

namespace qfuzz {

namespace {

struct Known {
    std::string_view prefix;
    const char *reason;
    std::string_view suffix = {}; // an ioctl's request, when the row is for one
};

constexpr const char *kSpiSetup = "kept: a set-up request's failure never fails a setup call (docs/decisions.md, "
                                  "the SPI masters)";

constexpr const char *kAckWithBadCrc = "chosen: a write's acknowledgement whose CRC alone is bad is done; the CRC "
                                       "does not cover the status (docs/decisions.md, sensors)";

// Calls that report success although their exchange had no valid reply.
const Known kKnown[] = {
    {"write /dev/ttySP0", "kept: a tty write returns its count whatever the reply (docs/decisions.md, "
                          "the virtual serial port, a write's result)"},
    {"read /dev/quorvel_config", "kept: a table read without a checked reply gives the module's own table "
                                 "(docs/decisions.md, the table read takes only a checked reply)"},
    {"write /dev/dht", kAckWithBadCrc},
    {"ioctl /dev/sr04 0x40045301", "kept: a measurement ioctl returns the last good reading after a failed "
                                   "exchange (docs/decisions.md, sensors, kept as defined)"},
    {"ioctl /dev/dht 0x40044403", "kept: a measurement ioctl returns the last good reading (docs/decisions.md)"},
    {"ioctl /dev/ds18b20 0x40044400", "kept: a measurement ioctl returns the last good reading (docs/decisions.md)"},
    {"ioctl /dev/gp2y1010au 0x40044700", "kept: a measurement ioctl returns the last good reading "
                                         "(docs/decisions.md)"},
    {"ioctl /dev/spidev", kSpiSetup, " 0x40016b01"},
    {"ioctl /dev/spidev", kSpiSetup, " 0x40016b02"},
    {"ioctl /dev/spidev", kSpiSetup, " 0x40016b03"},
    {"ioctl /dev/spidev", kSpiSetup, " 0x40046b04"},
    {"ioctl /dev/spidev", kSpiSetup, " 0x40046b05"},
    {"write /dev/ir_", kAckWithBadCrc},
    {"echo '0",
     "kept: writing 0 to a PWM channel's enable disables it through the driver's disable, which returns "
     "nothing in 4.4's PWM core; the channel is recorded as disabled whatever the co-processor answered",
     "/enable"},
    {"echo ",
     "kept: an unexport gives the line or channel back through the driver's free, which returns nothing "
     "in the GPIO and PWM cores (4.4 and 6.1 alike); the kernel's side is undone whatever the "
     "co-processor answered",
     "/unexport"},
};

constexpr const char *kCounterCopies = "left: the counter stores zeros for bytes it cannot read and does not "
                                       "report a failed copy out; nothing reaches the co-processor "
                                       "(docs/decisions.md, the application counter)";

// Reads and writes given no buffer that report bytes moved.
const Known kKnownTransfers[] = {
    {"write /dev/icm20689", "kept: the motion sensor's writes are taken and ignored, as /dev/null takes them; "
                            "the buffer is never read"},
    {"write /dev/quorvel_count", kCounterCopies},
    {"read /dev/quorvel_count", kCounterCopies},
};

// Kernel reports that Linux 4.4 makes too, for what a program wrote.
const Known kKnownReports[] = {
    {"invalid GPIO", "Linux 4.4's gpio_to_desc warns for a number written to export or unexport that no "
                     "GPIO can have; a program's write, not the module's doing"},
};

std::vector<std::string_view> words(std::string_view s)
{
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ')
            i++;
        size_t j = i;
        while (j < s.size() && s[j] != ' ')
            j++;
        if (j > i)
            out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

} // namespace

const char *known_success(std::string_view what)
{
    for (const Known &k : kKnown)
        if (what.starts_with(k.prefix) && what.ends_with(k.suffix))
            return k.reason;
    return nullptr;
}

const char *known_transfer(std::string_view what)
{
    for (const Known &k : kKnownTransfers)
        if (what.starts_with(k.prefix))
            return k.reason;
    return nullptr;
}

const char *known_report(std::string_view report)
{
    for (const Known &k : kKnownReports)
        if (report.find(k.prefix) != std::string_view::npos)
            return k.reason;
    return nullptr;
}

std::string finding_key(std::string_view what)
{
    const auto w = words(what);
    if (w.empty())
        return {};
    if (w[0] == "echo") {
        const auto gt = what.find("> ");
        return "echo " +
               std::string(gt == std::string_view::npos ? what : what.substr(gt + 2, what.find(' ', gt + 2) - gt - 2));
    }
    std::string key(w[0]);
    const size_t n = w[0] == "ioctl" ? 3 : 2;
    for (size_t i = 1; i < n && i < w.size(); i++)
        key += " " + std::string(w[i]);
    return key;
}

} // namespace qfuzz
