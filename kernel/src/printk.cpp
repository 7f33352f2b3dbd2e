// printk and the kernel log ring that dmesg reads. A message without a line
// end is continued by the next one, so a line built from several calls
// becomes one record.
#include <linux/printk.h>

#include "clock.hpp"
#include "log.hpp"
#include "task.hpp"

#include <khost/kernel.hpp>

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

namespace {

constexpr size_t max_records = 1 << 16;

std::mutex log_lock; // guards everything below
std::deque<khost::LogRecord> records;
uint64_t next_seq = 1;
std::string partial; // the unfinished line
int partial_level = LOGLEVEL_DEFAULT;
int64_t partial_time = 0;
task_struct *partial_owner = nullptr;
bool console = false;

void flush_partial_locked()
{
    if (partial.empty() && !partial_owner)
        return;
    records.push_back({next_seq++, partial_time, partial_level, partial});
    if (console)
        std::fprintf(stderr, "%s\n", partial.c_str());
    if (records.size() > max_records)
        records.pop_front();
    partial.clear();
    partial_owner = nullptr;
}

// Splits a level marker off the front: KERN_SOH and a digit, 'c' or 'd'.
int take_level(const char *&text, bool *cont)
{
    *cont = false;
    int level = -1;
    while (text[0] == '\001' && text[1]) {
        char c = text[1];
        if (c >= '0' && c <= '7')
            level = c - '0';
        else if (c == 'c')
            *cont = true;
        text += 2;
    }
    return level;
}

void log_text(const char *text)
{
    bool cont;
    int level = take_level(text, &cont);
    std::lock_guard hold(log_lock);
    task_struct *me = kern::current_task();
    // An explicit level, or another task's unfinished line, starts a new record.
    if (partial_owner && (level >= 0 || partial_owner != me))
        flush_partial_locked();
    for (const char *p = text; *p; p++) {
        if (!partial_owner) {
            partial_owner = me;
            partial_level = level >= 0 ? level : LOGLEVEL_DEFAULT;
            partial_time = kern::clock::now_ns();
        }
        if (*p == '\n')
            flush_partial_locked();
        else
            partial += *p;
    }
}

} // namespace

namespace kern::log {

void set_console(bool on)
{
    std::lock_guard hold(log_lock);
    console = on;
}

} // namespace kern::log

extern "C" {

int vprintk(const char *fmt, va_list args)
{
    char buf[1024];
    int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    log_text(buf);
    return n;
}

int printk(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int n = vprintk(fmt, args);
    va_end(args);
    return n;
}

} // extern "C"

namespace khost {

std::vector<LogRecord> log_records()
{
    std::lock_guard hold(log_lock);
    std::vector<LogRecord> out(records.begin(), records.end());
    if (partial_owner)
        out.push_back({next_seq, partial_time, partial_level, partial});
    return out;
}

void log_clear()
{
    std::lock_guard hold(log_lock);
    records.clear();
}

bool log_contains(const std::string &needle)
{
    for (const auto &r : log_records())
        if (r.text.find(needle) != std::string::npos)
            return true;
    return false;
}

// As dmesg prints it: a time stamp, "<3>" before error-level lines (and more
// severe ones), and control characters shown as \xNN.
std::string dmesg(bool clear)
{
    std::string out;
    for (const auto &r : log_records()) {
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "[%5lld.%06lld] ", static_cast<long long>(r.time_ns / 1'000'000'000),
                      static_cast<long long>(r.time_ns / 1000 % 1'000'000));
        out += stamp;
        if (r.level <= LOGLEVEL_ERR)
            out += "<" + std::to_string(r.level) + ">";
        for (unsigned char c : r.text) {
            if (c < 0x20 && c != '\t') {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '\n';
    }
    if (clear)
        log_clear();
    return out;
}

} // namespace khost
