// quorvel-board: boots the kernel layer, attaches the board's serial line to
// a co-processor, loads the module and runs shell commands against it.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include <CLI/CLI.hpp>

#include "attach.hpp"
#include "interrupt.hpp"
#include "prompt.hpp"
#include "qemu_board.hpp"
#include "qemu_run.hpp"
#include "run_layer.hpp"
#include "session.hpp"
#include "shell.hpp"
#include "signals.hpp"

namespace {

constexpr const char *kExamples = R"(
With --kernel qemu the same board runs on a real Linux kernel (6.1) in a
QEMU virtual machine: the module is the .ko that Kbuild makes from the same
sources, its serial line the guest's /dev/ttyS3, and the commands run in the
guest on real system calls ("sh 'CMD'" runs a guest shell command there).

Words with '=' are module parameters; another word is a script file of
commands, one per line or separated by ';' ('#' starts a comment line).
Without -c or a script, commands come from stdin, at a "board# " prompt
when it is a terminal. Leaving unloads the module and halts the kernel.

With "-- PROGRAM [ARGS...]" the board runs PROGRAM instead of commands: it
boots, loads the module with the parameters, runs PROGRAM in the current
directory with standard input, output and error passed through, unloads the
module, reports what the program left behind ("board: ...") and exits with
PROGRAM's status. On the kernel layer (the default) PROGRAM runs on the host
with a preload library (LD_PRELOAD) that takes its calls on the board's
paths (/dev's nodes, /sys) to this board. Under --kernel qemu the guest has
the host's files: its
root read-only (writes go to a tmpfs), the current directory writable. While
it runs, the board's commands reach it from the host or the guest with
"quorvel-board --attach [PATH] [-c 'CMDS']" (PATH: $QUORVEL_BOARD, which the
program has, or the only board running).

Examples:
  quorvel-board dev_gpio=0x20 -- python3 my_test.py
  quorvel-board --kernel qemu dev_gpio=0x20 -- python3 my_test.py
  quorvel-board --attach -c 'coproc pin 5 high'
  quorvel-board -c 'open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00; trace'
  quorvel-board dev_pwm=3 -c 'dmesg'
  quorvel-board --uart /dev/ttyUSB0 dev_gpio=0xff
  quorvel-board --kernel qemu dev_gpio=0x20 -c 'open /dev/quorvel_config; dmesg'
  quorvel-board -e checks.txt dev_uart=0x3
  quorvel-board -c 'rmmod; fail class_create 1; insmod; ls /dev; fail'
Type 'help' at the prompt for the commands.

With -e the run stops at the first command that fails, as `sh -e` does: a
program call (open, read, write, ioctl, close) that prints a negative
result, or insmod, rmmod, ls, cat or echo reporting an error.

Exit status: 0; 1 if the board could not start or the module would not
unload, or with -e if a command failed; 2 if the command line, or a command
of -c, a script or piped input could not be parsed (the run stops at that
command).)";

struct Args {
    board::SessionOptions session;
    std::string kernel = "layer";
    std::string commands;
    std::string script;
    bool have_commands = false;
    bool errexit = false;
    std::string attach;               // --attach [PATH]
    bool run_mode = false;            // a -- was given
    std::vector<std::string> program; // the words after it
};

// Splits the free words into module parameters and at most one script.
void sort_words(const std::vector<std::string> &words, Args &args)
{
    for (const auto &w : words) {
        if (w.find('=') != std::string::npos)
            args.session.params.push_back(w);
        else if (args.script.empty())
            args.script = w;
        else
            throw CLI::ValidationError("SCRIPT", "more than one script given: " + args.script + ", " + w);
    }
    if (!args.script.empty() && args.have_commands)
        throw CLI::ValidationError("SCRIPT", "give either -c or a script, not both");
}

std::vector<std::string> command_names()
{
    std::vector<std::string> names{"help", "exit"};
    for (const auto &c : board::command_table())
        names.emplace_back(c.name);
    return names;
}

// Tab completion offers the board's own /dev and /sys, directories with a '/'.
std::vector<std::string> board_names(board::Board &b, const std::string &dir)
{
    std::vector<khost::DirEntry> entries;
    std::vector<std::string> names;
    if (b.list(dir, &entries) < 0)
        return names;
    for (const auto &e : entries) {
        khost::DirEntry target;
        const bool is_dir =
            e.type == 'd' || (e.type == 'l' && b.stat(dir + e.name, &target, true) == 0 && target.type == 'd');
        names.push_back(e.name + (is_dir ? "/" : ""));
    }
    return names;
}

// As a shell: Ctrl-C ends the command under way and gives the prompt back;
// exit, Ctrl-D or SIGTERM/SIGHUP leave.
board::Outcome run_interactive(board::Shell &shell, board::Board &b)
{
    board::Prompt prompt({command_names(), [&b](const std::string &dir) { return board_names(b, dir); }});
    for (;;) {
        const auto line = prompt.read();
        if (!line)
            return board::Outcome::Ok;
        const auto o = shell.run_text(*line, false);
        if (board::leave_signal())
            return board::Outcome::Interrupted;
        if (o == board::Outcome::Exit || o == board::Outcome::Failed)
            return o;
    }
}

board::Outcome run_stream(board::Shell &shell, std::istream &in)
{
    std::string line;
    while (std::getline(in, line)) {
        const auto o = shell.run_text(line, true);
        if (o != board::Outcome::Ok)
            return o;
    }
    return board::Outcome::Ok;
}

board::Outcome run(board::Shell &shell, board::Board &b, const Args &args, std::istream *script)
{
    if (args.have_commands)
        return shell.run_text(args.commands, true);
    if (script)
        return run_stream(shell, *script);
    if (::isatty(STDIN_FILENO))
        return run_interactive(shell, b);
    return run_stream(shell, std::cin);
}

// The lines for the VM, one at a time, when the guest asks for the next.
// Ctrl-C or SIGTERM end a run of -c, a script or piped input there.
board::LineSource qemu_lines(const Args &args, std::istream *script)
{
    auto stopped = [] { return board::interrupted() || board::leave_signal() != 0; };
    if (args.have_commands) {
        auto rest = std::make_shared<std::istringstream>(args.commands);
        return [rest, stopped]() -> std::optional<std::string> {
            std::string line;
            return !stopped() && std::getline(*rest, line) ? std::optional(line) : std::nullopt;
        };
    }
    if (!script && ::isatty(STDIN_FILENO)) {
        // Commands are completed by name; the guest's paths are out of reach.
        auto prompt = std::make_shared<board::Prompt>(board::PromptOptions{command_names(), nullptr});
        return [prompt]() -> std::optional<std::string> {
            if (board::leave_signal())
                return std::nullopt;
            return prompt->read();
        };
    }
    std::istream *in = script ? script : &std::cin;
    return [in, stopped]() -> std::optional<std::string> {
        std::string line;
        return !stopped() && std::getline(*in, line) ? std::optional(line) : std::nullopt;
    };
}

int run_qemu(const Args &args, std::istream *script)
{
    board::QemuOptions options;
    options.uart = args.session.uart;
    options.params = args.session.params;
    options.interactive = !args.have_commands && !script && ::isatty(STDIN_FILENO);
    options.errexit = args.errexit;
    const int status = board::run_qemu_board(options, qemu_lines(args, script), std::cout, std::cerr);
    board::mark_left();
    if (board::leave_signal())
        return 128 + board::leave_signal();
    if (!options.interactive && board::interrupted())
        return 128 + SIGINT;
    return status;
}

// Leaves the words after the first "--" in `program` and returns the count
// of those before it.
int split_program(int argc, char **argv, std::vector<std::string> &program)
{
    for (int i = 1; i < argc; i++) {
        if (std::string_view(argv[i]) == "--") {
            program.assign(argv + i + 1, argv + argc);
            return i;
        }
    }
    return argc;
}

// quorvel-board [--kernel K] [--uart PATH] [name=value...] -- PROGRAM [ARGS...]
int run_program(const Args &args)
{
    if (args.have_commands || !args.script.empty()) {
        std::cerr << "quorvel-board: give commands (-c, a script) or a program after --, not both\n";
        return 2;
    }
    if (args.program.empty()) {
        std::cerr << "quorvel-board: no program after --\n";
        return 2;
    }
    if (args.kernel == "qemu")
        return board::run_on_qemu(args.session.uart, args.session.params, args.program);
    return board::run_on_layer(args.session, args.program, std::cerr);
}

int attach(const Args &args, std::istream *script)
{
    std::string why;
    const auto path = board::find_board(args.attach, &why);
    if (!path) {
        std::cerr << "quorvel-board: " << why << '\n';
        return 1;
    }
    return board::attach_board(*path, qemu_lines(args, script), std::cout, std::cerr);
}

} // namespace

int main(int argc, char **argv)
{
    // Before any thread: the signals are taken by one thread of their own.
    board::block_signals();
    CLI::App app{"Runs the Quorvel board: the kernel layer with the module loaded, its serial\n"
                 "line on a co-processor (the built-in simulated one by default).",
                 "quorvel-board"};
    app.footer(kExamples);
    Args args;
    std::vector<std::string> words;
    app.add_option("--uart", args.session.uart,
                   "tty of the co-processor (a USB serial adapter, or quorvel-coproc's pty);\n"
                   "default: a simulated co-processor started here")
        ->option_text("PATH");
    app.add_option("--hz", args.session.hz, "kernel tick rate (default 250)")
        ->check(CLI::Range(1u, 100000u))
        ->option_text("N");
    app.add_option("--kernel", args.kernel,
                   "the kernel the module runs on: layer (the kernel layer, in this process)\n"
                   "or qemu (a real Linux kernel in a QEMU virtual machine)")
        ->check(CLI::IsMember({"layer", "qemu"}))
        ->option_text("layer|qemu");
    app.add_option("--attach", args.attach,
                   "run the commands at a running board instead (its control socket: PATH,\n"
                   "else $QUORVEL_BOARD, else the only board running)")
        ->expected(0, 1)
        ->option_text("[PATH]");
    app.add_flag("-e", args.errexit, "stop at the first command that fails; exit status 1");
    app.add_option("-c", args.commands, "commands to run, separated by ';' or newlines")->option_text("'CMD; CMD'");
    app.add_option("words", words, "a script file and module parameters")->option_text("[SCRIPT] [name=value ...]");
    try {
        const int before = split_program(argc, argv, args.program);
        args.run_mode = before < argc;
        app.parse(before, argv);
        args.have_commands = app.count("-c") > 0;
        sort_words(words, args);
        if (args.kernel == "qemu" && app.count("--hz"))
            throw CLI::ValidationError("--hz", "the tick rate is the real kernel's own under --kernel qemu");
    } catch (const CLI::ParseError &e) {
        const int rc = app.exit(e); // prints help, or what was wrong
        return rc == 0 ? 0 : 2;
    }
    // A script that cannot be read should not cost a boot.
    std::ifstream script;
    if (!args.script.empty()) {
        script.open(args.script);
        if (!script) {
            std::cerr << "quorvel-board: cannot read script " << args.script << ": " << std::strerror(errno) << '\n';
            return 1;
        }
    }
    if (args.run_mode) {
        // A program's run takes its signals itself, to pass them on to the
        // program: the board's signal thread is not started.
        board::unblock_signals_in_child();
        return run_program(args);
    }
    board::start_signal_thread();

    if (app.count("--attach"))
        return attach(args, script.is_open() ? &script : nullptr);
    if (args.kernel == "qemu")
        return run_qemu(args, script.is_open() ? &script : nullptr);

    try {
        board::Session session(args.session);
        board::Shell shell(session.board(), std::cout, std::cerr);
        shell.set_errexit(args.errexit);
        board::set_signal_board(&session.board());
        const board::Outcome outcome = run(shell, session.board(), args, script.is_open() ? &script : nullptr);
        std::cout.flush();
        board::set_signal_board(nullptr);
        const bool clean = session.leave(std::cerr);
        board::mark_left();
        if (board::leave_signal())
            return 128 + board::leave_signal();
        if (outcome == board::Outcome::Interrupted)
            return 128 + SIGINT; // as a shell whose script Ctrl-C stopped
        if (outcome == board::Outcome::Usage)
            return 2;
        return clean && outcome != board::Outcome::Failed ? 0 : 1;
    } catch (const board::StartError &e) {
        std::cerr << "quorvel-board: " << e.what() << '\n';
        return 1;
    }
}
