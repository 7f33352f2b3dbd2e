// WARNING and BUG records. Each is one block in the log, as the kernel
// prints it, and is also kept aside until a test or the board takes it.
#include <linux/bug.h>
#include <linux/printk.h>

#include "bug.hpp"
#include "host/host.hpp"
#include "task.hpp"

#include <khost/kernel.hpp>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex reports_lock; // guards reports
std::vector<std::string> reports;

std::string format(const char *fmt, va_list args)
{
    if (!fmt)
        return {};
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, args);
    return buf;
}

int current_pid() { return kern::task_pid(kern::current_task()); }

void report(const std::string &head, const std::string &message, const void *caller)
{
    char where[256];
    host::dl_describe(caller, where, sizeof where);
    printk(KERN_WARNING "------------[ cut here ]------------\n");
    printk(KERN_WARNING "%s\n", head.c_str());
    if (!message.empty())
        printk(KERN_WARNING "%s%s", message.c_str(), message.back() == '\n' ? "" : "\n");
    printk(KERN_WARNING "Call Trace:\n");
    printk(KERN_WARNING " %s\n", where);
    printk(KERN_WARNING "---[ end trace ]---\n");
    std::lock_guard hold(reports_lock);
    reports.push_back(head + (message.empty() ? "" : ": " + message));
    if (!reports.back().empty() && reports.back().back() == '\n')
        reports.back().pop_back();
}

std::string place(const char *file, int line, const char *function)
{
    std::string f = file;
    // Paths from the top of the tree, as the kernel's are.
    if (auto at = f.find("/kernel/"); at != std::string::npos)
        f = f.substr(at + 1);
    else if (auto mod = f.find("/quorvel-linux-fw/"); mod != std::string::npos)
        f = f.substr(mod + 1);
    return f + ":" + std::to_string(line) + (function && *function ? std::string(" ") + function : "");
}

} // namespace

namespace kern {

// The task number a report names: derived from the task, stable for its life.
int task_pid(const struct task_struct *task)
{
    return static_cast<int>(reinterpret_cast<uintptr_t>(task) >> 4 & 0x7fff);
}

void warn(const std::source_location &where, const void *caller, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string message = format(fmt, args);
    va_end(args);
    report("WARNING: CPU: 0 PID: " + std::to_string(current_pid()) + " at " +
               place(where.file_name(), static_cast<int>(where.line()), where.function_name()),
           message, caller);
}

void bug(const std::source_location &where, const void *caller, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string message = format(fmt, args);
    va_end(args);
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    report("BUG: " + message + " at " + place(where.file_name(), static_cast<int>(where.line()), nullptr), {}, caller);
}

void bug_at(const char *file, int line, const void *caller, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string message = format(fmt, args);
    va_end(args);
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    report("BUG: " + message + " at " + place(file, line, nullptr), {}, caller);
}

void report_titled(const char *title, const void *caller, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string message = format(fmt, args);
    va_end(args);
    report(title, message, caller);
}

} // namespace kern

extern "C" void __warn_printk(const char *file, int line, const void *caller, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string message = format(fmt, args);
    va_end(args);
    report("WARNING: CPU: 0 PID: " + std::to_string(current_pid()) + " at " + place(file, line, nullptr), message,
           caller);
}

namespace khost {

std::vector<std::string> take_warnings()
{
    std::lock_guard hold(reports_lock);
    std::vector<std::string> out;
    out.swap(reports);
    return out;
}

} // namespace khost
