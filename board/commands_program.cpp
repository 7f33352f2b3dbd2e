// The program-side commands: system calls on the session's one program, each
// printing "RESULT [BYTES...]" on one line.
#include <algorithm>
#include <cstring>
#include <ostream>

#include <fmt/format.h>

#include "args.hpp"
#include "parse.hpp"
#include "shell.hpp"

namespace board {

namespace {

// Larger transfers are refused rather than allocated.
constexpr uint64_t kMaxTransfer = 64 * 1024;

// A negative result is the call's failure.
void print_result(Context &c, long result, const uint8_t *bytes = nullptr, size_t count = 0)
{
    if (result < 0)
        c.failed = true;
    c.out << result;
    if (count)
        c.out << ' ' << hex_bytes(bytes, count);
    c.out << '\n';
}

int open_flags(const std::string &mode)
{
    if (mode == "ro")
        return 0; // O_RDONLY
    if (mode == "wo")
        return 1; // O_WRONLY
    if (mode == "rw")
        return 2; // O_RDWR
    throw UsageError(fmt::format("bad mode '{}', want rw, ro or wo", mode));
}

uint64_t arg_size(const std::string &word)
{
    const uint64_t n = arg_number(word, "count");
    if (n > kMaxTransfer)
        throw UsageError(fmt::format("count {} above the limit of {}", n, kMaxTransfer));
    return n;
}

// "bad" and "null" stand for pointers the kernel must not copy through.
bool is_pointer_word(const std::string &w) { return w == "bad" || w == "null"; }

void *pointer_for_word(Context &c, const std::string &w) { return w == "bad" ? c.board.bad_pointer() : nullptr; }

// "nonblock" after the mode opens with O_NONBLOCK: a read then returns what
// has arrived, or -11 (EAGAIN), instead of waiting.
void cmd_open(Context &c, const Words &w)
{
    want_args(w, 1, 3);
    int flags = open_flags(w.size() > 2 ? w[2] : "rw");
    if (w.size() > 3) {
        if (w[3] != "nonblock")
            throw UsageError(fmt::format("unexpected '{}', want nonblock", w[3]));
        flags |= 00004000; // O_NONBLOCK
    }
    // A failed open says why, as cat does: the result, then its text.
    const long fd = c.board.open(w[1], flags);
    if (fd < 0) {
        c.failed = true;
        c.out << fmt::format("{} ({})\n", fd, std::strerror(static_cast<int>(-fd)));
        return;
    }
    print_result(c, fd);
}

void cmd_read(Context &c, const Words &w)
{
    want_args(w, 2, 3);
    const int fd = arg_fd(w[1]);
    const uint64_t count = arg_size(w[2]);
    if (w.size() > 3) {
        if (!is_pointer_word(w[3]))
            throw UsageError(fmt::format("unexpected '{}', want bad or null", w[3]));
        print_result(c, c.board.read(fd, pointer_for_word(c, w[3]), count));
        return;
    }
    std::vector<uint8_t> buf(count + 1); // never empty, so never a null pointer
    const long n = c.board.read(fd, buf.data(), count);
    const size_t shown = n > 0 ? std::min<size_t>(static_cast<size_t>(n), count) : 0;
    print_result(c, n, buf.data(), shown);
}

void cmd_write(Context &c, const Words &w)
{
    want_args(w, 1, w.size());
    const int fd = arg_fd(w[1]);
    if (w.size() > 2 && is_pointer_word(w[2])) {
        want_args(w, 3, 3);
        print_result(c, c.board.write(fd, pointer_for_word(c, w[2]), arg_size(w[3])));
        return;
    }
    std::vector<uint8_t> bytes = arg_bytes(w, 2);
    if (bytes.size() > kMaxTransfer)
        throw UsageError("too many bytes");
    const size_t count = bytes.size();
    bytes.push_back(0); // keeps data() valid for an empty write
    print_result(c, c.board.write(fd, bytes.data(), count));
}

void cmd_ioctl(Context &c, const Words &w)
{
    want_args(w, 2, w.size());
    const int fd = arg_fd(w[1]);
    const auto request = parse_ioctl_request(w[2]);
    if (!request)
        throw UsageError(fmt::format("unknown ioctl request '{}'", w[2]));
    if (w.size() == 3) {
        print_result(c, c.board.ioctl(fd, *request, 0));
        return;
    }
    const std::string &arg = w[3];
    if (is_pointer_word(arg) || arg.starts_with('=')) {
        want_args(w, 3, 3);
        const unsigned long value = is_pointer_word(arg) ? reinterpret_cast<unsigned long>(pointer_for_word(c, arg))
                                                         : arg_number(arg.substr(1), "value");
        print_result(c, c.board.ioctl(fd, *request, value));
        return;
    }
    // A driver may write more than was typed (the bytes are the caller's
    // guess of the argument's size): the buffer has room for a page, and the
    // typed bytes are what is shown.
    std::vector<uint8_t> buf = arg_bytes(w, 3);
    const size_t shown = buf.size();
    buf.resize(std::max<size_t>(shown, 4096));
    const long r = c.board.ioctl(fd, *request, reinterpret_cast<unsigned long>(buf.data()));
    print_result(c, r, buf.data(), shown);
}

void cmd_close(Context &c, const Words &w)
{
    want_args(w, 1, 1);
    print_result(c, c.board.close(arg_fd(w[1])));
}

} // namespace

void add_program_commands(std::vector<Command> &table)
{
    table.insert(table.end(),
                 {
                     {"open", "PATH [rw|ro|wo] [nonblock]",
                      "open a file (default rw; nonblock: reads do not wait); prints the fd", cmd_open},
                     {"read", "FD COUNT [bad|null]", "read COUNT bytes; prints the result and the bytes", cmd_read},
                     {"write", "FD HEXBYTE... | FD bad|null COUNT", "write the bytes; prints the result", cmd_write},
                     {"ioctl", "FD CMD [HEXBYTE...|null|bad|=N]",
                      "bytes: argument buffer, printed after the call; =N: the number N itself; none: 0", cmd_ioctl},
                     {"close", "FD", "close a file; prints the result", cmd_close},
                 });
}

} // namespace board
