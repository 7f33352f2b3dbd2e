#pragma once
// The tty core's own parts, shared by its files: tty_io.cpp (drivers,
// devices, opening and closing, the file operations), tty_port.cpp,
// tty_buffer.cpp (flip buffers), n_tty.cpp (the line discipline) and
// tty_ioctl.cpp (termios requests and speeds).
#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/tty.h>
#include <linux/tty_flip.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace kern::tty {

// How much a driver's write is offered at once (do_tty_write's chunk).
constexpr size_t kWriteChunk = 2048;
// Bytes the flip buffers of one port hold before inserts fall short
// (4.4's TTYB_DEFAULT_MEM_LIMIT).
constexpr size_t kFlipLimit = 65536;

// struct tty_struct::kernel_private.
struct TtyCore {
    struct tty_struct *tty;
    struct mutex legacy_mutex;       // tty_lock(): open, close and hangup of this tty
    struct mutex atomic_write_lock;  // one write(2) at a time reaches the line discipline
    struct mutex output_lock;        // the line discipline's calls of the driver's write
    struct work_struct release_work; // the last reference's release, on the system queue
    struct work_struct hangup_work;
    unsigned char write_buf[kWriteChunk];
    // Held shared while received bytes go into the line discipline, and
    // exclusively while it closes (4.4's ldisc_sem).
    std::shared_mutex ldisc_sem;
    std::atomic<bool> ldisc_open{false}; // changed under ldisc_sem
    spinlock_t flow_lock;                // guards tty->stopped and flow_stopped
    std::mutex files_lock;               // guards files
    std::vector<struct file *> files;
    // The window size TIOCSWINSZ set and TIOCGWINSZ reads (4.4's
    // tty->winsize, under its winsize_mutex): rows, columns, x and y pixels.
    std::mutex winsize_lock;
    unsigned short winsize[4] = {0, 0, 0, 0};
};

// struct file::private_data of an open tty.
struct FileCore {
    struct tty_struct *tty;
    std::atomic<bool> hung_up{false};
};

inline TtyCore *core(struct tty_struct *tty) { return static_cast<TtyCore *>(tty->kernel_private); }
inline FileCore *file_core(struct file *file) { return static_cast<FileCore *>(file->private_data); }

// tty_buffer.cpp
void buffer_init(struct tty_port *port);
void buffer_free_all(struct tty_port *port);
void buffer_cancel_work(struct tty_port *port);
void buffer_flush_work(struct tty_port *port); // waits for a push under way
void buffer_flush(struct tty_port *port);      // drops what waits
void buffer_restart(struct tty_port *port);    // the reader made room: push again
size_t buffer_pending(struct tty_port *port);

// n_tty.cpp
int ldisc_open(struct tty_struct *tty);
void ldisc_close(struct tty_struct *tty);
// Bytes taken of count; the rest stays in the flip buffer.
size_t ldisc_receive(struct tty_struct *tty, const unsigned char *cp, const char *fp, size_t count);
ssize_t ldisc_read(struct tty_struct *tty, struct file *file, unsigned char __user *buf, size_t nr);
ssize_t ldisc_write(struct tty_struct *tty, struct file *file, const unsigned char *buf, size_t nr);
unsigned int ldisc_poll(struct tty_struct *tty, struct file *file, poll_table *wait);
void ldisc_set_termios(struct tty_struct *tty, struct ktermios *old);
void ldisc_flush_buffer(struct tty_struct *tty);
size_t ldisc_chars_in_buffer(struct tty_struct *tty);
void ldisc_hangup(struct tty_struct *tty);

// tty_ioctl.cpp: the termios requests; -ENOIOCTLCMD for others.
long mode_ioctl(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg);
void wait_until_sent(struct tty_struct *tty);

// tty_io.cpp
struct tty_struct *file_tty(struct file *file);
void lock(struct tty_struct *tty); // tty_lock()
int send_xchar(struct tty_struct *tty, char ch);
void flow_stop(struct tty_struct *tty);  // TCOOFF
void flow_start(struct tty_struct *tty); // TCOON
void unlock(struct tty_struct *tty);
bool file_hung_up(struct file *file);

} // namespace kern::tty
