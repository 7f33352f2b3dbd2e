// spidev: the generic SPI driver, binding to devices whose modalias is
// "spidev" and giving each the node /dev/spidev<bus>.<cs> (major 153), with
// read, write and the SPI_IOC_* ioctls, as Linux 4.4's driver serves them.
// Each open file shares its device's bounce buffers of `bufsiz` bytes: what
// a program's pointers hold is copied in before the message and out after.
#include <linux/cleanup.h>
#include <linux/device.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/ioctl.h>
#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/printk.h>
#include <linux/slab.h>
#include <linux/spi/spi.h>
#include <linux/spi/spidev.h>
#include <linux/uaccess.h>

#include "fault_inject.hpp"
#include "spi_internal.hpp"

#include <bitset>
#include <climits>
#include <mutex>
#include <new>

namespace {

constexpr unsigned SPIDEV_MAJOR = 153;
constexpr unsigned N_SPI_MINORS = 32;
constexpr size_t bufsiz = 4096;

// The mode bits a program may set.
constexpr u32 SPI_MODE_MASK = SPI_CPHA | SPI_CPOL | SPI_CS_HIGH | SPI_LSB_FIRST | SPI_3WIRE | SPI_LOOP | SPI_NO_CS |
                              SPI_READY | SPI_TX_DUAL | SPI_TX_QUAD | SPI_RX_DUAL | SPI_RX_QUAD;

struct spidev_data {
    dev_t devt;
    // Guards spi, which goes null when the device is removed; held across
    // every call that uses the device (a message, a setup), as Linux holds
    // it from 6.2 on, so that the remove waits for them and nothing reaches
    // the master after spi_unregister_master. Taken before buf_lock.
    struct mutex spi_lock;
    struct spi_device *spi; // spi_lock
    struct list_head device_entry;
    struct mutex buf_lock; // the bounce buffers, and one message at a time
    unsigned users;        // device_list_lock
    u8 *tx_buffer;         // buf_lock; while users > 0
    u8 *rx_buffer;
    u32 speed_hz; // the rate a transfer without its own gets
};

LIST_HEAD(device_list);
DEFINE_MUTEX(device_list_lock);   // device_list, users, minors
std::bitset<N_SPI_MINORS> minors; // device_list_lock

struct device_class spidev_class = {.name = "spidev"};

// Under spi_lock, with the device present.
ssize_t spidev_sync(struct spidev_data *spidev, struct spi_message *message)
{
    int status = spi_sync(spidev->spi, message);
    return status == 0 ? static_cast<ssize_t>(message->actual_length) : status;
}

ssize_t spidev_sync_write(struct spidev_data *spidev, size_t len)
{
    struct spi_transfer t = {};
    struct spi_message m;
    t.tx_buf = spidev->tx_buffer;
    t.len = static_cast<unsigned>(len);
    t.speed_hz = spidev->speed_hz;
    spi_message_init(&m);
    spi_message_add_tail(&t, &m);
    return spidev_sync(spidev, &m);
}

ssize_t spidev_sync_read(struct spidev_data *spidev, size_t len)
{
    struct spi_transfer t = {};
    struct spi_message m;
    t.rx_buf = spidev->rx_buffer;
    t.len = static_cast<unsigned>(len);
    t.speed_hz = spidev->speed_hz;
    spi_message_init(&m);
    spi_message_add_tail(&t, &m);
    return spidev_sync(spidev, &m);
}

ssize_t spidev_read(struct file *filp, char __user *buf, size_t count, loff_t *)
{
    auto *spidev = static_cast<spidev_data *>(filp->private_data);
    if (count > bufsiz)
        return -EMSGSIZE;
    guard(mutex)(&spidev->spi_lock);
    if (!spidev->spi)
        return -ESHUTDOWN;
    guard(mutex)(&spidev->buf_lock);
    ssize_t status = spidev_sync_read(spidev, count);
    if (status > 0) {
        unsigned long missing = copy_to_user(buf, spidev->rx_buffer, static_cast<unsigned long>(status));
        if (missing == static_cast<unsigned long>(status))
            status = -EFAULT;
        else
            status -= static_cast<ssize_t>(missing);
    }
    return status;
}

ssize_t spidev_write(struct file *filp, const char __user *buf, size_t count, loff_t *)
{
    auto *spidev = static_cast<spidev_data *>(filp->private_data);
    if (count > bufsiz)
        return -EMSGSIZE;
    guard(mutex)(&spidev->spi_lock);
    if (!spidev->spi)
        return -ESHUTDOWN;
    guard(mutex)(&spidev->buf_lock);
    if (copy_from_user(spidev->tx_buffer, buf, count))
        return -EFAULT;
    return spidev_sync_write(spidev, count);
}

// One message of n transfers through the bounce buffers: the total length,
// or a negative errno.
int spidev_message(struct spidev_data *spidev, const struct spi_ioc_transfer *u_xfers, unsigned n_xfers)
{
    auto *k_xfers = static_cast<struct spi_transfer *>(kcalloc(n_xfers, sizeof(struct spi_transfer), GFP_KERNEL));
    if (!k_xfers)
        return -ENOMEM;
    struct spi_message msg;
    spi_message_init(&msg);

    int status = -EFAULT;
    u8 *tx_buf = spidev->tx_buffer;
    u8 *rx_buf = spidev->rx_buffer;
    unsigned long long total = 0, tx_total = 0, rx_total = 0;
    for (unsigned n = 0; n < n_xfers; n++) {
        struct spi_transfer *k_tmp = &k_xfers[n];
        const struct spi_ioc_transfer *u_tmp = &u_xfers[n];
        k_tmp->len = u_tmp->len;
        total += k_tmp->len;
        // The result is the total length: it must look like no error.
        if (total > INT_MAX || k_tmp->len > INT_MAX) {
            status = -EMSGSIZE;
            goto done;
        }
        if (u_tmp->rx_buf) {
            rx_total += k_tmp->len;
            if (rx_total > bufsiz) {
                status = -EMSGSIZE;
                goto done;
            }
            k_tmp->rx_buf = rx_buf;
            rx_buf += k_tmp->len;
        }
        if (u_tmp->tx_buf) {
            tx_total += k_tmp->len;
            if (tx_total > bufsiz) {
                status = -EMSGSIZE;
                goto done;
            }
            k_tmp->tx_buf = tx_buf;
            if (copy_from_user(tx_buf, reinterpret_cast<const void __user *>(u_tmp->tx_buf), u_tmp->len))
                goto done;
            tx_buf += k_tmp->len;
        }
        k_tmp->cs_change = !!u_tmp->cs_change;
        k_tmp->tx_nbits = u_tmp->tx_nbits;
        k_tmp->rx_nbits = u_tmp->rx_nbits;
        k_tmp->bits_per_word = u_tmp->bits_per_word;
        k_tmp->delay_usecs = u_tmp->delay_usecs;
        k_tmp->speed_hz = u_tmp->speed_hz ? u_tmp->speed_hz : spidev->speed_hz;
        spi_message_add_tail(k_tmp, &msg);
    }
    {
        ssize_t sync = spidev_sync(spidev, &msg);
        if (sync < 0) {
            status = static_cast<int>(sync);
            goto done;
        }
    }
    rx_buf = spidev->rx_buffer;
    for (unsigned n = 0; n < n_xfers; n++) {
        const struct spi_ioc_transfer *u_tmp = &u_xfers[n];
        if (!u_tmp->rx_buf)
            continue;
        if (copy_to_user(reinterpret_cast<void __user *>(u_tmp->rx_buf), rx_buf, u_tmp->len)) {
            status = -EFAULT;
            goto done;
        }
        rx_buf += u_tmp->len;
    }
    status = static_cast<int>(total);
done:
    kfree(k_xfers);
    return status;
}

// The transfers an SPI_IOC_MESSAGE(N) names, copied in: null for N = 0, an
// ERR_PTR for a request that is not one or a size that is no whole number
// of transfers.
struct spi_ioc_transfer *spidev_get_ioc_message(unsigned cmd, const void __user *arg, unsigned *n_ioc)
{
    if (_IOC_TYPE(cmd) != SPI_IOC_MAGIC || _IOC_NR(cmd) != _IOC_NR(SPI_IOC_MESSAGE(0)) || _IOC_DIR(cmd) != _IOC_WRITE)
        return static_cast<struct spi_ioc_transfer *>(ERR_PTR(-ENOTTY));
    unsigned tmp = _IOC_SIZE(cmd);
    if (tmp % sizeof(struct spi_ioc_transfer) != 0)
        return static_cast<struct spi_ioc_transfer *>(ERR_PTR(-EINVAL));
    *n_ioc = tmp / sizeof(struct spi_ioc_transfer);
    if (*n_ioc == 0)
        return nullptr;
    auto *ioc = static_cast<struct spi_ioc_transfer *>(kmalloc(tmp, GFP_KERNEL));
    if (!ioc)
        return static_cast<struct spi_ioc_transfer *>(ERR_PTR(-ENOMEM));
    if (copy_from_user(ioc, arg, tmp)) {
        kfree(ioc);
        return static_cast<struct spi_ioc_transfer *>(ERR_PTR(-EFAULT));
    }
    return ioc;
}

// A mode written whole (WR_MODE, WR_MODE32): only SPI_MODE_MASK's bits; a
// setup that refuses it restores the old mode.
long spidev_write_mode(struct spi_device *spi, u32 tmp)
{
    if (tmp & ~SPI_MODE_MASK)
        return -EINVAL;
    u16 save = spi->mode;
    tmp |= spi->mode & ~SPI_MODE_MASK;
    spi->mode = static_cast<u16>(tmp);
    int retval = spi_setup(spi);
    if (retval < 0)
        spi->mode = save;
    return retval;
}

long spidev_ioctl_locked(struct spidev_data *spidev, struct spi_device *spi, unsigned cmd, unsigned long arg)
{
    void __user *uarg = reinterpret_cast<void __user *>(arg);
    long retval;
    switch (cmd) {
    case SPI_IOC_RD_MODE:
        return put_user(static_cast<u8>(spi->mode & SPI_MODE_MASK), static_cast<u8 __user *>(uarg));
    case SPI_IOC_RD_MODE32:
        return put_user(static_cast<u32>(spi->mode & SPI_MODE_MASK), static_cast<u32 __user *>(uarg));
    case SPI_IOC_RD_LSB_FIRST:
        return put_user(static_cast<u8>((spi->mode & SPI_LSB_FIRST) ? 1 : 0), static_cast<u8 __user *>(uarg));
    case SPI_IOC_RD_BITS_PER_WORD:
        return put_user(spi->bits_per_word, static_cast<u8 __user *>(uarg));
    case SPI_IOC_RD_MAX_SPEED_HZ:
        return put_user(spidev->speed_hz, static_cast<u32 __user *>(uarg));
    case SPI_IOC_WR_MODE:
    case SPI_IOC_WR_MODE32: {
        u32 tmp = 0;
        if (cmd == SPI_IOC_WR_MODE) {
            u8 m;
            retval = get_user(m, static_cast<u8 __user *>(uarg));
            tmp = m;
        } else {
            retval = get_user(tmp, static_cast<u32 __user *>(uarg));
        }
        return retval ? retval : spidev_write_mode(spi, tmp);
    }
    case SPI_IOC_WR_LSB_FIRST: {
        u8 tmp;
        if ((retval = get_user(tmp, static_cast<u8 __user *>(uarg))))
            return retval;
        u16 save = spi->mode;
        if (tmp)
            spi->mode |= SPI_LSB_FIRST;
        else
            spi->mode &= static_cast<u16>(~SPI_LSB_FIRST);
        retval = spi_setup(spi);
        if (retval < 0)
            spi->mode = save;
        return retval;
    }
    case SPI_IOC_WR_BITS_PER_WORD: {
        u8 tmp;
        if ((retval = get_user(tmp, static_cast<u8 __user *>(uarg))))
            return retval;
        u8 save = spi->bits_per_word;
        spi->bits_per_word = tmp;
        retval = spi_setup(spi);
        if (retval < 0)
            spi->bits_per_word = save;
        return retval;
    }
    case SPI_IOC_WR_MAX_SPEED_HZ: {
        u32 tmp;
        if ((retval = get_user(tmp, static_cast<u32 __user *>(uarg))))
            return retval;
        // The rate is the setup call's only: the device keeps its own, and
        // the file remembers the new one for its transfers.
        u32 save = spi->max_speed_hz;
        spi->max_speed_hz = tmp;
        retval = spi_setup(spi);
        if (retval >= 0)
            spidev->speed_hz = tmp;
        spi->max_speed_hz = save;
        return retval;
    }
    default: {
        unsigned n_ioc = 0;
        struct spi_ioc_transfer *ioc = spidev_get_ioc_message(cmd, uarg, &n_ioc);
        if (IS_ERR(ioc))
            return PTR_ERR(ioc);
        if (!ioc)
            return 0; // no transfers: nothing to do
        retval = spidev_message(spidev, ioc, n_ioc);
        kfree(ioc);
        return retval;
    }
    }
}

long spidev_ioctl(struct file *filp, unsigned int cmd, unsigned long arg)
{
    if (_IOC_TYPE(cmd) != SPI_IOC_MAGIC)
        return -ENOTTY;
    auto *spidev = static_cast<spidev_data *>(filp->private_data);
    // spi_lock for the whole request: the remove waits for it, so that no
    // setup call reaches the master once it is unregistered.
    guard(mutex)(&spidev->spi_lock);
    struct spi_device *spi = spidev->spi;
    if (!spi)
        return -ESHUTDOWN;
    // buf_lock also keeps two programs' settings and messages apart.
    guard(mutex)(&spidev->buf_lock);
    return spidev_ioctl_locked(spidev, spi, cmd, arg);
}

int spidev_open(struct inode *inode, struct file *filp)
{
    guard(mutex)(&device_list_lock);
    struct spidev_data *spidev = nullptr, *entry;
    list_for_each_entry(entry, &device_list, device_entry)
    {
        if (entry->devt == inode->i_rdev) {
            spidev = entry;
            break;
        }
    }
    if (!spidev) {
        pr_debug("spidev: nothing for minor %d\n", iminor(inode));
        return -ENXIO;
    }
    if (!spidev->tx_buffer) {
        spidev->tx_buffer = static_cast<u8 *>(kmalloc(bufsiz, GFP_KERNEL));
        if (!spidev->tx_buffer)
            return -ENOMEM;
    }
    if (!spidev->rx_buffer) {
        spidev->rx_buffer = static_cast<u8 *>(kmalloc(bufsiz, GFP_KERNEL));
        if (!spidev->rx_buffer) {
            kfree(spidev->tx_buffer);
            spidev->tx_buffer = nullptr;
            return -ENOMEM;
        }
    }
    spidev->users++;
    filp->private_data = spidev;
    return nonseekable_open(inode, filp);
}

void spidev_free(struct spidev_data *spidev)
{
    mutex_destroy(&spidev->buf_lock);
    mutex_destroy(&spidev->spi_lock);
    delete spidev;
}

// The last close frees the buffers, and the record too if the device has
// gone meanwhile; otherwise the rate a program set goes back to the
// device's, as 4.4 does. Under device_list_lock, which the remove takes
// before it clears spi: of the two, exactly one frees the record.
int spidev_release(struct inode *, struct file *filp)
{
    auto *spidev = static_cast<spidev_data *>(filp->private_data);
    guard(mutex)(&device_list_lock);
    filp->private_data = nullptr;
    if (--spidev->users)
        return 0;
    kfree(spidev->tx_buffer);
    spidev->tx_buffer = nullptr;
    kfree(spidev->rx_buffer);
    spidev->rx_buffer = nullptr;
    bool gone;
    scoped_guard(mutex, &spidev->spi_lock)
    {
        gone = spidev->spi == nullptr;
        if (!gone)
            spidev->speed_hz = spidev->spi->max_speed_hz;
    }
    if (gone)
        spidev_free(spidev);
    return 0;
}

const struct file_operations spidev_fops = {
    .owner = nullptr,
    .read = spidev_read,
    .write = spidev_write,
    .unlocked_ioctl = spidev_ioctl,
    .compat_ioctl = spidev_ioctl,
    .open = spidev_open,
    .release = spidev_release,
};

int spidev_probe(struct spi_device *spi)
{
    auto *spidev = new (std::nothrow) spidev_data{};
    if (!spidev || kern::should_fail("kmalloc")) { // kzalloc, as the kernel allocates it
        delete spidev;
        return -ENOMEM;
    }
    spidev->spi = spi;
    mutex_init(&spidev->spi_lock);
    mutex_init(&spidev->buf_lock);
    INIT_LIST_HEAD(&spidev->device_entry);

    guard(mutex)(&device_list_lock);
    size_t minor = 0;
    while (minor < N_SPI_MINORS && minors.test(minor))
        ++minor;
    if (minor >= N_SPI_MINORS) {
        pr_debug("spidev: no minor number available!\n");
        spidev_free(spidev);
        return -ENODEV;
    }
    spidev->devt = MKDEV(SPIDEV_MAJOR, static_cast<unsigned>(minor));
    struct device *dev = device_create(&spidev_class, &spi->dev, spidev->devt, spidev, "spidev%d.%d",
                                       spi->master->bus_num, spi->chip_select);
    if (IS_ERR(dev)) {
        spidev_free(spidev);
        return static_cast<int>(PTR_ERR(dev));
    }
    minors.set(minor);
    list_add(&spidev->device_entry, &device_list);
    spidev->speed_hz = spi->max_speed_hz;
    spi_set_drvdata(spi, spidev);
    return 0;
}

// Open files keep the record; their calls find the device gone
// (-ESHUTDOWN). device_list_lock first, as Linux takes it since its fix:
// a last close between clearing spi and taking the lock would free the
// record, and this would free it again.
int spidev_remove(struct spi_device *spi)
{
    auto *spidev = static_cast<spidev_data *>(spi_get_drvdata(spi));
    guard(mutex)(&device_list_lock);
    scoped_guard(mutex, &spidev->spi_lock) spidev->spi = nullptr;
    list_del(&spidev->device_entry);
    device_destroy(&spidev_class, spidev->devt);
    minors.reset(MINOR(spidev->devt));
    if (spidev->users == 0)
        spidev_free(spidev);
    return 0;
}

struct spi_driver spidev_spi_driver = {
    .probe = spidev_probe,
    .remove = spidev_remove,
    .driver = {.name = "spidev"},
};

} // namespace

namespace kern::spi {

void spidev_init()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (!init())
            return;
        if (register_chrdev(SPIDEV_MAJOR, "spi", &spidev_fops) < 0) {
            printk(KERN_ERR "spidev: cannot register major %u\n", SPIDEV_MAJOR);
            return;
        }
        if (class_register(&spidev_class) || spi_register_driver(&spidev_spi_driver))
            printk(KERN_ERR "spidev: cannot register its class and driver\n");
    });
}

} // namespace kern::spi
