#include "vm_channel.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <coproc/frame.hpp>

#include "parse.hpp"

namespace board::vm {

Channel::Channel(int fd) : fd_(fd) {}

Channel::~Channel()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Channel::send(char kind, std::string_view text)
{
    std::string msg(1, kind);
    if (!text.empty()) {
        msg += ' ';
        msg += text;
    }
    msg += '\n';
    size_t done = 0;
    while (done < msg.size()) {
        // On a socket, a peer gone is a failed send, not a SIGPIPE.
        ssize_t n = ::send(fd_, msg.data() + done, msg.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = ::write(fd_, msg.data() + done, msg.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Channel::receive(char *kind, std::string *text, int timeout_ms)
{
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const size_t nl = in_.find('\n');
        if (nl != std::string::npos) {
            const std::string line = in_.substr(0, nl);
            in_.erase(0, nl + 1);
            if (line.empty())
                continue;
            *kind = line[0];
            *text = line.size() > 2 ? line.substr(2) : std::string();
            return true;
        }
        int wait = -1;
        if (timeout_ms >= 0) {
            // Past the deadline, one look at what has arrived.
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, wait);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        in_.append(buf, static_cast<size_t>(n));
    }
}

void Channel::put_back(char kind, std::string text) { held_.emplace_back(kind, std::move(text)); }

bool Channel::next(char *kind, std::string *text, int timeout_ms)
{
    if (held_.empty())
        return receive(kind, text, timeout_ms);
    *kind = held_.front().first;
    *text = std::move(held_.front().second);
    held_.pop_front();
    return true;
}

std::string hex_encode(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string hex_decode(std::string_view hex)
{
    auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(value(hex[i]) << 4 | value(hex[i + 1]));
    return out;
}

std::string encode_event(const khost::SerialEvent &event)
{
    using Dir = khost::SerialEvent::Dir;
    const char dir = event.dir == Dir::ToPeer ? '>' : event.dir == Dir::FromPeer ? '<' : 'x';
    return std::string(1, dir) + ' ' + std::to_string(event.time_ns) + ' ' +
           coproc::hex({event.bytes.data(), event.bytes.size()});
}

std::optional<khost::SerialEvent> decode_event(std::string_view text)
{
    using Dir = khost::SerialEvent::Dir;
    const auto words = split_words(text);
    if (!words || words->size() < 2 || (*words)[0].size() != 1)
        return std::nullopt;
    khost::SerialEvent e{};
    switch ((*words)[0][0]) {
    case '>':
        e.dir = Dir::ToPeer;
        break;
    case '<':
        e.dir = Dir::FromPeer;
        break;
    case 'x':
        e.dir = Dir::Drained;
        break;
    default:
        return std::nullopt;
    }
    const auto time = parse_integer((*words)[1]);
    if (!time)
        return std::nullopt;
    e.time_ns = *time;
    for (size_t i = 2; i < words->size(); i++) {
        const auto b = parse_hex_byte((*words)[i]);
        if (!b)
            return std::nullopt;
        e.bytes.push_back(*b);
    }
    return e;
}

ChannelBuf::int_type ChannelBuf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    if (ch == '\n') {
        channel_.send(kind_, line_);
        line_.clear();
    } else {
        line_ += ch;
    }
    return c;
}

int ChannelBuf::sync()
{
    if (!line_.empty()) {
        channel_.send(partial_, line_);
        line_.clear();
    }
    return 0;
}

} // namespace board::vm
