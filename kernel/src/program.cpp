// Programs on the board: a table of open files each, and the system calls
// on /dev and /sys that they make. A call runs on the program's own thread,
// straight into the driver, as a system call runs in the caller's context.
#include <asm/ioctls.h>
#include <linux/cdev.h>
#include <linux/fs.h>
#include <linux/jiffies.h>
#include <linux/module.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <linux/uaccess.h>

#include "device_core.hpp"
#include "host/host.hpp"
#include "poll_host.hpp"
#include "khost/program.hpp"
#include "task.hpp"
#include "vfs.hpp"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

namespace {

constexpr int kFirstFd = 3;   // 0..2 are the program's standard streams
constexpr int kMaxFds = 1024; // the usual RLIMIT_NOFILE
constexpr umode_t kCharDeviceType = 0020000;

// An open file of a program. Destroyed with the last reference, which is
// when the driver hears of the close (as the kernel's last fput()).
class OpenFile {
public:
    virtual ~OpenFile() = default;
    virtual long read(void *buf, size_t count) = 0;
    virtual long write(const void *buf, size_t count) = 0;
    virtual long ioctl(unsigned int cmd, unsigned long arg) { return -ENOTTY; }
    // Every close(2) of the descriptor; the result is close's.
    virtual long flush() { return 0; }
    // The file's poll operation: what it is ready for, registering the
    // caller's wait on `pt` when it is not null.
    virtual unsigned int poll(poll_table *pt) { return POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM; }
    // Whether the file's readiness can change (it has a poll operation);
    // one without is always ready, as the kernel's DEFAULT_POLLMASK.
    virtual bool pollable() const { return false; }
    virtual long lseek(long offset, int whence) { return -ESPIPE; }
    // pread and pwrite: the call at `pos`, the file's own position untouched.
    virtual long read_at(void *buf, size_t count, long pos) { return -ESPIPE; }
    virtual long write_at(const void *buf, size_t count, long pos) { return -ESPIPE; }
    // F_GETFL and F_SETFL: the open's flags; a set changes only those
    // fcntl may change.
    long get_flags() const { return flags_.load(); }
    void set_flags(int flags)
    {
        constexpr int kChangeable = O_APPEND | O_NONBLOCK;
        flags_ = (flags_.load() & ~kChangeable) | (flags & kChangeable);
        flags_changed(flags_.load());
    }

protected:
    virtual void flags_changed(int flags) {}
    std::atomic<int> flags_{0};
};

// SEEK_SET, SEEK_CUR, SEEK_END from `pos` within a file of `size` bytes.
long seek_position(long pos, long size, long offset, int whence)
{
    long base = whence == 0 ? 0 : whence == 1 ? pos : whence == 2 ? size : -1;
    if (base < 0)
        return -EINVAL;
    return base + offset < 0 ? -EINVAL : base + offset;
}

fmode_t access_mode(int flags)
{
    // O_RDONLY/O_WRONLY/O_RDWR become FMODE_READ/WRITE/both; 3 becomes
    // neither, an open for ioctl only.
    return static_cast<fmode_t>((flags + 1) & O_ACCMODE);
}

class DirFile : public OpenFile {
public:
    long read(void *, size_t) override { return -EISDIR; }
    long write(const void *, size_t) override { return -EBADF; }
    long lseek(long offset, int whence) override { return offset == 0 && whence != 2 ? 0 : -EINVAL; }
};

// A sysfs attribute: show() runs once, at the first read of the open file,
// and reads walk through that text; store() gets each write whole.
class AttrFile : public OpenFile {
public:
    AttrFile(std::shared_ptr<kern::vfs::Node> node, fmode_t mode) : node_(std::move(node)), mode_(mode) {}

    long read(void *buf, size_t count) override
    {
        if (!(mode_ & FMODE_READ))
            return -EBADF;
        std::lock_guard hold(lock_);
        if (!shown_) {
            long err = kern::vfs::attr_show(*node_, text_);
            if (err < 0)
                return err;
            shown_ = true;
        }
        size_t pos = std::min<size_t>(pos_, text_.size());
        size_t n = std::min(count, text_.size() - pos);
        if (copy_to_user(buf, text_.data() + pos, n))
            return -EFAULT;
        pos_ += n;
        return static_cast<long>(n);
    }

    long write(const void *buf, size_t count) override
    {
        if (!(mode_ & FMODE_WRITE))
            return -EBADF;
        if (count == 0)
            return 0;
        size_t n = std::min<size_t>(count, PAGE_SIZE);
        std::string text(n, '\0'); // one more byte stays for the terminating NUL
        if (copy_from_user(text.data(), buf, n))
            return -EFAULT;
        std::lock_guard hold(lock_);
        return kern::vfs::attr_store(*node_, text.c_str(), n);
    }

    // As seq_file's lseek: back to the start, the next read shows afresh.
    long lseek(long offset, int whence) override
    {
        std::lock_guard hold(lock_);
        long pos = seek_position(static_cast<long>(pos_), static_cast<long>(text_.size()), offset, whence);
        if (pos < 0)
            return pos;
        pos_ = static_cast<size_t>(pos);
        if (pos == 0)
            shown_ = false;
        return pos;
    }

    // A read at a position shows the attribute afresh, as seq_file does
    // for a position other than where it stands.
    long read_at(void *buf, size_t count, long pos) override
    {
        if (!(mode_ & FMODE_READ))
            return -EBADF;
        std::string text;
        if (long err = kern::vfs::attr_show(*node_, text); err < 0)
            return err;
        size_t from = std::min<size_t>(static_cast<size_t>(pos), text.size());
        size_t n = std::min(count, text.size() - from);
        if (copy_to_user(buf, text.data() + from, n))
            return -EFAULT;
        return static_cast<long>(n);
    }

    long write_at(const void *buf, size_t count, long) override { return write(buf, count); }

private:
    const std::shared_ptr<kern::vfs::Node> node_;
    const fmode_t mode_;
    std::mutex lock_; // guards text_, shown_ and pos_: one call of the file at a time
    std::string text_;
    bool shown_ = false;
    size_t pos_ = 0;
};

// A character device: the driver's operations as bound at open time. As in
// the kernel, they go on being called after the cdev is deleted; the module
// references the open took (the cdev's owner's and the operations' owner's)
// keep the code they call loaded until the release after the last close.
class CharFile : public OpenFile {
public:
    CharFile(kern::chrdev::Binding binding, const kern::vfs::Lookup &node, int flags) : binding_(std::move(binding))
    {
        inode_.i_rdev = node.devt;
        inode_.i_mode = static_cast<umode_t>(kCharDeviceType | node.mode);
        inode_.i_cdev = binding_.cdev;
        file_.f_op = binding_.fops;
        file_.f_inode = &inode_;
        file_.f_flags = static_cast<unsigned>(flags);
        // As 4.4's do_dentry_open: seekable until the driver's open says not.
        file_.f_mode = access_mode(flags) | FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE;
        file_.f_host = this;
        flags_ = flags;
    }

    ~CharFile() override
    {
        if (opened_ && fops()->release)
            fops()->release(&inode_, &file_);
        if (fops_held_)
            module_put(fops()->owner);
        if (cdev_held_)
            module_put(cdev_owner_);
    }

    // 0, or the errno that refuses the open.
    long open()
    {
        cdev_owner_ = binding_.cdev->owner;
        if (cdev_owner_ && !try_module_get(cdev_owner_))
            return -ENXIO;
        cdev_held_ = cdev_owner_ != nullptr;
        if (!fops())
            return -ENXIO;
        struct module *owner = fops()->owner;
        if (owner && !try_module_get(owner))
            return -ENXIO;
        fops_held_ = owner != nullptr;
        if (fops()->open) {
            int err = fops()->open(&inode_, &file_);
            if (err)
                return err; // the destructor gives the modules back
        }
        opened_ = true;
        return 0;
    }

    long read(void *buf, size_t count) override
    {
        if (!(file_.f_mode & FMODE_READ))
            return -EBADF;
        if (!fops()->read)
            return -EINVAL;
        return with_position([&](loff_t *pos) { return fops()->read(&file_, static_cast<char *>(buf), count, pos); });
    }

    long write(const void *buf, size_t count) override
    {
        if (!(file_.f_mode & FMODE_WRITE))
            return -EBADF;
        if (!fops()->write)
            return -EINVAL;
        return with_position(
            [&](loff_t *pos) { return fops()->write(&file_, static_cast<const char *>(buf), count, pos); });
    }

    long ioctl(unsigned int cmd, unsigned long arg) override
    {
        if (!fops()->unlocked_ioctl)
            return -ENOTTY;
        return fops()->unlocked_ioctl(&file_, cmd, arg);
    }

    long flush() override { return fops()->flush ? fops()->flush(&file_, nullptr) : 0; }

    unsigned int poll(poll_table *pt) override
    {
        if (!fops()->poll)
            return POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
        return fops()->poll(&file_, pt);
    }

    bool pollable() const override { return fops()->poll != nullptr; }

    // Without the driver's llseek the file has no position to move, as
    // vfs_llseek's no_llseek answers.
    long lseek(long offset, int whence) override
    {
        if (!(file_.f_mode & FMODE_LSEEK) || !fops()->llseek)
            return -ESPIPE;
        loff_t pos = fops()->llseek(&file_, offset, whence);
        return static_cast<long>(pos);
    }

    // pread and pwrite of a file opened with nonseekable_open are refused
    // before anything else, as 4.4's system calls refuse them.
    long read_at(void *buf, size_t count, long at) override
    {
        if (!(file_.f_mode & FMODE_PREAD))
            return -ESPIPE;
        if (!(file_.f_mode & FMODE_READ))
            return -EBADF;
        if (!fops()->read)
            return -EINVAL;
        loff_t pos = at;
        return fops()->read(&file_, static_cast<char *>(buf), count, &pos);
    }

    long write_at(const void *buf, size_t count, long at) override
    {
        if (!(file_.f_mode & FMODE_PWRITE))
            return -ESPIPE;
        if (!(file_.f_mode & FMODE_WRITE))
            return -EBADF;
        if (!fops()->write)
            return -EINVAL;
        loff_t pos = at;
        return fops()->write(&file_, static_cast<const char *>(buf), count, &pos);
    }

private:
    void flags_changed(int flags) override
    {
        __atomic_store_n(&file_.f_flags, static_cast<unsigned>(flags), __ATOMIC_RELAXED);
    }

    const struct file_operations *fops() const { return binding_.fops; }

    // As the kernel does, the driver works on a copy of the position, which
    // is stored back only on success. Threads sharing one descriptor race
    // on it as they would in the kernel, but without a data race here.
    template <typename Call> long with_position(Call call)
    {
        loff_t pos = __atomic_load_n(&file_.f_pos, __ATOMIC_RELAXED);
        long result = call(&pos);
        if (result >= 0)
            __atomic_store_n(&file_.f_pos, pos, __ATOMIC_RELAXED);
        return result;
    }

    const kern::chrdev::Binding binding_;
    struct inode inode_ {};
    struct file file_ {};
    struct module *cdev_owner_ = nullptr;
    bool opened_ = false;
    bool fops_held_ = false;
    bool cdev_held_ = false;
};

long open_attr(const kern::vfs::Lookup &found, int flags, std::shared_ptr<OpenFile> *out)
{
    // As sysfs does even for root: no write bit refuses writing, no read bit
    // refuses reading. A missing callback is -EIO at the read or write.
    fmode_t mode = access_mode(flags);
    if ((mode & FMODE_WRITE) && !(found.mode & 0222))
        return -EACCES;
    if ((mode & FMODE_READ) && !(found.mode & 0444))
        return -EACCES;
    *out = std::make_shared<AttrFile>(found.node, mode);
    return 0;
}

long open_char(const kern::vfs::Lookup &found, int flags, std::shared_ptr<OpenFile> *out)
{
    auto binding = kern::chrdev::lookup(found.devt);
    if (!binding)
        return -ENXIO;
    auto file = std::make_shared<CharFile>(std::move(*binding), found, flags);
    if (long err = file->open())
        return err;
    *out = std::move(file);
    return 0;
}

long open_node(const std::string &path, int flags, std::shared_ptr<OpenFile> *out)
{
    kern::vfs::Lookup found;
    if (int err = kern::vfs::lookup(path, &found))
        return err;
    switch (found.type) {
    case kern::vfs::NodeType::Dir:
        if ((flags & O_ACCMODE) != O_RDONLY)
            return -EISDIR;
        *out = std::make_shared<DirFile>();
        return 0;
    case kern::vfs::NodeType::Attr:
        return open_attr(found, flags, out);
    case kern::vfs::NodeType::Chr:
        return open_char(found, flags, out);
    case kern::vfs::NodeType::Link:
        break; // a lookup that follows links never ends on one
    }
    return -ENOENT;
}

// The end of a system call: a pending signal is delivered (the program's
// handler runs; here nothing more happens), and a call it interrupted
// returns -EINTR, as for a handler installed without SA_RESTART.
long syscall_return(long result)
{
    kern::signal_deliver();
    if (result == -ERESTARTSYS || result == -ERESTARTNOINTR || result == -ERESTARTNOHAND)
        return -EINTR;
    return result;
}

bool host_ready(const std::vector<int> &host_fds)
{
    for (int fd : host_fds)
        if (host::poll_now(fd) & (POLLIN | POLLHUP | POLLERR))
            return true;
    return false;
}

char entry_type(kern::vfs::NodeType type)
{
    switch (type) {
    case kern::vfs::NodeType::Dir:
        return 'd';
    case kern::vfs::NodeType::Chr:
        return 'c';
    case kern::vfs::NodeType::Attr:
        return 'f';
    case kern::vfs::NodeType::Link:
        return 'l';
    }
    return '?';
}

} // namespace

namespace khost {

struct Program::Files {
    // A descriptor being opened holds a null entry, so that it is neither
    // handed out twice nor usable before its open has finished.
    mutable std::mutex lock; // guards table
    std::map<int, std::shared_ptr<OpenFile>> table;

    // The open file behind fd, or null.
    std::shared_ptr<OpenFile> get(int fd) const
    {
        std::lock_guard hold(lock);
        auto it = table.find(fd);
        return it == table.end() ? nullptr : it->second;
    }

    int reserve()
    {
        std::lock_guard hold(lock);
        int fd = kFirstFd;
        for (const auto &[used, file] : table) {
            if (used != fd)
                break;
            ++fd;
        }
        if (fd >= kMaxFds)
            return -EMFILE;
        table.emplace(fd, nullptr);
        return fd;
    }
};

Program::Program(std::string name) : name_(std::move(name)), files_(new Files) {}

Program::~Program()
{
    for (int fd : open_fds())
        close(fd);
    delete files_;
}

long Program::open(const std::string &path, int flags)
{
    int fd = files_->reserve();
    if (fd < 0)
        return fd;
    std::shared_ptr<OpenFile> file;
    long err = syscall_return(open_node(path, flags, &file));
    std::lock_guard hold(files_->lock);
    if (err) {
        files_->table.erase(fd);
        return err;
    }
    files_->table[fd] = std::move(file);
    return fd;
}

long Program::read(int fd, void *buf, size_t count)
{
    auto file = files_->get(fd);
    return syscall_return(file ? file->read(buf, count) : -EBADF);
}

long Program::write(int fd, const void *buf, size_t count)
{
    auto file = files_->get(fd);
    return syscall_return(file ? file->write(buf, count) : -EBADF);
}

// The requests the VFS answers for every file before its driver is asked,
// as 4.4's do_vfs_ioctl: FIONBIO sets or clears O_NONBLOCK; FIOCLEX and
// FIONCLEX are the descriptor's (a program here has no exec to keep it
// from). Anything else goes to the file.
long Program::ioctl(int fd, unsigned int cmd, unsigned long arg)
{
    auto file = files_->get(fd);
    if (!file)
        return syscall_return(-EBADF);
    switch (cmd) {
    case FIOCLEX:
    case FIONCLEX:
        return 0;
    case FIONBIO: {
        int on = 0;
        if (copy_from_user(&on, reinterpret_cast<const void __user *>(arg), sizeof on))
            return syscall_return(-EFAULT);
        const int flags = static_cast<int>(file->get_flags());
        file->set_flags(on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
        return 0;
    }
    default:
        return syscall_return(file->ioctl(cmd, arg));
    }
}

long Program::lseek(int fd, long offset, int whence)
{
    auto file = files_->get(fd);
    return syscall_return(file ? file->lseek(offset, whence) : -EBADF);
}

long Program::pread(int fd, void *buf, size_t count, long pos)
{
    auto file = files_->get(fd);
    if (!file)
        return -EBADF;
    return syscall_return(pos < 0 ? -EINVAL : file->read_at(buf, count, pos));
}

long Program::pwrite(int fd, const void *buf, size_t count, long pos)
{
    auto file = files_->get(fd);
    if (!file)
        return -EBADF;
    return syscall_return(pos < 0 ? -EINVAL : file->write_at(buf, count, pos));
}

bool Program::pollable(int fd)
{
    auto file = files_->get(fd);
    return file && file->pollable();
}

long Program::get_flags(int fd)
{
    auto file = files_->get(fd);
    return file ? file->get_flags() : -EBADF;
}

long Program::set_flags(int fd, int flags)
{
    auto file = files_->get(fd);
    if (!file)
        return -EBADF;
    file->set_flags(flags);
    return 0;
}

long Program::close(int fd)
{
    std::shared_ptr<OpenFile> file;
    {
        std::lock_guard hold(files_->lock);
        auto it = files_->table.find(fd);
        if (it == files_->table.end() || !it->second)
            return syscall_return(-EBADF);
        file = std::move(it->second);
        files_->table.erase(it);
    }
    // The driver's release runs when the last reference goes: here, or at
    // the end of a call that another thread still has under way.
    long result = file->flush();
    file.reset();
    return syscall_return(result);
}

// As do_poll: the first pass registers the caller on each file's wait
// queues; the task is marked asleep before each pass, so that a wake-up
// between a pass and the sleep is not lost.
long Program::poll(std::vector<PollFd> &fds, int timeout_ms) { return poll(fds, timeout_ms, {}); }

long Program::poll(std::vector<PollFd> &fds, int timeout_ms, const std::vector<int> &host_fds)
{
    std::vector<std::shared_ptr<OpenFile>> files;
    for (const auto &p : fds)
        files.push_back(p.fd < 0 ? nullptr : files_->get(p.fd));
    long timeout = timeout_ms < 0 ? MAX_SCHEDULE_TIMEOUT : static_cast<long>(msecs_to_jiffies(timeout_ms));
    struct poll_wqueues pwq;
    poll_initwait(&pwq);
    poll_table *pt = &pwq.pt;
    for (int fd : host_fds)
        kern::poll_wait_host(nullptr, fd, pt);
    long count;
    for (;;) {
        set_current_state(TASK_INTERRUPTIBLE);
        count = 0;
        for (size_t i = 0; i < fds.size(); i++) {
            fds[i].revents = 0;
            if (fds[i].fd < 0)
                continue;
            unsigned mask = files[i] ? files[i]->poll(pt) : POLLNVAL;
            mask &= static_cast<unsigned short>(fds[i].events) | POLLERR | POLLHUP | POLLNVAL;
            fds[i].revents = static_cast<short>(mask);
            if (mask)
                count++;
        }
        pt = nullptr;
        if (!count && signal_pending(get_current()))
            count = -EINTR;
        if (count || !timeout || host_ready(host_fds))
            break;
        timeout = schedule_timeout(timeout);
    }
    set_current_state(TASK_RUNNING);
    poll_freewait(&pwq);
    return syscall_return(count);
}

long Program::list(const std::string &path, std::vector<DirEntry> *out) const
{
    std::vector<kern::vfs::Entry> entries;
    if (int err = kern::vfs::list(path, &entries))
        return err;
    out->clear();
    for (const auto &e : entries)
        out->push_back(DirEntry{e.name, entry_type(e.type), e.mode, static_cast<uint32_t>(e.devt), e.target});
    return 0;
}

long Program::stat(const std::string &path, DirEntry *out, bool follow) const
{
    kern::vfs::Lookup found;
    if (int err = kern::vfs::lookup(path, &found, follow))
        return err;
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    name = name.substr(name.rfind('/') + 1);
    *out = DirEntry{name.empty() ? "/" : name, entry_type(found.type), found.mode, static_cast<uint32_t>(found.devt),
                    found.target};
    return 0;
}

std::vector<int> Program::open_fds() const
{
    std::lock_guard hold(files_->lock);
    std::vector<int> fds;
    for (const auto &[fd, file] : files_->table)
        if (file)
            fds.push_back(fd);
    return fds;
}

void *bad_user_pointer() { return host::unmapped_address(); }

SignalTarget::SignalTarget(std::shared_ptr<void> task) : task_(std::move(task)) {}

SignalTarget SignalTarget::current_thread()
{
    task_struct *task = kern::current_task();
    get_task_struct(task);
    return SignalTarget(std::shared_ptr<void>(task, [](void *t) { put_task_struct(static_cast<task_struct *>(t)); }));
}

void SignalTarget::send() const { kern::signal_send(static_cast<task_struct *>(task_.get())); }

void act_for_process(int pid, const std::string &comm)
{
    host::set_user_process(pid);
    if (!comm.empty())
        kern::current_task()->comm = comm.substr(0, TASK_COMM_LEN - 1);
}

} // namespace khost
