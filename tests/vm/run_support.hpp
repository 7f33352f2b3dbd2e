#pragma once
// Runs a program on the board in the VM (quorvel-board -- PROGRAM) from a
// test: its standard output and error collected, the co-processor's frames
// decoded as the board's trace shows them.
#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "coproc/simulator.hpp"
#include "qemu_run.hpp"
#include "trace.hpp"

namespace board::testing {

struct Ran {
    int status = -1;
    std::string out, err;
    std::vector<coproc::RequestRecord> frames;
};

// Reads a pipe to its end on a thread, calling `line` for each line.
class Collector {
public:
    explicit Collector(std::function<void(const std::string &)> line = {}) : line_(std::move(line))
    {
        if (::pipe2(fds_, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        thread_ = std::thread([this] {
            char buf[4096];
            std::string pending;
            for (ssize_t n; (n = ::read(fds_[0], buf, sizeof buf)) > 0;) {
                text_.append(buf, static_cast<size_t>(n));
                pending.append(buf, static_cast<size_t>(n));
                for (size_t nl; line_ && (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
                    line_(pending.substr(0, nl));
            }
        });
    }
    ~Collector()
    {
        close_writer();
        if (thread_.joinable())
            thread_.join();
        ::close(fds_[0]);
    }
    int writer() const { return fds_[1]; }
    void close_writer()
    {
        if (fds_[1] >= 0)
            ::close(fds_[1]);
        fds_[1] = -1;
    }
    std::string take()
    {
        close_writer();
        thread_.join();
        return text_;
    }

private:
    std::function<void(const std::string &)> line_;
    int fds_[2] = {-1, -1};
    std::string text_;
    std::thread thread_;
};

struct RunSpec {
    std::vector<std::string> params;
    std::vector<std::string> program;
    std::string input; // standard input
    std::string cwd;   // empty: the test's
    std::vector<std::string> env;
    std::function<void(const std::string &)> on_line; // each line of output, as it comes
};

inline Ran run_on_board(coproc::Simulator &sim, const RunSpec &spec)
{
    char in_path[] = "/tmp/quorvel-run-in-XXXXXX";
    const int in = ::mkstemp(in_path);
    ::unlink(in_path);
    (void)!::write(in, spec.input.data(), spec.input.size());
    ::lseek(in, 0, SEEK_SET);
    Collector out(spec.on_line), err;
    QemuRunOptions o;
    o.program = spec.program;
    o.params = spec.params;
    o.cwd = spec.cwd;
    o.env = spec.env;
    o.simulator = &sim;
    o.in = in;
    o.out = out.writer();
    o.err = err.writer();
    Ran r;
    r.status = run_qemu_program(o);
    ::close(in);
    r.out = out.take();
    r.err = err.take();
    r.frames = sim.requests();
    return r;
}

// The frames as the board's trace prints them, without the time, CRC,
// tail and raw bytes: "-> GPIO OPEN [05]", "<- GPIO OPEN st 0 [01]".
inline std::vector<std::string> decoded(const std::vector<coproc::RequestRecord> &frames)
{
    std::vector<khost::SerialEvent> events;
    for (const auto &f : frames) {
        events.push_back({khost::SerialEvent::Dir::ToPeer, 0, f.raw});
        if (!f.reply_sent.empty())
            events.push_back({khost::SerialEvent::Dir::FromPeer, 0, f.reply_sent});
    }
    static const std::regex line(R"(^(..) +[0-9.]+ (.*?) crc .*$)");
    std::vector<std::string> out;
    for (const auto &l : format_trace(events))
        out.push_back(std::regex_replace(l, line, "$1 $2"));
    return out;
}

inline std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// The environment a program on the board gets in the tests: Debian's own
// programs first (not a user's other Python, say).
inline std::vector<std::string> debian_env(const std::string &extra = {})
{
    std::vector<std::string> env = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root",
                                    "LANG=C.UTF-8"};
    if (!extra.empty())
        env.push_back(extra);
    return env;
}

// A program's output cut into sections: "== NAME" starts one, "-- frames"
// turns the rest of it into the board's trace lines, kept as "-> I2C READ
// [11 48 02]" (no time, CRC or raw bytes).
struct Section {
    std::vector<std::string> out;
    std::vector<std::string> frames;
};
using Sections = std::map<std::string, Section>;

inline Sections split_sections(const std::string &text)
{
    static const std::regex trace_line(R"(^(->|<-) +[0-9.]+ (.*?) crc .*$)");
    Sections sections;
    Section *s = nullptr;
    bool frames = false;
    for (const auto &line : lines(text)) {
        if (line.starts_with("== ")) {
            s = &sections[line.substr(3)];
            frames = false;
        } else if (line == "-- frames") {
            frames = true;
        } else if (s && frames) {
            s->frames.push_back(std::regex_replace(line, trace_line, "$1 $2"));
        } else if (s) {
            s->out.push_back(line);
        }
    }
    return sections;
}

} // namespace board::testing
