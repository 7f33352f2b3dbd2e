// Flip buffers: bytes a driver received wait in its port's buffer until the
// push's work item hands them to the line discipline of the installed tty,
// as Linux 4.4's tty_buffer.c does. What the line discipline cannot take
// yet stays here until a reader makes room; what does not fit in the
// buffer's limit is refused at insert, and lost, as in the kernel.
#include <linux/workqueue.h>

#include "tty_internal.hpp"

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

using namespace kern::tty;

namespace {

struct FlipBuffer {
    struct tty_port *port;
    struct work_struct work;
    std::mutex lock; // guards chars and flags
    std::deque<unsigned char> chars;
    std::deque<char> flags;
};

FlipBuffer *flip(struct tty_port *port) { return static_cast<FlipBuffer *>(port->buf.kernel_private); }

// The line discipline takes at most this much per call.
constexpr size_t kReceiveChunk = 4096;

void flush_to_ldisc(struct work_struct *work)
{
    auto *b = container_of(work, FlipBuffer, work);
    struct tty_struct *tty = __atomic_load_n(&b->port->itty, __ATOMIC_ACQUIRE);
    if (!tty)
        return; // no tty installed: the bytes wait for the next push after an open
    auto *tc = core(tty);
    std::shared_lock ldisc(tc->ldisc_sem);
    if (!tc->ldisc_open)
        return;
    std::vector<unsigned char> cp;
    std::vector<char> fp;
    for (;;) {
        {
            std::lock_guard hold(b->lock);
            size_t n = std::min(b->chars.size(), kReceiveChunk);
            cp.assign(b->chars.begin(), b->chars.begin() + static_cast<long>(n));
            fp.assign(b->flags.begin(), b->flags.begin() + static_cast<long>(n));
        }
        if (cp.empty())
            return;
        size_t taken = ldisc_receive(tty, cp.data(), fp.data(), cp.size());
        {
            std::lock_guard hold(b->lock);
            // A flush may have emptied the buffer meanwhile.
            taken = std::min(taken, b->chars.size());
            b->chars.erase(b->chars.begin(), b->chars.begin() + static_cast<long>(taken));
            b->flags.erase(b->flags.begin(), b->flags.begin() + static_cast<long>(taken));
        }
        if (taken < cp.size())
            return; // the line discipline is full; a read pushes again
    }
}

} // namespace

namespace kern::tty {

void buffer_init(struct tty_port *port)
{
    auto *b = new FlipBuffer;
    b->port = port;
    INIT_WORK(&b->work, flush_to_ldisc);
    port->buf.kernel_private = b;
}

void buffer_free_all(struct tty_port *port)
{
    delete flip(port);
    port->buf.kernel_private = nullptr;
}

void buffer_cancel_work(struct tty_port *port)
{
    if (auto *b = flip(port))
        cancel_work_sync(&b->work);
}

void buffer_flush_work(struct tty_port *port)
{
    if (auto *b = flip(port))
        flush_work(&b->work);
}

void buffer_flush(struct tty_port *port)
{
    if (auto *b = flip(port)) {
        std::lock_guard hold(b->lock);
        b->chars.clear();
        b->flags.clear();
    }
}

void buffer_restart(struct tty_port *port)
{
    if (auto *b = flip(port))
        queue_work(system_unbound_wq, &b->work);
}

size_t buffer_pending(struct tty_port *port)
{
    auto *b = flip(port);
    if (!b)
        return 0;
    std::lock_guard hold(b->lock);
    return b->chars.size();
}

} // namespace kern::tty

extern "C" {

int tty_buffer_request_room(struct tty_port *port, size_t size)
{
    auto *b = flip(port);
    std::lock_guard hold(b->lock);
    return static_cast<int>(std::min(size, kFlipLimit - b->chars.size()));
}

int tty_insert_flip_string_flags(struct tty_port *port, const unsigned char *chars, const char *flags, size_t size)
{
    auto *b = flip(port);
    std::lock_guard hold(b->lock);
    size_t n = std::min(size, kFlipLimit - b->chars.size());
    b->chars.insert(b->chars.end(), chars, chars + n);
    b->flags.insert(b->flags.end(), flags, flags + n);
    return static_cast<int>(n);
}

int tty_insert_flip_string_fixed_flag(struct tty_port *port, const unsigned char *chars, char flag, size_t size)
{
    auto *b = flip(port);
    std::lock_guard hold(b->lock);
    size_t n = std::min(size, kFlipLimit - b->chars.size());
    b->chars.insert(b->chars.end(), chars, chars + n);
    b->flags.insert(b->flags.end(), n, flag);
    return static_cast<int>(n);
}

void tty_schedule_flip(struct tty_port *port) { queue_work(system_unbound_wq, &flip(port)->work); }

void tty_flip_buffer_push(struct tty_port *port) { tty_schedule_flip(port); }

} // extern "C"
