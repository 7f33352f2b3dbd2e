// The board's serial line as a kernel file: reads and writes go to the host
// tty, its poll watches the host descriptor, and its ioctls (TCGETS, TCSETS,
// TIOCGSERIAL, TIOCSSERIAL...) reach the host tty driver unchanged, since
// their layouts are the same Linux ABI. A pseudo-terminal refuses the serial
// ones, as it would on the board for a line without a serial driver.
//
// Received bytes pass through the line's input buffer, as through a tty's
// line discipline: a read or a poll of a non-blocking line that finds it
// empty fills it with one host read of whatever has arrived, and the reads
// after it are served from memory. A reader taking a reply one byte at a time,
// polling before each, thus costs the host one read per reply rather than a
// poll and a read per byte. Which bytes a read returns is unchanged: first the
// buffered ones, then what the host tty holds.
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/fcntl.h>
#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/termios.h>

#include "clock.hpp"
#include "host/host.hpp"
#include "poll_host.hpp"
#include "serial_line.hpp"
#include "task.hpp"

#include <khost/serial.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace {

// What the line has received and no reader has taken yet. Shared by every
// open file of one host tty, as a tty's buffer is shared by its opens.
//
// It also holds the line for this process alone, as serial programs do: an
// exclusive flock on a descriptor of its own (another board, or picocom,
// gets -EBUSY) and TIOCEXCL, which keeps out other opens by programs that
// are not root.
struct LineInput {
    int lock_fd = -1;                   // guarded by line_lock
    std::array<uint8_t, 64> settings{}; // the last termios2 made on the line
    bool have_settings = false;         // guarded by line_lock

    ~LineInput()
    {
        if (lock_fd >= 0)
            host::close_fd(lock_fd);
    }

    std::mutex lock; // guards everything below
    std::array<uint8_t, 4096> bytes{};
    size_t head = 0;
    size_t tail = 0;

    size_t waiting() const { return tail - head; }
    // Up to n buffered bytes into to; the count.
    size_t take(char *to, size_t n)
    {
        n = std::min(n, waiting());
        std::copy_n(bytes.begin() + static_cast<long>(head), n, to);
        head += n;
        return n;
    }
    // One host read of what has arrived, into the empty buffer; its result.
    long fill(int fd)
    {
        long r = host::read_fd(fd, bytes.data(), bytes.size());
        head = 0;
        tail = r > 0 ? static_cast<size_t>(r) : 0;
        return r;
    }
    void flush() { head = tail = 0; }
};

struct SerialFile {
    struct file file {};
    struct inode inode {};
    int fd = -1;
    std::shared_ptr<LineInput> input;
};

struct Event {
    khost::SerialEvent::Dir dir;
    int64_t time_ns;
    task_struct *task; // compared only, never followed
    std::string bytes; // a string holds a few bytes without an allocation
};

// The newest events: a version request makes nine, so some 900 requests'
// worth, at most about 650 KB. A bound reached soon, so that a long session
// does not look like one that leaks.
constexpr size_t max_events = 1 << 13;

std::mutex line_lock; // guards host_path, inputs, files, health and the trace
std::string host_path;
std::map<std::string, std::weak_ptr<LineInput>> inputs; // by host path
std::set<SerialFile *> files;                           // open on the line
std::deque<Event> events;
khost::SerialHealth health;

// A write the peer has not answered yet counts until bytes come back; a
// hung-up host tty (its pty's master closed, its adapter unplugged) fails
// writes with -EIO and reads with an end of file.
void note_health(khost::SerialEvent::Dir dir, long n, size_t count)
{
    if (n == -EIO || (n == 0 && dir != khost::SerialEvent::Dir::ToPeer))
        health.hung_up = true;
    if (dir == khost::SerialEvent::Dir::ToPeer) {
        ++health.requests;
        health.short_writes += n < static_cast<long>(count) ? 1 : 0;
        ++health.unanswered;
    } else if (n > 0) {
        ++health.answers;
        health.unanswered = 0;
    }
}

// A read that the same task's write follows at once is the drain before that
// write; the reads of a reply are followed by the release of the line.
void record(khost::SerialEvent::Dir dir, const char *buf, long n, size_t count)
{
    std::lock_guard hold(line_lock);
    note_health(dir, n, count);
    Event &e = events.emplace_back(dir, kern::clock::now_ns(), kern::current_task());
    if (n > 0)
        e.bytes.assign(buf, static_cast<size_t>(n));
    if (dir == khost::SerialEvent::Dir::ToPeer && events.size() > 1) {
        Event &before = events[events.size() - 2];
        if (before.dir == khost::SerialEvent::Dir::FromPeer && before.task == e.task)
            before.dir = khost::SerialEvent::Dir::Drained;
    }
    if (events.size() > max_events)
        events.pop_front();
}

SerialFile *serial_file(struct file *f) { return static_cast<SerialFile *>(f->f_host); }
int host_fd(struct file *f) { return serial_file(f)->fd; }
bool nonblocking(struct file *f) { return f->f_flags & O_NONBLOCK; }

// Holds the line at `path` for this process: -EBUSY while another open
// file (another program, or a board in another process) holds it.
int claim(LineInput &in, const std::string &path)
{
    in.lock_fd = host::open_path(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (in.lock_fd < 0)
        return in.lock_fd;
    if (host::lock_exclusive(in.lock_fd) < 0)
        return -EBUSY;
    host::ioctl_fd(in.lock_fd, TIOCEXCL, nullptr); // a pty or adapter takes it; anything else may refuse
    return 0;
}

// Opens the host path, letting this process's own further opens past the
// TIOCEXCL its first open set. Called with line_lock held.
int open_host(const std::string &path, int flags, LineInput *held)
{
    if (held)
        host::ioctl_fd(held->lock_fd, TIOCNXCL, nullptr);
    int fd = host::open_path(path.c_str(), flags);
    if (held)
        host::ioctl_fd(held->lock_fd, TIOCEXCL, nullptr);
    return fd;
}

// The buffered bytes first; if they fall short, what the host tty holds
// (unless the line blocks, which would wait with bytes in hand). A read with
// nothing to return gives the host's answer: -EAGAIN on a non-blocking line,
// and on a blocking one the bytes it waited for, outside the buffer's lock.
long read_input(struct file *f, char *buf, size_t count)
{
    SerialFile *sf = serial_file(f);
    LineInput &in = *sf->input;
    {
        std::lock_guard hold(in.lock);
        size_t n = in.take(buf, count);
        if (n == count || (n > 0 && !nonblocking(f)))
            return static_cast<long>(n);
        if (nonblocking(f)) {
            // Asking the host how much has arrived costs less than a read
            // that finds nothing, the usual case of a drain.
            int queued = 0;
            if (host::ioctl_fd(sf->fd, FIONREAD, &queued) == 0 && queued == 0)
                return n > 0 ? static_cast<long>(n) : -EAGAIN;
            long r = in.fill(sf->fd);
            if (r <= 0)
                return n > 0 ? static_cast<long>(n) : r;
            return static_cast<long>(n + in.take(buf + n, count - n));
        }
    }
    return host::read_fd(sf->fd, buf, count);
}

ssize_t line_read(struct file *f, char __user *buf, size_t count, loff_t *pos)
{
    if (!count)
        return 0;
    long n = read_input(f, buf, count);
    record(khost::SerialEvent::Dir::FromPeer, buf, n, count);
    return n;
}

ssize_t line_write(struct file *f, const char __user *buf, size_t count, loff_t *pos)
{
    long n = host::write_fd(host_fd(f), buf, count);
    record(khost::SerialEvent::Dir::ToPeer, buf, n, count);
    return n;
}

// A non-blocking line takes what has arrived into its buffer, so that the
// read after a successful poll costs the host nothing; bytes in the buffer
// make the line readable, and it is then reported writable too, as a line that
// is being answered is. Otherwise (nothing has arrived, or the host reports a
// hang-up or an error) the host tty answers.
unsigned int line_poll(struct file *f, struct poll_table_struct *pt)
{
    SerialFile *sf = serial_file(f);
    kern::poll_wait_host(f, sf->fd, pt);
    {
        LineInput &in = *sf->input;
        std::lock_guard hold(in.lock);
        if (in.waiting() || (nonblocking(f) && in.fill(sf->fd) > 0))
            return POLLIN | POLLRDNORM | (host::poll_now(sf->fd) & (POLLOUT | POLLWRNORM));
    }
    return host::poll_now(sf->fd);
}

bool changes_settings(unsigned int cmd)
{
    switch (cmd) {
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case TCSETS2:
    case TCSETSW2:
    case TCSETSF2:
        return true;
    default:
        return false;
    }
}

// What the driver made of the settings, to give a reopened line the same.
void keep_settings(SerialFile *sf)
{
    std::array<uint8_t, 64> now{};
    if (host::ioctl_fd(sf->fd, TCGETS2, now.data()) != 0)
        return;
    std::lock_guard hold(line_lock);
    sf->input->settings = now;
    sf->input->have_settings = true;
}

// The buffer is part of the line's input: counted by FIONREAD, discarded by
// an input flush.
long line_ioctl(struct file *f, unsigned int cmd, unsigned long arg)
{
    SerialFile *sf = serial_file(f);
    LineInput &in = *sf->input;
    long r;
    {
        std::lock_guard hold(in.lock);
        bool flushes_input = (cmd == TCFLSH && (arg == TCIFLUSH || arg == TCIOFLUSH)) || cmd == TCSETSF;
        if (flushes_input)
            in.flush();
        r = host::ioctl_fd(sf->fd, cmd, reinterpret_cast<void *>(arg));
        // The host has just written the count there, so the address is good.
        if (cmd == FIONREAD && r == 0)
            *reinterpret_cast<int *>(arg) += static_cast<int>(in.waiting());
    }
    // Outside the input's lock: a reopen takes the line's lock, then the
    // input's.
    if (r == 0 && changes_settings(cmd))
        keep_settings(sf);
    return r;
}

int line_release(struct inode *inode, struct file *f)
{
    SerialFile *sf = serial_file(f);
    host::close_fd(sf->fd);
    std::lock_guard hold(line_lock);
    files.erase(sf);
    delete sf; // may drop the line's input, and with it the exclusive hold
    std::erase_if(inputs, [](const auto &entry) { return entry.second.expired(); });
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
            out.push_back({e.dir, e.time_ns, {e.bytes.begin(), e.bytes.end()}});
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
    std::lock_guard hold(line_lock);
    const std::string p = host_path;
    if (p.empty())
        return ERR_PTR<struct file>(-ENOENT);
    auto input = inputs[p].lock();
    int fd = open_host(p, flags, input.get());
    if (fd < 0)
        return ERR_PTR<struct file>(fd);
    if (!input) {
        input = std::make_shared<LineInput>();
        if (int r = claim(*input, p); r < 0) {
            host::close_fd(fd);
            return ERR_PTR<struct file>(r);
        }
        inputs[p] = input;
        health = {};
    }
    auto *sf = new SerialFile;
    sf->fd = fd;
    sf->input = input;
    files.insert(sf);
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

SerialHealth serial_health()
{
    std::lock_guard hold(line_lock);
    SerialHealth h = health;
    h.open = !files.empty();
    return h;
}

// Each file gets a descriptor of the new line under its old number, so the
// module's file goes on as it was; the new line gets the settings the old
// one had, and what the old one had buffered is dropped.
int serial_reopen()
{
    std::lock_guard hold(line_lock);
    if (files.empty())
        return -ENOENT;
    const std::string p = host_path;
    // The input stays the same object: a reader may be inside it right now.
    LineInput &in = *(*files.begin())->input;
    LineInput fresh;
    if (int r = claim(fresh, p); r < 0)
        return r;
    for (SerialFile *sf : files) {
        int fd = open_host(p, static_cast<int>(sf->file.f_flags), &fresh);
        if (fd < 0)
            return fd;
        if (in.have_settings)
            host::ioctl_fd(fd, TCSETS2, in.settings.data());
        if (int r = host::replace_fd(fd, sf->fd); r < 0)
            return r;
    }
    std::swap(in.lock_fd, fresh.lock_fd); // the old line's hold goes with `fresh`
    {
        std::lock_guard hold_input(in.lock);
        in.flush();
    }
    health.hung_up = false;
    return 0;
}

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
