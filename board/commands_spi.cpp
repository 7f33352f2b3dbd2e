// spidev_test, as programs on a board know it: sets the mode, word size and
// rate of /dev/spidevB.C through its ioctls, sends one message of the given
// bytes and prints what went out and what came back. It reaches the kernel
// only through the device file, as the tool does.
#include <linux/spi/spidev.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>

#include <fmt/format.h>

#include "args.hpp"
#include "shell.hpp"

namespace board {

namespace {

constexpr uint32_t kSpiCpha = 0x01, kSpiCpol = 0x02;
constexpr size_t kDumpLine = 32;
constexpr size_t kMaxBytes = 4096; // spidev's bounce buffer

struct SpidevTest {
    std::string device = "/dev/spidev1.1";
    uint32_t speed = 500000;
    uint8_t bits = 8;
    uint32_t mode = 0;
    std::string input; // -p, escapes undone
    std::string file;  // -i
    bool have_input = false;
};

// "\x23" stands for the byte 0x23; everything else is itself.
std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'x') {
            const std::string hex = text.substr(i + 2, 2);
            size_t used = 0;
            unsigned value = 0;
            try {
                value = static_cast<unsigned>(std::stoul(hex, &used, 16));
            } catch (const std::exception &) {
                used = 0;
            }
            if (used == 0)
                throw UsageError("malformed input string");
            out.push_back(static_cast<char>(value));
            i += 4;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

SpidevTest parse(const Words &w)
{
    SpidevTest t;
    auto value = [&](size_t &i) -> const std::string & {
        if (i + 1 >= w.size())
            throw UsageError(fmt::format("option {} wants a value", w[i]));
        return w[++i];
    };
    for (size_t i = 1; i < w.size(); ++i) {
        const std::string &o = w[i];
        if (o == "-D")
            t.device = value(i);
        else if (o == "-s")
            t.speed = static_cast<uint32_t>(arg_number(value(i), "speed"));
        else if (o == "-b")
            t.bits = static_cast<uint8_t>(arg_number(value(i), "bits"));
        else if (o == "-H")
            t.mode |= kSpiCpha;
        else if (o == "-O")
            t.mode |= kSpiCpol;
        else if (o == "-v")
            continue; // the bytes are always shown
        else if (o == "-p")
            t.input = unescape(value(i)), t.have_input = true;
        else if (o == "-i")
            t.file = value(i);
        else
            throw UsageError(fmt::format("unknown option '{}'", o));
    }
    if (t.have_input && !t.file.empty())
        throw UsageError("only one of -p and -i may be selected");
    return t;
}

// Sixteen... thirty-two bytes a line as the tool lays them out: hex, "__"
// for the rest of the last line, then the printable characters.
void hex_dump(std::ostream &out, const uint8_t *bytes, size_t length, const char *prefix)
{
    for (size_t start = 0; start < length; start += kDumpLine) {
        const size_t n = std::min(kDumpLine, length - start);
        out << prefix << " | ";
        for (size_t i = 0; i < kDumpLine; ++i)
            out << (i < n ? fmt::format("{:02X} ", bytes[start + i]) : std::string("__ "));
        out << " |";
        for (size_t i = 0; i < n; ++i) {
            const uint8_t ch = bytes[start + i];
            out << static_cast<char>(ch < 32 || ch > 126 ? '.' : ch);
        }
        out << "|\n";
    }
}

// The tool's pabort: the message with the error's text, and the run fails.
bool check(Context &c, long r, const char *what)
{
    if (r >= 0)
        return true;
    c.err << what << ": " << std::strerror(static_cast<int>(-r)) << '\n';
    c.failed = true;
    return false;
}

void run(Context &c, const SpidevTest &t, int fd)
{
    auto arg = [](auto *p) { return reinterpret_cast<unsigned long>(p); };
    uint32_t mode = t.mode;
    const uint32_t request = mode;
    uint8_t bits = t.bits;
    uint32_t speed = t.speed;
    if (!check(c, c.board.ioctl(fd, SPI_IOC_WR_MODE32, arg(&mode)), "can't set spi mode") ||
        !check(c, c.board.ioctl(fd, SPI_IOC_RD_MODE32, arg(&mode)), "can't get spi mode"))
        return;
    if (request != mode)
        c.out << fmt::format("WARNING device does not support requested mode 0x{:x}\n", request);
    if (!check(c, c.board.ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, arg(&bits)), "can't set bits per word") ||
        !check(c, c.board.ioctl(fd, SPI_IOC_RD_BITS_PER_WORD, arg(&bits)), "can't get bits per word") ||
        !check(c, c.board.ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, arg(&speed)), "can't set max speed hz") ||
        !check(c, c.board.ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, arg(&speed)), "can't get max speed hz"))
        return;
    c.out << fmt::format("spi mode: 0x{:x}\nbits per word: {}\nmax speed: {} Hz ({} kHz)\n", mode, bits, speed,
                         speed / 1000);

    std::string tx_text = t.input;
    if (!t.file.empty()) {
        std::ifstream in(t.file, std::ios::binary);
        if (!in) {
            c.err << "could not open input file: " << t.file << '\n';
            c.failed = true;
            return;
        }
        tx_text.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (tx_text.size() > kMaxBytes)
        throw UsageError(fmt::format("{} bytes, above the device's {}", tx_text.size(), kMaxBytes));
    if (tx_text.empty())
        return;
    std::vector<uint8_t> tx(tx_text.begin(), tx_text.end()), rx(tx.size());
    struct spi_ioc_transfer tr {};
    tr.tx_buf = arg(tx.data());
    tr.rx_buf = arg(rx.data());
    tr.len = static_cast<uint32_t>(tx.size());
    tr.speed_hz = speed;
    tr.bits_per_word = bits;
    const long r = c.board.ioctl(fd, SPI_IOC_MESSAGE(1), arg(&tr));
    if (r < 1) {
        check(c, r < 0 ? r : -EIO, "can't send spi message");
        return;
    }
    hex_dump(c.out, tx.data(), tx.size(), "TX");
    hex_dump(c.out, rx.data(), rx.size(), "RX");
}

void cmd_spidev_test(Context &c, const Words &w)
{
    const SpidevTest t = parse(w);
    const long fd = c.board.open(t.device, 2 /* O_RDWR */);
    if (!check(c, fd, "can't open device"))
        return;
    run(c, t, static_cast<int>(fd));
    c.board.close(static_cast<int>(fd));
}

} // namespace

void add_spi_commands(std::vector<Command> &table)
{
    table.push_back({"spidev_test", "[-D DEVICE] [-s HZ] [-b BITS] [-H] [-O] [-v] [-p STRING | -i FILE]",
                     "one SPI message through spidev, printing the bytes sent (TX) and received (RX)",
                     cmd_spidev_test});
}

} // namespace board
