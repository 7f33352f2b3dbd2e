// The i2c-tools on the board: i2cdetect, i2cget, i2cset, i2ctransfer and
// i2cdump with the tools' syntax, output and messages, reaching the kernel
// only through /dev/i2c-N (I2C_SLAVE, I2C_FUNCS, I2C_SMBUS, I2C_RDWR) and,
// for `i2cdetect -l`, the adapters' names in sysfs, as the tools do. A tool
// that exits with an error status marks the command failed.
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "shell.hpp"

namespace board {

namespace {

// i2c-tools read numbers with strtol(.., 0): decimal, 0x hex or 0 octal.
std::optional<long> tool_number(const std::string &word)
{
    if (word.empty())
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(word.c_str(), &end, 0);
    if (*end || errno)
        return std::nullopt;
    return v;
}

std::string errno_text(long result) { return std::strerror(static_cast<int>(-result)); }

// An open /dev/i2c-N of the session's program, closed when it goes.
class I2cFile {
public:
    I2cFile(Context &c, int bus) : c_(c), bus_(bus) { fd_ = c.board.open(fmt::format("/dev/i2c-{}", bus), 2); }
    ~I2cFile()
    {
        if (fd_ >= 0)
            c_.board.close(static_cast<int>(fd_));
    }
    I2cFile(const I2cFile &) = delete;
    I2cFile &operator=(const I2cFile &) = delete;

    // As the tools' open_i2c_dev: false after saying why.
    bool opened()
    {
        if (fd_ >= 0)
            return true;
        c_.err << fmt::format("Error: Could not open file `/dev/i2c-{}' or `/dev/i2c/{}': {}\n", bus_, bus_,
                              errno_text(fd_));
        return false;
    }
    long ioctl(unsigned cmd, unsigned long arg) { return c_.board.ioctl(static_cast<int>(fd_), cmd, arg); }
    long ioctl(unsigned cmd, void *arg) { return ioctl(cmd, reinterpret_cast<unsigned long>(arg)); }

    // As the tools' set_slave_addr: I2C_SLAVE, or I2C_SLAVE_FORCE with -f.
    bool set_address(int addr, bool force)
    {
        long r = ioctl(force ? I2C_SLAVE_FORCE : I2C_SLAVE, static_cast<unsigned long>(addr));
        if (r >= 0)
            return true;
        c_.err << fmt::format("Error: Could not set address to 0x{:02x}: {}\n", addr, errno_text(r));
        return false;
    }
    // As the tools do for a MODE ending in `p`: the file's I2C_PEC.
    bool set_pec(bool pec)
    {
        if (!pec)
            return true;
        long r = ioctl(I2C_PEC, 1ul);
        if (r >= 0)
            return true;
        c_.err << fmt::format("Error: Could not set PEC: {}\n", errno_text(r));
        return false;
    }
    long set_address_quiet(int addr) { return ioctl(I2C_SLAVE, static_cast<unsigned long>(addr)); }

    std::optional<unsigned long> funcs()
    {
        unsigned long f = 0;
        long r = ioctl(I2C_FUNCS, &f);
        if (r < 0) {
            c_.err << fmt::format("Error: Could not get the adapter functionality matrix: {}\n", errno_text(r));
            return std::nullopt;
        }
        return f;
    }

    long smbus(uint8_t rw, uint8_t command, uint32_t size, union i2c_smbus_data *data)
    {
        struct i2c_smbus_ioctl_data args = {.read_write = rw, .command = command, .size = size, .data = data};
        return ioctl(I2C_SMBUS, &args);
    }
    long read_byte()
    {
        union i2c_smbus_data d = {};
        long r = smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &d);
        return r < 0 ? r : d.byte;
    }
    long write_byte(uint8_t value) { return smbus(I2C_SMBUS_WRITE, value, I2C_SMBUS_BYTE, nullptr); }
    long read_byte_data(uint8_t reg)
    {
        union i2c_smbus_data d = {};
        long r = smbus(I2C_SMBUS_READ, reg, I2C_SMBUS_BYTE_DATA, &d);
        return r < 0 ? r : d.byte;
    }
    long read_word_data(uint8_t reg)
    {
        union i2c_smbus_data d = {};
        long r = smbus(I2C_SMBUS_READ, reg, I2C_SMBUS_WORD_DATA, &d);
        return r < 0 ? r : d.word;
    }
    long write_quick(uint8_t rw) { return smbus(rw, 0, I2C_SMBUS_QUICK, nullptr); }
    int fd() const { return static_cast<int>(fd_); }

private:
    Context &c_;
    int bus_;
    long fd_;
};

// Leading options the tools share: -y (no question), -f (force), -a (all
// addresses); what is left.
struct ToolArgs {
    bool yes = false, force = false, all = false;
    Words rest;
};

ToolArgs tool_args(const Words &w, const std::string &allowed)
{
    ToolArgs a;
    size_t i = 1;
    for (; i < w.size() && w[i].size() > 1 && w[i][0] == '-'; ++i) {
        for (char flag : w[i].substr(1)) {
            if (allowed.find(flag) == std::string::npos)
                throw UsageError(fmt::format("Error: Unsupported option \"-{}\"!", flag));
            a.yes |= flag == 'y';
            a.force |= flag == 'f';
            a.all |= flag == 'a';
        }
    }
    a.rest.assign(w.begin() + static_cast<long>(i), w.end());
    return a;
}

// The bus by number, as lookup_i2c_bus takes it.
std::optional<int> tool_bus(Context &c, const std::string &word)
{
    auto v = tool_number(word);
    if (!v || *v < 0 || *v > 0xFFFFF) {
        c.err << "Error: I2C bus name doesn't match any bus present!\n";
        c.failed = true;
        return std::nullopt;
    }
    return static_cast<int>(*v);
}

std::optional<int> tool_address(Context &c, const std::string &word, bool all)
{
    auto v = tool_number(word);
    const long lo = all ? 0x00 : 0x08, hi = all ? 0x7f : 0x77;
    if (!v || *v < lo || *v > hi) {
        c.err << fmt::format("Error: Chip address out of range (0x{:02x}-0x{:02x})!\n", lo, hi);
        c.failed = true;
        return std::nullopt;
    }
    return static_cast<int>(*v);
}

std::optional<int> tool_byte(Context &c, const std::string &word, const char *what)
{
    auto v = tool_number(word);
    if (!v || *v < 0 || *v > 0xff) {
        c.err << fmt::format("Error: {} invalid!\n", what);
        c.failed = true;
        return std::nullopt;
    }
    return static_cast<int>(*v);
}

// ---- i2cdetect ----

const struct {
    unsigned long value;
    const char *name;
} all_funcs[] = {
    {I2C_FUNC_I2C, "I2C"},
    {I2C_FUNC_SMBUS_QUICK, "SMBus Quick Command"},
    {I2C_FUNC_SMBUS_WRITE_BYTE, "SMBus Send Byte"},
    {I2C_FUNC_SMBUS_READ_BYTE, "SMBus Receive Byte"},
    {I2C_FUNC_SMBUS_WRITE_BYTE_DATA, "SMBus Write Byte"},
    {I2C_FUNC_SMBUS_READ_BYTE_DATA, "SMBus Read Byte"},
    {I2C_FUNC_SMBUS_WRITE_WORD_DATA, "SMBus Write Word"},
    {I2C_FUNC_SMBUS_READ_WORD_DATA, "SMBus Read Word"},
    {I2C_FUNC_SMBUS_PROC_CALL, "SMBus Process Call"},
    {I2C_FUNC_SMBUS_WRITE_BLOCK_DATA, "SMBus Block Write"},
    {I2C_FUNC_SMBUS_READ_BLOCK_DATA, "SMBus Block Read"},
    {I2C_FUNC_SMBUS_BLOCK_PROC_CALL, "SMBus Block Process Call"},
    {I2C_FUNC_SMBUS_PEC, "SMBus PEC"},
    {I2C_FUNC_SMBUS_WRITE_I2C_BLOCK, "I2C Block Write"},
    {I2C_FUNC_SMBUS_READ_I2C_BLOCK, "I2C Block Read"},
    {I2C_FUNC_SMBUS_HOST_NOTIFY, "SMBus Host Notify"},
};

// The adapters in sysfs, in the order of their numbers, with name and type.
void list_busses(Context &c)
{
    std::vector<khost::DirEntry> entries;
    if (c.board.list("/sys/class/i2c-dev", &entries) < 0 || entries.empty()) {
        c.err << "Error: No I2C busses found!\n";
        c.failed = true;
        return;
    }
    std::vector<int> busses;
    for (const auto &e : entries)
        if (e.name.rfind("i2c-", 0) == 0)
            busses.push_back(std::atoi(e.name.c_str() + 4));
    std::sort(busses.begin(), busses.end());
    for (int nr : busses) {
        std::string name;
        long fd = c.board.open(fmt::format("/sys/class/i2c-dev/i2c-{}/name", nr), 0);
        if (fd >= 0) {
            char buf[128] = {};
            long n = c.board.read(static_cast<int>(fd), buf, sizeof(buf) - 1);
            c.board.close(static_cast<int>(fd));
            name.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
            while (!name.empty() && name.back() == '\n')
                name.pop_back();
        }
        const char *type = "unknown", *algo = "N/A";
        I2cFile f(c, nr);
        unsigned long funcs = 0;
        if (f.fd() >= 0 && f.ioctl(I2C_FUNCS, &funcs) >= 0) {
            if (funcs & I2C_FUNC_I2C)
                type = "i2c", algo = "I2C adapter";
            else if (funcs & (I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA))
                type = "smbus", algo = "SMBus adapter";
            else
                type = "dummy", algo = "Dummy bus";
        }
        c.out << fmt::format("i2c-{}\t{:<10}\t{:<32}\t{}\n", nr, type, name, algo);
    }
}

void print_funcs(Context &c, int bus, unsigned long funcs)
{
    c.out << fmt::format("Functionalities implemented by /dev/i2c-{}:\n", bus);
    for (const auto &f : all_funcs)
        c.out << fmt::format("{:<32} {}\n", f.name, (funcs & f.value) ? "yes" : "no");
}

// The table: a quick write at most addresses, a receive byte at 0x30-0x37
// and 0x50-0x5f (quick writes upset some EEPROMs), UU where a driver has the
// address.
void scan_bus(Context &c, I2cFile &f, unsigned long funcs, int first, int last)
{
    c.out << "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
    for (int i = 0; i < 128; i += 16) {
        c.out << fmt::format("{:02x}: ", i);
        for (int j = 0; j < 16; j++) {
            const int a = i + j;
            const bool read = (a >= 0x30 && a <= 0x37) || (a >= 0x50 && a <= 0x5f);
            if (a < first || a > last || (read && !(funcs & I2C_FUNC_SMBUS_READ_BYTE)) ||
                (!read && !(funcs & I2C_FUNC_SMBUS_QUICK))) {
                c.out << "   ";
                continue;
            }
            long r = f.set_address_quiet(a);
            if (r == -EBUSY) {
                c.out << "UU ";
                continue;
            }
            if (r < 0) {
                c.err << fmt::format("Error: Could not set address to 0x{:02x}: {}\n", a, errno_text(r));
                c.failed = true;
                return;
            }
            r = read ? f.read_byte() : f.write_quick(I2C_SMBUS_WRITE);
            c.out << (r < 0 ? std::string("-- ") : fmt::format("{:02x} ", a));
        }
        c.out << '\n';
    }
}

void cmd_i2cdetect(Context &c, const Words &w)
{
    ToolArgs a = tool_args(w, "yalFqr");
    bool list = false, funcs_only = false;
    for (size_t i = 1; i < w.size() && w[i][0] == '-'; ++i) {
        list |= w[i].find('l') != std::string::npos;
        funcs_only |= w[i].find('F') != std::string::npos;
    }
    if (list) {
        list_busses(c);
        return;
    }
    if (a.rest.empty())
        throw UsageError("Error: No i2c-bus specified!");
    auto bus = tool_bus(c, a.rest[0]);
    if (!bus)
        return;
    I2cFile f(c, *bus);
    if (!f.opened()) {
        c.failed = true;
        return;
    }
    auto funcs = f.funcs();
    if (!funcs) {
        c.failed = true;
        return;
    }
    if (funcs_only) {
        print_funcs(c, *bus, *funcs);
        return;
    }
    if (!(*funcs & (I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_READ_BYTE))) {
        c.err << fmt::format("Error: Bus doesn't support detection commands\n");
        c.failed = true;
        return;
    }
    scan_bus(c, f, *funcs, a.all ? 0x00 : 0x08, a.all ? 0x7f : 0x77);
}

// ---- i2cget, i2cset ----

// A MODE word: one of `modes`, with `p` after it for SMBus PEC.
bool tool_mode(const std::string &word, const char *modes, char *mode, bool *pec)
{
    if (word.empty() || word.size() > 2 || std::string(modes).find(word[0]) == std::string::npos)
        return false;
    if (word.size() == 2 && word[1] != 'p')
        return false;
    *mode = word[0];
    *pec = word.size() == 2;
    return true;
}

bool check_func(Context &c, I2cFile &f, unsigned long need, const char *what)
{
    auto funcs = f.funcs();
    if (!funcs)
        return false;
    if ((*funcs & need) != need) {
        c.err << fmt::format("Error: Adapter does not have {} capability\n", what);
        return false;
    }
    return true;
}

void cmd_i2cget(Context &c, const Words &w)
{
    ToolArgs a = tool_args(w, "yfa");
    if (a.rest.size() < 2 || a.rest.size() > 5)
        throw UsageError("Usage: i2cget [-f] [-y] [-a] I2CBUS CHIP-ADDRESS [DATA-ADDRESS [MODE [LENGTH]]]");
    auto bus = tool_bus(c, a.rest[0]);
    auto addr = bus ? tool_address(c, a.rest[1], a.all) : std::nullopt;
    if (!addr)
        return;
    std::optional<int> reg;
    if (a.rest.size() > 2 && !(reg = tool_byte(c, a.rest[2], "Data address")))
        return;
    char mode = reg ? 'b' : 'r'; // r: receive byte
    bool pec = false;
    if (a.rest.size() > 3) {
        if (!tool_mode(a.rest[3], "bwcsi", &mode, &pec))
            throw UsageError("Error: Invalid mode!");
    }
    int length = I2C_SMBUS_BLOCK_MAX;
    if (a.rest.size() > 4) {
        auto v = tool_number(a.rest[4]);
        if (mode != 'i' || !v || *v < 1 || *v > I2C_SMBUS_BLOCK_MAX)
            throw UsageError("Error: Length invalid!");
        length = static_cast<int>(*v);
    }

    I2cFile f(c, *bus);
    c.failed = true; // until the value is printed
    if (!f.opened())
        return;
    const unsigned long need = mode == 'r'   ? I2C_FUNC_SMBUS_READ_BYTE
                               : mode == 'c' ? I2C_FUNC_SMBUS_WRITE_BYTE | I2C_FUNC_SMBUS_READ_BYTE
                               : mode == 'w' ? I2C_FUNC_SMBUS_READ_WORD_DATA
                               : mode == 'i' ? I2C_FUNC_SMBUS_READ_I2C_BLOCK
                                             : I2C_FUNC_SMBUS_READ_BYTE_DATA;
    const char *what = mode == 'r' || mode == 'c' ? "SMBus receive byte"
                       : mode == 'w'              ? "SMBus read word"
                       : mode == 'i'              ? "I2C block read"
                                                  : "SMBus read byte";
    // An SMBus block read is sent whatever the adapter advertises, so that
    // the adapter's own answer shows (the tools stop at the missing
    // capability).
    if ((mode != 's' && !check_func(c, f, need, what)) || !f.set_address(*addr, a.force) || !f.set_pec(pec))
        return;
    long res;
    union i2c_smbus_data block = {};
    switch (mode) {
    case 'r':
        res = f.read_byte();
        break;
    case 'c':
        res = f.write_byte(static_cast<uint8_t>(*reg));
        if (res >= 0)
            res = f.read_byte();
        break;
    case 'w':
        res = f.read_word_data(static_cast<uint8_t>(*reg));
        break;
    case 's':
        res = f.smbus(I2C_SMBUS_READ, static_cast<uint8_t>(*reg), I2C_SMBUS_BLOCK_DATA, &block);
        if (res >= 0)
            res = block.block[0];
        break;
    case 'i':
        block.block[0] = static_cast<uint8_t>(length);
        res = f.smbus(I2C_SMBUS_READ, static_cast<uint8_t>(*reg), I2C_SMBUS_I2C_BLOCK_DATA, &block);
        if (res >= 0)
            res = block.block[0];
        break;
    default:
        res = f.read_byte_data(static_cast<uint8_t>(*reg));
    }
    if (res < 0) {
        c.err << "Error: Read failed\n";
        return;
    }
    c.failed = false;
    if (mode == 'i' || mode == 's') {
        for (long i = 0; i < res; i++)
            c.out << fmt::format("{}0x{:02x}", i ? " " : "", block.block[i + 1]);
        c.out << '\n';
    } else {
        c.out << (mode == 'w' ? fmt::format("0x{:04x}\n", res) : fmt::format("0x{:02x}\n", res));
    }
}

void cmd_i2cset(Context &c, const Words &w)
{
    ToolArgs a = tool_args(w, "yfa");
    if (a.rest.size() < 3)
        throw UsageError("Usage: i2cset [-f] [-y] [-a] I2CBUS CHIP-ADDRESS DATA-ADDRESS [VALUE] ... [MODE]");
    auto bus = tool_bus(c, a.rest[0]);
    auto addr = bus ? tool_address(c, a.rest[1], a.all) : std::nullopt;
    std::optional<int> reg = addr ? tool_byte(c, a.rest[2], "Data address") : std::nullopt;
    if (!reg)
        return;
    Words values(a.rest.begin() + 3, a.rest.end());
    char mode = values.empty() ? 'c' : 'b';
    bool pec = false;
    if (!values.empty() && tool_mode(values.back(), "cbwi", &mode, &pec))
        values.pop_back();
    if ((mode == 'c') != values.empty() || (mode != 'i' && values.size() > 1) || values.size() > 32)
        throw UsageError("Error: Invalid mode or number of values!");
    std::vector<long> data;
    for (const auto &v : values) {
        auto n = tool_number(v);
        if (!n || *n < 0 || *n > (mode == 'w' ? 0xffff : 0xff)) {
            c.err << "Error: Data value out of range!\n";
            c.failed = true;
            return;
        }
        data.push_back(*n);
    }

    I2cFile f(c, *bus);
    c.failed = true;
    if (!f.opened())
        return;
    const unsigned long need = mode == 'c'   ? I2C_FUNC_SMBUS_WRITE_BYTE
                               : mode == 'w' ? I2C_FUNC_SMBUS_WRITE_WORD_DATA
                               : mode == 'i' ? I2C_FUNC_SMBUS_WRITE_I2C_BLOCK
                                             : I2C_FUNC_SMBUS_WRITE_BYTE_DATA;
    const char *what = mode == 'c'   ? "SMBus send byte"
                       : mode == 'w' ? "SMBus write word"
                       : mode == 'i' ? "I2C block write"
                                     : "SMBus write byte";
    if (!check_func(c, f, need, what) || !f.set_address(*addr, a.force) || !f.set_pec(pec))
        return;
    union i2c_smbus_data d = {};
    const auto r = static_cast<uint8_t>(*reg);
    long res;
    switch (mode) {
    case 'c':
        res = f.write_byte(r);
        break;
    case 'w':
        d.word = static_cast<uint16_t>(data[0]);
        res = f.smbus(I2C_SMBUS_WRITE, r, I2C_SMBUS_WORD_DATA, &d);
        break;
    case 'i':
        d.block[0] = static_cast<uint8_t>(data.size());
        for (size_t i = 0; i < data.size(); i++)
            d.block[i + 1] = static_cast<uint8_t>(data[i]);
        res = f.smbus(I2C_SMBUS_WRITE, r, I2C_SMBUS_I2C_BLOCK_DATA, &d);
        break;
    default:
        d.byte = static_cast<uint8_t>(data[0]);
        res = f.smbus(I2C_SMBUS_WRITE, r, I2C_SMBUS_BYTE_DATA, &d);
    }
    if (res < 0) {
        c.err << "Error: Write failed\n";
        return;
    }
    c.failed = false;
}

// ---- i2ctransfer ----

struct Transfer {
    std::vector<struct i2c_msg> msgs;
    std::vector<std::vector<uint8_t>> bufs;
};

// {r|w}LENGTH[@ADDRESS] then, for a write, LENGTH values; a value may end in
// '=' (repeated), '+' or '-' (counting up or down) to fill the rest.
Transfer parse_transfer(Context &c, const Words &words, bool all)
{
    Transfer t;
    int addr = -1;
    size_t i = 0;
    while (i < words.size()) {
        const std::string &d = words[i++];
        if (d.size() < 2 || (d[0] != 'r' && d[0] != 'w'))
            throw UsageError(fmt::format("Error: Invalid direction '{}'", d));
        size_t at = d.find('@');
        auto len = tool_number(d.substr(1, at == std::string::npos ? std::string::npos : at - 1));
        if (!len || *len < 0 || *len > 0xffff)
            throw UsageError(fmt::format("Error: Length invalid in '{}'", d));
        if (at != std::string::npos) {
            auto a = tool_address(c, d.substr(at + 1), all);
            if (!a)
                throw UsageError("Error: Invalid chip address");
            addr = *a;
        }
        if (addr < 0)
            throw UsageError("Error: No address given");
        std::vector<uint8_t> buf(static_cast<size_t>(*len));
        if (d[0] == 'w') {
            long value = 0, step = 0;
            bool filling = false; // the last value ended in a suffix: it fills the rest
            for (size_t k = 0; k < buf.size(); k++) {
                if (filling) {
                    value += step;
                    buf[k] = static_cast<uint8_t>(value);
                    continue;
                }
                if (i >= words.size())
                    throw UsageError("Error: Not enough data values");
                std::string v = words[i++];
                const char suffix = v.back();
                if (suffix == '=' || suffix == '+' || suffix == '-') {
                    filling = true;
                    step = suffix == '+' ? 1 : suffix == '-' ? -1 : 0;
                    v.pop_back();
                }
                auto n = tool_number(v);
                if (!n || *n < 0 || *n > 0xff)
                    throw UsageError(fmt::format("Error: Data value '{}' invalid", words[i - 1]));
                value = *n;
                buf[k] = static_cast<uint8_t>(value);
            }
        }
        t.msgs.push_back({.addr = static_cast<__u16>(addr),
                          .flags = static_cast<__u16>(d[0] == 'r' ? I2C_M_RD : 0),
                          .len = static_cast<__u16>(buf.size()),
                          .buf = nullptr});
        t.bufs.push_back(std::move(buf));
    }
    return t;
}

void cmd_i2ctransfer(Context &c, const Words &w)
{
    ToolArgs a = tool_args(w, "yfav");
    if (a.rest.size() < 2)
        throw UsageError("Usage: i2ctransfer [-f] [-y] [-v] [-a] I2CBUS DESC [DATA] [DESC [DATA]]...");
    auto bus = tool_bus(c, a.rest[0]);
    if (!bus)
        return;
    Transfer t = parse_transfer(c, Words(a.rest.begin() + 1, a.rest.end()), a.all);
    if (t.msgs.size() > I2C_RDWR_IOCTL_MAX_MSGS)
        throw UsageError(fmt::format("Error: Too many messages (max: {})", I2C_RDWR_IOCTL_MAX_MSGS));
    for (size_t i = 0; i < t.msgs.size(); i++)
        t.msgs[i].buf = t.bufs[i].data();

    I2cFile f(c, *bus);
    c.failed = true;
    if (!f.opened() || !check_func(c, f, I2C_FUNC_I2C, "I2C transfers"))
        return;
    for (const auto &m : t.msgs)
        if (!f.set_address(m.addr, a.force))
            return;
    struct i2c_rdwr_ioctl_data rdwr = {.msgs = t.msgs.data(), .nmsgs = static_cast<__u32>(t.msgs.size())};
    long sent = f.ioctl(I2C_RDWR, &rdwr);
    if (sent < 0) {
        c.err << fmt::format("Error: Sending messages failed: {}\n", errno_text(sent));
        return;
    }
    if (static_cast<size_t>(sent) < t.msgs.size())
        c.err << fmt::format("Warning: only {}/{} messages were sent\n", sent, t.msgs.size());
    for (size_t i = 0; i < static_cast<size_t>(sent) && i < t.msgs.size(); i++) {
        const auto &m = t.msgs[i];
        if (!(m.flags & I2C_M_RD) || m.len == 0)
            continue;
        for (size_t k = 0; k < m.len; k++)
            c.out << fmt::format("0x{:02x}{}", m.buf[k], k + 1 < m.len ? ' ' : '\n');
    }
    c.failed = false;
}

// ---- i2cdump ----

char printable(long v)
{
    if (v < 0)
        return 'X';
    v &= 0xff;
    if (v == 0x00 || v == 0xff)
        return '.';
    return v < 32 || v >= 127 ? '?' : static_cast<char>(v);
}

void cmd_i2cdump(Context &c, const Words &w)
{
    ToolArgs a = tool_args(w, "yfa");
    if (a.rest.size() < 2 || a.rest.size() > 3)
        throw UsageError("Usage: i2cdump [-f] [-y] [-a] I2CBUS ADDRESS [MODE]");
    if (a.rest.size() == 3 && a.rest[2] != "b")
        throw UsageError("Error: only the byte-data mode (b) is offered here");
    auto bus = tool_bus(c, a.rest[0]);
    auto addr = bus ? tool_address(c, a.rest[1], a.all) : std::nullopt;
    if (!addr)
        return;
    if (a.rest.size() == 2)
        c.err << "No size specified (using byte-data access)\n";
    I2cFile f(c, *bus);
    c.failed = true;
    if (!f.opened() || !check_func(c, f, I2C_FUNC_SMBUS_READ_BYTE_DATA, "byte read") || !f.set_address(*addr, a.force))
        return;
    c.failed = false;
    c.out << "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
    for (int i = 0; i < 256; i += 16) {
        long row[16];
        c.out << fmt::format("{:02x}: ", i);
        for (int j = 0; j < 16; j++) {
            row[j] = f.read_byte_data(static_cast<uint8_t>(i + j));
            c.out << (row[j] < 0 ? std::string("XX ") : fmt::format("{:02x} ", row[j]));
        }
        c.out << "   ";
        for (long v : row)
            c.out << printable(v);
        c.out << '\n';
    }
}

} // namespace

void add_i2c_commands(std::vector<Command> &table)
{
    table.push_back({"i2cdetect", "-y BUS | -l | -F BUS", "scan an I2C bus, list the busses, or show one's functions",
                     cmd_i2cdetect});
    table.push_back({"i2cget", "-y BUS ADDR [REG [b|w|c|s|i[p] [LEN]]]", "read from an I2C device", cmd_i2cget});
    table.push_back({"i2cset", "-y BUS ADDR REG [VALUE...] [c|b|w|i][p]", "write to an I2C device", cmd_i2cset});
    table.push_back(
        {"i2ctransfer", "-y BUS {r|w}LEN[@ADDR] [DATA...]...", "send I2C messages as one transfer", cmd_i2ctransfer});
    table.push_back({"i2cdump", "-y BUS ADDR [b]", "dump an I2C device's 256 registers", cmd_i2cdump});
}

} // namespace board
