// The tty core: drivers and their lines, the tty class devices, and a tty's
// life from the first open (install, line discipline, the driver's open)
// to the last close (the driver's close, the line discipline's end, remove,
// and the release of the last reference with the driver's cleanup), as
// Linux 4.4's tty_io.c orders them. Also the file operations every tty node
// has, and hangup.
#include <linux/cdev.h>
#include <linux/delay.h>
#include <linux/device.h>
#include <linux/err.h>
#include <linux/kdev_t.h>
#include <linux/module.h>
#include <linux/printk.h>
#include <linux/slab.h>
#include <linux/uaccess.h>

#include "bug.hpp"
#include "fault_inject.hpp"
#include "tty_internal.hpp"

#include <khost/tty.hpp>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

using namespace kern::tty;

namespace {

// struct tty_driver::kernel_private: a cdev per line, added when the line's
// device is registered (4.4 without TTY_DRIVER_DYNAMIC_ALLOC), or one for
// all lines at registration (with it).
struct DriverCore {
    std::vector<struct cdev> cdevs;
};

extern const struct file_operations tty_fops;

DriverCore *driver_core(struct tty_driver *d) { return static_cast<DriverCore *>(d->kernel_private); }

// Registered drivers, for the open of a node to find its driver by number.
std::mutex drivers_lock; // guards drivers
std::vector<struct tty_driver *> &drivers = *new std::vector<struct tty_driver *>;

// Held while a tty is looked up, installed, or released, as 4.4's tty_mutex.
DEFINE_MUTEX(tty_mutex);

// The class exists from the first tty device on, as from boot on Linux.
struct device_class tty_class = {.name = "tty"};

bool tty_class_ready()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        ready = class_register(&tty_class) == 0;
        if (!ready)
            printk(KERN_ERR "tty: cannot register the tty class\n");
    });
    return ready;
}

dev_t line_devt(struct tty_driver *d, unsigned index) { return MKDEV(d->major, d->minor_start) + index; }

void tty_lock(struct tty_struct *tty) { mutex_lock(&core(tty)->legacy_mutex); }
void tty_unlock(struct tty_struct *tty) { mutex_unlock(&core(tty)->legacy_mutex); }

// Programs on the board run as root, with every capability: where 4.4 asks
// capable(CAP_SYS_ADMIN) (TIOCVHANGUP; reopening an exclusive tty) the
// answer is yes.
bool capable_sys_admin() { return true; }

// The driver that serves `devt`, with a reference, and its line.
struct tty_driver *get_tty_driver(dev_t devt, int *index)
{
    std::lock_guard hold(drivers_lock);
    for (auto *d : drivers) {
        dev_t base = MKDEV(d->major, d->minor_start);
        if (devt >= base && devt < base + d->num) {
            *index = static_cast<int>(devt - base);
            return tty_driver_kref_get(d);
        }
    }
    return nullptr;
}

void destruct_tty_driver(struct kref *kref)
{
    auto *driver = container_of(kref, struct tty_driver, kref);
    if (driver->flags & TTY_DRIVER_INSTALLED) {
        for (unsigned i = 0; i < driver->num; i++) {
            kfree(driver->termios[i]);
            driver->termios[i] = nullptr;
            if (!(driver->flags & TTY_DRIVER_DYNAMIC_DEV))
                tty_unregister_device(driver, i);
        }
        if (driver->flags & TTY_DRIVER_DYNAMIC_ALLOC)
            cdev_del(&driver_core(driver)->cdevs[0]);
    }
    delete driver_core(driver);
    kfree(driver->ports);
    kfree(driver->termios);
    kfree(driver->ttys);
    kfree(driver);
}

int tty_cdev_add(struct tty_driver *driver, dev_t devt, unsigned index, unsigned count)
{
    struct cdev *cdev = &driver_core(driver)->cdevs[index];
    cdev_init(cdev, &tty_fops);
    cdev->owner = driver->owner;
    return cdev_add(cdev, devt, count);
}

// ---- a tty's life ----

void release_one_tty(struct work_struct *work)
{
    auto *tc = container_of(work, TtyCore, release_work);
    struct tty_struct *tty = tc->tty;
    struct tty_driver *driver = tty->driver;
    struct module *owner = driver->owner;

    if (tty->ops->cleanup)
        tty->ops->cleanup(tty);
    tty->magic = 0;
    tty_driver_kref_put(driver);
    module_put(owner);
    delete tc;
    kfree(tty);
}

// The last reference: the release runs on the system work queue, as in 4.4,
// so the module reference goes a moment after the last close returns.
void queue_release_one_tty(struct kref *kref)
{
    auto *tty = container_of(kref, struct tty_struct, kref);
    INIT_WORK(&core(tty)->release_work, release_one_tty);
    schedule_work(&core(tty)->release_work);
}

void do_tty_hangup(struct work_struct *work);

struct tty_struct *alloc_tty_struct(struct tty_driver *driver, int idx)
{
    auto *tty = static_cast<struct tty_struct *>(kzalloc(sizeof(struct tty_struct), GFP_KERNEL));
    if (!tty)
        return nullptr;
    auto *tc = new TtyCore;
    tc->tty = tty;
    mutex_init(&tc->legacy_mutex);
    mutex_init(&tc->atomic_write_lock);
    mutex_init(&tc->output_lock);
    spin_lock_init(&tc->flow_lock);
    INIT_WORK(&tc->hangup_work, do_tty_hangup);
    tty->kernel_private = tc;
    kref_init(&tty->kref);
    tty->magic = TTY_MAGIC;
    mutex_init(&tty->termios_rwsem);
    init_waitqueue_head(&tty->write_wait);
    init_waitqueue_head(&tty->read_wait);
    tty->driver = driver;
    tty->ops = driver->ops;
    tty->index = idx;
    std::snprintf(tty->name, sizeof(tty->name), "%s%d", driver->name, idx + driver->name_base);
    return tty;
}

void free_tty_struct(struct tty_struct *tty)
{
    delete core(tty);
    kfree(tty);
}

int tty_driver_install_tty(struct tty_driver *driver, struct tty_struct *tty)
{
    return driver->ops->install ? driver->ops->install(driver, tty) : tty_standard_install(driver, tty);
}

void tty_driver_remove_tty(struct tty_driver *driver, struct tty_struct *tty)
{
    if (driver->ops->remove)
        driver->ops->remove(driver, tty);
    else
        driver->ttys[tty->index] = nullptr;
}

// Keeps the termios for the next open unless the driver resets it.
void tty_free_termios(struct tty_struct *tty)
{
    if (tty->driver->flags & TTY_DRIVER_RESET_TERMIOS)
        return;
    int idx = tty->index;
    struct ktermios *tp = tty->driver->termios[idx];
    if (!tp) {
        tp = static_cast<struct ktermios *>(kmalloc(sizeof(*tp), GFP_KERNEL));
        if (!tp)
            return;
        tty->driver->termios[idx] = tp;
    }
    *tp = tty->termios;
}

// Under tty_mutex.
void release_tty(struct tty_struct *tty, int idx)
{
    if (tty->ops->shutdown)
        tty->ops->shutdown(tty);
    else
        tty_free_termios(tty);
    tty_driver_remove_tty(tty->driver, tty);
    __atomic_store_n(&tty->port->itty, nullptr, __ATOMIC_RELEASE);
    buffer_cancel_work(tty->port);
    tty_kref_put(tty);
}

// The first open of a line: the driver installs the tty, the line
// discipline opens. Returned with a reference; an error pointer otherwise.
struct tty_struct *tty_init_dev(struct tty_driver *driver, int idx)
{
    if (!try_module_get(driver->owner))
        return static_cast<struct tty_struct *>(ERR_PTR(-ENODEV));
    struct tty_struct *tty = alloc_tty_struct(driver, idx);
    if (!tty) {
        module_put(driver->owner);
        return static_cast<struct tty_struct *>(ERR_PTR(-ENOMEM));
    }
    // An install that fails leaves no tty behind: the driver's cleanup is
    // not called for it, as in 4.4.
    int retval = tty_driver_install_tty(driver, tty);
    if (retval < 0) {
        free_tty_struct(tty);
        module_put(driver->owner);
        return static_cast<struct tty_struct *>(ERR_PTR(retval));
    }
    if (!tty->port)
        tty->port = driver->ports[idx];
    if (!tty->port) {
        // 4.4 warns and crashes later; here the open fails instead.
        KERN_WARN("tty_init_dev: %s driver does not set tty->port. This will crash the kernel later. Fix the driver!\n",
                  driver->name);
        tty_driver_remove_tty(driver, tty);
        tty_kref_put(tty);
        return static_cast<struct tty_struct *>(ERR_PTR(-ENODEV));
    }
    __atomic_store_n(&tty->port->itty, tty, __ATOMIC_RELEASE);
    retval = ldisc_open(tty);
    if (retval) {
        release_tty(tty, idx);
        return static_cast<struct tty_struct *>(ERR_PTR(retval));
    }
    return tty;
}

// Under tty_mutex and tty_lock. A tty whose last file has closed is on
// its way out even while it is still listed: it is not brought back.
int tty_reopen(struct tty_struct *tty)
{
    if (!tty->count)
        return -EIO;
    if (test_bit(TTY_EXCLUSIVE, &tty->flags) && !capable_sys_admin())
        return -EBUSY;
    tty->count++;
    return 0;
}

void tty_add_file(struct tty_struct *tty, struct file *file)
{
    auto *fc = new FileCore;
    fc->tty = tty;
    file->private_data = fc;
    std::lock_guard hold(core(tty)->files_lock);
    core(tty)->files.push_back(file);
}

void tty_del_file(struct file *file)
{
    auto *fc = file_core(file);
    auto *tc = core(fc->tty);
    {
        std::lock_guard hold(tc->files_lock);
        tc->files.erase(std::remove(tc->files.begin(), tc->files.end(), file), tc->files.end());
    }
    file->private_data = nullptr;
    delete fc;
}

int tty_release(struct inode *inode, struct file *filp)
{
    struct tty_struct *tty = file_tty(filp);
    int idx = tty->index;

    tty_lock(tty);
    if (tty->ops->close)
        tty->ops->close(tty, filp);
    tty_unlock(tty);

    bool final;
    {
        guard(mutex)(&tty_mutex);
        tty_lock(tty);
        final = --tty->count == 0;
        if (tty->count < 0) {
            printk(KERN_WARNING "tty_release: %s: bad tty->count (%d)\n", tty->name, tty->count);
            tty->count = 0;
        }
        tty_del_file(filp);
        tty_unlock(tty);
    }
    if (!final)
        return 0;

    ldisc_close(tty);
    buffer_flush_work(tty->port);
    flush_work(&core(tty)->hangup_work);
    // The driver's cleanup and the module reference the tty held go with the
    // last reference, on the system work queue (as 4.4's
    // queue_release_one_tty): an unload right after the last close may find
    // the module still in use for a moment.
    guard(mutex)(&tty_mutex);
    release_tty(tty, idx);
    return 0;
}

int tty_open_once(struct inode *inode, struct file *filp)
{
    int index = 0;
    struct tty_driver *driver = get_tty_driver(inode->i_rdev, &index);
    if (!driver)
        return -ENODEV;

    struct tty_struct *tty;
    {
        guard(mutex)(&tty_mutex);
        tty = driver->ops->lookup ? driver->ops->lookup(driver, inode, index) : driver->ttys[index];
        if (IS_ERR(tty)) {
        } else if (tty) {
            tty_lock(tty);
            int err = tty_reopen(tty);
            tty_unlock(tty);
            if (err)
                tty = static_cast<struct tty_struct *>(ERR_PTR(err));
        } else {
            tty = tty_init_dev(driver, index);
        }
    }
    tty_driver_kref_put(driver);
    if (IS_ERR(tty))
        return static_cast<int>(PTR_ERR(tty));

    tty_add_file(tty, filp);
    tty_lock(tty);
    int retval = tty->ops->open ? tty->ops->open(tty, filp) : -ENODEV;
    if (retval) {
        tty_unlock(tty);
        tty_release(inode, filp);
        return retval;
    }
    clear_bit(TTY_HUPPED, &tty->flags);
    tty_unlock(tty);
    return 0;
}

// A driver's open that ended with -ERESTARTSYS without a signal (a hangup
// ended its wait for the line) is tried again, as 4.4's retry_open. A tty
// has no position: pread, pwrite and lseek are refused.
int tty_open(struct inode *inode, struct file *filp)
{
    nonseekable_open(inode, filp);
    for (;;) {
        int retval = tty_open_once(inode, filp);
        if (retval != -ERESTARTSYS || signal_pending_current())
            return retval;
    }
}

// ---- the file operations of a tty node ----

ssize_t tty_read(struct file *file, char __user *buf, size_t count, loff_t *ppos)
{
    if (file_hung_up(file))
        return 0;
    struct tty_struct *tty = file_tty(file);
    if (tty_io_error(tty))
        return -EIO;
    return ldisc_read(tty, file, reinterpret_cast<unsigned char __user *>(buf), count);
}

// The line discipline is offered the program's bytes a chunk at a time,
// each copied into the tty's own buffer first.
ssize_t tty_write(struct file *file, const char __user *buf, size_t count, loff_t *ppos)
{
    if (file_hung_up(file))
        return -EIO;
    struct tty_struct *tty = file_tty(file);
    if (!tty->ops->write || tty_io_error(tty))
        return -EIO;
    if (!tty->ops->write_room)
        printk(KERN_ERR "tty driver %s lacks a write_room method.\n", tty->driver->name);

    auto *tc = core(tty);
    if (file->f_flags & O_NONBLOCK) {
        if (!mutex_trylock(&tc->atomic_write_lock))
            return -EAGAIN;
    } else if (mutex_lock_interruptible(&tc->atomic_write_lock)) {
        return -ERESTARTSYS;
    }
    ssize_t written = 0, ret = 0;
    while (static_cast<size_t>(written) < count) {
        size_t size = std::min(count - static_cast<size_t>(written), kWriteChunk);
        if (copy_from_user(tc->write_buf, buf + written, size)) {
            ret = -EFAULT;
            break;
        }
        ret = ldisc_write(tty, file, tc->write_buf, size);
        if (ret <= 0)
            break;
        written += ret;
        if (static_cast<size_t>(ret) != size)
            break;
    }
    mutex_unlock(&tc->atomic_write_lock);
    return written ? written : ret;
}

unsigned int tty_poll(struct file *file, struct poll_table_struct *wait)
{
    if (file_hung_up(file))
        return POLLIN | POLLOUT | POLLERR | POLLHUP | POLLRDNORM | POLLWRNORM;
    return ldisc_poll(file_tty(file), file, wait);
}

int tty_tiocmget(struct tty_struct *tty, int __user *p)
{
    if (!tty->ops->tiocmget)
        return -EINVAL;
    int retval = tty->ops->tiocmget(tty);
    if (retval >= 0)
        retval = put_user(retval, p);
    return retval;
}

int tty_tiocmset(struct tty_struct *tty, unsigned int cmd, unsigned __user *p)
{
    constexpr unsigned settable = TIOCM_DTR | TIOCM_RTS | 0x2000 | 0x4000 | 0x8000; // and OUT1, OUT2, LOOP
    if (!tty->ops->tiocmset)
        return -EINVAL;
    unsigned val;
    if (get_user(val, p))
        return -EFAULT;
    unsigned set = 0, clear = 0;
    switch (cmd) {
    case TIOCMBIS:
        set = val;
        break;
    case TIOCMBIC:
        clear = val;
        break;
    case TIOCMSET:
        set = val;
        clear = ~val;
        break;
    }
    return tty->ops->tiocmset(tty, set & settable, clear & settable);
}

// The window size, kept for the programs that ask (no process group to
// tell of a change: the board's lines are nobody's controlling terminal).
long tiocgwinsz(struct tty_struct *tty, void __user *arg)
{
    TtyCore *c = core(tty);
    unsigned short ws[4];
    {
        std::lock_guard hold(c->winsize_lock);
        std::copy(std::begin(c->winsize), std::end(c->winsize), ws);
    }
    return copy_to_user(arg, ws, sizeof ws) ? -EFAULT : 0;
}

long tiocswinsz(struct tty_struct *tty, void __user *arg)
{
    unsigned short ws[4];
    if (copy_from_user(ws, arg, sizeof ws))
        return -EFAULT;
    TtyCore *c = core(tty);
    std::lock_guard hold(c->winsize_lock);
    std::copy(std::begin(ws), std::end(ws), c->winsize);
    return 0;
}

// A character put into the input as if it had arrived (root only, the
// line being nobody's controlling terminal), as 4.4's tiocsti.
long tiocsti(struct tty_struct *tty, void __user *arg)
{
    if (!capable_sys_admin())
        return -EPERM;
    unsigned char ch;
    if (get_user(ch, static_cast<unsigned char __user *>(arg)))
        return -EFAULT;
    auto *tc = core(tty);
    std::shared_lock ldisc(tc->ldisc_sem);
    if (!tc->ldisc_open)
        return -EIO;
    const char flag = TTY_NORMAL;
    ldisc_receive(tty, &ch, &flag, 1);
    return 0;
}

// A break of `ms` on the line through the driver's break_ctl; a driver
// without one has no break to send, as 4.4's send_break.
long send_break(struct tty_struct *tty, unsigned ms)
{
    if (!tty->ops->break_ctl)
        return 0;
    if (int err = tty->ops->break_ctl(tty, -1))
        return err;
    msleep_interruptible(ms);
    return tty->ops->break_ctl(tty, 0);
}

// Only N_TTY is registered: setting it again is nothing; any other number
// is refused as 4.4's tty_ldisc_get refuses one it cannot find.
long tiocsetd(void __user *arg)
{
    int ldisc;
    if (get_user(ldisc, static_cast<int __user *>(arg)))
        return -EFAULT;
    return ldisc == N_TTY ? 0 : -EINVAL;
}

long tty_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
    if (file_hung_up(file))
        return -EIO;
    struct tty_struct *tty = file_tty(file);
    void __user *p = reinterpret_cast<void __user *>(arg);

    switch (cmd) {
    case TIOCEXCL:
        set_bit(TTY_EXCLUSIVE, &tty->flags);
        return 0;
    case TIOCNXCL:
        clear_bit(TTY_EXCLUSIVE, &tty->flags);
        return 0;
    case TIOCVHANGUP:
        if (!capable_sys_admin())
            return -EPERM;
        tty_vhangup(tty);
        return 0;
    case TIOCSTI:
        return tiocsti(tty, p);
    case TIOCGWINSZ:
        return tiocgwinsz(tty, p);
    case TIOCSWINSZ:
        return tiocswinsz(tty, p);
    case TIOCGETD:
        return put_user(N_TTY, static_cast<int __user *>(p));
    case TIOCSBRK: // break on, and off: a line without break_ctl has nothing to do
        return tty->ops->break_ctl ? tty->ops->break_ctl(tty, -1) : 0;
    case TIOCCBRK:
        return tty->ops->break_ctl ? tty->ops->break_ctl(tty, 0) : 0;
    case TIOCSETD:
        return tiocsetd(p);
    case TIOCMGET:
        return tty_tiocmget(tty, static_cast<int __user *>(p));
    case TIOCMSET:
    case TIOCMBIC:
    case TIOCMBIS:
        return tty_tiocmset(tty, cmd, static_cast<unsigned __user *>(p));
    case TCSBRK: // 0 sends a break; anything else only waits (tcdrain)
        wait_until_sent(tty);
        return arg ? 0 : send_break(tty, 250);
    case TCSBRKP: // tcsendbreak: a break of arg tenths of a second, 0 for 250 ms
        wait_until_sent(tty);
        return send_break(tty, arg ? static_cast<unsigned>(arg) * 100 : 250);
    }
    if (tty->ops->ioctl) {
        int retval = tty->ops->ioctl(tty, cmd, arg);
        if (retval != -ENOIOCTLCMD)
            return retval;
    }
    long retval = mode_ioctl(tty, file, cmd, arg);
    return retval == -ENOIOCTLCMD ? -ENOTTY : retval;
}

// ---- flow control ----

void stop_tty_locked(struct tty_struct *tty)
{
    if (tty->stopped)
        return;
    tty->stopped = 1;
    if (tty->ops->stop)
        tty->ops->stop(tty);
}

// True if output was started (the caller wakes the writers).
bool start_tty_locked(struct tty_struct *tty)
{
    if (!tty->stopped || tty->flow_stopped)
        return false;
    tty->stopped = 0;
    if (tty->ops->start)
        tty->ops->start(tty);
    return true;
}

// ---- hangup ----

void do_tty_hangup(struct work_struct *work)
{
    auto *tc = container_of(work, TtyCore, hangup_work);
    tty_vhangup(tc->tty);
}

const struct file_operations tty_fops = {
    .read = tty_read,
    .write = tty_write,
    .poll = tty_poll,
    .unlocked_ioctl = tty_ioctl,
    .open = tty_open,
    .release = tty_release,
};

} // namespace

namespace kern::tty {

struct tty_struct *file_tty(struct file *file) { return file_core(file)->tty; }

// TCOOFF: output stopped by request, which the flow control characters
// cannot start again.
void flow_stop(struct tty_struct *tty)
{
    guard(spinlock)(&core(tty)->flow_lock);
    if (tty->flow_stopped)
        return;
    tty->flow_stopped = 1;
    stop_tty_locked(tty);
}

void flow_start(struct tty_struct *tty)
{
    {
        guard(spinlock)(&core(tty)->flow_lock);
        if (!tty->flow_stopped)
            return;
        tty->flow_stopped = 0;
        if (!start_tty_locked(tty))
            return;
    }
    tty_wakeup(tty);
}

// A STOP or START character ahead of the output: the driver's send_xchar,
// else a write of its own between two writers, with stopped output let go
// for it, as 4.4's tty_send_xchar.
int send_xchar(struct tty_struct *tty, char ch)
{
    if (tty->ops->send_xchar) {
        tty->ops->send_xchar(tty, ch);
        return 0;
    }
    auto *tc = core(tty);
    if (mutex_lock_interruptible(&tc->atomic_write_lock))
        return -ERESTARTSYS;
    const bool was_stopped = tty->stopped;
    if (was_stopped)
        start_tty(tty);
    {
        guard(mutex)(&tc->output_lock);
        const unsigned char c = static_cast<unsigned char>(ch);
        tty->ops->write(tty, &c, 1);
    }
    if (was_stopped)
        stop_tty(tty);
    mutex_unlock(&tc->atomic_write_lock);
    return 0;
}

void lock(struct tty_struct *tty) { tty_lock(tty); }
void unlock(struct tty_struct *tty) { tty_unlock(tty); }
bool file_hung_up(struct file *file) { return file_core(file)->hung_up.load(); }

} // namespace kern::tty

extern "C" {

struct ktermios tty_std_termios = {
    .c_iflag = ICRNL | IXON,
    .c_oflag = OPOST | ONLCR,
    .c_cflag = B38400 | CS8 | CREAD | HUPCL,
    .c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN,
    .c_line = N_TTY,
    // intr quit erase kill eof time min swtc start stop susp eol reprint discard werase lnext eol2
    .c_cc = {003, 034, 0177, 025, 004, 0, 1, 0, 021, 023, 032, 0, 022, 017, 027, 026, 0},
    .c_ispeed = 38400,
    .c_ospeed = 38400,
};

struct tty_driver *__tty_alloc_driver(unsigned int lines, struct module *owner, unsigned long flags)
{
    if (!lines || ((flags & TTY_DRIVER_UNNUMBERED_NODE) && lines > 1))
        return static_cast<struct tty_driver *>(ERR_PTR(-EINVAL));
    if (kern::should_fail("tty_alloc_driver"))
        return static_cast<struct tty_driver *>(ERR_PTR(-ENOMEM));
    auto *driver = static_cast<struct tty_driver *>(kzalloc(sizeof(struct tty_driver), GFP_KERNEL));
    if (!driver)
        return static_cast<struct tty_driver *>(ERR_PTR(-ENOMEM));
    kref_init(&driver->kref);
    driver->magic = TTY_DRIVER_MAGIC;
    driver->num = lines;
    driver->owner = owner;
    driver->flags = flags;
    driver->ttys = static_cast<struct tty_struct **>(kcalloc(lines, sizeof(*driver->ttys), GFP_KERNEL));
    driver->termios = static_cast<struct ktermios **>(kcalloc(lines, sizeof(*driver->termios), GFP_KERNEL));
    driver->ports = static_cast<struct tty_port **>(kcalloc(lines, sizeof(*driver->ports), GFP_KERNEL));
    driver->kernel_private = new DriverCore{std::vector<struct cdev>(lines)};
    if (!driver->ttys || !driver->termios || !driver->ports) {
        delete driver_core(driver);
        kfree(driver->ports);
        kfree(driver->termios);
        kfree(driver->ttys);
        kfree(driver);
        return static_cast<struct tty_driver *>(ERR_PTR(-ENOMEM));
    }
    return driver;
}

struct tty_driver *alloc_tty_driver(unsigned int lines)
{
    struct tty_driver *d = __tty_alloc_driver(lines, nullptr, 0);
    return IS_ERR(d) ? nullptr : d;
}

void tty_driver_kref_put(struct tty_driver *driver) { kref_put(&driver->kref, destruct_tty_driver); }
void put_tty_driver(struct tty_driver *driver) { tty_driver_kref_put(driver); }

void tty_set_operations(struct tty_driver *driver, const struct tty_operations *op) { driver->ops = op; }

int tty_register_driver(struct tty_driver *driver)
{
    if (kern::should_fail("tty_register_driver"))
        return -ENOMEM;
    dev_t dev = MKDEV(driver->major, driver->minor_start);
    int error;
    if (!driver->major) {
        error = alloc_chrdev_region(&dev, driver->minor_start, driver->num, driver->name);
        if (!error) {
            driver->major = static_cast<int>(MAJOR(dev));
            driver->minor_start = static_cast<int>(MINOR(dev));
        }
    } else {
        error = register_chrdev_region(dev, driver->num, driver->name);
    }
    if (error < 0)
        return error;
    if (driver->flags & TTY_DRIVER_DYNAMIC_ALLOC) {
        error = tty_cdev_add(driver, dev, 0, driver->num);
        if (error) {
            unregister_chrdev_region(dev, driver->num);
            return error;
        }
    }
    {
        std::lock_guard hold(drivers_lock);
        drivers.push_back(driver);
    }
    if (!(driver->flags & TTY_DRIVER_DYNAMIC_DEV)) {
        for (unsigned i = 0; i < driver->num; i++) {
            struct device *d = tty_register_device(driver, i, nullptr);
            if (IS_ERR(d)) {
                error = static_cast<int>(PTR_ERR(d));
                while (i--)
                    tty_unregister_device(driver, i);
                std::lock_guard hold(drivers_lock);
                drivers.erase(std::find(drivers.begin(), drivers.end(), driver));
                if (driver->flags & TTY_DRIVER_DYNAMIC_ALLOC)
                    cdev_del(&driver_core(driver)->cdevs[0]);
                unregister_chrdev_region(dev, driver->num);
                return error;
            }
        }
    }
    driver->flags |= TTY_DRIVER_INSTALLED;
    return 0;
}

// The numbers go and new opens find no driver; the driver's memory, and the
// cdevs of lines whose devices are still registered, go with its last
// reference (put_tty_driver, and the ttys still open).
int tty_unregister_driver(struct tty_driver *driver)
{
    unregister_chrdev_region(MKDEV(driver->major, driver->minor_start), driver->num);
    std::lock_guard hold(drivers_lock);
    auto it = std::find(drivers.begin(), drivers.end(), driver);
    if (it != drivers.end())
        drivers.erase(it);
    return 0;
}

struct device *tty_register_device_attr(struct tty_driver *driver, unsigned index, struct device *device, void *drvdata,
                                        const struct attribute_group **attr_grp)
{
    if (index >= driver->num) {
        printk(KERN_ERR "%s: Attempt to register invalid tty line number  (%d)\n", driver->name, index);
        return static_cast<struct device *>(ERR_PTR(-EINVAL));
    }
    if (!tty_class_ready())
        return static_cast<struct device *>(ERR_PTR(-ENODEV));
    if (kern::should_fail("tty_register_device"))
        return static_cast<struct device *>(ERR_PTR(-ENOMEM));
    dev_t devt = line_devt(driver, index);
    bool cdev = false;
    if (!(driver->flags & TTY_DRIVER_DYNAMIC_ALLOC)) {
        int retval = tty_cdev_add(driver, devt, index, 1);
        if (retval)
            return static_cast<struct device *>(ERR_PTR(retval));
        cdev = true;
    }
    char name[64];
    std::snprintf(name, sizeof(name), "%s%d", driver->name, index + driver->name_base);
    struct device *dev = device_create_with_groups(&tty_class, device, devt, drvdata, attr_grp, "%s", name);
    if (IS_ERR(dev) && cdev)
        cdev_del(&driver_core(driver)->cdevs[index]);
    return dev;
}

struct device *tty_register_device(struct tty_driver *driver, unsigned index, struct device *device)
{
    return tty_register_device_attr(driver, index, device, nullptr, nullptr);
}

void tty_unregister_device(struct tty_driver *driver, unsigned index)
{
    device_destroy(&tty_class, line_devt(driver, index));
    if (!(driver->flags & TTY_DRIVER_DYNAMIC_ALLOC))
        cdev_del(&driver_core(driver)->cdevs[index]);
}

int tty_init_termios(struct tty_struct *tty)
{
    struct ktermios *tp = tty->driver->termios[tty->index];
    if (tp) {
        tty->termios = *tp;
        tty->termios.c_line = tty->driver->init_termios.c_line;
    } else {
        tty->termios = tty->driver->init_termios;
    }
    tty->termios.c_ispeed = tty_termios_input_baud_rate(&tty->termios);
    tty->termios.c_ospeed = tty_termios_baud_rate(&tty->termios);
    return 0;
}

int tty_standard_install(struct tty_driver *driver, struct tty_struct *tty)
{
    int ret = tty_init_termios(tty);
    if (ret)
        return ret;
    tty_driver_kref_get(driver);
    tty->count++;
    driver->ttys[tty->index] = tty;
    return 0;
}

struct tty_struct *tty_kref_get(struct tty_struct *tty)
{
    if (tty)
        kref_get(&tty->kref);
    return tty;
}

void tty_kref_put(struct tty_struct *tty)
{
    if (tty)
        kref_put(&tty->kref, queue_release_one_tty);
}

const char *tty_name(const struct tty_struct *tty) { return tty ? tty->name : "NULL tty"; }

int tty_hung_up_p(struct file *filp) { return filp && filp->private_data && kern::tty::file_hung_up(filp); }

int tty_write_room(struct tty_struct *tty) { return tty->ops->write_room ? tty->ops->write_room(tty) : 2048; }

void tty_wakeup(struct tty_struct *tty) { wake_up_interruptible_all(&tty->write_wait); }

void stop_tty(struct tty_struct *tty)
{
    guard(spinlock)(&core(tty)->flow_lock);
    stop_tty_locked(tty);
}

void start_tty(struct tty_struct *tty)
{
    {
        guard(spinlock)(&core(tty)->flow_lock);
        if (!start_tty_locked(tty))
            return;
    }
    tty_wakeup(tty);
}

// Hangup: every open file of the tty is cut off (reads end, writes and
// requests fail with -EIO), the line discipline drops its input and wakes
// its sleepers, and the driver's hangup runs. The files still close as
// usual, each calling the driver's close.
void tty_vhangup(struct tty_struct *tty)
{
    auto *tc = core(tty);
    tty_lock(tty);
    if (test_bit(TTY_HUPPED, &tty->flags)) {
        tty_unlock(tty);
        return;
    }
    {
        std::lock_guard hold(tc->files_lock);
        for (struct file *f : tc->files)
            file_core(f)->hung_up = true;
    }
    ldisc_hangup(tty);
    if (tty->ops->hangup)
        tty->ops->hangup(tty);
    set_bit(TTY_HUPPED, &tty->flags);
    tty_unlock(tty);
}

void tty_hangup(struct tty_struct *tty) { schedule_work(&core(tty)->hangup_work); }

} // extern "C"

namespace khost {

namespace {

struct tty_driver *driver_by_name(const std::string &driver_name)
{
    std::lock_guard hold(drivers_lock);
    for (auto *d : drivers)
        if (d->driver_name && driver_name == d->driver_name)
            return tty_driver_kref_get(d);
    return nullptr;
}

} // namespace

int tty_register_line(const std::string &driver_name, unsigned index)
{
    struct tty_driver *d = driver_by_name(driver_name);
    if (!d)
        return -ENODEV;
    struct device *dev = tty_register_device(d, index, nullptr);
    tty_driver_kref_put(d);
    return IS_ERR(dev) ? static_cast<int>(PTR_ERR(dev)) : 0;
}

void tty_unregister_line(const std::string &driver_name, unsigned index)
{
    if (struct tty_driver *d = driver_by_name(driver_name)) {
        tty_unregister_device(d, index);
        tty_driver_kref_put(d);
    }
}

} // namespace khost
