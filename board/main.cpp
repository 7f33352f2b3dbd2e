// quorvel-board: boots the kernel layer, attaches the board's serial line to
// a co-processor, loads the module and runs shell commands against it.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include <CLI/CLI.hpp>
#include <readline/history.h>
#include <readline/readline.h>

#include "qemu_board.hpp"
#include "run_layer.hpp"
#include "session.hpp"
#include "shell.hpp"

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

Examples:
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

board::Outcome run_interactive(board::Shell &shell)
{
    for (;;) {
        char *raw = readline("board# ");
        if (!raw) {
            std::cout << '\n';
            return board::Outcome::Ok;
        }
        const std::string line(raw);
        std::free(raw);
        if (line.find_first_not_of(" \t") != std::string::npos)
            add_history(line.c_str());
        const auto o = shell.run_text(line, false);
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

board::Outcome run(board::Shell &shell, const Args &args, std::istream *script)
{
    if (args.have_commands)
        return shell.run_text(args.commands, true);
    if (script)
        return run_stream(shell, *script);
    if (::isatty(STDIN_FILENO))
        return run_interactive(shell);
    return run_stream(shell, std::cin);
}

// The lines for the VM, one at a time, when the guest asks for the next.
board::LineSource qemu_lines(const Args &args, std::istream *script)
{
    if (args.have_commands) {
        auto rest = std::make_shared<std::istringstream>(args.commands);
        return [rest]() -> std::optional<std::string> {
            std::string line;
            return std::getline(*rest, line) ? std::optional(line) : std::nullopt;
        };
    }
    if (!script && ::isatty(STDIN_FILENO)) {
        return []() -> std::optional<std::string> {
            char *raw = readline("board# ");
            if (!raw)
                return std::nullopt;
            std::string line(raw);
            std::free(raw);
            if (line.find_first_not_of(" \t") != std::string::npos)
                add_history(line.c_str());
            return line;
        };
    }
    std::istream *in = script ? script : &std::cin;
    return [in]() -> std::optional<std::string> {
        std::string line;
        return std::getline(*in, line) ? std::optional(line) : std::nullopt;
    };
}

int run_qemu(const Args &args, std::istream *script)
{
    board::QemuOptions options;
    options.uart = args.session.uart;
    options.params = args.session.params;
    options.interactive = !args.have_commands && !script && ::isatty(STDIN_FILENO);
    options.errexit = args.errexit;
    return board::run_qemu_board(options, qemu_lines(args, script), std::cout, std::cerr);
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Runs the Quorvel board: the kernel layer with the module loaded, its serial\n"
                 "line on a co-processor (the built-in simulated one by default).",
                 "quorvel-board"};
    app.footer(kExamples);
    Args args;
    std::vector<std::string> words;
    // Run mode: the words after "--" are a program to run on the board.
    std::vector<std::string> program;
    for (int i = 1; i < argc; i++)
        if (std::string(argv[i]) == "--") {
            program.assign(argv + i + 1, argv + argc);
            argc = i;
            break;
        }
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
    app.add_flag("-e", args.errexit, "stop at the first command that fails; exit status 1");
    app.add_option("-c", args.commands, "commands to run, separated by ';' or newlines")->option_text("'CMD; CMD'");
    app.add_option("words", words, "a script file and module parameters")->option_text("[SCRIPT] [name=value ...]");
    try {
        app.parse(argc, argv);
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
            std::cerr << "quorvel-board: cannot read script " << args.script << '\n';
            return 1;
        }
    }

    if (!program.empty() && args.kernel == "layer")
        return board::run_on_layer(args.session, program, std::cerr);
    if (!program.empty()) {
        std::cerr << "quorvel-board: running a program under --kernel qemu is not available yet\n";
        return 1;
    }
    if (args.kernel == "qemu")
        return run_qemu(args, script.is_open() ? &script : nullptr);

    try {
        board::Session session(args.session);
        board::Shell shell(session.board(), std::cout, std::cerr);
        shell.set_errexit(args.errexit);
        const board::Outcome outcome = run(shell, args, script.is_open() ? &script : nullptr);
        std::cout.flush();
        const bool clean = session.leave(std::cerr);
        if (outcome == board::Outcome::Usage)
            return 2;
        return clean && outcome != board::Outcome::Failed ? 0 : 1;
    } catch (const board::StartError &e) {
        std::cerr << "quorvel-board: " << e.what() << '\n';
        return 1;
    }
}
