// The ADC inputs: each of the co-processor's ten analog inputs is an IIO
// device of its own, "quorvel-adc", with one raw voltage channel. Input i is
// iio:device<i + 1>. Which inputs exist follows dev_adc when the driver
// binds; the configuration device's enable-all registers the rest.
#include <linux/cleanup.h>
#include <linux/iio/iio.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"

namespace {

constexpr int QUORVEL_ADC_INPUTS = 10;
constexpr long QUORVEL_ADC_ALL = 0xFFF;	 // dev_adc once every input is registered
constexpr long QUORVEL_ADC_MASK = 0x3FF; // one bit per input
constexpr u8 ADC_REPLY_LEN = 7;		 // a two-byte sample, high byte first

// Each device's private area.
struct berlin2_adc_priv {
	int real_number;  // the id the IIO core gave the device at allocation
	int remap_number; // input + 1: the device's id and name number
};

// The inputs' devices and the platform device they hang from. Changed by the
// probe and remove (device lock held) and by other_adc_register (a program's
// ioctl), which may meet when the driver is unbound through sysfs or the
// module unloads while a program asks for enable-all: adc_lock orders them.
// Reads take no lock: a device's read only uses its own private area, and
// unregistration waits for the reads under way.
DEFINE_MUTEX(adc_lock);
struct iio_dev *indio_dev[QUORVEL_ADC_INPUTS];
struct berlin2_adc_priv *priv[QUORVEL_ADC_INPUTS];
struct platform_device *adc_pdev;
int adc_historyID = 1;	     // counts the devices allocated since load
unsigned int adc_registered; // bit i: indio_dev[i] is registered

#define QUORVEL_ADC_CHANNEL                                                                                            \
	{                                                                                                              \
		.type = IIO_VOLTAGE, .channel = 0, .info_mask_separate = BIT(IIO_CHAN_INFO_RAW),                       \
		.datasheet_name = "channel0", .indexed = 1,                                                            \
	}

const struct iio_chan_spec adc_devices[QUORVEL_ADC_INPUTS][1] = {
	{ QUORVEL_ADC_CHANNEL }, { QUORVEL_ADC_CHANNEL }, { QUORVEL_ADC_CHANNEL }, { QUORVEL_ADC_CHANNEL },
	{ QUORVEL_ADC_CHANNEL }, { QUORVEL_ADC_CHANNEL }, { QUORVEL_ADC_CHANNEL }, { QUORVEL_ADC_CHANNEL },
	{ QUORVEL_ADC_CHANNEL }, { QUORVEL_ADC_CHANNEL },
};

// One exchange per read; nothing is cached. A reply that fails its check
// (none at all, malformed, a bad CRC, or a refusal) is -EIO, not a sample.
int adc_read_raw(struct iio_dev *iio, struct iio_chan_spec const *chan, int *val, int *val2, long mask)
{
	const auto *p = static_cast<const berlin2_adc_priv *>(iio_priv(iio));
	u8 _data[1] = { static_cast<u8>(p->remap_number - 1) };
	u8 rx_buf[ADC_REPLY_LEN];
	struct quorvel_request req = {
		.type = DEV_TYPE_ADC,
		.cmd = CMD_READ,
		.payload = _data,
		.len = sizeof(_data),
		.sleep_ms = 0,
	};

	if (quorvel_exchange(&req, rx_buf, sizeof(rx_buf)) != 0)
		return -EIO;
	*val = rx_buf[3] * 256 + rx_buf[4];
	return IIO_VAL_INT;
}

const struct iio_info berlin2_adc_info = {
	.driver_module = THIS_MODULE,
	.read_raw = adc_read_raw,
};

// Allocates input i's device and fills it in, under adc_lock; false when
// there is no memory.
bool quorvel_adc_alloc_input(int i)
{
	struct iio_dev *iio = devm_iio_device_alloc(&adc_pdev->dev, sizeof(struct berlin2_adc_priv));

	if (!iio)
		return false;
	indio_dev[i] = iio;
	priv[i] = static_cast<berlin2_adc_priv *>(iio_priv(iio));
	priv[i]->real_number = iio->id;
	adc_historyID++;
	iio->id = i + 1;
	priv[i]->remap_number = i + 1;
	dev_set_name(&iio->dev, "iio:device%d", i + 1);

	iio->dev.parent = &adc_pdev->dev;
	iio->name = dev_name(&adc_pdev->dev);
	iio->modes = INDIO_DIRECT_MODE;
	iio->info = &berlin2_adc_info;
	iio->channels = adc_devices[i];
	iio->num_channels = 1;
	return true;
}

// Registers the device allocated for input i, under adc_lock. One that does
// not register is freed at once: it holds the number the input needs, and a
// later enable-all tries the input again. The core frees whatever id the
// device holds, so the one it handed out goes back in first.
int quorvel_adc_register_input(int i)
{
	int ret = iio_device_register(indio_dev[i]);

	if (ret) {
		indio_dev[i]->id = priv[i]->real_number;
		devm_iio_device_free(&adc_pdev->dev, indio_dev[i]);
		indio_dev[i] = nullptr;
		priv[i] = nullptr;
		return ret;
	}
	adc_registered |= 1u << i;
	return 0;
}

// The core's own id goes back into the device before it goes, so that the
// core releases the number it handed out.
void quorvel_adc_unregister_input(int i)
{
	indio_dev[i]->id = priv[i]->real_number;
	iio_device_unregister(indio_dev[i]);
	adc_registered &= ~(1u << i);
}

// Unregisters every registered input, newest first, and forgets the devices
// (their memory is the platform device's).
void quorvel_adc_unregister_all(void)
{
	for (int i = QUORVEL_ADC_INPUTS - 1; i >= 0; i--) {
		if (adc_registered & (1u << i))
			quorvel_adc_unregister_input(i);
		indio_dev[i] = nullptr;
		priv[i] = nullptr;
	}
}

// A device whose registration fails is left out (the others still register);
// an allocation that fails fails the probe, which then leaves nothing behind.
int quorvel_adc_probe(struct platform_device *pdev)
{
	long inputs = READ_ONCE(dev_adc);

	guard(mutex)(&adc_lock);
	adc_pdev = pdev;
	for (int i = 0; i < QUORVEL_ADC_INPUTS; i++) {
		if (!(inputs & (1L << i)))
			continue;
		if (!quorvel_adc_alloc_input(i)) {
			quorvel_adc_unregister_all();
			adc_pdev = nullptr;
			return -ENOMEM;
		}
		(void)quorvel_adc_register_input(i);
	}
	return 0;
}

int quorvel_adc_remove(struct platform_device *pdev)
{
	guard(mutex)(&adc_lock);
	quorvel_adc_unregister_all();
	adc_pdev = nullptr;
	return 0;
}

// The device is static: nothing to free when it goes.
void quorvel_adc_release(struct device *dev) {}

struct platform_device quorvel_adc_device =
	quorvel_platform_device("quorvel-adc", PLATFORM_DEVID_NONE, quorvel_adc_release);

struct platform_driver quorvel_adc_driver =
	quorvel_platform_driver("quorvel-adc", quorvel_adc_probe, quorvel_adc_remove);

} // namespace

// The inputs not yet registered are those without a device, so that an
// input whose registration failed is tried again by the next call. Without
// a bound platform device nothing is registered and dev_adc is left for
// the next probe: -ENODEV.
int other_adc_register(void)
{
	int ret = 0;

	guard(mutex)(&adc_lock);
	if (!adc_pdev)
		return -ENODEV;
	WRITE_ONCE(dev_adc, QUORVEL_ADC_ALL);
	for (int i = 0; i < QUORVEL_ADC_INPUTS; i++) {
		if (adc_registered & (1u << i))
			continue;
		if (!quorvel_adc_alloc_input(i))
			return -ENOMEM;
		ret = quorvel_adc_register_input(i);
	}
	return ret;
}

// Bits 16 and 17 stand for inputs 8 and 9.
int quorvel_linux_adc_init(void)
{
	long mask = READ_ONCE(dev_adc);

	if (mask & (1L << 16))
		mask |= 1L << 8;
	if (mask & (1L << 17))
		mask |= 1L << 9;
	WRITE_ONCE(dev_adc, mask);
	return quorvel_platform_start(&quorvel_adc_device, &quorvel_adc_driver);
}

void quorvel_linux_adc_exit(void) { quorvel_platform_stop(&quorvel_adc_device, &quorvel_adc_driver); }
