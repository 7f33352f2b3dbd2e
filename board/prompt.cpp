#include "prompt.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <readline/history.h>
#include <readline/readline.h>

#include "interrupt.hpp"
#include "signals.hpp"

namespace board {

namespace {

constexpr const char *kPrompt = "board# ";
constexpr int kHistoryLines = 1000;

// readline's callbacks are plain functions: the one prompt's state.
PromptOptions *options = nullptr;
std::optional<std::string> line;
bool ended = false;

void take_line(char *raw)
{
    rl_callback_handler_remove(); // no second prompt before the command runs
    if (!raw) {
        ended = true;
        std::fputc('\n', rl_outstream ? rl_outstream : stdout);
        return;
    }
    line = raw;
    std::free(raw);
}

std::vector<std::string> candidates(const std::string &text, bool first_word)
{
    std::vector<std::string> out;
    if (first_word) {
        for (const auto &c : options->commands)
            if (c.starts_with(text))
                out.push_back(c);
        return out;
    }
    if (!options->list || !text.starts_with('/'))
        return out;
    const size_t slash = text.rfind('/');
    const std::string dir = text.substr(0, slash + 1), stem = text.substr(slash + 1);
    for (const auto &name : options->list(dir))
        if (name.starts_with(stem))
            out.push_back(dir + name);
    return out;
}

char *next_match(const char *text, int state)
{
    static std::vector<std::string> matches;
    static size_t at = 0;
    if (state == 0) {
        matches = candidates(text, rl_point == static_cast<int>(std::strlen(text)) &&
                                       std::string_view(rl_line_buffer).find_first_not_of(' ') ==
                                           static_cast<size_t>(rl_point) - std::strlen(text));
        at = 0;
    }
    return at < matches.size() ? ::strdup(matches[at++].c_str()) : nullptr;
}

// The host's files are never offered: the board has its own /dev and /sys.
char **complete(const char *text, int start, int end)
{
    (void)start;
    (void)end;
    rl_attempted_completion_over = 1;
    // A directory completes without a space, so that its entries come next.
    rl_completion_append_character = std::string_view(text).starts_with('/') ? '\0' : ' ';
    return rl_completion_matches(text, next_match);
}

// Ctrl-C at the prompt: the line is dropped and a fresh prompt shown.
void clear_line()
{
    rl_free_line_state();
    rl_callback_sigcleanup();
    rl_replace_line("", 0);
    std::fputs("^C\n", rl_outstream ? rl_outstream : stdout);
    rl_on_new_line();
    rl_redisplay();
}

} // namespace

Prompt::Prompt(PromptOptions opts)
{
    options = new PromptOptions(std::move(opts));
    rl_catch_signals = 0; // the signal thread has them (signals.hpp)
    rl_catch_sigwinch = 1;
    rl_attempted_completion_function = complete;
    if (const char *home = std::getenv("HOME"); home && *home) {
        history_path_ = std::string(home) + "/.quorvel_history";
        (void)read_history(history_path_.c_str());
    }
}

Prompt::~Prompt()
{
    delete options;
    options = nullptr;
}

std::optional<std::string> Prompt::read()
{
    line.reset();
    ended = false;
    set_at_prompt(true);
    rl_callback_handler_install(kPrompt, take_line);
    while (!line && !ended) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {prompt_event_fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            ended = true;
            break;
        }
        if (fds[1].revents) {
            take_prompt_events();
            if (leave_signal()) {
                rl_callback_handler_remove();
                std::fputc('\n', rl_outstream ? rl_outstream : stdout);
                ended = true;
                break;
            }
            clear_line();
        }
        if (fds[0].revents && !ended)
            rl_callback_read_char();
    }
    set_at_prompt(false);
    clear_interrupt();
    if (ended)
        return std::nullopt;
    if (line->find_first_not_of(" \t") != std::string::npos) {
        add_history(line->c_str());
        // Kept as it is typed, so that a session that ends badly keeps it too.
        if (!history_path_.empty()) {
            if (append_history(1, history_path_.c_str()) != 0)
                (void)write_history(history_path_.c_str());
            (void)history_truncate_file(history_path_.c_str(), kHistoryLines);
        }
    }
    return line;
}

} // namespace board
