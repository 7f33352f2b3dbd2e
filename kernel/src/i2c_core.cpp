// The I2C core: adapters ("i2c-<nr>") and their clients ("<nr>-<addr>") on
// the i2c bus, the drivers that bind to clients, and the transfers and SMBus
// transactions handed to an adapter's algorithm under its bus lock, as Linux
// 4.4's core makes them. SMBus transactions an adapter does not do itself
// (its smbus_xfer missing, or answering -EOPNOTSUPP) are emulated with plain
// messages, as the kernel emulates them.
#include <linux/compiler.h>
#include <linux/completion.h>
#include <linux/device.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/i2c.h>
#include <linux/jiffies.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/printk.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "device_core.hpp"
#include "fault_inject.hpp"
#include "i2c_internal.hpp"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace {

std::mutex core_lock;                    // the bus numbers in use
std::map<int, struct i2c_adapter *> idr; // core_lock: bus number -> adapter

int i2c_device_match(struct device *dev, struct device_driver *drv);
int i2c_device_probe(struct device *dev);
int i2c_device_remove(struct device *dev);
int i2c_device_uevent(struct device *dev, struct kobj_uevent_env *env);

struct bus_type i2c_bus_type = {
    .name = "i2c",
    .match = i2c_device_match,
    .uevent = i2c_device_uevent,
    .probe = i2c_device_probe,
    .remove = i2c_device_remove,
};

// The bus exists from the first adapter or driver on, as from boot on Linux.
bool i2c_bus_ready()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        ready = kern::register_bus(&i2c_bus_type) == 0;
        if (!ready)
            printk(KERN_ERR "i2c-core: cannot register the i2c bus\n");
    });
    return ready;
}

ssize_t name_show(struct device *dev, struct device_attribute *, char *buf);
ssize_t modalias_show(struct device *dev, struct device_attribute *, char *buf);
DEVICE_ATTR_RO(name);
DEVICE_ATTR_RO(modalias);

struct attribute *adapter_attrs[] = {&dev_attr_name.attr, nullptr};
const struct attribute_group adapter_group = {.attrs = adapter_attrs};
const struct attribute_group *adapter_groups[] = {&adapter_group, nullptr};
struct attribute *client_attrs[] = {&dev_attr_name.attr, &dev_attr_modalias.attr, nullptr};
const struct attribute_group client_group = {.attrs = client_attrs};
const struct attribute_group *client_groups[] = {&client_group, nullptr};

// The core's record of a registered adapter: deleting it waits for the
// adapter device's last reference.
struct AdapterCore {
    struct completion released;
};

AdapterCore *core_of(struct i2c_adapter *adap) { return static_cast<AdapterCore *>(adap->kernel_private); }

void i2c_adapter_dev_release(struct device *dev) { complete(&core_of(to_i2c_adapter(dev))->released); }

// Waits for the device's last reference, then forgets the record and the
// device, so that the adapter's memory can be registered again or freed.
void wait_released(struct i2c_adapter *adap)
{
    AdapterCore *core = core_of(adap);
    wait_for_completion(&core->released);
    delete core;
    adap->kernel_private = nullptr;
    std::memset(&adap->dev, 0, sizeof(adap->dev));
}
void i2c_client_dev_release(struct device *dev) { kfree(to_i2c_client(dev)); }

const struct device_type i2c_adapter_type = {
    .name = "i2c_adapter",
    .groups = adapter_groups,
    .release = i2c_adapter_dev_release,
};
const struct device_type i2c_client_type = {
    .name = "i2c_client",
    .groups = client_groups,
    .release = i2c_client_dev_release,
};

ssize_t name_show(struct device *dev, struct device_attribute *, char *buf)
{
    const char *name = dev->type == &i2c_client_type ? to_i2c_client(dev)->name : to_i2c_adapter(dev)->name;
    return snprintf(buf, PAGE_SIZE, "%s\n", name);
}

ssize_t modalias_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "i2c:%s\n", to_i2c_client(dev)->name);
}

const struct i2c_device_id *i2c_match_id(const struct i2c_device_id *id, const struct i2c_client *client)
{
    for (; id && id->name[0]; ++id)
        if (std::strcmp(client->name, id->name) == 0)
            return id;
    return nullptr;
}

// As 4.4 without device tree or ACPI: a driver binds by its id table only.
int i2c_device_match(struct device *dev, struct device_driver *drv)
{
    struct i2c_client *client = i2c_verify_client(dev);
    if (!client)
        return 0;
    return i2c_match_id(to_i2c_driver(drv)->id_table, client) != nullptr;
}

int i2c_device_probe(struct device *dev)
{
    struct i2c_client *client = i2c_verify_client(dev);
    if (!client)
        return 0;
    struct i2c_driver *driver = to_i2c_driver(dev->driver);
    if (!driver->probe || !driver->id_table)
        return -ENODEV;
    return driver->probe(client, i2c_match_id(driver->id_table, client));
}

int i2c_device_remove(struct device *dev)
{
    struct i2c_client *client = i2c_verify_client(dev);
    if (!client || !dev->driver)
        return 0;
    struct i2c_driver *driver = to_i2c_driver(dev->driver);
    return driver->remove ? driver->remove(client) : 0;
}

int i2c_device_uevent(struct device *dev, struct kobj_uevent_env *env)
{
    struct i2c_client *client = i2c_verify_client(dev);
    return client ? add_uevent_var(env, "MODALIAS=i2c:%s", client->name) : 0;
}

// 7-bit addresses 0x01..0x7f, ten-bit ones up to 0x3ff, as 4.4 checks them.
int check_client_addr_validity(const struct i2c_client *client)
{
    if (client->flags & I2C_CLIENT_TEN)
        return client->addr > 0x3ff ? -EINVAL : 0;
    return client->addr == 0x00 || client->addr > 0x7f ? -EINVAL : 0;
}

int addr_busy_fn(struct device *dev, void *addrp)
{
    struct i2c_client *client = i2c_verify_client(dev);
    return client && client->addr == *static_cast<unsigned short *>(addrp) ? -EBUSY : 0;
}

int register_adapter(struct i2c_adapter *adap)
{
    if (adap->name[0] == '\0') {
        printk(KERN_ERR "i2c-core: Attempt to register an adapter with no name!\n");
        return -EINVAL;
    }
    if (!adap->algo) {
        printk(KERN_ERR "i2c-core: Attempt to register adapter '%s' with no algo!\n", adap->name);
        return -EINVAL;
    }
    __mutex_init(&adap->bus_lock, "&adap->bus_lock");
    if (adap->timeout == 0)
        adap->timeout = HZ;
    auto *core = new AdapterCore{};
    init_completion(&core->released);
    adap->kernel_private = core;
    adap->dev.bus = &i2c_bus_type;
    adap->dev.type = &i2c_adapter_type;
    device_initialize(&adap->dev);
    dev_set_name(&adap->dev, "i2c-%d", adap->nr);
    if (int err = device_add(&adap->dev)) {
        put_device(&adap->dev);
        wait_released(adap);
        return err;
    }
    kern::i2c::dev_attach_adapter(adap);
    return 0;
}

// Takes the number, registers, and gives the number back if that fails.
int add_adapter_as(struct i2c_adapter *adap, int nr)
{
    adap->nr = nr;
    int err = register_adapter(adap);
    if (err) {
        std::lock_guard hold(core_lock);
        idr.erase(nr);
    }
    return err;
}

int unregister_client_fn(struct device *dev, void *)
{
    if (struct i2c_client *client = i2c_verify_client(dev))
        i2c_unregister_device(client);
    return 0;
}

} // namespace

extern "C" {

int i2c_add_adapter(struct i2c_adapter *adap)
{
    if (!adap || !i2c_bus_ready())
        return -EINVAL;
    if (kern::should_fail("i2c_add_adapter"))
        return -ENOMEM;
    int nr = 0;
    {
        std::lock_guard hold(core_lock);
        while (idr.count(nr))
            ++nr;
        idr[nr] = adap;
    }
    return add_adapter_as(adap, nr);
}

int i2c_add_numbered_adapter(struct i2c_adapter *adap)
{
    if (!adap || !i2c_bus_ready())
        return -EINVAL;
    if (adap->nr == -1)
        return i2c_add_adapter(adap);
    if (adap->nr < 0)
        return -EINVAL;
    if (kern::should_fail("i2c_add_adapter"))
        return -ENOMEM;
    {
        std::lock_guard hold(core_lock);
        if (!idr.emplace(adap->nr, adap).second)
            return -EBUSY;
    }
    return add_adapter_as(adap, adap->nr);
}

void i2c_del_adapter(struct i2c_adapter *adap)
{
    {
        std::lock_guard hold(core_lock);
        auto it = idr.find(adap->nr);
        if (it == idr.end() || it->second != adap)
            return; // 4.4 says so only at debug level
    }
    kern::i2c::dev_detach_adapter(adap);
    device_for_each_child(&adap->dev, nullptr, unregister_client_fn);
    // The adapter's memory is its driver's: wait for the last reference to
    // its device (an open /dev/i2c-N holds one) before handing it back.
    device_unregister(&adap->dev);
    wait_released(adap);
    {
        std::lock_guard hold(core_lock);
        idr.erase(adap->nr);
    }
}

struct i2c_adapter *i2c_get_adapter(int nr)
{
    std::lock_guard hold(core_lock);
    auto it = idr.find(nr);
    if (it == idr.end() || !kern::device_is_added(&it->second->dev))
        return nullptr;
    struct i2c_adapter *adap = it->second;
    if (!try_module_get(adap->owner))
        return nullptr;
    get_device(&adap->dev);
    return adap;
}

void i2c_put_adapter(struct i2c_adapter *adap)
{
    if (!adap)
        return;
    struct module *owner = adap->owner;
    put_device(&adap->dev);
    module_put(owner);
}

struct i2c_client *i2c_new_device(struct i2c_adapter *adap, struct i2c_board_info const *info)
{
    if (!adap || !info)
        return nullptr;
    if (kern::should_fail("i2c_new_device"))
        return nullptr;
    auto *client = static_cast<struct i2c_client *>(kzalloc(sizeof(struct i2c_client), GFP_KERNEL));
    if (!client)
        return nullptr;
    client->adapter = adap;
    client->dev.platform_data = info->platform_data;
    client->flags = info->flags;
    client->addr = info->addr;
    client->irq = info->irq;
    snprintf(client->name, sizeof(client->name), "%s", info->type);

    int status = check_client_addr_validity(client);
    if (status) {
        dev_err(&adap->dev, "Invalid %d-bit I2C address 0x%02hx\n", client->flags & I2C_CLIENT_TEN ? 10 : 7,
                client->addr);
        kfree(client);
        return nullptr;
    }
    unsigned short addr = client->addr;
    status = device_for_each_child(&adap->dev, &addr, addr_busy_fn);
    if (!status) {
        client->dev.parent = &adap->dev;
        client->dev.bus = &i2c_bus_type;
        client->dev.type = &i2c_client_type;
        device_initialize(&client->dev);
        dev_set_name(&client->dev, "%d-%04x", i2c_adapter_id(adap),
                     client->addr | ((client->flags & I2C_CLIENT_TEN) ? 0xa000 : 0));
        status = device_add(&client->dev);
        if (!status)
            return client;
        dev_err(&adap->dev, "Failed to register i2c client %s at 0x%02x (%d)\n", client->name, client->addr, status);
        put_device(&client->dev); // frees it
        return nullptr;
    }
    dev_err(&adap->dev, "Failed to register i2c client %s at 0x%02x (%d)\n", client->name, client->addr, status);
    kfree(client);
    return nullptr;
}

void i2c_unregister_device(struct i2c_client *client)
{
    if (client)
        device_unregister(&client->dev);
}

struct i2c_client *i2c_verify_client(struct device *dev)
{
    return dev && dev->type == &i2c_client_type ? to_i2c_client(dev) : nullptr;
}

int i2c_register_driver(struct module *owner, struct i2c_driver *driver)
{
    if (!driver || !i2c_bus_ready())
        return -EINVAL;
    driver->driver.owner = owner;
    driver->driver.bus = &i2c_bus_type;
    return driver_register(&driver->driver);
}

void i2c_del_driver(struct i2c_driver *driver) { driver_unregister(&driver->driver); }

void i2c_lock_adapter(struct i2c_adapter *adap) { mutex_lock(&adap->bus_lock); }
void i2c_unlock_adapter(struct i2c_adapter *adap) { mutex_unlock(&adap->bus_lock); }

// As 4.4: no check of the count (a transfer of no messages reaches the
// adapter; 6.1 refuses it with a warning); a result of -EAGAIN is tried
// again up to `retries` times within `timeout`.
int __i2c_transfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
    unsigned long orig_jiffies = jiffies;
    int ret = 0;
    for (int attempt = 0; attempt <= READ_ONCE(adap->retries); attempt++) {
        ret = adap->algo->master_xfer(adap, msgs, num);
        if (ret != -EAGAIN)
            break;
        if (time_after(jiffies, orig_jiffies + READ_ONCE(adap->timeout)))
            break;
    }
    return ret;
}

int i2c_transfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
    if (!adap->algo->master_xfer)
        return -EOPNOTSUPP;
    i2c_lock_adapter(adap);
    int ret = __i2c_transfer(adap, msgs, num);
    i2c_unlock_adapter(adap);
    return ret;
}

int i2c_master_send(const struct i2c_client *client, const char *buf, int count)
{
    struct i2c_msg msg = {
        .addr = client->addr,
        .flags = static_cast<__u16>(client->flags & I2C_M_TEN),
        .len = static_cast<__u16>(count),
        .buf = reinterpret_cast<__u8 *>(const_cast<char *>(buf)),
    };
    int ret = i2c_transfer(client->adapter, &msg, 1);
    return ret == 1 ? count : ret;
}

int i2c_master_recv(const struct i2c_client *client, char *buf, int count)
{
    struct i2c_msg msg = {
        .addr = client->addr,
        .flags = static_cast<__u16>((client->flags & I2C_M_TEN) | I2C_M_RD),
        .len = static_cast<__u16>(count),
        .buf = reinterpret_cast<__u8 *>(buf),
    };
    int ret = i2c_transfer(client->adapter, &msg, 1);
    return ret == 1 ? count : ret;
}

} // extern "C"
