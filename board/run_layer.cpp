#include "run_layer.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include <fmt/format.h>

#include "attach.hpp"
#include "file_server.hpp"
#include "layer_control.hpp"
#include "leave_pins.hpp"
#include "protocol.hpp"

extern char **environ;

namespace board {

namespace {

// The program's environment: ours, with the preload library first in
// LD_PRELOAD and the board's socket named.
std::vector<std::string> program_environment(const std::string &socket, const std::string &control)
{
    std::vector<std::string> env;
    std::string preload = preload_library();
    for (char **e = environ; *e; e++) {
        const std::string var(*e);
        if (var.starts_with("LD_PRELOAD="))
            preload += " " + var.substr(11);
        else if (!var.starts_with(std::string(qpreload::kSocketEnv) + "=") && !var.starts_with("QUORVEL_BOARD="))
            env.push_back(var);
    }
    env.push_back("QUORVEL_BOARD=" + control);
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back(std::string(qpreload::kSocketEnv) + "=" + socket);
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (auto &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Runs the program and waits for it. The board ignores the terminal's
// interrupt meanwhile, as system(3) does, so that a ^C ends the program
// and the board still unloads.
int run_program(std::vector<std::string> argv, std::vector<std::string> env, std::ostream &err)
{
    auto args = pointers(argv);
    auto envp = pointers(env);
    struct sigaction ignore {
    }, old_int{}, old_quit{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = ::fork();
    if (pid == 0) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        ::execvpe(args[0], args.data(), envp.data());
        const char *why = std::strerror(errno);
        (void)!::write(STDERR_FILENO, "board: cannot run ", 18);
        (void)!::write(STDERR_FILENO, args[0], std::strlen(args[0]));
        (void)!::write(STDERR_FILENO, ": ", 2);
        (void)!::write(STDERR_FILENO, why, std::strlen(why));
        (void)!::write(STDERR_FILENO, "\n", 1);
        ::_exit(127);
    }
    int status = 0;
    int code = 1;
    if (pid < 0) {
        err << fmt::format("board: cannot start the program: {}\n", std::strerror(errno));
    } else {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    return code;
}

void prefixed(const std::string &text, std::ostream &err)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        err << "board: " << line << '\n';
}

} // namespace

std::string preload_library()
{
    const char *env = std::getenv("QUORVEL_PRELOAD");
    return env && *env ? env : QUORVEL_PRELOAD_PATH;
}

int run_on_layer(const SessionOptions &options, const std::vector<std::string> &argv, std::ostream &err)
{
    try {
        Session session(options);
        int code;
        {
            FileServer server(default_files_socket());
            // The person's commands (trace, coproc, fail...) while it runs.
            LayerControl control(session.board(), control_socket_path());
            code = run_program(argv, program_environment(server.path(), control.path()), err);
            // The program's descriptors closed with it; what a process it
            // left running still holds is closed here.
            for (const auto &path : server.settle())
                err << fmt::format("board: {} was still open in a process the program left; closed\n", path);
            server.stop();
        }
        // Lines and channels exported hold the module, as on Linux.
        for (const auto &name : unexport_pins(session.board()))
            err << fmt::format("board: {} was left exported; unexported\n", name);
        std::ostringstream left;
        if (!session.leave(left) && code == 0)
            code = 1;
        prefixed(left.str(), err);
        return code;
    } catch (const StartError &e) {
        err << "quorvel-board: " << e.what() << '\n';
        return 1;
    } catch (const std::runtime_error &e) {
        err << "quorvel-board: " << e.what() << '\n';
        return 1;
    }
}

} // namespace board
