// i2c-dev: /dev/i2c-<nr> for each adapter (major 89, minor the bus number,
// class "i2c-dev"), through which programs make transfers and SMBus
// transactions as Linux 4.4's i2c-dev lets them. Each open file carries an
// unregistered client of its own: the address I2C_SLAVE sets and the flags
// I2C_TENBIT and I2C_PEC set; it holds a reference on the adapter (and its
// driver's module) until it is closed.
#include <linux/compiler.h>
#include <linux/device.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/jiffies.h>
#include <linux/kernel.h>
#include <linux/printk.h>
#include <linux/slab.h>
#include <linux/uaccess.h>

#include "i2c_internal.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <mutex>

namespace {

constexpr int I2C_MINORS = 256;
constexpr size_t MAX_TRANSFER = 8192; // the most a read, write or message carries

ssize_t name_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%s\n", to_i2c_adapter(dev->parent)->name);
}
DEVICE_ATTR_RO(name);
struct attribute *i2c_attrs[] = {&dev_attr_name.attr, nullptr};
const struct attribute_group i2c_group = {.attrs = i2c_attrs};
const struct attribute_group *i2c_groups[] = {&i2c_group, nullptr};

struct device_class i2c_dev_class = {
    .name = "i2c-dev",
    .dev_groups = i2c_groups,
};

// kmalloc that gives a pointer for 0 bytes too, as the kernel's does.
void *alloc_bytes(size_t n) { return kmalloc(std::max<size_t>(n, 1), GFP_KERNEL); }

// The bytes at `from`, copied into the kernel, or an error pointer.
void *memdup_user(const void __user *from, size_t n)
{
    void *p = alloc_bytes(n);
    if (!p)
        return ERR_PTR<void>(-ENOMEM);
    if (copy_from_user(p, from, n)) {
        kfree(p);
        return ERR_PTR<void>(-EFAULT);
    }
    return p;
}

ssize_t i2cdev_read(struct file *file, char __user *buf, size_t count, loff_t *)
{
    auto *client = static_cast<struct i2c_client *>(file->private_data);
    count = std::min(count, MAX_TRANSFER);
    auto *tmp = static_cast<char *>(alloc_bytes(count));
    if (!tmp)
        return -ENOMEM;
    int ret = i2c_master_recv(client, tmp, static_cast<int>(count));
    if (ret >= 0)
        ret = copy_to_user(buf, tmp, count) ? -EFAULT : ret;
    kfree(tmp);
    return ret;
}

ssize_t i2cdev_write(struct file *file, const char __user *buf, size_t count, loff_t *)
{
    auto *client = static_cast<struct i2c_client *>(file->private_data);
    count = std::min(count, MAX_TRANSFER);
    void *tmp = memdup_user(buf, count);
    if (IS_ERR(tmp))
        return PTR_ERR(tmp);
    int ret = i2c_master_send(client, static_cast<const char *>(tmp), static_cast<int>(count));
    kfree(tmp);
    return ret;
}

int check_addr_fn(struct device *dev, void *addrp)
{
    struct i2c_client *client = i2c_verify_client(dev);
    if (!client || client->addr != *static_cast<unsigned long *>(addrp))
        return 0;
    return dev->driver ? -EBUSY : 0;
}

// An address is busy while a driver is bound to a client at it.
int i2cdev_check_addr(struct i2c_adapter *adap, unsigned long addr)
{
    return device_for_each_child(&adap->dev, &addr, check_addr_fn);
}

long i2cdev_ioctl_rdwr(struct i2c_client *client, unsigned nmsgs, struct i2c_msg *msgs)
{
    auto **data_ptrs = static_cast<u8 __user **>(alloc_bytes(nmsgs * sizeof(u8 __user *)));
    if (!data_ptrs) {
        kfree(msgs);
        return -ENOMEM;
    }
    long res = 0;
    unsigned i;
    for (i = 0; i < nmsgs; i++) {
        if (msgs[i].len > MAX_TRANSFER) {
            res = -EINVAL;
            break;
        }
        data_ptrs[i] = msgs[i].buf;
        void *buf = memdup_user(data_ptrs[i], msgs[i].len);
        if (IS_ERR(buf)) {
            res = PTR_ERR(buf);
            break;
        }
        msgs[i].buf = static_cast<u8 *>(buf);
        // A length read from the target needs room for the largest block,
        // and a first byte that says how many bytes come besides it.
        if (msgs[i].flags & I2C_M_RECV_LEN) {
            if (!(msgs[i].flags & I2C_M_RD) || msgs[i].len < 1 || msgs[i].buf[0] < 1 ||
                msgs[i].len < msgs[i].buf[0] + I2C_SMBUS_BLOCK_MAX) {
                i++;
                res = -EINVAL;
                break;
            }
            msgs[i].len = msgs[i].buf[0];
        }
    }
    if (res < 0) {
        for (unsigned j = 0; j < i; ++j)
            kfree(msgs[j].buf);
        kfree(data_ptrs);
        kfree(msgs);
        return res;
    }
    res = i2c_transfer(client->adapter, msgs, static_cast<int>(nmsgs));
    while (i-- > 0) {
        if (res >= 0 && (msgs[i].flags & I2C_M_RD) && copy_to_user(data_ptrs[i], msgs[i].buf, msgs[i].len))
            res = -EFAULT;
        kfree(msgs[i].buf);
    }
    kfree(data_ptrs);
    kfree(msgs);
    return res;
}

bool known_smbus_size(u32 size)
{
    switch (size) {
    case I2C_SMBUS_QUICK:
    case I2C_SMBUS_BYTE:
    case I2C_SMBUS_BYTE_DATA:
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
    case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_I2C_BLOCK_BROKEN:
    case I2C_SMBUS_I2C_BLOCK_DATA:
    case I2C_SMBUS_BLOCK_PROC_CALL:
        return true;
    }
    return false;
}

long i2cdev_ioctl_smbus(struct i2c_client *client, u8 read_write, u8 command, u32 size,
                        union i2c_smbus_data __user *data)
{
    if (!known_smbus_size(size))
        return -EINVAL;
    // READ and WRITE are 1 and 0, so this holds for the quick command too.
    if (read_write != I2C_SMBUS_READ && read_write != I2C_SMBUS_WRITE)
        return -EINVAL;
    if (size == I2C_SMBUS_QUICK || (size == I2C_SMBUS_BYTE && read_write == I2C_SMBUS_WRITE))
        return i2c_smbus_xfer(client->adapter, client->addr, client->flags, read_write, command, size, nullptr);
    if (!data)
        return -EINVAL;

    size_t datasize;
    if (size == I2C_SMBUS_BYTE_DATA || size == I2C_SMBUS_BYTE)
        datasize = sizeof(data->byte);
    else if (size == I2C_SMBUS_WORD_DATA || size == I2C_SMBUS_PROC_CALL)
        datasize = sizeof(data->word);
    else
        datasize = sizeof(data->block);

    union i2c_smbus_data temp = {};
    if (size == I2C_SMBUS_PROC_CALL || size == I2C_SMBUS_BLOCK_PROC_CALL || size == I2C_SMBUS_I2C_BLOCK_DATA ||
        read_write == I2C_SMBUS_WRITE) {
        if (copy_from_user(&temp, data, datasize))
            return -EFAULT;
    }
    if (size == I2C_SMBUS_I2C_BLOCK_BROKEN) {
        // The old form of the I2C block transaction: a read takes 32 bytes.
        size = I2C_SMBUS_I2C_BLOCK_DATA;
        if (read_write == I2C_SMBUS_READ)
            temp.block[0] = I2C_SMBUS_BLOCK_MAX;
    }
    long res = i2c_smbus_xfer(client->adapter, client->addr, client->flags, read_write, command, static_cast<int>(size),
                              &temp);
    if (!res && (size == I2C_SMBUS_PROC_CALL || size == I2C_SMBUS_BLOCK_PROC_CALL || read_write == I2C_SMBUS_READ)) {
        if (copy_to_user(data, &temp, datasize))
            return -EFAULT;
    }
    return res;
}

long i2cdev_rdwr(struct i2c_client *client, unsigned long arg)
{
    struct i2c_rdwr_ioctl_data rdwr_arg;
    if (copy_from_user(&rdwr_arg, reinterpret_cast<void __user *>(arg), sizeof(rdwr_arg)))
        return -EFAULT;
    // As 4.4: no messages at all is a transfer the adapter is asked to make
    // (6.1 refuses it with -EINVAL).
    if (rdwr_arg.nmsgs > I2C_RDWR_IOCTL_MAX_MSGS)
        return -EINVAL;
    void *msgs = memdup_user(rdwr_arg.msgs, rdwr_arg.nmsgs * sizeof(struct i2c_msg));
    if (IS_ERR(msgs))
        return PTR_ERR(msgs);
    return i2cdev_ioctl_rdwr(client, rdwr_arg.nmsgs, static_cast<struct i2c_msg *>(msgs));
}

long i2cdev_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
    auto *client = static_cast<struct i2c_client *>(file->private_data);

    switch (cmd) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        if (arg > 0x3ff || (!(client->flags & I2C_M_TEN) && arg > 0x7f))
            return -EINVAL;
        if (cmd == I2C_SLAVE && i2cdev_check_addr(client->adapter, arg))
            return -EBUSY;
        client->addr = static_cast<unsigned short>(arg);
        return 0;
    case I2C_TENBIT:
        if (arg)
            client->flags |= I2C_M_TEN;
        else
            client->flags &= ~I2C_M_TEN;
        return 0;
    case I2C_PEC:
        if (arg)
            client->flags |= I2C_CLIENT_PEC;
        else
            client->flags &= ~I2C_CLIENT_PEC;
        return 0;
    case I2C_FUNCS: {
        unsigned long funcs = i2c_get_functionality(client->adapter);
        return put_user(funcs, reinterpret_cast<unsigned long __user *>(arg));
    }
    case I2C_RDWR:
        return i2cdev_rdwr(client, arg);
    case I2C_SMBUS: {
        struct i2c_smbus_ioctl_data data_arg;
        if (copy_from_user(&data_arg, reinterpret_cast<void __user *>(arg), sizeof(data_arg)))
            return -EFAULT;
        return i2cdev_ioctl_smbus(client, data_arg.read_write, data_arg.command, data_arg.size, data_arg.data);
    }
    // 4.4 took any value here, and a negative count or timeout then made
    // transfers return without asking the adapter; the checks are 6.1's.
    // Neither kernel takes the bus lock for these: a transfer running
    // meanwhile sees the old value or the new one, never a torn one.
    case I2C_RETRIES:
        if (arg > INT_MAX)
            return -EINVAL;
        WRITE_ONCE(client->adapter->retries, static_cast<int>(arg));
        return 0;
    case I2C_TIMEOUT:
        if (arg > INT_MAX / 10)
            return -EINVAL;
        WRITE_ONCE(client->adapter->timeout, static_cast<int>(msecs_to_jiffies(static_cast<unsigned>(arg * 10))));
        return 0;
    default:
        return -ENOTTY;
    }
}

int i2cdev_open(struct inode *inode, struct file *file)
{
    unsigned int minor = iminor(inode);
    struct i2c_adapter *adap = i2c_get_adapter(static_cast<int>(minor));
    if (!adap)
        return -ENODEV;
    auto *client = static_cast<struct i2c_client *>(kzalloc(sizeof(struct i2c_client), GFP_KERNEL));
    if (!client) {
        i2c_put_adapter(adap);
        return -ENOMEM;
    }
    snprintf(client->name, I2C_NAME_SIZE, "i2c-dev %d", adap->nr);
    client->adapter = adap;
    file->private_data = client;
    return 0;
}

int i2cdev_release(struct inode *, struct file *file)
{
    auto *client = static_cast<struct i2c_client *>(file->private_data);
    i2c_put_adapter(client->adapter);
    kfree(client);
    file->private_data = nullptr;
    return 0;
}

const struct file_operations i2cdev_fops = {
    .read = i2cdev_read,
    .write = i2cdev_write,
    .unlocked_ioctl = i2cdev_ioctl,
    .open = i2cdev_open,
    .release = i2cdev_release,
};

std::mutex init_lock;
bool ready = false; // init_lock: the major and the class are registered

// i2c-dev comes up with the first adapter, as if loaded then; a failure is
// logged and tried again with the next.
bool i2c_dev_ready()
{
    std::lock_guard hold(init_lock);
    if (ready)
        return true;
    int res = register_chrdev(I2C_MAJOR, "i2c", &i2cdev_fops);
    if (res) {
        printk(KERN_ERR "i2c-dev: Driver Initialisation failed\n");
        return false;
    }
    res = class_register(&i2c_dev_class);
    if (res) {
        unregister_chrdev(I2C_MAJOR, "i2c");
        printk(KERN_ERR "i2c-dev: Driver Initialisation failed\n");
        return false;
    }
    ready = true;
    return true;
}

} // namespace

namespace kern::i2c {

void dev_attach_adapter(struct i2c_adapter *adap)
{
    if (!i2c_dev_ready())
        return;
    if (adap->nr >= I2C_MINORS) {
        printk(KERN_ERR "i2c-dev: Out of device minors (%d)\n", adap->nr);
        return;
    }
    struct device *dev =
        device_create(&i2c_dev_class, &adap->dev, MKDEV(I2C_MAJOR, adap->nr), nullptr, "i2c-%d", adap->nr);
    if (IS_ERR(dev))
        printk(KERN_ERR "i2c-dev: cannot make i2c-%d (%ld)\n", adap->nr, PTR_ERR(dev));
}

void dev_detach_adapter(struct i2c_adapter *adap)
{
    std::lock_guard hold(init_lock);
    if (ready && adap->nr < I2C_MINORS)
        device_destroy(&i2c_dev_class, MKDEV(I2C_MAJOR, adap->nr));
}

} // namespace kern::i2c
