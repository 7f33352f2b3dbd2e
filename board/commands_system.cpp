// Module control and the small file tools (ls, cat, echo), the kernel log
// and the serial trace.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <ostream>

#include <fmt/format.h>

#include "args.hpp"
#include "shell.hpp"
#include "interrupt.hpp"

namespace board {

namespace {

constexpr size_t kCatLimit = 64 * 1024; // devices that never say EOF stop here
constexpr size_t kCatChunk = 4096;

std::string errno_text(long rc) { return rc < 0 ? std::strerror(static_cast<int>(-rc)) : "unexpected result"; }

// A tool's error: printed, and the command fails.
void report(Context &c, const char *tool, const std::string &what, long rc)
{
    c.out << fmt::format("{}: {}: {} ({})\n", tool, what, errno_text(rc), rc);
    c.failed = true;
}

void cmd_insmod(Context &c, const Words &w)
{
    const std::vector<std::string> params(w.begin() + 1, w.end());
    for (const auto &p : params)
        if (p.find('=') == std::string::npos || p.front() == '=')
            throw UsageError(fmt::format("'{}' is not name=value", p));
    std::string why;
    const int rc = c.board.insmod(params, &why);
    if (rc < 0)
        report(c, "insmod", why.empty() ? "refused" : why, rc);
}

void cmd_rmmod(Context &c, const Words &w)
{
    want_args(w, 0, 0);
    std::string why;
    const int rc = c.board.rmmod(&why);
    if (rc < 0)
        report(c, "rmmod", why.empty() ? "refused" : why, rc);
}

void cmd_lsmod(Context &c, const Words &w)
{
    want_args(w, 0, 0);
    for (const auto &name : c.board.lsmod())
        c.out << name << '\n';
}

std::string mode_text(const khost::DirEntry &e)
{
    std::string s(1, e.type == 'f' ? '-' : e.type);
    for (int shift = 6; shift >= 0; shift -= 3) {
        const unsigned bits = (e.mode >> shift) & 7;
        s += (bits & 4) ? 'r' : '-';
        s += (bits & 2) ? 'w' : '-';
        s += (bits & 1) ? 'x' : '-';
    }
    return s;
}

// The kernel's dev_t: 12 bits of major, 20 of minor; as ls shows it.
std::string device_text(const khost::DirEntry &e)
{
    return e.type == 'c' ? fmt::format("{}, {}", e.rdev >> 20, e.rdev & 0xFFFFF) : "";
}

// As `ls -l` lays them out: mode letters, device numbers in a column of their
// own when there are any, the name, and where a link points.
void print_long(Context &c, const std::vector<khost::DirEntry> &entries)
{
    size_t width = 0;
    for (const auto &e : entries)
        width = std::max(width, device_text(e).size());
    for (const auto &e : entries) {
        c.out << mode_text(e) << ' ';
        if (width)
            c.out << fmt::format("{:>{}} ", device_text(e), width);
        c.out << e.name;
        if (e.type == 'l')
            c.out << " -> " << e.target;
        c.out << '\n';
    }
}

// ls [-l] PATH. As coreutils: a directory lists its entries; anything else
// is listed by itself; a link named on the command line is followed, except
// by -l without a trailing '/', which shows the link.
void cmd_ls(Context &c, const Words &w)
{
    want_args(w, 1, 2);
    const bool long_format = w[1] == "-l";
    if (w.size() == 3 && !long_format)
        throw UsageError(fmt::format("unexpected '{}'", w[1]));
    if (long_format && w.size() == 2)
        throw UsageError("want a PATH");
    const std::string &path = w.back();
    const bool follow = !long_format || path.back() == '/';
    khost::DirEntry self;
    long rc = c.board.stat(path, &self, follow);
    std::vector<khost::DirEntry> entries;
    if (rc == 0 && self.type == 'd')
        rc = c.board.list(path, &entries);
    else
        entries.push_back(self);
    if (rc < 0) {
        report(c, "ls", path, rc);
        return;
    }
    if (long_format) {
        print_long(c, entries);
        return;
    }
    for (const auto &e : entries)
        c.out << e.name << '\n';
}

void cmd_cat(Context &c, const Words &w)
{
    want_args(w, 1, 1);
    const std::string &path = w[1];
    const long fd = c.board.open(path, 0);
    if (fd < 0) {
        report(c, "cat", path, fd);
        return;
    }
    std::string text;
    std::vector<char> buf(kCatChunk);
    while (text.size() < kCatLimit) {
        const long n = c.board.read(static_cast<int>(fd), buf.data(), std::min(kCatChunk, kCatLimit - text.size()));
        if (n < 0)
            report(c, "cat", path, n);
        if (n <= 0)
            break;
        text.append(buf.data(), std::min<size_t>(static_cast<size_t>(n), buf.size()));
    }
    c.out << text;
    c.board.close(static_cast<int>(fd));
}

void cmd_echo(Context &c, const Words &w)
{
    size_t first = 1;
    const bool newline = !(w.size() > 1 && w[1] == "-n");
    if (!newline)
        ++first;
    const auto gt = std::find(w.begin() + static_cast<long>(first), w.end(), ">");
    if (gt == w.end() || gt + 2 != w.end())
        throw UsageError("want TEXT > PATH");
    std::string text;
    for (auto it = w.begin() + static_cast<long>(first); it != gt; ++it)
        text += (text.empty() ? "" : " ") + *it;
    if (newline)
        text += '\n';
    const std::string &path = *(gt + 1);
    const long fd = c.board.open(path, 1);
    if (fd < 0) {
        report(c, "echo", path, fd);
        return;
    }
    const long n = c.board.write(static_cast<int>(fd), text.data(), text.size());
    if (n < 0)
        report(c, "echo", path, n);
    else if (static_cast<size_t>(n) != text.size()) {
        c.out << fmt::format("echo: {}: wrote {} of {} bytes\n", path, n, text.size());
        c.failed = true;
    }
    c.board.close(static_cast<int>(fd));
}

void cmd_dmesg(Context &c, const Words &w)
{
    want_args(w, 0, 1);
    if (w.size() > 1 && w[1] != "-c")
        throw UsageError(fmt::format("unexpected '{}'", w[1]));
    c.out << c.board.dmesg(w.size() > 1);
}

void cmd_sleep(Context &c, const Words &w)
{
    want_args(w, 1, 1);
    c.out.flush();
    // Ctrl-C ends the wait early, as it interrupts a shell's sleep.
    (void)wait_interruptible(std::chrono::milliseconds(arg_number(w[1], "milliseconds")));
}

// Real clients on the real kernel: busybox's tools act on the module's nodes.
void cmd_sh(Context &c, const Words &w)
{
    want_args(w, 1, 1);
    std::string output;
    const long status = c.board.shell_command(w[1], &output);
    if (status < 0) {
        report(c, "sh", "no shell on this board (there is one under --kernel qemu)", status);
        return;
    }
    c.out << output;
    if (!output.empty() && output.back() != '\n')
        c.out << '\n';
    c.out << fmt::format("sh: exit {}\n", status);
}

} // namespace

void add_system_commands(std::vector<Command> &table)
{
    table.insert(
        table.end(),
        {
            {"insmod", "[name=value...]", "load the module with these parameters", cmd_insmod},
            {"rmmod", "", "unload the module", cmd_rmmod},
            {"lsmod", "", "list loaded modules", cmd_lsmod},
            {"ls", "[-l] PATH", "list a directory or file of /dev or /sys (-l: modes, numbers, link targets)", cmd_ls},
            {"cat", "PATH", "print a file (read until end, at most 64 KiB)", cmd_cat},
            {"echo", "[-n] TEXT > PATH", "write TEXT and a newline (none with -n) to a file", cmd_echo},
            {"dmesg", "[-c]", "print the kernel log (-c: then clear it)", cmd_dmesg},
            {"sleep", "MS", "wait MS milliseconds", cmd_sleep},
            {"sh", "'COMMAND'", "run a command of the board's shell (under --kernel qemu)", cmd_sh},
        });
}

} // namespace board
