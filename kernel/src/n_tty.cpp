// N_TTY, the line discipline every tty starts with: input processing (CR
// and NL mapping, stripping, the signal and flow characters), canonical
// mode with line editing, echo, raw reads with VMIN and VTIME, O_NONBLOCK,
// poll, and output processing of writes, as Linux 4.4's n_tty.c behaves
// toward a program. Its buffer holds N_TTY_BUF_SIZE - 1 bytes; in raw mode
// what does not fit stays in the port's flip buffer until a reader makes
// room, so nothing is lost; in canonical mode a line that outgrows the
// buffer loses the characters that do not fit, as in the kernel.
#include <linux/jiffies.h>
#include <linux/sched.h>
#include <linux/uaccess.h>

#include "tty_internal.hpp"

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

using namespace kern::tty;

namespace {

constexpr size_t kBufMax = N_TTY_BUF_SIZE - 1;

struct NTty {
    std::mutex lock;                    // guards everything below
    struct ktermios termios;            // the tty's, as set_termios left it
    std::deque<unsigned char> read_buf; // readable bytes; in canonical mode whole lines
    std::deque<size_t> lines;           // canonical mode: the lengths of the lines in read_buf
    std::vector<unsigned char> line;    // canonical mode: the line being edited
    unsigned column = 0;                // output column, for erasing and ONOCR
};

NTty *disc(struct tty_struct *tty) { return static_cast<NTty *>(tty->disc_data); }

bool is_ctl(unsigned char c) { return (c < 0x20 && c != '\t' && c != '\n') || c == 0x7f; }

// Output processing of one byte (OPOST), as do_output_char does it.
void out_char(NTty *ld, unsigned char c, std::vector<unsigned char> &out)
{
    const tcflag_t o = ld->termios.c_oflag;
    if (!(o & OPOST)) {
        out.push_back(c);
        return;
    }
    switch (c) {
    case '\n':
        if (o & ONLRET)
            ld->column = 0;
        if (o & ONLCR) {
            ld->column = 0;
            out.push_back('\r');
        }
        out.push_back('\n');
        return;
    case '\r':
        if ((o & ONOCR) && ld->column == 0)
            return;
        if (o & OCRNL) {
            if (o & ONLRET)
                ld->column = 0;
            out.push_back('\n');
            return;
        }
        ld->column = 0;
        out.push_back('\r');
        return;
    case '\b':
        if (ld->column > 0)
            ld->column--;
        out.push_back(c);
        return;
    default:
        if (o & OLCUC && c >= 'a' && c <= 'z')
            c = static_cast<unsigned char>(c - 'a' + 'A');
        if (!is_ctl(c))
            ld->column++;
        out.push_back(c);
    }
}

void echo_char(NTty *ld, unsigned char c, std::vector<unsigned char> &echo)
{
    if ((ld->termios.c_lflag & ECHOCTL) && is_ctl(c)) {
        out_char(ld, '^', echo);
        out_char(ld, static_cast<unsigned char>(c ^ 0100), echo);
        return;
    }
    out_char(ld, c, echo);
}

void echo_erase(NTty *ld, unsigned char erased, std::vector<unsigned char> &echo)
{
    int cols = ((ld->termios.c_lflag & ECHOCTL) && is_ctl(erased)) ? 2 : 1;
    for (int i = 0; i < cols; i++)
        for (unsigned char c : {'\b', ' ', '\b'})
            out_char(ld, c, echo);
}

void commit_line(NTty *ld)
{
    ld->read_buf.insert(ld->read_buf.end(), ld->line.begin(), ld->line.end());
    ld->lines.push_back(ld->line.size());
    ld->line.clear();
}

bool readable(NTty *ld, bool poll)
{
    if (ld->termios.c_lflag & ICANON)
        return !ld->lines.empty();
    const cc_t vmin = ld->termios.c_cc[VMIN], vtime = ld->termios.c_cc[VTIME];
    size_t amt = (poll && !vtime && vmin) ? vmin : 1;
    return ld->read_buf.size() >= amt;
}

// Canonical editing characters. True if c was one and has been dealt with.
bool canon_special(NTty *ld, unsigned char c, std::vector<unsigned char> &echo)
{
    const struct ktermios &t = ld->termios;
    const bool do_echo = t.c_lflag & ECHO;
    if (c == t.c_cc[VERASE] || ((t.c_lflag & IEXTEN) && c == t.c_cc[VWERASE])) {
        bool word = c != t.c_cc[VERASE];
        bool seen_word = false;
        while (!ld->line.empty()) {
            unsigned char last = ld->line.back();
            bool space = last == ' ' || last == '\t';
            if (word && space && seen_word)
                break;
            seen_word |= !space;
            ld->line.pop_back();
            if (do_echo && (t.c_lflag & ECHOE))
                echo_erase(ld, last, echo);
            else if (do_echo)
                echo_char(ld, c, echo);
            if (!word)
                break;
        }
        return true;
    }
    if (c == t.c_cc[VKILL]) {
        if (do_echo && (t.c_lflag & ECHOKE) && (t.c_lflag & ECHOE)) {
            for (auto it = ld->line.rbegin(); it != ld->line.rend(); ++it)
                echo_erase(ld, *it, echo);
        } else if (do_echo) {
            echo_char(ld, c, echo);
            if (t.c_lflag & ECHOK)
                out_char(ld, '\n', echo);
        }
        ld->line.clear();
        return true;
    }
    if (c == t.c_cc[VEOF] && c) {
        commit_line(ld); // the line as it is, without the character
        return true;
    }
    return false;
}

bool is_line_end(const struct ktermios &t, unsigned char c)
{
    return c == '\n' || (c && (c == t.c_cc[VEOL] || ((t.c_lflag & IEXTEN) && c == t.c_cc[VEOL2])));
}

// Input processing of one character. False if the buffer cannot take it
// now (it stays in the flip buffer).
bool receive_char(NTty *ld, unsigned char c, char flag, std::vector<unsigned char> &echo)
{
    const struct ktermios &t = ld->termios;
    const bool canon = t.c_lflag & ICANON;
    const size_t used = ld->read_buf.size() + ld->line.size();

    if (used >= kBufMax && (!canon || !ld->lines.empty()))
        return false;
    if (flag != TTY_NORMAL) {
        if ((flag == TTY_BREAK && (t.c_iflag & IGNBRK)) || (flag != TTY_BREAK && (t.c_iflag & IGNPAR)))
            return true;
        c = 0;
    }
    if (t.c_iflag & ISTRIP)
        c &= 0x7f;
    if ((t.c_iflag & IUCLC) && (t.c_lflag & IEXTEN) && c >= 'A' && c <= 'Z')
        c = static_cast<unsigned char>(c - 'A' + 'a');
    if ((t.c_iflag & IXON) && c && (c == t.c_cc[VSTART] || c == t.c_cc[VSTOP]))
        return true; // flow control characters are taken, not read
    if ((t.c_lflag & ISIG) && c && (c == t.c_cc[VINTR] || c == t.c_cc[VQUIT] || c == t.c_cc[VSUSP])) {
        // No signals here: the input is flushed, the character echoed.
        if (!(t.c_lflag & NOFLSH)) {
            ld->read_buf.clear();
            ld->lines.clear();
            ld->line.clear();
        }
        if (t.c_lflag & ECHO)
            echo_char(ld, c, echo);
        return true;
    }
    if (c == '\r') {
        if (t.c_iflag & IGNCR)
            return true;
        if (t.c_iflag & ICRNL)
            c = '\n';
    } else if (c == '\n' && (t.c_iflag & INLCR)) {
        c = '\r';
    }
    if (!canon) {
        if (t.c_lflag & ECHO)
            echo_char(ld, c, echo);
        ld->read_buf.push_back(c);
        return true;
    }
    if (canon_special(ld, c, echo))
        return true;
    if (is_line_end(t, c)) {
        if ((t.c_lflag & ECHO) || (c == '\n' && (t.c_lflag & ECHONL)))
            echo_char(ld, c, echo);
        ld->line.push_back(c);
        commit_line(ld);
        return true;
    }
    if (used >= kBufMax)
        return true; // a line longer than the buffer: the character is lost
    if (t.c_lflag & ECHO)
        echo_char(ld, c, echo);
    ld->line.push_back(c);
    return true;
}

// Echoes and other output of the line discipline, through the driver.
void write_out(struct tty_struct *tty, const unsigned char *p, size_t n)
{
    guard(mutex)(&core(tty)->output_lock);
    while (n > 0) {
        int c = tty->ops->write(tty, p, static_cast<int>(n));
        if (c <= 0)
            return; // no room: the echo is dropped, as 4.4 drops what does not fit
        p += c;
        n -= static_cast<size_t>(c);
    }
}

// Copies what a read may take now into `out`; the bytes taken.
size_t take_input(NTty *ld, std::vector<unsigned char> &out, size_t nr, bool *line_done)
{
    *line_done = false;
    if (ld->termios.c_lflag & ICANON) {
        if (ld->lines.empty())
            return 0;
        size_t len = ld->lines.front();
        size_t n = std::min(len, nr);
        out.assign(ld->read_buf.begin(), ld->read_buf.begin() + static_cast<long>(n));
        ld->read_buf.erase(ld->read_buf.begin(), ld->read_buf.begin() + static_cast<long>(n));
        if (n == len)
            ld->lines.pop_front();
        else
            ld->lines.front() -= n;
        *line_done = true;
        return n;
    }
    size_t n = std::min(ld->read_buf.size(), nr);
    out.assign(ld->read_buf.begin(), ld->read_buf.begin() + static_cast<long>(n));
    ld->read_buf.erase(ld->read_buf.begin(), ld->read_buf.begin() + static_cast<long>(n));
    return n;
}

} // namespace

namespace kern::tty {

int ldisc_open(struct tty_struct *tty)
{
    auto *ld = new NTty;
    {
        guard(mutex)(&tty->termios_rwsem);
        ld->termios = tty->termios;
    }
    auto *tc = core(tty);
    std::unique_lock hold(tc->ldisc_sem);
    tty->disc_data = ld;
    tty->receive_room = kBufMax;
    tc->ldisc_open = true;
    return 0;
}

void ldisc_close(struct tty_struct *tty)
{
    auto *tc = core(tty);
    std::unique_lock hold(tc->ldisc_sem);
    tc->ldisc_open = false;
    delete disc(tty);
    tty->disc_data = nullptr;
}

size_t ldisc_receive(struct tty_struct *tty, const unsigned char *cp, const char *fp, size_t count)
{
    NTty *ld = disc(tty);
    std::vector<unsigned char> echo;
    size_t i = 0;
    bool readable_now;
    {
        std::lock_guard hold(ld->lock);
        for (; i < count; i++)
            if (!receive_char(ld, cp[i], fp ? fp[i] : TTY_NORMAL, echo))
                break;
        readable_now = readable(ld, false);
    }
    if (!echo.empty())
        write_out(tty, echo.data(), echo.size());
    if (readable_now)
        wake_up_interruptible_all(&tty->read_wait);
    return i;
}

ssize_t ldisc_read(struct tty_struct *tty, struct file *file, unsigned char __user *buf, size_t nr)
{
    NTty *ld = disc(tty);
    size_t minimum = 0;
    long time = 0, timeout = MAX_SCHEDULE_TIMEOUT;
    {
        std::lock_guard hold(ld->lock);
        if (!(ld->termios.c_lflag & ICANON)) {
            minimum = ld->termios.c_cc[VMIN];
            if (minimum) {
                time = (HZ / 10) * ld->termios.c_cc[VTIME];
            } else {
                timeout = (HZ / 10) * ld->termios.c_cc[VTIME];
                minimum = 1;
            }
        }
    }
    size_t copied = 0;
    ssize_t retval = 0;
    std::vector<unsigned char> chunk;
    DEFINE_WAIT(wait);
    while (copied < nr) {
        prepare_to_wait(&tty->read_wait, &wait, TASK_INTERRUPTIBLE);
        bool avail;
        {
            std::lock_guard hold(ld->lock);
            avail = readable(ld, false);
        }
        if (!avail) {
            // Bytes pushed but not yet through the flip buffer count too.
            finish_wait(&tty->read_wait, &wait);
            buffer_flush_work(tty->port);
            prepare_to_wait(&tty->read_wait, &wait, TASK_INTERRUPTIBLE);
            std::lock_guard hold(ld->lock);
            avail = readable(ld, false);
        }
        if (!avail) {
            if (tty_hung_up_p(file) || test_bit(TTY_OTHER_CLOSED, &tty->flags))
                break;
            if (!timeout)
                break;
            if (file->f_flags & O_NONBLOCK) {
                retval = -EAGAIN;
                break;
            }
            if (signal_pending_current()) {
                retval = -ERESTARTSYS;
                break;
            }
            timeout = schedule_timeout(timeout);
            continue;
        }
        finish_wait(&tty->read_wait, &wait);
        bool line_done;
        size_t n;
        {
            std::lock_guard hold(ld->lock);
            n = take_input(ld, chunk, nr - copied, &line_done);
        }
        if (n && copy_to_user(buf + copied, chunk.data(), n)) {
            retval = -EFAULT;
            break;
        }
        copied += n;
        // Room was made: bytes waiting in the flip buffer may come in now.
        if (buffer_pending(tty->port))
            buffer_restart(tty->port);
        if (line_done || copied >= minimum)
            break;
        if (time)
            timeout = time;
    }
    finish_wait(&tty->read_wait, &wait);
    return copied ? static_cast<ssize_t>(copied) : retval;
}

ssize_t ldisc_write(struct tty_struct *tty, struct file *file, const unsigned char *buf, size_t nr)
{
    NTty *ld = disc(tty);
    size_t written = 0;
    ssize_t retval = 0;
    std::vector<unsigned char> out;
    DEFINE_WAIT(wait);
    while (written < nr) {
        if (tty_hung_up_p(file) || tty_io_error(tty)) {
            retval = -EIO;
            break;
        }
        if (signal_pending_current()) {
            retval = -ERESTARTSYS;
            break;
        }
        bool opost;
        {
            std::lock_guard hold(ld->lock);
            opost = ld->termios.c_oflag & OPOST;
        }
        // With output processing, as 4.4's process_output_block, no more is
        // taken than the driver has room for.
        const int room = opost ? tty_write_room(tty) : 1;
        if (opost && room > 0) {
            // A piece at a time through output processing, as much as the
            // driver's room holds once translated; the piece counts as
            // written once all of its output is with the driver.
            size_t piece = 0;
            out.clear();
            {
                std::lock_guard hold(ld->lock);
                while (written + piece < nr && piece < 256) {
                    const size_t before = out.size();
                    const unsigned column = ld->column;
                    out_char(ld, buf[written + piece], out);
                    if (out.size() > static_cast<size_t>(room) && before > 0) {
                        out.resize(before);
                        ld->column = column;
                        break;
                    }
                    piece++;
                }
            }
            write_out(tty, out.data(), out.size());
            written += piece;
            continue;
        }
        int c = 0;
        if (!opost) {
            guard(mutex)(&core(tty)->output_lock);
            c = tty->ops->write(tty, buf + written, static_cast<int>(nr - written));
        }
        if (c < 0) {
            retval = c;
            break;
        }
        if (c > 0) {
            written += static_cast<size_t>(c);
            continue;
        }
        // The driver has no room: wait for its tty_wakeup.
        if (file->f_flags & O_NONBLOCK) {
            retval = -EAGAIN;
            break;
        }
        prepare_to_wait(&tty->write_wait, &wait, TASK_INTERRUPTIBLE);
        if (tty_write_room(tty) <= 0)
            schedule_timeout(MAX_SCHEDULE_TIMEOUT);
        finish_wait(&tty->write_wait, &wait);
    }
    return written ? static_cast<ssize_t>(written) : retval;
}

unsigned int ldisc_poll(struct tty_struct *tty, struct file *file, poll_table *wait)
{
    NTty *ld = disc(tty);
    unsigned int mask = 0;
    poll_wait(file, &tty->read_wait, wait);
    poll_wait(file, &tty->write_wait, wait);
    {
        std::lock_guard hold(ld->lock);
        if (readable(ld, true))
            mask |= POLLIN | POLLRDNORM;
    }
    if (test_bit(TTY_OTHER_CLOSED, &tty->flags) || tty_hung_up_p(file))
        mask |= POLLHUP;
    int in_driver = tty->ops->chars_in_buffer ? tty->ops->chars_in_buffer(tty) : 0;
    if (tty->ops->write && in_driver < WAKEUP_CHARS && tty_write_room(tty) > 0)
        mask |= POLLOUT | POLLWRNORM;
    return mask;
}

void ldisc_set_termios(struct tty_struct *tty, struct ktermios *old)
{
    NTty *ld = disc(tty);
    if (!ld)
        return;
    bool wake;
    {
        std::lock_guard hold(ld->lock);
        bool was_canon = ld->termios.c_lflag & ICANON;
        ld->termios = tty->termios;
        bool canon = ld->termios.c_lflag & ICANON;
        if (was_canon && !canon) {
            // Everything typed becomes readable.
            ld->read_buf.insert(ld->read_buf.end(), ld->line.begin(), ld->line.end());
            ld->line.clear();
            ld->lines.clear();
        } else if (!was_canon && canon && !ld->read_buf.empty()) {
            // What was received raw is one line, readable at once.
            ld->lines.assign(1, ld->read_buf.size());
        }
        wake = readable(ld, false);
    }
    if (wake)
        wake_up_interruptible_all(&tty->read_wait);
}

void ldisc_flush_buffer(struct tty_struct *tty)
{
    NTty *ld = disc(tty);
    if (!ld)
        return;
    std::lock_guard hold(ld->lock);
    ld->read_buf.clear();
    ld->lines.clear();
    ld->line.clear();
}

size_t ldisc_chars_in_buffer(struct tty_struct *tty)
{
    NTty *ld = disc(tty);
    std::lock_guard hold(ld->lock);
    return ld->read_buf.size();
}

void ldisc_hangup(struct tty_struct *tty)
{
    buffer_flush(tty->port);
    ldisc_flush_buffer(tty);
    wake_up_interruptible_all(&tty->read_wait);
    wake_up_interruptible_all(&tty->write_wait);
}

} // namespace kern::tty
