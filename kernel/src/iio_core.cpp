// The IIO core: devices on the iio bus, named iio:device<id>, whose channels
// become files that call the driver's read_raw and write_raw, as Linux 4.4's
// core makes them.
#include <linux/device.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/iio/iio.h>
#include <linux/kernel.h>
#include <linux/printk.h>
#include <linux/slab.h>

#include "bug.hpp"
#include "device_core.hpp"
#include "devres.hpp"
#include "fault_inject.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

struct bus_type iio_bus_type = {
    .name = "iio",
};

// The bus exists from the first device on, as from boot on Linux.
bool iio_bus_ready()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        ready = kern::register_bus(&iio_bus_type) == 0;
        if (!ready)
            printk(KERN_ERR "iio: cannot register the iio bus\n");
    });
    return ready;
}

// The ids in use, as the kernel's IDA keeps them: the lowest free one is given.
std::mutex ida_lock;
std::set<int> ida; // ida_lock

int ida_get()
{
    std::lock_guard hold(ida_lock);
    int id = 0;
    while (ida.count(id))
        ++id;
    ida.insert(id);
    return id;
}
// An id that was never given out is left alone, with 4.4's warning.
void ida_remove(int id)
{
    std::lock_guard hold(ida_lock);
    if (!ida.erase(id))
        printk(KERN_WARNING "ida_remove called for id=%d which is not allocated.\n", id);
}

// A channel's file: which channel, and which of its values (the `mask` of
// read_raw).
struct iio_dev_attr {
    struct device_attribute dev_attr;
    const struct iio_chan_spec *c;
    long address;
    std::string name;
};

// The core's record of a device: the files made from its channels while it
// is registered.
struct IioCore {
    std::vector<std::unique_ptr<iio_dev_attr>> chan_attrs;
    struct attribute **attrs = nullptr; // kcalloc'd, null-ended: the channel group's
    struct attribute_group chan_group {};
    const struct attribute_group *groups[3] = {};
};

IioCore *core_of(const struct iio_dev *indio_dev) { return static_cast<IioCore *>(indio_dev->kernel_private); }

// In the order of enum iio_chan_type and enum iio_chan_info_enum.
const char *const type_names[] = {"voltage", "current",     "power",     "accel",     "anglvel",
                                  "magn",    "illuminance", "intensity", "proximity", "temp"};
const char *const info_postfix[] = {"raw", "input", "scale", "offset"};

iio_dev_attr *to_iio_attr(struct device_attribute *attr) { return reinterpret_cast<iio_dev_attr *>(attr); }

// The value as the core prints each kind; a kind it does not know prints
// nothing.
ssize_t format_value(char *buf, int type, int val, int val2)
{
    switch (type) {
    case IIO_VAL_INT:
        return snprintf(buf, PAGE_SIZE, "%d\n", val);
    case IIO_VAL_INT_PLUS_MICRO_DB:
    case IIO_VAL_INT_PLUS_MICRO: {
        const char *db = type == IIO_VAL_INT_PLUS_MICRO_DB ? " dB" : "";
        if (val2 < 0)
            return snprintf(buf, PAGE_SIZE, "-%d.%06u%s\n", std::abs(val), -val2, db);
        return snprintf(buf, PAGE_SIZE, "%d.%06u%s\n", val, val2, db);
    }
    case IIO_VAL_INT_PLUS_NANO:
        if (val2 < 0)
            return snprintf(buf, PAGE_SIZE, "-%d.%09u\n", std::abs(val), -val2);
        return snprintf(buf, PAGE_SIZE, "%d.%09u\n", val, val2);
    case IIO_VAL_FRACTIONAL: {
        long long tmp = val2 ? 1000000000LL * val / val2 : 0;
        int whole = static_cast<int>(tmp / 1000000000LL);
        int frac = static_cast<int>(tmp % 1000000000LL);
        if (frac < 0 && whole == 0)
            return snprintf(buf, PAGE_SIZE, "-0.%09u\n", std::abs(frac));
        return snprintf(buf, PAGE_SIZE, "%d.%09u\n", whole, std::abs(frac));
    }
    case IIO_VAL_FRACTIONAL_LOG2: {
        long long tmp = (static_cast<long long>(val) * 1000000000LL) >> val2;
        return snprintf(buf, PAGE_SIZE, "%d.%09u\n", static_cast<int>(tmp / 1000000000LL),
                        static_cast<unsigned>(std::abs(tmp % 1000000000LL)));
    }
    default:
        return 0;
    }
}

ssize_t read_channel_info(struct device *dev, struct device_attribute *attr, char *buf)
{
    struct iio_dev *indio_dev = dev_to_iio_dev(dev);
    iio_dev_attr *this_attr = to_iio_attr(attr);
    if (!indio_dev->info->read_raw)
        return -EINVAL;
    int val = 0, val2 = 0;
    int ret = indio_dev->info->read_raw(indio_dev, this_attr->c, &val, &val2, this_attr->address);
    if (ret < 0)
        return ret;
    return format_value(buf, ret, val, val2);
}

// "12" or "12.5": the integer part and the fraction in millionths.
int parse_fixpoint(const char *buf, int *val, int *val2)
{
    std::string text(buf);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    size_t dot = text.find('.');
    long whole;
    if (int err = kstrtol(text.substr(0, dot).c_str(), 10, &whole))
        return err;
    long micro = 0;
    if (dot != std::string::npos) {
        std::string frac = text.substr(dot + 1);
        if (frac.empty() || frac.size() > 6 || frac.find_first_not_of("0123456789") != std::string::npos)
            return -EINVAL;
        frac.resize(6, '0');
        micro = std::stol(frac);
        if (text[0] == '-')
            micro = -micro;
    }
    if (whole > INT_MAX || whole < INT_MIN)
        return -ERANGE;
    *val = static_cast<int>(whole);
    *val2 = static_cast<int>(micro);
    return 0;
}

ssize_t write_channel_info(struct device *dev, struct device_attribute *attr, const char *buf, size_t len)
{
    struct iio_dev *indio_dev = dev_to_iio_dev(dev);
    iio_dev_attr *this_attr = to_iio_attr(attr);
    if (!indio_dev->info->write_raw)
        return -EINVAL;
    int val, val2;
    if (int err = parse_fixpoint(buf, &val, &val2))
        return err;
    int ret = indio_dev->info->write_raw(indio_dev, this_attr->c, val, val2, this_attr->address);
    return ret ? ret : static_cast<ssize_t>(len);
}

ssize_t name_show(struct device *dev, struct device_attribute *, char *buf)
{
    return snprintf(buf, PAGE_SIZE, "%s\n", dev_to_iio_dev(dev)->name);
}
DEVICE_ATTR_RO(name);

// in_voltage0_raw: direction, type, index, extended name, the value's name.
std::string attr_name(const struct iio_chan_spec *chan, int info)
{
    std::string name = chan->output ? "out_" : "in_";
    name += type_names[chan->type];
    if (chan->indexed)
        name += std::to_string(chan->channel);
    if (chan->extend_name)
        name += std::string("_") + chan->extend_name;
    return name + "_" + info_postfix[info];
}

// The files of every channel's separate values, plus name. As 4.4 makes
// them, each is readable by all and writable by its owner, whether or not
// the driver can take a write. A name given twice is refused with -EBUSY.
int make_channel_attrs(struct iio_dev *indio_dev, IioCore *core, struct device *log_dev)
{
    const int nchan = indio_dev->channels ? indio_dev->num_channels : 0;
    for (int i = 0; i < nchan; ++i) {
        const struct iio_chan_spec *chan = &indio_dev->channels[i];
        if (chan->type < IIO_VOLTAGE || chan->type > IIO_TEMP)
            return -EINVAL;
        for (int info = IIO_CHAN_INFO_RAW; info <= IIO_CHAN_INFO_OFFSET; ++info) {
            if (!(chan->info_mask_separate & BIT(info)))
                continue;
            auto attr = std::make_unique<iio_dev_attr>();
            attr->name = attr_name(chan, info);
            for (const auto &other : core->chan_attrs) {
                if (other->name == attr->name) {
                    dev_err(log_dev, "tried to double register : %s\n", attr->name.c_str());
                    return -EBUSY;
                }
            }
            attr->c = chan;
            attr->address = info;
            attr->dev_attr.attr.name = attr->name.c_str();
            attr->dev_attr.attr.mode = 0644;
            attr->dev_attr.show = read_channel_info;
            attr->dev_attr.store = write_channel_info;
            core->chan_attrs.push_back(std::move(attr));
        }
    }
    const size_t count = core->chan_attrs.size() + (indio_dev->name ? 1 : 0);
    core->attrs = static_cast<struct attribute **>(kcalloc(count + 1, sizeof(struct attribute *), GFP_KERNEL));
    if (!core->attrs)
        return -ENOMEM;
    size_t n = 0;
    for (const auto &attr : core->chan_attrs)
        core->attrs[n++] = &attr->dev_attr.attr;
    if (indio_dev->name)
        core->attrs[n++] = &dev_attr_name.attr;
    core->chan_group.attrs = core->attrs;
    core->groups[0] = &core->chan_group;
    core->groups[1] = indio_dev->info->attrs;
    indio_dev->dev.groups = core->groups;
    return 0;
}

void free_channel_attrs(struct iio_dev *indio_dev, IioCore *core)
{
    indio_dev->dev.groups = nullptr;
    kfree(core->attrs);
    core->attrs = nullptr;
    core->chan_attrs.clear();
}

void iio_dev_release(struct device *dev)
{
    struct iio_dev *indio_dev = dev_to_iio_dev(dev);
    IioCore *core = core_of(indio_dev);
    // As 4.4: whatever the device holds now, not necessarily the id it was
    // given, goes back; a driver that changed it gives its own back first.
    ida_remove(indio_dev->id);
    mutex_destroy(&indio_dev->mlock);
    delete core;
    kfree(indio_dev);
}

const struct device_type iio_device_type = {
    .name = "iio_device",
    .release = iio_dev_release,
};

void devm_iio_device_release(void *data) { iio_device_free(static_cast<struct iio_dev *>(data)); }
void devm_iio_device_unreg(void *data) { iio_device_unregister(static_cast<struct iio_dev *>(data)); }

} // namespace

extern "C" {

struct iio_dev *iio_device_alloc(int sizeof_priv)
{
    if (sizeof_priv < 0 || !iio_bus_ready())
        return nullptr;
    size_t size = ((sizeof(struct iio_dev) + IIO_ALIGN - 1) & ~size_t{IIO_ALIGN - 1}) + sizeof_priv;
    auto *indio_dev = static_cast<struct iio_dev *>(kzalloc(size, GFP_KERNEL));
    if (!indio_dev)
        return nullptr;
    indio_dev->dev.type = &iio_device_type;
    indio_dev->dev.bus = &iio_bus_type;
    device_initialize(&indio_dev->dev);
    mutex_init(&indio_dev->mlock);
    indio_dev->kernel_private = new IioCore{};
    indio_dev->id = ida_get();
    dev_set_name(&indio_dev->dev, "iio:device%d", indio_dev->id);
    return indio_dev;
}

void iio_device_free(struct iio_dev *indio_dev)
{
    if (indio_dev)
        put_device(&indio_dev->dev);
}

struct iio_dev *devm_iio_device_alloc(struct device *dev, int sizeof_priv)
{
    struct iio_dev *indio_dev = iio_device_alloc(sizeof_priv);
    if (!indio_dev)
        return nullptr;
    if (devm_add_action(dev, devm_iio_device_release, indio_dev)) {
        iio_device_free(indio_dev);
        return nullptr;
    }
    return indio_dev;
}

// Frees a device from devm_iio_device_alloc before its driver unbinds; one
// that is not the device's managed one is a WARNING, as on Linux.
void devm_iio_device_free(struct device *dev, struct iio_dev *indio_dev)
{
    if (!kern::devres_release_action(dev, devm_iio_device_release, indio_dev))
        KERN_WARN("devm_iio_device_free: %s is not a managed IIO device of %s",
                  indio_dev ? dev_name(&indio_dev->dev) : "(null)", dev_name(dev));
}

int iio_device_register(struct iio_dev *indio_dev)
{
    if (!indio_dev || !core_of(indio_dev) || !indio_dev->info)
        return -EINVAL;
    IioCore *core = core_of(indio_dev);
    struct device *log_dev = indio_dev->dev.parent ? indio_dev->dev.parent : &indio_dev->dev;
    if (kern::should_fail("iio_device_register"))
        return -ENOMEM;
    // An id the driver set is its own affair: the core neither claims it
    // nor renames the device (4.4 made it the node's minor, which this
    // layer has no node for).
    if (int err = make_channel_attrs(indio_dev, core, log_dev)) {
        dev_err(log_dev, "Failed to register sysfs interfaces\n");
        free_channel_attrs(indio_dev, core);
        return err;
    }
    if (int err = device_add(&indio_dev->dev)) {
        free_channel_attrs(indio_dev, core);
        return err;
    }
    return 0;
}

// After it, the device's files are gone and no call reaches the driver:
// a read under way when it began has returned.
void iio_device_unregister(struct iio_dev *indio_dev)
{
    if (!indio_dev || !core_of(indio_dev))
        return;
    device_del(&indio_dev->dev);
    indio_dev->info = nullptr;
    free_channel_attrs(indio_dev, core_of(indio_dev));
}

int devm_iio_device_register(struct device *dev, struct iio_dev *indio_dev)
{
    if (int err = iio_device_register(indio_dev))
        return err;
    return devm_add_action_or_reset(dev, devm_iio_device_unreg, indio_dev);
}

} // extern "C"
