#pragma once
// The line protocol between quorvel-board on the host and quorvel-guest in
// the VM, over the guest's second serial port (/dev/ttyS1), which QEMU joins
// to a socket of the host. One message per line: a letter, then text that
// holds no newline.
//
//   guest -> host                       host -> guest
//   H            booted, ready          I MODE PARAM...  load with these (MODE: s, i)
//   P            ready for a line       L TEXT           run this line of commands
//   O TEXT       a line of output       Z                no more lines
//   o TEXT       output, no newline     D EVENT          a frame of the trace
//   E TEXT       a line of errors       A                end of the trace
//   T            send the trace      D TEXT           (after C) a line of its output
//   C ARGS       run coproc ARGS     A STATUS         (after C) its result
//                (words split by \x1f)
//   X STATUS     done, status follows
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>

#include <khost/serial.hpp>

namespace board::vm {

// Sent alone, outside the messages, when Ctrl-C interrupts a command: the
// guest's tty turns it into SIGINT for the guest program (VINTR, with ISIG
// and NOFLSH on an otherwise raw line); no message ever holds it.
inline constexpr char kInterrupt = '\x03';

class Channel {
public:
    explicit Channel(int fd); // takes the descriptor
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // False when the other side has gone.
    bool send(char kind, std::string_view text = {});
    // The next message; false at the end of the stream or after timeout_ms
    // (-1: no limit) without one.
    bool receive(char *kind, std::string *text, int timeout_ms = -1);
    int fd() const { return fd_; }

private:
    int fd_;
    std::string in_;
};

// A trace event as one message's text: "DIR TIME_NS HEX..." (DIR: > < x).
std::string encode_event(const khost::SerialEvent &event);
std::optional<khost::SerialEvent> decode_event(std::string_view text);

// An output stream's buffer that sends each finished line as one message of
// `kind` (O or E), and what is left of a line, on flush, as `o`.
class ChannelBuf : public std::streambuf {
public:
    ChannelBuf(Channel &channel, char kind) : channel_(channel), kind_(kind) {}

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    Channel &channel_;
    char kind_;
    std::string line_;
};

} // namespace board::vm
