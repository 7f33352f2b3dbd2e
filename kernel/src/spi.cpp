// The SPI core: masters in the spi_master class, their devices on the spi
// bus, and the message queue each master gets when it leaves `transfer`
// null, pumped by a kthread worker named after the master, as Linux 4.4's
// core runs it. spi_sync pumps in the caller's own thread when the master is
// idle, so a message may reach transfer_one_message from either.
#include <linux/cleanup.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/device.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/kthread.h>
#include <linux/mutex.h>
#include <linux/printk.h>
#include <linux/slab.h>
#include <linux/spi/spi.h>
#include <linux/string.h>

#include "bug.hpp"
#include "device_core.hpp"
#include "fault_inject.hpp"
#include "spi_internal.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The core's record of a registered master: its queue and pump.
struct MasterCore {
    struct spi_master *master = nullptr;
    // Guards queue, running, busy and master->cur_msg. A host lock: it is
    // never held across a driver's callback or a sleep.
    std::mutex queue_lock;
    struct list_head queue;
    bool running = false;
    bool busy = false;
    bool stopping = false; // the master is being unregistered: no new messages
    struct kthread_worker kworker {};
    struct task_struct *kworker_task = nullptr;
    struct PumpWork {
        struct kthread_work work; // first: the work's address is the record's
        MasterCore *core;
    } pump{};
    struct mutex bus_lock_mutex {}; // serialises the queueing of spi_sync's messages
};

MasterCore *core_of(struct spi_master *master) { return static_cast<MasterCore *>(master->kernel_private); }

int spi_queued_transfer(struct spi_device *spi, struct spi_message *msg);

// ---- the bus and the class ----

const struct spi_device_id *spi_match_id(const struct spi_device_id *id, const struct spi_device *sdev)
{
    for (; id->name[0]; id++)
        if (!std::strcmp(sdev->modalias, id->name))
            return id;
    return nullptr;
}

int spi_match_device(struct device *dev, struct device_driver *drv)
{
    const struct spi_device *spi = to_spi_device(dev);
    const struct spi_driver *sdrv = to_spi_driver(drv);
    if (sdrv->id_table)
        return spi_match_id(sdrv->id_table, spi) != nullptr;
    return std::strcmp(spi->modalias, drv->name) == 0;
}

int spi_uevent(struct device *dev, struct kobj_uevent_env *env)
{
    return add_uevent_var(env, "MODALIAS=spi:%s", to_spi_device(dev)->modalias);
}

int spi_drv_probe(struct device *dev)
{
    struct spi_driver *sdrv = to_spi_driver(dev->driver);
    return sdrv->probe ? sdrv->probe(to_spi_device(dev)) : 0;
}

int spi_drv_remove(struct device *dev)
{
    struct spi_driver *sdrv = to_spi_driver(dev->driver);
    return sdrv->remove ? sdrv->remove(to_spi_device(dev)) : 0;
}

ssize_t modalias_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "spi:%s\n", to_spi_device(dev)->modalias);
}
DEVICE_ATTR_RO(modalias);
struct attribute *spi_dev_attrs[] = {&dev_attr_modalias.attr, nullptr};
const struct attribute_group spi_dev_group = {.attrs = spi_dev_attrs};
const struct attribute_group *spi_dev_groups[] = {&spi_dev_group, nullptr};

struct bus_type spi_bus_type = {
    .name = "spi",
    .dev_groups = spi_dev_groups,
    .match = spi_match_device,
    .uevent = spi_uevent,
    .probe = spi_drv_probe,
    .remove = spi_drv_remove,
};

// Ends the pump thread once the work queued on it is done.
void stop_pump(MasterCore *core)
{
    if (!core->kworker_task)
        return;
    flush_kthread_worker(&core->kworker);
    kthread_stop(core->kworker_task);
    put_task_struct(core->kworker_task);
    core->kworker_task = nullptr;
}

void spi_master_release(struct device *dev)
{
    struct spi_master *master = container_of(dev, struct spi_master, dev);
    if (MasterCore *core = core_of(master))
        stop_pump(core); // a queue left running by spi_unregister_master
    delete core_of(master);
    kfree(master);
}

struct device_class spi_master_class = {
    .name = "spi_master",
    .owner = nullptr,
    .dev_release = spi_master_release,
};

bool spi_ready = false;

// ---- the queue ----

// Takes the next message off the queue and hands it to the driver, unless
// the driver holds one already or the queue is empty or stopped.
void pump_messages(MasterCore *core)
{
    struct spi_master *master = core->master;
    struct spi_message *msg;
    {
        std::lock_guard hold(core->queue_lock);
        if (master->cur_msg)
            return;
        if (list_empty(&core->queue) || !core->running) {
            core->busy = false;
            return;
        }
        msg = list_first_entry(&core->queue, struct spi_message, queue);
        list_del_init(&msg->queue);
        master->cur_msg = msg;
        core->busy = true;
    }
    if (master->transfer_one_message(master, msg))
        dev_err(&master->dev, "failed to transfer one message from queue\n");
}

void spi_pump_messages(struct kthread_work *work)
{
    pump_messages(reinterpret_cast<MasterCore::PumpWork *>(work)->core);
}

int queue_message(struct spi_device *spi, struct spi_message *msg, bool need_pump)
{
    MasterCore *core = core_of(spi->master);
    std::lock_guard hold(core->queue_lock);
    if (!core->running || core->stopping)
        return -ESHUTDOWN;
    msg->actual_length = 0;
    msg->status = -EINPROGRESS;
    list_add_tail(&msg->queue, &core->queue);
    if (!core->busy && need_pump)
        queue_kthread_work(&core->kworker, &core->pump.work);
    return 0;
}

int spi_queued_transfer(struct spi_device *spi, struct spi_message *msg) { return queue_message(spi, msg, true); }

int init_queue(struct spi_master *master)
{
    MasterCore *core = core_of(master);
    INIT_LIST_HEAD(&core->queue);
    init_kthread_worker(&core->kworker);
    struct task_struct *task = kthread_run(kthread_worker_fn, &core->kworker, "%s", dev_name(&master->dev));
    if (IS_ERR(task)) {
        dev_err(&master->dev, "failed to create message pump task\n");
        return static_cast<int>(PTR_ERR(task));
    }
    get_task_struct(task); // the pump is stopped with kthread_stop, which must find it
    core->kworker_task = task;
    core->pump.core = core;
    init_kthread_work(&core->pump.work, spi_pump_messages);
    master->transfer = spi_queued_transfer;
    master->queued = true;
    {
        std::lock_guard hold(core->queue_lock);
        core->running = true;
        master->cur_msg = nullptr;
    }
    queue_kthread_work(&core->kworker, &core->pump.work);
    return 0;
}

// Waits, as 4.4 does, up to 500 times 10 ms for the queue to empty. New
// messages are refused from the start of the wait, so that a program that
// keeps sending cannot keep the queue busy for ever (4.4 takes them until
// the queue is idle). A queue still holding messages after the wait keeps
// running, as 4.4 leaves it, so that the messages in it are still done and
// their callers woken: -EBUSY.
int stop_queue(MasterCore *core)
{
    {
        std::lock_guard hold(core->queue_lock);
        core->stopping = true;
    }
    for (int limit = 500;; --limit) {
        {
            std::lock_guard hold(core->queue_lock);
            if (list_empty(&core->queue) && !core->master->cur_msg) {
                core->running = false;
                return 0;
            }
            if (limit == 0)
                break;
        }
        msleep(10);
    }
    dev_warn(&core->master->dev, "could not stop message queue\n");
    return -EBUSY;
}

// The pump thread is stopped once its queue is; one that could not be
// stopped is left running, as 4.4 leaves it, and is stopped when the
// master is released (stop_pump).
void destroy_queue(struct spi_master *master)
{
    MasterCore *core = core_of(master);
    if (stop_queue(core)) {
        dev_err(&master->dev, "problem destroying queue\n");
        dev_err(&master->dev, "queue remove failed\n");
        return;
    }
    stop_pump(core);
    master->queued = false;
}

// ---- checks before a driver is asked ----

int validate_bits_per_word(struct spi_master *master, u8 bits_per_word)
{
    if (master->bits_per_word_mask) {
        if (bits_per_word > 32)
            return -EINVAL;
        if (!(master->bits_per_word_mask & SPI_BPW_MASK(bits_per_word)))
            return -EINVAL;
    }
    return 0;
}

int check_nbits(u8 nbits, u16 mode, u16 dual, u16 quad)
{
    if (nbits != SPI_NBITS_SINGLE && nbits != SPI_NBITS_DUAL && nbits != SPI_NBITS_QUAD)
        return -EINVAL;
    if (nbits == SPI_NBITS_DUAL && !(mode & (dual | quad)))
        return -EINVAL;
    if (nbits == SPI_NBITS_QUAD && !(mode & quad))
        return -EINVAL;
    return 0;
}

// Fills in each transfer's defaults from the device and the master and
// refuses what the master cannot do, as __spi_validate does.
int validate_message(struct spi_device *spi, struct spi_message *message)
{
    struct spi_master *master = spi->master;
    struct spi_transfer *xfer;

    if (list_empty(&message->transfers))
        return -EINVAL;
    if ((master->flags & SPI_MASTER_HALF_DUPLEX) || (spi->mode & SPI_3WIRE)) {
        list_for_each_entry(xfer, &message->transfers, transfer_list)
        {
            if (xfer->rx_buf && xfer->tx_buf)
                return -EINVAL;
            if ((master->flags & SPI_MASTER_NO_TX) && xfer->tx_buf)
                return -EINVAL;
            if ((master->flags & SPI_MASTER_NO_RX) && xfer->rx_buf)
                return -EINVAL;
        }
    }
    message->frame_length = 0;
    list_for_each_entry(xfer, &message->transfers, transfer_list)
    {
        message->frame_length += xfer->len;
        if (!xfer->bits_per_word)
            xfer->bits_per_word = spi->bits_per_word;
        if (!xfer->speed_hz)
            xfer->speed_hz = spi->max_speed_hz;
        if (!xfer->speed_hz)
            xfer->speed_hz = master->max_speed_hz;
        if (master->max_speed_hz && xfer->speed_hz > master->max_speed_hz)
            xfer->speed_hz = master->max_speed_hz;
        if (validate_bits_per_word(master, xfer->bits_per_word))
            return -EINVAL;
        // A transfer is whole words of a power-of-two number of bytes.
        unsigned w_size = xfer->bits_per_word <= 8 ? 1 : xfer->bits_per_word <= 16 ? 2 : 4;
        if (xfer->len % w_size)
            return -EINVAL;
        if (xfer->speed_hz && master->min_speed_hz && xfer->speed_hz < master->min_speed_hz)
            return -EINVAL;
        if (xfer->tx_buf && !xfer->tx_nbits)
            xfer->tx_nbits = SPI_NBITS_SINGLE;
        if (xfer->rx_buf && !xfer->rx_nbits)
            xfer->rx_nbits = SPI_NBITS_SINGLE;
        if (xfer->tx_buf && check_nbits(xfer->tx_nbits, spi->mode, SPI_TX_DUAL, SPI_TX_QUAD))
            return -EINVAL;
        if (xfer->rx_buf && check_nbits(xfer->rx_nbits, spi->mode, SPI_RX_DUAL, SPI_RX_QUAD))
            return -EINVAL;
    }
    message->status = -EINPROGRESS;
    return 0;
}

void spi_complete(void *arg) { complete(static_cast<struct completion *>(arg)); }

// ---- devices ----

void spi_device_release(struct device *dev)
{
    struct spi_device *spi = to_spi_device(dev);
    // 4.4 lets the master clean up at the device's last reference.
    if (spi->master->cleanup)
        spi->master->cleanup(spi);
    spi_master_put(spi->master);
    kfree(spi);
}

int spi_dev_check(struct device *dev, void *data)
{
    struct spi_device *spi = to_spi_device(dev);
    struct spi_device *new_spi = static_cast<struct spi_device *>(data);
    if (spi->master == new_spi->master && spi->chip_select == new_spi->chip_select)
        return -EBUSY;
    return 0;
}

// Serialises the additions of devices, so that two cannot take one chip
// select; held across the setup call, as in the kernel.
DEFINE_MUTEX(spi_add_lock);

int unregister_child(struct device *dev, void *)
{
    spi_unregister_device(to_spi_device(dev));
    return 0;
}

int master_has_number(struct device *dev, const void *data)
{
    struct spi_master *master = container_of(dev, struct spi_master, dev);
    return master->bus_num == *static_cast<const u16 *>(data);
}

std::atomic<int> dyn_bus_id{(1 << 15) - 1};

} // namespace

namespace kern::spi {

struct bus_type *bus() { return &spi_bus_type; }

bool init()
{
    static std::once_flag once;
    std::call_once(once, [] {
        spi_ready = kern::register_bus(&spi_bus_type) == 0 && class_register(&spi_master_class) == 0;
        if (!spi_ready)
            printk(KERN_ERR "spi: cannot register the spi bus\n");
    });
    return spi_ready;
}

} // namespace kern::spi

extern "C" {

struct spi_master *spi_alloc_master(struct device *dev, unsigned size)
{
    if (!dev)
        return nullptr;
    auto *master = static_cast<struct spi_master *>(kzalloc(sizeof(struct spi_master) + size, GFP_KERNEL));
    if (!master)
        return nullptr;
    device_initialize(&master->dev);
    master->bus_num = -1;
    master->num_chipselect = 1;
    master->dev.klass = &spi_master_class;
    master->dev.parent = dev;
    spi_master_set_devdata(master, &master[1]);
    return master;
}

int spi_register_master(struct spi_master *master)
{
    if (!master->dev.parent)
        return -ENODEV;
    if (!kern::spi::init())
        return -ENODEV;
    if (master->num_chipselect == 0)
        return -EINVAL;
    if (!master->transfer && !master->transfer_one_message)
        return -EINVAL;
    if (kern::should_fail("spi_register_master"))
        return -ENOMEM;
    if (master->bus_num < 0)
        master->bus_num = static_cast<s16>(dyn_bus_id.fetch_sub(1) - 1);

    auto *core = new MasterCore;
    core->master = master;
    mutex_init(&core->bus_lock_mutex);
    master->kernel_private = core;
    dev_set_name(&master->dev, "spi%u", static_cast<unsigned>(master->bus_num));
    int status = device_add(&master->dev);
    if (status < 0)
        return status; // the record goes with the master's release
    if (master->transfer) {
        dev_info(master->dev.parent, "master is unqueued, this is deprecated\n");
        return 0;
    }
    status = init_queue(master);
    if (status)
        device_del(&master->dev);
    return status;
}

void spi_unregister_master(struct spi_master *master)
{
    if (master->queued)
        destroy_queue(master);
    device_for_each_child(&master->dev, nullptr, unregister_child);
    device_unregister(&master->dev);
}

struct spi_master *spi_busnum_to_master(u16 bus_num)
{
    if (!kern::spi::init() || kern::should_fail("spi_busnum_to_master"))
        return nullptr;
    // class_find_device's reference is the caller's.
    struct device *dev = class_find_device(&spi_master_class, nullptr, &bus_num, master_has_number);
    return dev ? container_of(dev, struct spi_master, dev) : nullptr;
}

struct spi_master *spi_master_get(struct spi_master *master)
{
    if (!master || !get_device(&master->dev))
        return nullptr;
    return master;
}

void spi_master_put(struct spi_master *master)
{
    if (master)
        put_device(&master->dev);
}

struct spi_device *spi_alloc_device(struct spi_master *master)
{
    if (!spi_master_get(master))
        return nullptr;
    auto *spi = static_cast<struct spi_device *>(kzalloc(sizeof(struct spi_device), GFP_KERNEL));
    if (!spi) {
        spi_master_put(master);
        return nullptr;
    }
    spi->master = master;
    spi->dev.parent = &master->dev;
    spi->dev.bus = &spi_bus_type;
    spi->dev.release = spi_device_release;
    spi->cs_gpio = -ENOENT;
    device_initialize(&spi->dev);
    return spi;
}

int spi_add_device(struct spi_device *spi)
{
    struct spi_master *master = spi->master;
    struct device *dev = &master->dev;

    if (spi->chip_select >= master->num_chipselect) {
        dev_err(dev, "cs%d >= max %d\n", spi->chip_select, master->num_chipselect);
        return -EINVAL;
    }
    dev_set_name(&spi->dev, "%s.%u", dev_name(&master->dev), spi->chip_select);

    guard(mutex)(&spi_add_lock);
    int status = bus_for_each_dev(&spi_bus_type, nullptr, spi, spi_dev_check);
    if (status) {
        dev_err(dev, "chipselect %d already in use\n", spi->chip_select);
        return status;
    }
    // The device is set up before any driver sees it.
    status = spi_setup(spi);
    if (status < 0) {
        dev_err(dev, "can't setup %s, status %d\n", dev_name(&spi->dev), status);
        return status;
    }
    status = device_add(&spi->dev);
    if (status < 0)
        dev_err(dev, "can't add %s, status %d\n", dev_name(&spi->dev), status);
    return status;
}

struct spi_device *spi_new_device(struct spi_master *master, struct spi_board_info *chip)
{
    struct spi_device *proxy = spi_alloc_device(master);
    if (!proxy)
        return nullptr;
    proxy->chip_select = static_cast<u8>(chip->chip_select);
    proxy->max_speed_hz = chip->max_speed_hz;
    proxy->mode = chip->mode;
    proxy->irq = chip->irq;
    std::snprintf(proxy->modalias, sizeof(proxy->modalias), "%s", chip->modalias);
    proxy->dev.platform_data = const_cast<void *>(chip->platform_data);
    proxy->controller_data = chip->controller_data;
    proxy->controller_state = nullptr;
    if (spi_add_device(proxy) < 0) {
        spi_dev_put(proxy);
        return nullptr;
    }
    return proxy;
}

void spi_unregister_device(struct spi_device *spi)
{
    if (spi)
        device_unregister(&spi->dev);
}

struct spi_device *spi_dev_get(struct spi_device *spi) { return spi && get_device(&spi->dev) ? spi : nullptr; }

void spi_dev_put(struct spi_device *spi)
{
    if (spi)
        put_device(&spi->dev);
}

int spi_setup(struct spi_device *spi)
{
    constexpr u16 multi = SPI_TX_DUAL | SPI_TX_QUAD | SPI_RX_DUAL | SPI_RX_QUAD;

    if (((spi->mode & SPI_TX_DUAL) && (spi->mode & SPI_TX_QUAD)) ||
        ((spi->mode & SPI_RX_DUAL) && (spi->mode & SPI_RX_QUAD))) {
        dev_err(&spi->dev, "setup: can not select dual and quad at the same time\n");
        return -EINVAL;
    }
    if ((spi->mode & SPI_3WIRE) && (spi->mode & multi))
        return -EINVAL;
    unsigned bad_bits = spi->mode & ~spi->master->mode_bits;
    unsigned ugly_bits = bad_bits & multi;
    if (ugly_bits) {
        dev_warn(&spi->dev, "setup: ignoring unsupported mode bits %x\n", ugly_bits);
        spi->mode &= static_cast<u16>(~ugly_bits);
        bad_bits &= ~ugly_bits;
    }
    if (bad_bits) {
        dev_err(&spi->dev, "setup: unsupported mode bits %x\n", bad_bits);
        return -EINVAL;
    }
    if (!spi->bits_per_word)
        spi->bits_per_word = 8;
    if (int status = validate_bits_per_word(spi->master, spi->bits_per_word))
        return status;
    if (!spi->max_speed_hz)
        spi->max_speed_hz = spi->master->max_speed_hz;
    return spi->master->setup ? spi->master->setup(spi) : 0;
}

int spi_async(struct spi_device *spi, struct spi_message *message)
{
    if (int status = validate_message(spi, message))
        return status;
    message->spi = spi;
    return spi->master->transfer(spi, message);
}

int spi_sync(struct spi_device *spi, struct spi_message *message)
{
    struct spi_master *master = spi->master;
    struct completion done;

    if (int status = validate_message(spi, message))
        return status;
    init_completion(&done);
    message->complete = spi_complete;
    message->context = &done;
    message->spi = spi;

    int status;
    bool queued = master->transfer == spi_queued_transfer;
    {
        MasterCore *core = core_of(master);
        guard(mutex)(&core->bus_lock_mutex);
        status = queued ? queue_message(spi, message, false) : master->transfer(spi, message);
    }
    if (status == 0) {
        // An idle master runs the message in the caller's thread.
        if (queued)
            pump_messages(core_of(master));
        wait_for_completion(&done);
        status = message->status;
    }
    message->context = nullptr;
    return status;
}

void spi_finalize_current_message(struct spi_master *master)
{
    MasterCore *core = core_of(master);
    struct spi_message *mesg;
    {
        std::lock_guard hold(core->queue_lock);
        mesg = master->cur_msg;
        master->cur_msg = nullptr;
        queue_kthread_work(&core->kworker, &core->pump.work);
    }
    if (!mesg) {
        KERN_WARN("spi_finalize_current_message: %s holds no message\n", dev_name(&master->dev));
        return;
    }
    mesg->state = nullptr;
    if (mesg->complete)
        mesg->complete(mesg->context);
}

struct spi_message *spi_get_next_queued_message(struct spi_master *master)
{
    MasterCore *core = core_of(master);
    std::lock_guard hold(core->queue_lock);
    return list_empty(&core->queue) ? nullptr : list_first_entry(&core->queue, struct spi_message, queue);
}

int spi_register_driver(struct spi_driver *sdrv)
{
    if (!kern::spi::init())
        return -ENODEV;
    sdrv->driver.bus = &spi_bus_type;
    return driver_register(&sdrv->driver);
}

void spi_unregister_driver(struct spi_driver *sdrv) { driver_unregister(&sdrv->driver); }

} // extern "C"
