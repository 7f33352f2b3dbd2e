#include "kernel_log.hpp"

#include <cstddef>
#include <cstdint>

#include <fmt/format.h>

namespace board {

// A kernel built with DEBUG_KOBJECT_RELEASE (the debug kernel) frees each
// device's and driver's object one to four seconds after its last reference
// went, and only then gives back its sysfs name, its id or its number. It
// says so for each: "kobject: 'NAME' (...): kobject_release, parent ...
// (delayed N)".
bool delayed_release(std::string_view text)
{
    return text.starts_with("kobject: '") && text.find("kobject_release") != std::string_view::npos &&
           text.find("(delayed ") != std::string_view::npos;
}

namespace {

// The kernel's own notes that may come at any moment, by its clocks and its
// entropy pool (and the debug kernel's delayed releases, left out anyway),
// between two parts of a line the module prints in several calls.
bool asynchronous_note(std::string_view text)
{
    for (std::string_view prefix : {"clocksource: ", "tsc: ", "random: ", "clk: ", "hrtimer: "})
        if (text.starts_with(prefix))
            return true;
    return false;
}

std::string escaped(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 && c != '\t')
            out += fmt::format("\\x{:02x}", c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

} // namespace

// As the kernel layer prints it: time, "<3>" before error-level lines and
// worse, control characters as \xNN; a record holding line ends is split.
// A line the module left open and continued after one of the kernel's
// asynchronous notes came between is shown whole, the note after it: the
// kernel layer has no such notes, and where the kernel breaks a line is not
// the module's doing.
std::string render_dmesg(const std::vector<KernelRecord> &records)
{
    std::vector<std::string> lines;
    size_t open_line = SIZE_MAX; // the last line of the newest record that was no such note
    bool note_since = false;     // and one of those notes came after it
    for (const auto &r : records) {
        if (delayed_release(r.text)) { // the debug option's notes, not the board's
            note_since = open_line != SIZE_MAX;
            continue;
        }
        const bool note = asynchronous_note(r.text);
        std::string_view text = r.text;
        bool first = true;
        for (;;) {
            const size_t nl = text.find('\n');
            if (first && r.cont && note_since && !note) {
                lines[open_line] += escaped(text.substr(0, nl));
            } else {
                std::string line = fmt::format("[{:5}.{:06}] ", r.time_us / 1000000, r.time_us % 1000000);
                if (r.level <= 3)
                    line += fmt::format("<{}>", r.level);
                lines.push_back(line + escaped(text.substr(0, nl)));
            }
            first = false;
            if (nl == std::string_view::npos)
                break;
            text.remove_prefix(nl + 1);
        }
        if (note) {
            note_since = open_line != SIZE_MAX;
        } else {
            if (!(r.cont && note_since) || r.text.find('\n') != std::string::npos)
                open_line = lines.size() - 1;
            note_since = false;
        }
    }
    std::string out;
    for (const auto &l : lines)
        out += l + '\n';
    return out;
}

} // namespace board
