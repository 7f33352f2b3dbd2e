#include "trace.hpp"

#include <cstdint>
#include <optional>
#include <span>

#include <fmt/format.h>

#include "coproc/frame.hpp"
#include "parse.hpp"

namespace board {

namespace {

using Dir = khost::SerialEvent::Dir;
using Bytes = std::vector<uint8_t>;

// Consecutive events of one direction, joined: the module writes a request
// in one go but reads its reply byte by byte.
struct Run {
    Dir dir;
    Bytes bytes;
    std::vector<std::pair<size_t, int64_t>> marks; // (first byte offset, time)

    int64_t time_at(size_t offset) const
    {
        int64_t t = marks.front().second;
        for (const auto &[at, time] : marks)
            if (at <= offset)
                t = time;
        return t;
    }
};

std::vector<Run> join_runs(const std::vector<khost::SerialEvent> &events)
{
    std::vector<Run> runs;
    for (const auto &e : events) {
        if (e.bytes.empty())
            continue;
        if (runs.empty() || runs.back().dir != e.dir)
            runs.push_back(Run{e.dir, {}, {}});
        Run &r = runs.back();
        r.marks.emplace_back(r.bytes.size(), e.time_ns);
        r.bytes.insert(r.bytes.end(), e.bytes.begin(), e.bytes.end());
    }
    return runs;
}

std::string arrow(Dir dir)
{
    switch (dir) {
    case Dir::ToPeer:
        return "->";
    case Dir::FromPeer:
        return "<-";
    case Dir::Drained:
        return "xx";
    }
    return "??";
}

std::string stamp(Dir dir, int64_t time_ns)
{
    return fmt::format("{} {:9.3f} ", arrow(dir), static_cast<double>(time_ns) / 1e6);
}

using coproc::hex;

// Names for the codes, or the raw code when a peer sends one we do not use.
std::string type_label(uint8_t head)
{
    const auto name = coproc::type_name(head);
    return name == "?" ? fmt::format("type{:02x}", head & 0x3F) : std::string(name);
}

std::string command_label(uint8_t cmd)
{
    const auto name = coproc::command_name(cmd);
    return name == "?" ? fmt::format("cmd{:x}", cmd) : std::string(name);
}

// The request a reply must match: its head, command byte and tail.
struct Expect {
    uint8_t head, command, tail;
};

std::string describe(std::span<const uint8_t> raw, const std::optional<Expect> &want, bool reply)
{
    const auto f = *coproc::decode(raw);
    std::string s = fmt::format("{} {}", type_label(f.head), command_label(f.command));
    if (reply && want && want->head != f.head)
        s += fmt::format(" head {:02x} (want {:02x})", f.head, want->head);
    if (reply && want && (want->command >> 4) != f.command)
        s += fmt::format(" cmd {:x} (want {:x})", f.command, want->command >> 4);
    if (reply)
        s += fmt::format(" st {:x}", f.status);
    s += fmt::format(" [{}]", hex(f.payload));
    s += f.crc_ok ? " crc ok" : fmt::format(" crc BAD (want {:02x})", coproc::crc8(f.payload));
    s += fmt::format(" tail {:02x}", f.tail);
    if (reply && want && want->tail != f.tail)
        s += fmt::format(" (want {:02x})", want->tail);
    // The bytes as they crossed the line, for comparing with a capture.
    s += fmt::format(" | {}", hex(raw));
    return s;
}

// Length of the frame that starts at `b`, from its length byte; nullopt
// when the bytes cannot start a frame at all.
std::optional<size_t> announced_length(std::span<const uint8_t> b)
{
    if (b.size() < 2)
        return std::nullopt;
    const size_t len = coproc::frame_length(b[1]);
    if (len < coproc::kFrameOverhead)
        return std::nullopt;
    return len;
}

// The receive poller's question, "how many bytes are waiting?": a UART
// CONTROL request whose payload is the receive-count code alone.
bool is_poll(std::span<const uint8_t> frame)
{
    return (frame[0] & 0x3F) == coproc::DEV_TYPE_UART && (frame[2] >> 4) == coproc::CMD_CONTROL &&
           frame.size() == coproc::kFrameOverhead + 1 && frame[3] == coproc::CTRL_RX_COUNT;
}

// Heads are 0x80 | type: any byte of 0x80..0xBF may start a frame.
bool is_head(uint8_t b) { return (b & 0xC0) == 0x80; }

class Formatter {
public:
    std::vector<TraceLine> lines;

    void add(const Run &run)
    {
        switch (run.dir) {
        case Dir::ToPeer:
            requests(run);
            break;
        case Dir::FromPeer:
            reply(run);
            break;
        case Dir::Drained:
            push(run, 0, run.bytes.size(), fmt::format("drained {} bytes: {}", run.bytes.size(), hex(run.bytes)));
            break;
        }
    }

private:
    std::optional<Expect> last_request_;
    bool last_was_poll_ = false;

    TraceLine &push(const Run &run, size_t at, size_t end, std::string text)
    {
        TraceLine &l = lines.emplace_back();
        l.dir = run.dir;
        l.time_ns = run.time_at(at);
        l.text = stamp(run.dir, l.time_ns) + text;
        l.bytes.assign(run.bytes.begin() + static_cast<long>(at), run.bytes.begin() + static_cast<long>(end));
        return l;
    }

    void raw(const Run &run, size_t at, size_t end, const char *what)
    {
        const std::span<const uint8_t> bytes(run.bytes.data() + at, end - at);
        push(run, at, end, fmt::format("{} {} bytes: {}", what, bytes.size(), hex(bytes)));
    }

    // Prints the frame that starts at `at` and returns its length, or prints
    // the rest of the run raw and returns 0 when no whole frame is there.
    size_t frame_at(const Run &run, size_t at, bool reply)
    {
        const std::span<const uint8_t> rest(run.bytes.data() + at, run.bytes.size() - at);
        const auto len = announced_length(rest);
        if (!len) {
            raw(run, at, run.bytes.size(), "raw");
            return 0;
        }
        if (*len > rest.size()) {
            push(run, at, run.bytes.size(),
                 fmt::format("short frame, {} of {} bytes: {}", rest.size(), *len, hex(rest)));
            return 0;
        }
        const auto frame = rest.first(*len);
        TraceLine &l = push(run, at, at + *len, describe(frame, last_request_, reply));
        l.type = frame[0] & 0x3F;
        if (!reply) {
            last_request_ = Expect{frame[0], frame[2], frame.back()};
            last_was_poll_ = is_poll(frame);
        }
        l.poll = last_was_poll_;
        return *len;
    }

    // Bytes before anything that looks like a head (stray output of the
    // peer, say) are shown on their own so the frame after them still
    // decodes. Returns where the next head is.
    size_t skip_to_head(const Run &run, size_t at)
    {
        size_t head = at;
        while (head < run.bytes.size() && !is_head(run.bytes[head]))
            ++head;
        if (head > at)
            raw(run, at, head, "raw");
        return head;
    }

    void requests(const Run &run)
    {
        size_t at = 0;
        while ((at = skip_to_head(run, at)) < run.bytes.size()) {
            const size_t used = frame_at(run, at, false);
            if (!used)
                return;
            at += used;
        }
    }

    // The module reads a count it knows in advance; whatever it read past
    // the end the reply announces is shown as it came.
    void reply(const Run &run)
    {
        const size_t at = skip_to_head(run, 0);
        if (at == run.bytes.size())
            return;
        const size_t used = frame_at(run, at, true);
        if (used && at + used < run.bytes.size())
            raw(run, at + used, run.bytes.size(), "leftover");
    }
};

} // namespace

std::vector<TraceLine> decode_trace(const std::vector<khost::SerialEvent> &events)
{
    Formatter f;
    for (const auto &run : join_runs(events))
        f.add(run);
    return std::move(f.lines);
}

std::vector<std::string> format_trace(const std::vector<khost::SerialEvent> &events)
{
    std::vector<std::string> out;
    for (auto &l : decode_trace(events))
        out.push_back(std::move(l.text));
    return out;
}

} // namespace board
