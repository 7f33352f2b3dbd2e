// `stty -F PATH [SETTING...]`: a tty's termios through TCGETS and TCSETS,
// with the settings words of coreutils' stty (a speed, raw, sane, cs7,
// -echo, parenb, min 1, intr ^C...). Without settings it prints them all,
// as `stty -a` does.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <ostream>

#include <fmt/format.h>

#include "args.hpp"
#include "parse.hpp"
#include "shell.hpp"

namespace board {

namespace {

constexpr int kOpenFlags = 00004000; // O_RDONLY | O_NONBLOCK, as stty opens

struct Flag {
    std::string_view name;
    tcflag_t termios::*field;
    tcflag_t bits;
    tcflag_t mask; // the bits the setting clears first (for cs7 and the like)
};

const Flag kFlags[] = {
    {"parenb", &termios::c_cflag, PARENB, PARENB},    {"parodd", &termios::c_cflag, PARODD, PARODD},
    {"cs5", &termios::c_cflag, CS5, CSIZE},           {"cs6", &termios::c_cflag, CS6, CSIZE},
    {"cs7", &termios::c_cflag, CS7, CSIZE},           {"cs8", &termios::c_cflag, CS8, CSIZE},
    {"hupcl", &termios::c_cflag, HUPCL, HUPCL},       {"cstopb", &termios::c_cflag, CSTOPB, CSTOPB},
    {"cread", &termios::c_cflag, CREAD, CREAD},       {"clocal", &termios::c_cflag, CLOCAL, CLOCAL},
    {"crtscts", &termios::c_cflag, CRTSCTS, CRTSCTS}, {"ignbrk", &termios::c_iflag, IGNBRK, IGNBRK},
    {"brkint", &termios::c_iflag, BRKINT, BRKINT},    {"ignpar", &termios::c_iflag, IGNPAR, IGNPAR},
    {"parmrk", &termios::c_iflag, PARMRK, PARMRK},    {"inpck", &termios::c_iflag, INPCK, INPCK},
    {"istrip", &termios::c_iflag, ISTRIP, ISTRIP},    {"inlcr", &termios::c_iflag, INLCR, INLCR},
    {"igncr", &termios::c_iflag, IGNCR, IGNCR},       {"icrnl", &termios::c_iflag, ICRNL, ICRNL},
    {"ixon", &termios::c_iflag, IXON, IXON},          {"ixoff", &termios::c_iflag, IXOFF, IXOFF},
    {"iuclc", &termios::c_iflag, IUCLC, IUCLC},       {"ixany", &termios::c_iflag, IXANY, IXANY},
    {"imaxbel", &termios::c_iflag, IMAXBEL, IMAXBEL}, {"iutf8", &termios::c_iflag, IUTF8, IUTF8},
    {"opost", &termios::c_oflag, OPOST, OPOST},       {"olcuc", &termios::c_oflag, OLCUC, OLCUC},
    {"ocrnl", &termios::c_oflag, OCRNL, OCRNL},       {"onlcr", &termios::c_oflag, ONLCR, ONLCR},
    {"onocr", &termios::c_oflag, ONOCR, ONOCR},       {"onlret", &termios::c_oflag, ONLRET, ONLRET},
    {"isig", &termios::c_lflag, ISIG, ISIG},          {"icanon", &termios::c_lflag, ICANON, ICANON},
    {"iexten", &termios::c_lflag, IEXTEN, IEXTEN},    {"echo", &termios::c_lflag, ECHO, ECHO},
    {"echoe", &termios::c_lflag, ECHOE, ECHOE},       {"echok", &termios::c_lflag, ECHOK, ECHOK},
    {"echonl", &termios::c_lflag, ECHONL, ECHONL},    {"noflsh", &termios::c_lflag, NOFLSH, NOFLSH},
    {"xcase", &termios::c_lflag, XCASE, XCASE},       {"tostop", &termios::c_lflag, TOSTOP, TOSTOP},
    {"echoprt", &termios::c_lflag, ECHOPRT, ECHOPRT}, {"echoctl", &termios::c_lflag, ECHOCTL, ECHOCTL},
    {"echoke", &termios::c_lflag, ECHOKE, ECHOKE},
};

struct ControlChar {
    std::string_view name;
    int index;
    cc_t sane;
};

const ControlChar kChars[] = {
    {"intr", VINTR, 003},     {"quit", VQUIT, 034},   {"erase", VERASE, 0177},    {"kill", VKILL, 025},
    {"eof", VEOF, 004},       {"eol", VEOL, 0},       {"eol2", VEOL2, 0},         {"swtch", VSWTC, 0},
    {"start", VSTART, 021},   {"stop", VSTOP, 023},   {"susp", VSUSP, 032},       {"rprnt", VREPRINT, 022},
    {"werase", VWERASE, 027}, {"lnext", VLNEXT, 026}, {"discard", VDISCARD, 017},
};

const struct {
    unsigned speed;
    tcflag_t bits;
} kSpeeds[] = {
    {0, B0},
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {500000, B500000},
    {576000, B576000},
    {921600, B921600},
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
    {2000000, B2000000},
    {2500000, B2500000},
    {3000000, B3000000},
    {3500000, B3500000},
    {4000000, B4000000},
};

void set_flag(termios &t, std::string_view word)
{
    const bool clear = word.starts_with('-');
    if (clear)
        word.remove_prefix(1);
    for (const auto &f : kFlags) {
        if (f.name != word)
            continue;
        if (clear && f.mask != f.bits)
            throw UsageError(fmt::format("invalid argument '-{}'", word));
        t.*f.field &= ~f.mask;
        if (!clear)
            t.*f.field |= f.bits;
        return;
    }
    throw UsageError(fmt::format("invalid argument '{}{}'", clear ? "-" : "", word));
}

void apply_words(termios &t, std::initializer_list<std::string_view> words)
{
    for (auto w : words)
        set_flag(t, w);
}

// coreutils' stty raw and sane.
void make_raw(termios &t)
{
    apply_words(t, {"-ignbrk", "-brkint", "-ignpar", "-parmrk", "-inpck", "-istrip", "-inlcr", "-igncr", "-icrnl",
                    "-ixon", "-ixoff", "-iuclc", "-ixany", "-imaxbel", "-opost", "-isig", "-icanon", "-xcase"});
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

void make_sane(termios &t)
{
    apply_words(t, {"cread",  "-ignbrk", "brkint",   "-inlcr",  "-igncr", "icrnl", "-ixoff",  "-iuclc",
                    "-ixany", "imaxbel", "opost",    "-olcuc",  "-ocrnl", "onlcr", "-onocr",  "-onlret",
                    "isig",   "icanon",  "iexten",   "echo",    "echoe",  "echok", "-echonl", "-noflsh",
                    "-xcase", "-tostop", "-echoprt", "echoctl", "echoke"});
    for (const auto &c : kChars)
        t.c_cc[c.index] = c.sane;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

std::optional<tcflag_t> speed_bits(std::string_view word)
{
    auto n = parse_number(word);
    if (!n)
        return std::nullopt;
    for (const auto &s : kSpeeds)
        if (s.speed == *n)
            return s.bits;
    throw UsageError(fmt::format("invalid speed '{}'", word));
}

cc_t control_value(std::string_view v)
{
    if (v == "undef" || v == "^-")
        return 0;
    if (v == "^?")
        return 0177;
    if (v.size() == 2 && v[0] == '^')
        return static_cast<cc_t>(v[1] & 037);
    if (v.size() == 1)
        return static_cast<cc_t>(v[0]);
    auto n = parse_number(v);
    if (!n || *n > 255)
        throw UsageError(fmt::format("invalid control character '{}'", v));
    return static_cast<cc_t>(*n);
}

// Applies the words from `i` on; a word that takes a value consumes it.
void apply(termios &t, const Words &w, size_t i)
{
    for (; i < w.size(); i++) {
        const std::string &word = w[i];
        auto value = [&]() -> const std::string & {
            if (i + 1 >= w.size())
                throw UsageError(fmt::format("missing argument to '{}'", word));
            return w[++i];
        };
        if (auto bits = speed_bits(word)) {
            t.c_cflag = (t.c_cflag & ~CBAUD) | *bits;
        } else if (word == "raw" || word == "-cooked") {
            make_raw(t);
        } else if (word == "sane" || word == "cooked" || word == "-raw") {
            make_sane(t);
        } else if (word == "evenp" || word == "parity") {
            apply_words(t, {"parenb", "-parodd", "cs7"});
        } else if (word == "oddp") {
            apply_words(t, {"parenb", "parodd", "cs7"});
        } else if (word == "-evenp" || word == "-parity" || word == "-oddp") {
            apply_words(t, {"-parenb", "cs8"});
        } else if (word == "min" || word == "time") {
            auto n = parse_number(value());
            if (!n || *n > 255)
                throw UsageError(fmt::format("invalid {} '{}'", word, w[i]));
            t.c_cc[word == "min" ? VMIN : VTIME] = static_cast<cc_t>(*n);
        } else if (auto c = std::find_if(std::begin(kChars), std::end(kChars),
                                         [&](const ControlChar &cc) { return cc.name == word; });
                   c != std::end(kChars)) {
            t.c_cc[c->index] = control_value(value());
        } else {
            set_flag(t, word);
        }
    }
}

unsigned speed_of(const termios &t)
{
    for (const auto &s : kSpeeds)
        if (s.bits == (t.c_cflag & CBAUD))
            return s.speed;
    return 0;
}

std::string control_name(cc_t c)
{
    if (c == 0)
        return "<undef>";
    if (c == 0177)
        return "^?";
    if (c < 040)
        return fmt::format("^{}", static_cast<char>(c + '@'));
    return std::string(1, static_cast<char>(c));
}

void print_all(std::ostream &out, const termios &t)
{
    out << fmt::format("speed {} baud; line = {};\n", speed_of(t), t.c_line);
    std::string chars;
    for (const auto &c : kChars)
        chars += fmt::format("{} = {}; ", c.name, control_name(t.c_cc[c.index]));
    out << chars << fmt::format("min = {}; time = {};\n", t.c_cc[VMIN], t.c_cc[VTIME]);
    const tcflag_t termios::*fields[] = {&termios::c_cflag, &termios::c_iflag, &termios::c_oflag, &termios::c_lflag};
    for (auto field : fields) {
        std::string line;
        for (const auto &f : kFlags) {
            if (f.field != field)
                continue;
            if (f.mask != f.bits) { // a choice among several, as csN
                if ((t.*field & f.mask) == f.bits)
                    line += fmt::format("{} ", f.name);
                continue;
            }
            line += fmt::format("{}{} ", (t.*field & f.bits) ? "" : "-", f.name);
        }
        line.pop_back();
        out << line << '\n';
    }
}

void cmd_stty(Context &c, const Words &w)
{
    if (w.size() < 3 || w[1] != "-F")
        throw UsageError("want -F PATH");
    const long fd = c.board.open(w[2], kOpenFlags);
    if (fd < 0) {
        c.out << fmt::format("stty: {}: error {}\n", w[2], fd);
        c.failed = true;
        return;
    }
    termios t{};
    long r = c.board.ioctl(static_cast<int>(fd), TCGETS, reinterpret_cast<unsigned long>(&t));
    if (r == 0 && w.size() == 3) {
        print_all(c.out, t);
    } else if (r == 0) {
        termios wanted = t;
        try {
            apply(wanted, w, 3);
        } catch (...) {
            c.board.close(static_cast<int>(fd));
            throw;
        }
        r = c.board.ioctl(static_cast<int>(fd), TCSETS, reinterpret_cast<unsigned long>(&wanted));
        // As coreutils' stty: a setting the driver did not take is reported.
        termios now{};
        if (r == 0 && c.board.ioctl(static_cast<int>(fd), TCGETS, reinterpret_cast<unsigned long>(&now)) == 0 &&
            std::memcmp(&now, &wanted, sizeof(now)) != 0) {
            c.out << fmt::format("stty: {}: unable to perform all requested operations\n", w[2]);
            c.failed = true;
        }
    }
    if (r < 0) {
        c.out << fmt::format("stty: {}: error {}\n", w[2], r);
        c.failed = true;
    }
    c.board.close(static_cast<int>(fd));
}

// `bridge PATH` joins a host pty to the board's tty; `bridge stop` ends
// every bridge.
void cmd_bridge(Context &c, const Words &w)
{
    want_args(w, 1, 1);
    std::string host;
    const long r = c.board.tty_bridge(w[1] == "stop" ? "" : w[1], &host);
    if (r < 0) {
        c.out << fmt::format("bridge: {}\n", host);
        c.failed = true;
    } else if (w[1] != "stop") {
        c.out << fmt::format("{} <-> {}\n", w[1], host);
    }
}

} // namespace

void add_tty_commands(std::vector<Command> &table)
{
    table.push_back({"stty", "-F PATH [SETTING...]",
                     "a tty's settings: a speed, raw, sane, cs5..cs8, [-]cstopb, [-]parenb, [-]echo, [-]icanon, "
                     "min N, time N, intr ^C...; without settings, all of them",
                     cmd_stty});
    table.push_back({"bridge", "PATH | stop",
                     "join a host pty to the board's tty PATH for host programs (picocom, pyserial); prints the "
                     "host pty; their termios changes reach the tty's driver",
                     cmd_bridge});
}

} // namespace board
