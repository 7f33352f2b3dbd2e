// quorvel-coproc: runs the simulated co-processor on a fresh pseudo-terminal.
// The first line of stdout is the tty path to give the module or the board
// program (quorvel-board --uart PATH).
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <exception>
#include <string>

#include <fmt/format.h>

#include "coproc/simulator.hpp"

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

// Serves until SIGINT/SIGTERM, or until stdin ends when watch_stdin is set.
void wait_for_end(int sigfd, bool watch_stdin)
{
    std::array<pollfd, 2> fds{{{sigfd, POLLIN, 0}, {watch_stdin ? STDIN_FILENO : -1, POLLIN, 0}}};
    std::array<char, 256> sink{};
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents)
            return;
        if (fds[1].revents && ::read(STDIN_FILENO, sink.data(), sink.size()) <= 0)
            return;
    }
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Simulated co-processor serving a pseudo-terminal"};
    std::string version = "01,07";
    std::string boot;
    bool boot_set = false, verbose = false, ignore_stdin = false;
    app.add_option("--version-bytes", version, "firmware version bytes, hex (e.g. 01,07)");
    auto *boot_opt = app.add_option("--boot-bytes", boot, "bytes sent unasked after a reset, hex list ('' for none)");
    app.add_flag("-v,--verbose", verbose, "print every request and reply");
    app.add_flag("--ignore-stdin", ignore_stdin, "do not stop at end of stdin");
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
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    const int sigfd = ::signalfd(-1, &stop, SFD_CLOEXEC);

    try {
        coproc::Simulator sim(options);
        if (verbose)
            sim.set_observer(print_record);
        fmt::print("{}\n", sim.tty_path());
        std::fflush(stdout);
        wait_for_end(sigfd, !ignore_stdin);
    } catch (const std::exception &e) {
        fmt::print(stderr, "quorvel-coproc: {}\n", e.what());
        return 1;
    }
    ::close(sigfd);
    return 0;
}
