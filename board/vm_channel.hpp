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
//
// Running a program (quorvel-board -- PROGRAM): before I, the host sends
// its words and surroundings, each hex-encoded; I's MODE is r.
//   a HEX        a word of the program's command line
//   n HEX        an entry of its environment (NAME=VALUE)
//   w HEX        its working directory (the host's, at the same path)
//   b HEX        the path of the board's control socket
//   t HEX        "ROWS COLS": the host's side is a terminal of that size,
//                the program gets a pseudo-terminal (stdin and stdout ports)
//   guest -> host                       host -> guest
//   S            the program has started
//   F OUT ERR    the program is done; OUT  R TEXT         run these commands for a
//                and ERR bytes went to its                 control client (attach)
//                standard output and error K SIGNAL       signal the program
//   U TEXT, u TEXT  (after R) output lines, and what is left of one
//   V TEXT       (after R) a line of errors
//   Q STATUS     (after R) its exit status
//                                       W ROWS COLS      the terminal's new size
// While it waits for an answer (A after C or T), either side may get a
// message that belongs to the other conversation: it is put back, to be
// read in turn.
#include <deque>
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
    // A message received out of turn, to be the next that next() gives.
    void put_back(char kind, std::string text);
    // The oldest message put back, else receive()'s.
    bool next(char *kind, std::string *text, int timeout_ms = -1);
    // True when next() has a message without waiting for more input.
    bool ready() const { return !held_.empty() || in_.find('\n') != std::string::npos; }
    int fd() const { return fd_; }

private:
    int fd_;
    std::string in_;
    std::deque<std::pair<char, std::string>> held_;
};

std::string hex_encode(std::string_view text);
std::string hex_decode(std::string_view hex);

// A trace event as one message's text: "DIR TIME_NS HEX..." (DIR: > < x).
std::string encode_event(const khost::SerialEvent &event);
std::optional<khost::SerialEvent> decode_event(std::string_view text);

// An output stream's buffer that sends each finished line as one message of
// `kind` (O or E), and what is left of a line, on flush, as `partial` (o
// after O; E's is E).
class ChannelBuf : public std::streambuf {
public:
    ChannelBuf(Channel &channel, char kind) : ChannelBuf(channel, kind, kind == 'O' ? 'o' : kind) {}
    ChannelBuf(Channel &channel, char kind, char partial) : channel_(channel), kind_(kind), partial_(partial) {}

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    Channel &channel_;
    char kind_;
    char partial_;
    std::string line_;
};

} // namespace board::vm
