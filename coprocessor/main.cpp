// quorvel-coproc: runs the simulated co-processor on a fresh pseudo-terminal.
// The first line of stdout is the tty path to give the module or the board
// program (quorvel-board --uart PATH); --link keeps a stable path to it.
// It takes the board's `coproc` commands from its terminal (only while in
// the foreground: run with `&` it keeps serving) and from its control
// socket, which a board on its line forwards `coproc` to.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include <fmt/format.h>

#include "coproc.hpp"
#include "coproc/simulator.hpp"
#include "coproc_control.hpp"
#include "parse.hpp"

namespace {

// "01,07" or "1 7" -> bytes; each item is hex, at most 0xFF.
coproc::Bytes parse_hex_list(const std::string &text)
{
    coproc::Bytes out;
    std::string item;
    auto flush = [&] {
        if (item.empty())
            return;
        size_t used = 0;
        unsigned long v = 0;
        try {
            v = std::stoul(item, &used, 16);
        } catch (const std::logic_error &) {}
        if (used != item.size())
            throw CLI::ValidationError("byte list", "not a hex byte: " + item);
        if (v > 0xFF)
            throw CLI::ValidationError("byte list", "value above 0xff: " + item);
        out.push_back(static_cast<uint8_t>(v));
        item.clear();
    };
    for (char c : text) {
        if (c == ',' || c == ' ' || c == ':')
            flush();
        else
            item += c;
    }
    flush();
    return out;
}

void print_record(const coproc::RequestRecord &r)
{
    fmt::print("-> {}  [{}]\n", coproc::describe(r.frame), coproc::hex(r.raw));
    if (!r.reply_sent.empty())
        fmt::print("<- {}\n", coproc::hex(r.reply_sent));
    if (!r.boot_bytes.empty())
        fmt::print("<- (restart) {}\n", coproc::hex(r.boot_bytes));
    std::fflush(stdout);
}

// Where commands come from. A terminal is read only while this program is
// its foreground job; a pipe ends the service when it ends (the parent that
// started us has gone); a file or /dev/null is read to its end, then the
// co-processor goes on serving.
enum class Input { Terminal, Pipe, File, None };

Input input_kind(bool ignore_stdin)
{
    if (ignore_stdin)
        return Input::None;
    if (::isatty(STDIN_FILENO))
        return Input::Terminal;
    struct stat st {};
    if (::fstat(STDIN_FILENO, &st) != 0)
        return Input::None;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? Input::Pipe : Input::File;
}

bool in_foreground() { return ::tcgetpgrp(STDIN_FILENO) == ::getpgrp(); }

// One line of commands: `coproc SUBCOMMAND ...` or just `SUBCOMMAND ...`.
void run_line(coproc::Simulator &sim, const std::string &line)
{
    std::vector<bool> quoted;
    auto words = board::split_words(line, &quoted);
    if (!words) {
        fmt::print("unmatched quote in: {}\n", line);
        return;
    }
    std::vector<std::string> args;
    for (size_t i = 0; i < words->size(); ++i)
        args.push_back(quoted[i] ? board::quote_text((*words)[i]) : (*words)[i]);
    if (args.empty())
        return;
    if (args.front() == "coproc")
        args.erase(args.begin());
    std::string output;
    board::run_coproc(&sim, args, &output);
    fmt::print("{}", output);
    std::fflush(stdout);
}

// The commands that have arrived; false at the end of the input.
bool take_commands(coproc::Simulator &sim, std::string &pending)
{
    std::array<char, 512> buf{};
    const ssize_t n = ::read(STDIN_FILENO, buf.data(), buf.size());
    if (n < 0)
        return errno == EINTR || errno == EAGAIN || errno == EIO; // EIO: read from the background
    if (n == 0)
        return false;
    pending.append(buf.data(), static_cast<size_t>(n));
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        for (const auto &command : board::split_commands(line))
            run_line(sim, command);
    }
    return true;
}

// Serves until SIGINT/SIGTERM, or until a terminal's Ctrl-D or a pipe's end.
void serve(int sigfd, coproc::Simulator &sim, Input input)
{
    std::string pending;
    for (;;) {
        // A background job looks at its terminal again now and then, in
        // case it has been brought to the foreground.
        const bool read_input =
            input == Input::Pipe || input == Input::File || (input == Input::Terminal && in_foreground());
        std::array<pollfd, 2> fds{{{sigfd, POLLIN, 0}, {read_input ? STDIN_FILENO : -1, POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), input == Input::Terminal ? 500 : -1) < 0)
            continue;
        if (fds[0].revents)
            return;
        if (fds[1].revents && !take_commands(sim, pending)) {
            if (input != Input::File)
                return;
            input = Input::None;
        }
    }
}

// PATH, a symbolic link to the pty, replaced in one step so that a program
// following it never finds it missing; it goes when we do, unless another
// co-processor has taken it over.
void make_link(const std::string &link, const std::string &tty)
{
    const std::string temp = link + ".new";
    std::filesystem::remove(temp);
    std::filesystem::create_symlink(tty, temp);
    std::filesystem::rename(temp, link);
}

void drop_link(const std::string &link, const std::string &tty)
{
    std::error_code ec;
    if (std::filesystem::read_symlink(link, ec) == tty)
        std::filesystem::remove(link, ec);
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Simulated co-processor serving a pseudo-terminal"};
    std::string version = "01,07";
    std::string boot;
    std::string link;
    bool boot_set = false, verbose = false, ignore_stdin = false;
    app.add_option("--version-bytes", version, "firmware version bytes, hex (e.g. 01,07)");
    auto *boot_opt = app.add_option("--boot-bytes", boot, "bytes sent unasked after a reset, hex list ('' for none)");
    app.add_flag("-v,--verbose", verbose, "print every request and reply");
    app.add_flag("--ignore-stdin", ignore_stdin, "take no commands from stdin, and do not stop at its end");
    app.add_option("--link", link, "keep a symbolic link to the pty at PATH, replaced when a new co-processor starts")
        ->option_text("PATH");
    app.footer("Commands on stdin (while in the foreground of a terminal) or on the control socket are the\n"
               "board's coproc commands: `coproc dht 23.5 41`, `coproc uart send \"hi\" 0d` ('coproc' may be\n"
               "left out; `help` lists them). A board run with --uart on this pty forwards its coproc here.");
    CLI11_PARSE(app, argc, argv);
    boot_set = boot_opt->count() > 0;

    coproc::SimulatorOptions options;
    try {
        const coproc::Bytes v = parse_hex_list(version);
        if (v.size() != 2)
            throw CLI::ValidationError("--version-bytes", "needs exactly two bytes");
        options.version = {v[0], v[1]};
        if (boot_set)
            options.boot_bytes = parse_hex_list(boot);
    } catch (const std::exception &e) {
        fmt::print(stderr, "quorvel-coproc: {}\n", e.what());
        return 2;
    }

    // Block the stop signals before the service thread exists, so that only
    // the signalfd below ever sees them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // A read of the terminal from the background fails rather than stops us.
    ::signal(SIGTTIN, SIG_IGN);
    const int sigfd = ::signalfd(-1, &stop, SFD_CLOEXEC);

    try {
        coproc::Simulator sim(options);
        if (verbose)
            sim.set_observer(print_record);
        board::CoprocControl control(sim);
        if (!link.empty())
            make_link(link, sim.tty_path());
        fmt::print("{}\n", sim.tty_path());
        std::fflush(stdout);
        serve(sigfd, sim, input_kind(ignore_stdin));
        if (!link.empty())
            drop_link(link, sim.tty_path());
    } catch (const std::exception &e) {
        fmt::print(stderr, "quorvel-coproc: {}\n", e.what());
        return 1;
    }
    ::close(sigfd);
    return 0;
}
