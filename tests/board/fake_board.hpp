#pragma once
// A scripted Board: records each call as a line of text and answers from
// what the test set up, so the shell can be checked without a kernel.
#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <fmt/format.h>
#include <string>
#include <vector>

#include "board.hpp"

struct FakeBoard : board::Board {
    std::vector<std::string> calls;
    std::deque<std::string> reads; // successive read results; none left: 0 (EOF)
    long read_result = 0;          // used instead of `reads` when negative
    long open_result = 3;
    std::vector<uint8_t> written;
    std::vector<uint8_t> ioctl_fill; // copied into the argument buffer
    long ioctl_result = 0;
    std::vector<khost::DirEntry> entries;
    khost::DirEntry stat_entry{"", 'd', 0755, 0, ""}; // what stat answers, named after the path
    long stat_result = 0;
    int bad_token = 0;

    int insmod(const std::vector<std::string> &params, std::string *why) override
    {
        std::string line = "insmod";
        for (const auto &p : params)
            line += " " + p;
        calls.push_back(line);
        return 0;
    }
    int rmmod(std::string *) override { return log("rmmod"), 0; }
    std::vector<std::string> lsmod() override { return {}; }
    std::string dmesg(bool clear) override { return log(clear ? "dmesg -c" : "dmesg"), "log\n"; }
    // Successive trace_take answers; none left: nothing new. Each call also
    // runs on_trace_take, if set (a test's hand on the clock, or Ctrl-C).
    std::deque<std::vector<khost::SerialEvent>> traces;
    std::function<void()> on_trace_take;
    std::vector<khost::SerialEvent> trace_take() override
    {
        if (on_trace_take)
            on_trace_take();
        if (traces.empty())
            return {};
        auto next = std::move(traces.front());
        traces.pop_front();
        return next;
    }
    // What `coproc` was given, and its answer.
    std::vector<std::string> coproc_args;
    int coproc(const std::vector<std::string> &args, std::string *output) override
    {
        coproc_args = args;
        *output = "";
        return 0;
    }

    long open(const std::string &path, int flags) override
    {
        log(fmt::format("open {} {}", path, flags));
        return open_result;
    }
    long read(int fd, void *buf, size_t count) override
    {
        log(fmt::format("read {} {}", fd, count));
        if (read_result < 0)
            return read_result;
        if (reads.empty())
            return 0;
        std::string chunk = reads.front();
        reads.pop_front();
        const size_t n = std::min(chunk.size(), count);
        std::memcpy(buf, chunk.data(), n);
        return static_cast<long>(n);
    }
    long write(int fd, const void *buf, size_t count) override
    {
        log(fmt::format("write {} {}", fd, count));
        if (buf == bad_pointer())
            return -14;
        const auto *p = static_cast<const uint8_t *>(buf);
        written.assign(p, p + count);
        return static_cast<long>(count);
    }
    long ioctl(int fd, unsigned cmd, unsigned long arg) override
    {
        const bool plain = arg == 0 || arg == reinterpret_cast<unsigned long>(bad_pointer()) || arg < 4096;
        log(fmt::format("ioctl {} {:#x} {}", fd, cmd,
                        arg == 0                                                ? "0"
                        : arg == reinterpret_cast<unsigned long>(bad_pointer()) ? "bad"
                        : plain                                                 ? std::to_string(arg)
                                                                                : "buf"));
        if (!plain && !ioctl_fill.empty())
            std::memcpy(reinterpret_cast<void *>(arg), ioctl_fill.data(), ioctl_fill.size());
        return ioctl_result;
    }
    long close(int fd) override { return log(fmt::format("close {}", fd)), 0; }
    long list(const std::string &path, std::vector<khost::DirEntry> *out) override
    {
        log("list " + path);
        *out = entries;
        return 0;
    }
    long stat(const std::string &path, khost::DirEntry *out, bool follow) override
    {
        log(fmt::format("stat {}{}", path, follow ? "" : " nofollow"));
        *out = stat_entry;
        out->name = path.substr(path.rfind('/') + 1);
        return stat_result;
    }
    void *bad_pointer() override { return &bad_token; }

    board::FaultReport fault_report;
    void fail_nth(const std::string &name, unsigned nth, unsigned times) override
    {
        log(fmt::format("fail_nth '{}' {} {}", name, nth, times));
    }
    void fail_clear() override { log("fail_clear"); }
    board::FaultReport fail_report() override { return fault_report; }

private:
    void log(std::string line) { calls.push_back(std::move(line)); }
};
