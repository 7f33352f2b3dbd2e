// termios: the speed helpers drivers call, tty_set_termios (the driver's
// set_termios with the old settings, then the line discipline's), and the
// requests programs make (TCGETS/TCSETS/TCSETSW/TCSETSF, their termios2
// forms with BOTHER speeds, TCFLSH, TIOCINQ, TIOCOUTQ), as Linux 4.4's
// tty_ioctl.c has them.
#include <linux/jiffies.h>
#include <linux/uaccess.h>

#include "tty_internal.hpp"

#include <cstring>

using namespace kern::tty;

namespace {

const speed_t baud_table[] = {0,       50,      75,      110,     134,     150,     200,    300,
                              600,     1200,    1800,    2400,    4800,    9600,    19200,  38400,
                              57600,   115200,  230400,  460800,  500000,  576000,  921600, 1000000,
                              1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
const tcflag_t baud_bits[] = {B0,       B50,      B75,      B110,     B134,     B150,     B200,    B300,
                              B600,     B1200,    B1800,    B2400,    B4800,    B9600,    B19200,  B38400,
                              B57600,   B115200,  B230400,  B460800,  B500000,  B576000,  B921600, B1000000,
                              B1152000, B1500000, B2000000, B2500000, B3000000, B3500000, B4000000};
constexpr int n_baud_table = sizeof(baud_table) / sizeof(baud_table[0]);

// The baud table index of the speed bits `cbaud`, or -1 when they name none
// (the caller then clears CBAUDEX, as the kernel does).
int baud_index(tcflag_t cbaud)
{
    if (!(cbaud & CBAUDEX))
        return static_cast<int>(cbaud);
    cbaud &= ~CBAUDEX;
    if (cbaud < 1 || cbaud + 15 > n_baud_table)
        return -1;
    return static_cast<int>(cbaud + 15);
}

// The settings a program passes: struct termios (the old form, without
// speeds) or struct termios2.
void from_user_termios(struct ktermios *k, const struct termios &u)
{
    k->c_iflag = u.c_iflag;
    k->c_oflag = u.c_oflag;
    k->c_cflag = u.c_cflag;
    k->c_lflag = u.c_lflag;
    k->c_line = u.c_line;
    std::memcpy(k->c_cc, u.c_cc, NCCS);
}

constexpr unsigned TERMIOS_FLUSH = 1;
constexpr unsigned TERMIOS_WAIT = 2;
constexpr unsigned TERMIOS_OLD = 8;

// The speeds loaded into the numbers from the old-style Bfoo bits, so both
// are usable; then the flush or wait asked for, and the change.
long apply_termios(struct tty_struct *tty, struct ktermios *tmp, unsigned opt)
{
    tmp->c_ispeed = tty_termios_input_baud_rate(tmp);
    tmp->c_ospeed = tty_termios_baud_rate(tmp);
    if (opt & TERMIOS_FLUSH)
        ldisc_flush_buffer(tty);
    if (opt & TERMIOS_WAIT)
        wait_until_sent(tty);
    tty_set_termios(tty, tmp);
    return 0;
}

long set_termios(struct tty_struct *tty, void __user *arg, unsigned opt)
{
    struct ktermios tmp;
    {
        guard(mutex)(&tty->termios_rwsem);
        tmp = tty->termios;
    }
    if (opt & TERMIOS_OLD) {
        struct termios u;
        if (copy_from_user(&u, arg, sizeof(u)))
            return -EFAULT;
        from_user_termios(&tmp, u);
    } else {
        struct termios2 u;
        if (copy_from_user(&u, arg, sizeof(u)))
            return -EFAULT;
        std::memcpy(&tmp, &u, sizeof(u));
    }
    return apply_termios(tty, &tmp, opt);
}

// The System V form of the settings, struct termio: 16 bits of each flag
// word, the line discipline and the first 8 control characters. A set
// changes only the low half of each flag word, as 4.4's
// user_termio_to_kernel_termios does.
struct Termio {
    unsigned short c_iflag, c_oflag, c_cflag, c_lflag;
    unsigned char c_line;
    unsigned char c_cc[8];
};

long get_termio(struct tty_struct *tty, void __user *arg)
{
    Termio u{};
    {
        guard(mutex)(&tty->termios_rwsem);
        const struct ktermios &k = tty->termios;
        u = {static_cast<unsigned short>(k.c_iflag),
             static_cast<unsigned short>(k.c_oflag),
             static_cast<unsigned short>(k.c_cflag),
             static_cast<unsigned short>(k.c_lflag),
             k.c_line,
             {}};
        std::memcpy(u.c_cc, k.c_cc, sizeof u.c_cc);
    }
    return copy_to_user(arg, &u, sizeof u) ? -EFAULT : 0;
}

long set_termio(struct tty_struct *tty, void __user *arg, unsigned opt)
{
    Termio u;
    if (copy_from_user(&u, arg, sizeof u))
        return -EFAULT;
    struct ktermios tmp;
    {
        guard(mutex)(&tty->termios_rwsem);
        tmp = tty->termios;
    }
    const auto low = [](tcflag_t word, unsigned short half) { return (word & 0xffff0000u) | half; };
    tmp.c_iflag = low(tmp.c_iflag, u.c_iflag);
    tmp.c_oflag = low(tmp.c_oflag, u.c_oflag);
    tmp.c_cflag = low(tmp.c_cflag, u.c_cflag);
    tmp.c_lflag = low(tmp.c_lflag, u.c_lflag);
    tmp.c_line = u.c_line;
    std::memcpy(tmp.c_cc, u.c_cc, sizeof u.c_cc);
    return apply_termios(tty, &tmp, opt);
}

long get_termios(struct tty_struct *tty, void __user *arg, bool old)
{
    struct ktermios k;
    {
        guard(mutex)(&tty->termios_rwsem);
        k = tty->termios;
    }
    if (old) {
        struct termios u;
        std::memcpy(&u, &k, sizeof(u));
        return copy_to_user(arg, &u, sizeof(u)) ? -EFAULT : 0;
    }
    struct termios2 u;
    std::memcpy(&u, &k, sizeof(u));
    return copy_to_user(arg, &u, sizeof(u)) ? -EFAULT : 0;
}

long perform_flush(struct tty_struct *tty, unsigned long arg)
{
    switch (arg) {
    // The line discipline's input goes; what the flip buffer still holds
    // stays, to come in after the flush, as in 4.4.
    case TCIFLUSH:
        ldisc_flush_buffer(tty);
        buffer_restart(tty->port);
        return 0;
    case TCIOFLUSH:
        ldisc_flush_buffer(tty);
        buffer_restart(tty->port);
        [[fallthrough]];
    case TCOFLUSH:
        if (tty->ops->flush_buffer)
            tty->ops->flush_buffer(tty);
        return 0;
    default:
        return -EINVAL;
    }
}

// TCXONC, as 4.4: output stopped and started through the driver's stop and
// start; a STOP or START character sent unless it is disabled.
long flow_control(struct tty_struct *tty, unsigned long arg)
{
    switch (arg) {
    case TCOOFF:
        flow_stop(tty);
        return 0;
    case TCOON:
        flow_start(tty);
        return 0;
    case TCIOFF:
    case TCION: {
        cc_t c = tty->termios.c_cc[arg == TCIOFF ? VSTOP : VSTART];
        return c != '\0' ? send_xchar(tty, static_cast<char>(c)) : 0; // '\0' disables it
    }
    default:
        return -EINVAL;
    }
}

} // namespace

namespace kern::tty {

void wait_until_sent(struct tty_struct *tty)
{
    if (tty->ops->chars_in_buffer)
        wait_event_timeout(tty->write_wait, tty->ops->chars_in_buffer(tty) == 0, 30L * HZ);
    if (tty->ops->wait_until_sent)
        tty->ops->wait_until_sent(tty, 0);
}

long mode_ioctl(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg)
{
    void __user *p = reinterpret_cast<void __user *>(arg);
    switch (cmd) {
    case TCGETS:
        return get_termios(tty, p, true);
    case TCGETS2:
        return get_termios(tty, p, false);
    case TCSETS:
        return set_termios(tty, p, TERMIOS_OLD);
    case TCSETSW:
        return set_termios(tty, p, TERMIOS_WAIT | TERMIOS_OLD);
    case TCSETSF:
        return set_termios(tty, p, TERMIOS_FLUSH | TERMIOS_WAIT | TERMIOS_OLD);
    case TCGETA:
        return get_termio(tty, p);
    case TCSETA:
        return set_termio(tty, p, 0);
    case TCSETAW:
        return set_termio(tty, p, TERMIOS_WAIT);
    case TCSETAF:
        return set_termio(tty, p, TERMIOS_FLUSH | TERMIOS_WAIT);
    case TCSETS2:
        return set_termios(tty, p, 0);
    case TCSETSW2:
        return set_termios(tty, p, TERMIOS_WAIT);
    case TCSETSF2:
        return set_termios(tty, p, TERMIOS_FLUSH | TERMIOS_WAIT);
    case TCFLSH:
        return perform_flush(tty, arg);
    case TCXONC:
        return flow_control(tty, arg);
    case TIOCINQ: {
        int n = static_cast<int>(ldisc_chars_in_buffer(tty));
        return put_user(n, static_cast<int __user *>(p));
    }
    case TIOCOUTQ: {
        int n = tty->ops->chars_in_buffer ? tty->ops->chars_in_buffer(tty) : 0;
        return put_user(n, static_cast<int __user *>(p));
    }
    default:
        return -ENOIOCTLCMD;
    }
}

} // namespace kern::tty

extern "C" {

speed_t tty_termios_baud_rate(struct ktermios *termios)
{
    tcflag_t cbaud = termios->c_cflag & CBAUD;
    if (cbaud == BOTHER)
        return termios->c_ospeed;
    int i = baud_index(cbaud);
    if (i < 0) {
        termios->c_cflag &= ~CBAUDEX;
        i = static_cast<int>(cbaud & ~CBAUDEX);
    }
    return baud_table[i];
}

speed_t tty_termios_input_baud_rate(struct ktermios *termios)
{
    tcflag_t cbaud = (termios->c_cflag >> IBSHIFT) & CBAUD;
    if (cbaud == B0)
        return tty_termios_baud_rate(termios);
    if (cbaud == BOTHER)
        return termios->c_ispeed;
    int i = baud_index(cbaud);
    if (i < 0) {
        termios->c_cflag &= ~(CBAUDEX << IBSHIFT);
        i = static_cast<int>(cbaud & ~CBAUDEX);
    }
    return baud_table[i];
}

void tty_termios_encode_baud_rate(struct ktermios *termios, speed_t ibaud, speed_t obaud)
{
    int ifound = -1, ofound = -1;
    speed_t iclose = ibaud / 50, oclose = obaud / 50;
    bool ibinput = false;

    if (obaud == 0)
        iclose = 0;
    termios->c_ispeed = ibaud;
    termios->c_ospeed = obaud;
    // A precise odd speed gets a precise answer; a Bfoo speed a fuzzy one.
    if ((termios->c_cflag & CBAUD) == BOTHER)
        oclose = 0;
    if (((termios->c_cflag >> IBSHIFT) & CBAUD) == BOTHER)
        iclose = 0;
    if ((termios->c_cflag >> IBSHIFT) & CBAUD)
        ibinput = true;
    termios->c_cflag &= ~CBAUD;
    for (int i = 0; i < n_baud_table; i++) {
        if (obaud - oclose <= baud_table[i] && obaud + oclose >= baud_table[i]) {
            termios->c_cflag |= baud_bits[i];
            ofound = i;
        }
        if (ibaud - iclose <= baud_table[i] && ibaud + iclose >= baud_table[i]) {
            if (ofound == i && !ibinput) {
                ifound = i;
            } else {
                ifound = i;
                termios->c_cflag |= (baud_bits[i] << IBSHIFT);
            }
        }
    }
    if (ofound == -1)
        termios->c_cflag |= BOTHER;
    if (ifound == -1 && (ibaud != obaud || ibinput))
        termios->c_cflag |= (BOTHER << IBSHIFT);
}

void tty_encode_baud_rate(struct tty_struct *tty, speed_t ibaud, speed_t obaud)
{
    tty_termios_encode_baud_rate(&tty->termios, ibaud, obaud);
}

speed_t tty_get_baud_rate(struct tty_struct *tty) { return tty_termios_baud_rate(&tty->termios); }

void tty_termios_copy_hw(struct ktermios *newt, struct ktermios *old)
{
    newt->c_cflag &= HUPCL | CREAD | CLOCAL;
    newt->c_cflag |= old->c_cflag & ~(HUPCL | CREAD | CLOCAL);
    newt->c_ispeed = old->c_ispeed;
    newt->c_ospeed = old->c_ospeed;
}

int tty_termios_hw_change(const struct ktermios *a, const struct ktermios *b)
{
    if (a->c_ispeed != b->c_ispeed || a->c_ospeed != b->c_ospeed)
        return 1;
    return ((a->c_cflag ^ b->c_cflag) & ~(HUPCL | CREAD | CLOCAL)) ? 1 : 0;
}

// The driver sees the new settings in tty->termios and the old ones as its
// argument, on every call, changed or not; what it writes back into
// tty->termios is what programs read afterwards.
int tty_set_termios(struct tty_struct *tty, struct ktermios *new_termios)
{
    guard(mutex)(&tty->termios_rwsem);
    struct ktermios old = tty->termios;
    tty->termios = *new_termios;
    if (tty->ops->set_termios)
        tty->ops->set_termios(tty, &old);
    else
        tty_termios_copy_hw(&tty->termios, &old);
    ldisc_set_termios(tty, &old);
    return 0;
}

} // extern "C"
