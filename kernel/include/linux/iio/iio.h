#pragma once
// The IIO core as an IIO driver sees it: a device allocated with room for the
// driver's own state, its channels, the read_raw (and write_raw) callbacks,
// and its registration as /sys/bus/iio/devices/iio:device<id>.
#include <linux/types.h>
#include <linux/atomic.h>
#include <linux/device.h>
#include <linux/iio/types.h>
#include <linux/kernel.h>
#include <linux/mutex.h>

struct iio_dev;
struct module;

// One channel. Each bit of info_mask_separate gives the channel a file of its
// own: in_voltage<channel>_raw for an indexed input voltage and
// IIO_CHAN_INFO_RAW.
struct iio_chan_spec {
	enum iio_chan_type type;
	int channel;
	int channel2;
	unsigned long address; // the driver's own, untouched by the core
	int scan_index;
	long info_mask_separate;
	const char *extend_name; // in_voltage0_<extend_name>_raw
	const char *datasheet_name;
	unsigned indexed : 1;
	unsigned output : 1;
};

// read_raw answers a read of one of the channel's files: a negative errno,
// or one of IIO_VAL_* saying how val and val2 are printed. write_raw, if
// given, takes a write (val2 holds the micro part); without it a write fails
// with -EINVAL.
struct iio_info {
	struct module *driver_module;
	const struct attribute_group *attrs; // the driver's own attributes, if any
	int (*read_raw)(struct iio_dev *indio_dev, struct iio_chan_spec const *chan, int *val, int *val2, long mask);
	int (*write_raw)(struct iio_dev *indio_dev, struct iio_chan_spec const *chan, int val, int val2, long mask);
};

#define INDIO_DIRECT_MODE 0x01

// id: the number in the device's name, iio:device<id>. The core gives each
// device the lowest free id when it is allocated; a driver may set another
// before iio_device_register, which names the device by it (or refuses with
// -EBUSY if another device holds it).
struct iio_dev {
	int id;
	int modes;
	int currentmode;
	struct device dev;
	struct mutex mlock;
	const struct iio_chan_spec *channels;
	int num_channels;
	const char *name;
	const struct iio_info *info;
	void *kernel_private; // the core's record
};

#define IIO_ALIGN 32

extern "C" {
// A device with sizeof_priv bytes for the driver (iio_priv), zeroed; null if
// there is no memory or no id. The devm_ form is freed when the driver
// unbinds from dev.
struct iio_dev *iio_device_alloc(int sizeof_priv);
void iio_device_free(struct iio_dev *indio_dev);
struct iio_dev *devm_iio_device_alloc(struct device *dev, int sizeof_priv);
// Frees it now, before the driver unbinds from dev.
void devm_iio_device_free(struct device *dev, struct iio_dev *indio_dev);
int iio_device_register(struct iio_dev *indio_dev);
void iio_device_unregister(struct iio_dev *indio_dev);
// Unregistered when the driver unbinds from dev.
int devm_iio_device_register(struct device *dev, struct iio_dev *indio_dev);
}

static inline void *iio_priv(const struct iio_dev *indio_dev)
{
	return (char *)indio_dev + ((sizeof(struct iio_dev) + IIO_ALIGN - 1) & ~(IIO_ALIGN - 1));
}
static inline struct iio_dev *iio_priv_to_dev(void *priv)
{
	return (struct iio_dev *)((char *)priv - ((sizeof(struct iio_dev) + IIO_ALIGN - 1) & ~(IIO_ALIGN - 1)));
}
static inline struct iio_dev *dev_to_iio_dev(struct device *dev) { return container_of(dev, struct iio_dev, dev); }
