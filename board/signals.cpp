#include "signals.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "board.hpp"
#include "interrupt.hpp"

namespace board {

namespace {

// How long a session asked to end may take to leave on its own.
constexpr std::chrono::seconds kLeaveGrace{5};

std::mutex lock; // guards the board and the cleanups
Board *signal_board = nullptr;
std::function<void()> interrupt_hook;
std::map<int, std::function<void()>> cleanups;
int next_cleanup = 1;

std::atomic<bool> at_prompt{false};
std::atomic<int> leaving{0};
std::atomic<bool> left{false};
int prompt_pipe[2] = {-1, -1};

sigset_t taken_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, sig);
    return set;
}

void poke_prompt()
{
    const char c = 0;
    (void)!::write(prompt_pipe[1], &c, 1);
}

// Ctrl-C during a command: the command's own waits end (interrupt.hpp), and
// the program's blocking call is told through the board.
void interrupt_command()
{
    request_interrupt();
    std::lock_guard hold(lock);
    if (signal_board)
        signal_board->interrupt_program();
    if (interrupt_hook)
        interrupt_hook();
}

void run_emergency(int sig)
{
    std::map<int, std::function<void()>> todo;
    {
        std::lock_guard hold(lock);
        todo.swap(cleanups);
    }
    for (auto &[id, cleanup] : todo)
        cleanup();
    // What the session printed so far is kept, unless the stuck thread is
    // in the middle of printing (then waiting for it could last forever).
    for (FILE *stream : {stdout, stderr}) {
        if (::ftrylockfile(stream) == 0) {
            ::fflush_unlocked(stream);
            ::funlockfile(stream);
        }
    }
    ::_exit(128 + sig);
}

void take_signals()
{
    const sigset_t set = taken_signals();
    for (;;) {
        siginfo_t info{};
        const int sig = ::sigwaitinfo(&set, &info);
        if (sig < 0)
            continue;
        if (sig == SIGINT && !leaving) {
            if (at_prompt)
                poke_prompt();
            else
                interrupt_command();
            continue;
        }
        if (leaving.exchange(sig ? sig : SIGTERM) == 0) {
            interrupt_command();
            poke_prompt();
            std::thread([sig] {
                std::this_thread::sleep_for(kLeaveGrace);
                if (!left)
                    run_emergency(sig);
            }).detach();
        }
    }
}

} // namespace

void block_signals()
{
    const sigset_t set = taken_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblock_signals_in_child()
{
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

void start_signal_thread()
{
    prepare_interrupts();
    if (::pipe2(prompt_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    std::thread(take_signals).detach();
}

void set_signal_board(Board *board)
{
    std::lock_guard hold(lock);
    signal_board = board;
}

void set_interrupt_hook(std::function<void()> hook)
{
    std::lock_guard hold(lock);
    interrupt_hook = std::move(hook);
}

void set_at_prompt(bool prompt) { at_prompt = prompt; }

int prompt_event_fd() { return prompt_pipe[0]; }

void take_prompt_events()
{
    char sink[64];
    while (::read(prompt_pipe[0], sink, sizeof sink) > 0) {}
}

int leave_signal() { return leaving; }

void mark_left() { left = true; }

int add_emergency_cleanup(std::function<void()> cleanup)
{
    std::lock_guard hold(lock);
    cleanups.emplace(next_cleanup, std::move(cleanup));
    return next_cleanup++;
}

void remove_emergency_cleanup(int id)
{
    std::lock_guard hold(lock);
    cleanups.erase(id);
}

} // namespace board
