// printk and the kernel log buffer that dmesg reads. A message without a line
// end is continued by the next one, so a line built from several calls
// becomes one record.
//
// The buffer is one fixed array of bytes, as the kernel's is: records lie end
// to end, each a header and its text, and a new record makes room by
// dropping the oldest. So the log costs the same memory however long it runs
// and whatever its lines hold, and printk allocates nothing.
#include <linux/printk.h>

#include "clock.hpp"
#include "log.hpp"
#include "task.hpp"

#include <khost/kernel.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// The size of the kernel's default buffer (CONFIG_LOG_BUF_SHIFT=17), and its
// longest line: longer text is cut, a longer continued line split.
constexpr size_t log_buf_len = size_t{1} << 17;
constexpr size_t log_line_max = 1024 - 32;

struct RecordHead {
    int64_t time_ns;
    uint16_t len; // of the header, text and padding; 0 marks the wrap to the start
    uint16_t text_len;
    uint8_t level;
};
constexpr size_t log_align = alignof(RecordHead);
static_assert(sizeof(RecordHead) == 16);

std::mutex log_lock; // guards everything below
alignas(RecordHead) char log_buf[log_buf_len];
// The oldest record and where the next one goes, with their sequence numbers;
// the log is empty when the numbers are equal.
size_t first_idx = 0, next_idx = 0;
uint64_t first_seq = 1, next_seq = 1;

char partial[log_line_max]; // the unfinished line
size_t partial_len = 0;
int partial_level = LOGLEVEL_DEFAULT;
int64_t partial_time = 0;
task_struct *partial_owner = nullptr;
bool console = false;

RecordHead *head_at(size_t idx) { return reinterpret_cast<RecordHead *>(log_buf + idx); }

size_t record_size(size_t text_len) { return (sizeof(RecordHead) + text_len + log_align - 1) & ~(log_align - 1); }

// Where the record after the one at idx starts.
size_t record_after(size_t idx)
{
    if (head_at(idx)->len == 0) // the wrap: the record is at the start
        idx = 0;
    return idx + head_at(idx)->len;
}

// Room for a record of `size` and, after it, a wrap mark: the space up to the
// oldest record or, when that lies behind, the larger of the tail and head.
bool has_space(size_t size)
{
    size_t free;
    if (first_seq == next_seq || next_idx > first_idx)
        free = std::max(log_buf_len - next_idx, first_idx);
    else
        free = first_idx - next_idx;
    return free >= size + sizeof(RecordHead);
}

void store_locked(int level, int64_t time_ns, const char *text, size_t text_len)
{
    const size_t size = record_size(text_len);
    while (first_seq != next_seq && !has_space(size)) {
        first_idx = record_after(first_idx);
        first_seq++;
    }
    if (next_idx + size + sizeof(RecordHead) > log_buf_len) {
        std::memset(head_at(next_idx), 0, sizeof(RecordHead));
        next_idx = 0;
    }
    RecordHead *head = head_at(next_idx);
    *head =
        RecordHead{time_ns, static_cast<uint16_t>(size), static_cast<uint16_t>(text_len), static_cast<uint8_t>(level)};
    std::memcpy(head + 1, text, text_len);
    next_idx += size;
    next_seq++;
}

void flush_partial_locked()
{
    if (!partial_owner)
        return;
    store_locked(partial_level, partial_time, partial, partial_len);
    if (console)
        std::fprintf(stderr, "%.*s\n", static_cast<int>(partial_len), partial);
    partial_len = 0;
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
        if (*p == '\n') {
            flush_partial_locked();
            continue;
        }
        // A line longer than the longest record goes on in another one.
        if (partial_len == sizeof partial) {
            const int line_level = partial_level;
            flush_partial_locked();
            partial_owner = me;
            partial_level = line_level;
            partial_time = kern::clock::now_ns();
        }
        partial[partial_len++] = *p;
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
    char buf[log_line_max];
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
    std::vector<LogRecord> out;
    size_t idx = first_idx;
    for (uint64_t seq = first_seq; seq != next_seq; seq++) {
        if (head_at(idx)->len == 0)
            idx = 0;
        const RecordHead *head = head_at(idx);
        out.push_back(
            {seq, head->time_ns, head->level, std::string(reinterpret_cast<const char *>(head + 1), head->text_len)});
        idx += head->len;
    }
    if (partial_owner)
        out.push_back({next_seq, partial_time, partial_level, std::string(partial, partial_len)});
    return out;
}

void log_clear()
{
    std::lock_guard hold(log_lock);
    first_idx = next_idx;
    first_seq = next_seq;
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
