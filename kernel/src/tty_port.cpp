// tty ports: what outlives a tty's opens (the flip buffer, the count of
// opens, whether the hardware is up), reference counted, with the driver's
// activate on the first open and shutdown on the last close or a hangup,
// as Linux 4.4's tty_port.c calls them.
#include <linux/device.h>
#include <linux/err.h>
#include <linux/jiffies.h>
#include <linux/printk.h>
#include <linux/sched.h>
#include <linux/slab.h>

#include "bug.hpp"
#include "tty_internal.hpp"

using namespace kern::tty;

namespace {

void tty_port_destructor(struct kref *kref)
{
    auto *port = container_of(kref, struct tty_port, kref);
    // The last reference went while a tty still uses the port.
    if (__atomic_load_n(&port->itty, __ATOMIC_ACQUIRE)) {
        KERN_WARN("tty_port_destructor: port %p still has its tty installed\n", static_cast<void *>(port));
        return;
    }
    kfree(port->xmit_buf);
    tty_port_destroy(port);
    if (port->ops && port->ops->destruct)
        port->ops->destruct(port);
    else
        kfree(port);
}

// Under the port's mutex: the driver's shutdown runs once per activation.
void tty_port_shutdown(struct tty_port *port, struct tty_struct *tty)
{
    guard(mutex)(&port->mutex);
    if (port->console)
        return;
    if (test_and_clear_bit(ASYNCB_INITIALIZED, &port->flags)) {
        if (tty && C_HUPCL(tty) && port->ops->dtr_rts)
            port->ops->dtr_rts(port, 0);
        if (port->ops->shutdown)
            port->ops->shutdown(port);
    }
}

// 1 if this close is the port's last.
int tty_port_close_start(struct tty_port *port, struct tty_struct *tty, struct file *filp)
{
    {
        guard(spinlock)(&port->lock);
        if (tty_hung_up_p(filp))
            return 0;
        if (tty->count == 1 && port->count != 1) {
            printk(KERN_WARNING "tty_port_close_start: tty->count = 1 port count = %d.\n", port->count);
            port->count = 1;
        }
        if (--port->count < 0) {
            printk(KERN_WARNING "tty_port_close_start: count = %d\n", port->count);
            port->count = 0;
        }
        if (port->count)
            return 0;
        set_bit(ASYNCB_CLOSING, &port->flags);
    }
    tty->closing = 1;
    if (test_bit(ASYNCB_INITIALIZED, &port->flags))
        wait_until_sent(tty);
    // tty_ldisc_flush: what the flip buffer and the line discipline hold goes.
    buffer_flush(port);
    ldisc_flush_buffer(tty);
    return 1;
}

void tty_port_close_end(struct tty_port *port, struct tty_struct *tty)
{
    tty->closing = 0;
    clear_bit(ASYNCB_NORMAL_ACTIVE, &port->flags);
    clear_bit(ASYNCB_CLOSING, &port->flags);
    wake_up_interruptible_all(&port->open_wait);
}

} // namespace

extern "C" {

void tty_port_init(struct tty_port *port)
{
    *port = {};
    buffer_init(port);
    init_waitqueue_head(&port->open_wait);
    init_waitqueue_head(&port->delta_msr_wait);
    mutex_init(&port->mutex);
    mutex_init(&port->buf_mutex);
    spin_lock_init(&port->lock);
    port->close_delay = (50 * HZ) / 100;
    port->closing_wait = (3000 * HZ) / 100;
    kref_init(&port->kref);
}

void tty_port_destroy(struct tty_port *port)
{
    buffer_cancel_work(port);
    buffer_free_all(port);
}

void tty_port_link_device(struct tty_port *port, struct tty_driver *driver, unsigned index)
{
    if (index >= driver->num) {
        KERN_WARN("tty_port_link_device: line %u of %s is beyond its %u lines\n", index, driver->name, driver->num);
        return;
    }
    driver->ports[index] = port;
}

struct device *tty_port_register_device_attr(struct tty_port *port, struct tty_driver *driver, unsigned index,
                                             struct device *device, void *drvdata,
                                             const struct attribute_group **attr_grp)
{
    tty_port_link_device(port, driver, index);
    return tty_register_device_attr(driver, index, device, drvdata, attr_grp);
}

struct device *tty_port_register_device(struct tty_port *port, struct tty_driver *driver, unsigned index,
                                        struct device *device)
{
    return tty_port_register_device_attr(port, driver, index, device, nullptr, nullptr);
}

struct tty_port *tty_port_get(struct tty_port *port)
{
    if (!port)
        return nullptr;
    int count = atomic_read(&port->kref.refcount);
    while (count != 0) {
        int seen = atomic_cmpxchg(&port->kref.refcount, count, count + 1);
        if (seen == count)
            return port;
        count = seen;
    }
    return nullptr;
}

void tty_port_put(struct tty_port *port)
{
    if (port)
        kref_put(&port->kref, tty_port_destructor);
}

struct tty_struct *tty_port_tty_get(struct tty_port *port)
{
    guard(spinlock)(&port->lock);
    return tty_kref_get(port->tty);
}

void tty_port_tty_set(struct tty_port *port, struct tty_struct *tty)
{
    struct tty_struct *old;
    {
        guard(spinlock)(&port->lock);
        old = port->tty;
        port->tty = tty_kref_get(tty);
    }
    tty_kref_put(old);
}

void tty_port_tty_wakeup(struct tty_port *port)
{
    struct tty_struct *tty = tty_port_tty_get(port);
    if (tty) {
        tty_wakeup(tty);
        tty_kref_put(tty);
    }
}

void tty_port_tty_hangup(struct tty_port *port, bool check_clocal)
{
    struct tty_struct *tty = tty_port_tty_get(port);
    if (tty && (!check_clocal || !C_CLOCAL(tty)))
        tty_hangup(tty);
    tty_kref_put(tty);
}

int tty_port_carrier_raised(struct tty_port *port)
{
    if (!port->ops->carrier_raised)
        return 1;
    return port->ops->carrier_raised(port);
}

int tty_port_install(struct tty_port *port, struct tty_driver *driver, struct tty_struct *tty)
{
    tty->port = port;
    return tty_standard_install(driver, tty);
}

// A port without carrier_raised, or a tty with CLOCAL, is ready at once; a
// port whose carrier is down keeps a blocking open waiting until it rises
// (it is asked again whenever open_wait is woken) or the file is hung up.
int tty_port_block_til_ready(struct tty_port *port, struct tty_struct *tty, struct file *filp)
{
    if (tty_hung_up_p(filp))
        return -ERESTARTSYS;
    if ((filp->f_flags & O_NONBLOCK) || tty_io_error(tty) || C_CLOCAL(tty)) {
        set_bit(ASYNCB_NORMAL_ACTIVE, &port->flags);
        return 0;
    }
    DEFINE_WAIT(wait);
    for (;;) {
        prepare_to_wait(&port->open_wait, &wait, TASK_INTERRUPTIBLE);
        if (tty_hung_up_p(filp) || !tty_port_initialized(port)) {
            finish_wait(&port->open_wait, &wait);
            return -ERESTARTSYS;
        }
        if (!test_bit(ASYNCB_CLOSING, &port->flags) && tty_port_carrier_raised(port))
            break;
        if (signal_pending_current()) {
            finish_wait(&port->open_wait, &wait);
            return -ERESTARTSYS;
        }
        schedule_timeout(MAX_SCHEDULE_TIMEOUT);
    }
    finish_wait(&port->open_wait, &wait);
    set_bit(ASYNCB_NORMAL_ACTIVE, &port->flags);
    return 0;
}

int tty_port_open(struct tty_port *port, struct tty_struct *tty, struct file *filp)
{
    {
        guard(spinlock)(&port->lock);
        if (!tty_hung_up_p(filp))
            ++port->count;
    }
    tty_port_tty_set(port, tty);
    {
        guard(mutex)(&port->mutex);
        if (!test_bit(ASYNCB_INITIALIZED, &port->flags)) {
            clear_bit(TTY_IO_ERROR, &tty->flags);
            if (port->ops->activate) {
                int retval = port->ops->activate(port, tty);
                if (retval)
                    return retval;
            }
            set_bit(ASYNCB_INITIALIZED, &port->flags);
        }
    }
    return tty_port_block_til_ready(port, tty, filp);
}

void tty_port_close(struct tty_port *port, struct tty_struct *tty, struct file *filp)
{
    if (tty_port_close_start(port, tty, filp) == 0)
        return;
    tty_port_shutdown(port, tty);
    set_bit(TTY_IO_ERROR, &tty->flags);
    tty_port_close_end(port, tty);
    tty_port_tty_set(port, nullptr);
}

void tty_port_hangup(struct tty_port *port)
{
    struct tty_struct *tty;
    {
        guard(spinlock)(&port->lock);
        port->count = 0;
        clear_bit(ASYNCB_NORMAL_ACTIVE, &port->flags);
        tty = port->tty;
        if (tty)
            set_bit(TTY_IO_ERROR, &tty->flags);
        port->tty = nullptr;
    }
    tty_port_shutdown(port, tty);
    tty_kref_put(tty);
    wake_up_interruptible_all(&port->open_wait);
    wake_up_interruptible_all(&port->delta_msr_wait);
}

} // extern "C"
