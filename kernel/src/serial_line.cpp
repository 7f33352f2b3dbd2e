// The board's serial line as a kernel file: reads and writes go to the host
// tty, its poll watches the host descriptor, and its ioctls (TCGETS, TCSETS,
// TIOCGSERIAL, TIOCSSERIAL...) reach the host tty driver unchanged, since
// their layouts are the same Linux ABI. A pseudo-terminal refuses the serial
// ones, as it would on the board for a line without a serial driver.
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/poll.h>

#include "clock.hpp"
#include "host/host.hpp"
#include "poll_host.hpp"
#include "serial_line.hpp"
#include "task.hpp"

#include <khost/serial.hpp>

#include <deque>
#include <mutex>

namespace {

struct SerialFile {
    struct file file {};
    struct inode inode {};
    int fd = -1;
};

struct Event {
    khost::SerialEvent::Dir dir;
    int64_t time_ns;
    task_struct *task; // compared only, never followed
    std::vector<uint8_t> bytes;
};

// The newest events: a version request makes nine, so some 900 requests'
// worth, at most about 650 KB. A bound reached soon, so that a long session
// does not look like one that leaks.
constexpr size_t max_events = 1 << 13;

std::mutex line_lock; // guards host_path and the trace
std::string host_path;
std::deque<Event> events;

// A read that the same task's write follows at once is the drain before that
// write; the reads of a reply are followed by the release of the line.
void record(khost::SerialEvent::Dir dir, const char *buf, long n)
{
    std::lock_guard hold(line_lock);
    Event e{dir, kern::clock::now_ns(), kern::current_task(), {}};
    if (dir == khost::SerialEvent::Dir::ToPeer && !events.empty() &&
        events.back().dir == khost::SerialEvent::Dir::FromPeer && events.back().task == e.task)
        events.back().dir = khost::SerialEvent::Dir::Drained;
    if (n > 0)
        e.bytes.assign(buf, buf + n);
    events.push_back(std::move(e));
    if (events.size() > max_events)
        events.pop_front();
}

int host_fd(struct file *f) { return static_cast<SerialFile *>(f->f_host)->fd; }

ssize_t line_read(struct file *f, char __user *buf, size_t count, loff_t *pos)
{
    long n = host::read_fd(host_fd(f), buf, count);
    record(khost::SerialEvent::Dir::FromPeer, buf, n);
    return n;
}

ssize_t line_write(struct file *f, const char __user *buf, size_t count, loff_t *pos)
{
    long n = host::write_fd(host_fd(f), buf, count);
    record(khost::SerialEvent::Dir::ToPeer, buf, n);
    return n;
}

unsigned int line_poll(struct file *f, struct poll_table_struct *pt)
{
    kern::poll_wait_host(f, host_fd(f), pt);
    return host::poll_now(host_fd(f));
}

long line_ioctl(struct file *f, unsigned int cmd, unsigned long arg)
{
    return host::ioctl_fd(host_fd(f), cmd, reinterpret_cast<void *>(arg));
}

int line_release(struct inode *inode, struct file *f)
{
    auto *sf = static_cast<SerialFile *>(f->f_host);
    host::close_fd(sf->fd);
    delete sf;
    return 0;
}

const struct file_operations line_fops = {
    .owner = nullptr,
    .llseek = nullptr,
    .read = line_read,
    .write = line_write,
    .poll = line_poll,
    .unlocked_ioctl = line_ioctl,
    .compat_ioctl = line_ioctl,
    .open = nullptr,
    .flush = nullptr,
    .release = line_release,
};

std::vector<khost::SerialEvent> merge(const std::vector<Event> &ev)
{
    std::vector<khost::SerialEvent> out;
    const Event *last = nullptr;
    for (const auto &e : ev) {
        if (e.bytes.empty())
            continue;
        bool joins = last && !out.empty() && last->dir == e.dir && last->task == e.task &&
                     e.dir != khost::SerialEvent::Dir::ToPeer;
        if (joins)
            out.back().bytes.insert(out.back().bytes.end(), e.bytes.begin(), e.bytes.end());
        else
            out.push_back({e.dir, e.time_ns, e.bytes});
        last = &e;
    }
    return out;
}

} // namespace

namespace kern::serial {

void set_path(const std::string &p)
{
    std::lock_guard hold(line_lock);
    host_path = p;
}

std::string path()
{
    std::lock_guard hold(line_lock);
    return host_path;
}

struct file *open(int flags)
{
    std::string p = path();
    if (p.empty())
        return ERR_PTR<struct file>(-ENOENT);
    int fd = host::open_path(p.c_str(), flags);
    if (fd < 0)
        return ERR_PTR<struct file>(fd);
    auto *sf = new SerialFile;
    sf->fd = fd;
    sf->inode.i_mode = 0020660;
    sf->inode.i_rdev = MKDEV(4, 67);
    sf->file.f_op = &line_fops;
    sf->file.f_inode = &sf->inode;
    sf->file.f_flags = static_cast<unsigned>(flags);
    sf->file.f_mode = FMODE_READ | FMODE_WRITE;
    sf->file.f_host = sf;
    return &sf->file;
}

void trace_reset()
{
    std::lock_guard hold(line_lock);
    events.clear();
}

} // namespace kern::serial

namespace khost {

std::vector<SerialEvent> serial_trace_take()
{
    std::vector<Event> taken;
    {
        std::lock_guard hold(line_lock);
        taken.assign(events.begin(), events.end());
        events.clear();
    }
    return merge(taken);
}

} // namespace khost
