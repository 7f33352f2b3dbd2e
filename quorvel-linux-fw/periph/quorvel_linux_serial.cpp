// The virtual serial port: ttySP0 (4:70) on the co-processor's own UART.
// A tty driver for six lines of which the platform probe creates line 0;
// writes and line settings become exchanges with the co-processor, and
// received bytes arrive from the receive poller (uart_recv) or from the
// "vtty_receive_buff" attribute.
#include <linux/cleanup.h>
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/slab.h>
#include <linux/sysfs.h>
#include <linux/tty.h>
#include <linux/tty_flip.h>

#include "core/quorvel_linux_fw.h"
#include "core/quorvel_platform.h"
#include "link/quorvel_protocol.h"
#include "periph/quorvel_linux_serial.h"

namespace {

constexpr int QUORVEL_TTY_MINOR_START = 70;
constexpr u8 QUORVEL_LINE_DATA_BITS = 8;

struct tty_driver *quorvel_tty_driver;
struct quorvel_tty_port *quorvel_tty_port_table[QUORVEL_TTY_LINES];
// The port uart_recv feeds. Set once the probe has made the line, cleared
// by remove, so that it never points at a freed port.
struct quorvel_tty_port *active_tty_port;
// Guards quorvel_tty_port_table and active_tty_port against their readers
// (install, uart_recv) while probe and remove change them; a reader takes
// its port reference under it.
DEFINE_SPINLOCK(quorvel_tty_lock);

struct quorvel_tty_port *to_quorvel_port(struct tty_port *port)
{
	return container_of(port, struct quorvel_tty_port, port);
}

void quorvel_tty_port_get(struct quorvel_tty_port *qport) { tty_port_get(&qport->port); }
void quorvel_tty_port_put(struct quorvel_tty_port *qport) { tty_port_put(&qport->port); }

// ---- the exchanges ----

// Baud codes of the co-processor's port; anything faster than 921600 (and
// nothing else reaches here above 1500000) is sent as code 1.
u8 quorvel_baud_code(speed_t baud)
{
	static const struct {
		speed_t up_to;
		u8 code;
	} codes[] = {
		{ 9600, 1 },   { 19200, 2 },  { 38400, 3 },  { 57600, 4 },
		{ 115200, 5 }, { 230400, 6 }, { 460800, 7 }, { 921600, 8 },
	};
	for (const auto &c : codes)
		if (baud <= c.up_to)
			return c.code;
	return 1;
}

// One frame per call, at most QUORVEL_TTY_WRITE_MAX bytes: the count
// returned is what went out, and the tty core offers the rest again. The
// co-processor's answer changes nothing: a UART cannot know whether its
// bytes arrived.
int quorvel_tty_controller_write(struct tty_struct *tty, const unsigned char *buf, int count)
{
	int n = min(count, QUORVEL_TTY_WRITE_MAX);
	u8 rx_buf[6];
	struct quorvel_request req = {
		.type = DEV_TYPE_UART,
		.cmd = CMD_WRITE,
		.payload = buf,
		.len = static_cast<u8>(n),
		.sleep_ms = 0,
	};

	if (n <= 0)
		return 0;
	(void)quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
	return n;
}

// The frame goes out on every call. A speed the co-processor's port cannot
// take is refused in the tty's own termios (its speed bits cleared) and the
// previous speed, when known, is sent instead.
void quorvel_tty_set_termios(struct tty_struct *tty, struct ktermios *old)
{
	speed_t baud = tty_termios_baud_rate(&tty->termios);
	u8 _data[6];
	u8 rx_buf[6];
	struct quorvel_request req = {
		.type = DEV_TYPE_UART,
		.cmd = CMD_CONTROL,
		.payload = _data,
		.len = sizeof(_data),
		.sleep_ms = 0,
	};

	if (baud < 9600 || baud > 1500000) {
		tty->termios.c_cflag &= ~CBAUD;
		if (old)
			baud = tty_termios_baud_rate(old);
	}
	// Stop bits, parity and receiver: the co-processor's port keeps 0, 1, 1.
	_data[0] = CTRL_SET_LINE;
	_data[1] = quorvel_baud_code(baud);
	_data[2] = QUORVEL_LINE_DATA_BITS;
	_data[3] = 0;
	_data[4] = 1;
	_data[5] = 1;
	(void)quorvel_exchange(&req, rx_buf, sizeof(rx_buf));
}

// ---- tty operations ----

int quorvel_tty_install(struct tty_driver *driver, struct tty_struct *tty)
{
	struct quorvel_tty_port *qport = nullptr;
	int ret;

	if (tty->index < 0 || static_cast<unsigned int>(tty->index) >= QUORVEL_TTY_LINES)
		return -1;
	scoped_guard(spinlock, &quorvel_tty_lock)
	{
		qport = quorvel_tty_port_table[tty->index];
		if (qport)
			quorvel_tty_port_get(qport);
	}
	if (!qport)
		return -1;
	ret = tty_standard_install(driver, tty);
	if (ret)
		quorvel_tty_port_put(qport);
	else
		tty->driver_data = qport;
	WRITE_ONCE(uart_flag, 1);
	return ret;
}

void quorvel_tty_remove(struct tty_driver *driver, struct tty_struct *tty) { driver->ttys[tty->index] = nullptr; }

int quorvel_tty_controller_open(struct tty_struct *tty, struct file *filp)
{
	struct quorvel_tty_port *qport = static_cast<struct quorvel_tty_port *>(tty->driver_data);

	return tty_port_open(&qport->port, tty, filp);
}

void quorvel_tty_controller_close(struct tty_struct *tty, struct file *filp)
{
	struct quorvel_tty_port *qport = static_cast<struct quorvel_tty_port *>(tty->driver_data);

	flush_work(&qport->work);
	tty_port_close(&qport->port, tty, filp);
}

// The poller stops asking before the port can go: the flag is cleared
// first, then the tty's reference dropped.
void quorvel_tty_cleanup(struct tty_struct *tty)
{
	struct quorvel_tty_port *qport;

	if (tty->index < 0 || static_cast<unsigned int>(tty->index) >= QUORVEL_TTY_LINES)
		return;
	qport = static_cast<struct quorvel_tty_port *>(tty->driver_data);
	tty->driver_data = nullptr;
	WRITE_ONCE(uart_flag, 0);
	if (qport)
		tty_port_put(&qport->port);
}

int quorvel_tty_write_room(struct tty_struct *tty)
{
	struct quorvel_tty_port *qport = static_cast<struct quorvel_tty_port *>(tty->driver_data);

	return static_cast<int>(QUORVEL_TTY_FIFO_SIZE - kfifo_len(&qport->xmit_fifo));
}

void quorvel_tty_controller_hangup(struct tty_struct *tty)
{
	struct quorvel_tty_port *qport = static_cast<struct quorvel_tty_port *>(tty->driver_data);

	tty_port_hangup(&qport->port);
}

// The co-processor's port has no modem lines.
int quorvel_tty_tiocmget(struct tty_struct *tty) { return 0; }
int quorvel_tty_tiocmset(struct tty_struct *tty, unsigned int set, unsigned int clear) { return 0; }

const struct tty_operations quorvel_tty_ops = {
	.install = quorvel_tty_install,
	.remove = quorvel_tty_remove,
	.open = quorvel_tty_controller_open,
	.close = quorvel_tty_controller_close,
	.cleanup = quorvel_tty_cleanup,
	.write = quorvel_tty_controller_write,
	.write_room = quorvel_tty_write_room,
	.set_termios = quorvel_tty_set_termios,
	.hangup = quorvel_tty_controller_hangup,
	.tiocmget = quorvel_tty_tiocmget,
	.tiocmset = quorvel_tty_tiocmset,
};

// ---- tty port operations ----

int quorvel_tty_port_activate(struct tty_port *port, struct tty_struct *tty)
{
	WRITE_ONCE(static_cast<struct quorvel_tty_port *>(tty->driver_data)->loopback_flag, true);
	return 0;
}

void quorvel_tty_port_shutdown(struct tty_port *port) { WRITE_ONCE(to_quorvel_port(port)->loopback_flag, false); }

void quorvel_tty_port_destruct(struct tty_port *port)
{
	struct quorvel_tty_port *qport;

	if (!port)
		return;
	qport = to_quorvel_port(port);
	flush_work(&qport->work);
	kfifo_free(&qport->xmit_fifo);
	kfree(qport);
}

const struct tty_port_operations quorvel_tty_port_ops = {
	.shutdown = quorvel_tty_port_shutdown,
	.activate = quorvel_tty_port_activate,
	.destruct = quorvel_tty_port_destruct,
};

// The transmit FIFO's drain. Nothing fills the FIFO or queues this work;
// close and destruct still wait for it.
void quorvel_tty_flush_to_port(struct work_struct *work)
{
	struct quorvel_tty_port *qport = container_of(work, struct quorvel_tty_port, work);
	struct tty_struct *tty = tty_port_tty_get(&qport->port);
	u8 buff[QUORVEL_TTY_FIFO_SIZE];
	unsigned int n;

	scoped_guard(spinlock_irqsave, &qport->write_lock) n = kfifo_out(&qport->xmit_fifo, buff, sizeof(buff));
	if (READ_ONCE(qport->loopback_flag)) {
		for (unsigned int i = 0; i < n; i++)
			tty_insert_flip_char(&qport->port, buff[i], TTY_NORMAL);
		tty_flip_buffer_push(&qport->port);
	}
	if (tty && kfifo_is_empty(&qport->xmit_fifo))
		tty_wakeup(tty);
	tty_kref_put(tty);
}

// ---- attributes of the tty class device ----

ssize_t vtty_receive_buff_store(struct device *dev, struct device_attribute *attr, const char *buf, size_t count)
{
	struct quorvel_tty_port *qport = static_cast<struct quorvel_tty_port *>(dev_get_drvdata(dev));
	struct tty_struct *tty;

	if (count == 0 || !qport)
		return -EINVAL;
	tty = tty_port_tty_get(&qport->port);
	for (size_t i = 0; i < count; i++)
		tty_insert_flip_char(&qport->port, static_cast<u8>(buf[i]), TTY_NORMAL);
	tty_flip_buffer_push(&qport->port);
	tty_kref_put(tty);
	return static_cast<ssize_t>(count);
}

ssize_t vtty_loopback_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	struct quorvel_tty_port *qport = static_cast<struct quorvel_tty_port *>(dev_get_drvdata(dev));

	if (!qport)
		return -1;
	return snprintf(buf, PAGE_SIZE, "%d\n", READ_ONCE(qport->loopback_flag) ? 1 : 0);
}

// An unsigned decimal number up to the first non-digit, its low 32 bits.
ssize_t vtty_loopback_store(struct device *dev, struct device_attribute *attr, const char *buf, size_t count)
{
	struct quorvel_tty_port *qport = static_cast<struct quorvel_tty_port *>(dev_get_drvdata(dev));
	u32 value = 0;

	if (!qport)
		return -1;
	for (size_t i = 0; i < count && buf[i] >= '0' && buf[i] <= '9'; i++)
		value = value * 10 + static_cast<u32>(buf[i] - '0');
	WRITE_ONCE(qport->loopback_flag, value != 0);
	return static_cast<ssize_t>(count);
}

DEVICE_ATTR(vtty_receive_buff, 0200, nullptr, vtty_receive_buff_store);
DEVICE_ATTR(vtty_loopback, 0600, vtty_loopback_show, vtty_loopback_store);

struct attribute *quorvel_tty_attrs[] = {
	&dev_attr_vtty_receive_buff.attr,
	&dev_attr_vtty_loopback.attr,
	nullptr,
};

const struct attribute_group quorvel_tty_attr_group = {
	.attrs = quorvel_tty_attrs,
};

// ---- the platform pair ----

int quorvel_tty_port_add(struct quorvel_tty_port *qport)
{
	guard(spinlock)(&quorvel_tty_lock);
	if (qport->index >= QUORVEL_TTY_LINES || quorvel_tty_port_table[qport->index])
		return -1;
	quorvel_tty_port_table[qport->index] = qport;
	return 0;
}

// Clears the slot and drops the table's reference, which frees the port
// unless a tty still holds one.
void quorvel_tty_port_remove(struct quorvel_tty_port *qport)
{
	scoped_guard(spinlock, &quorvel_tty_lock)
	{
		quorvel_tty_port_table[qport->index] = nullptr;
		if (active_tty_port == qport)
			active_tty_port = nullptr;
	}
	tty_port_put(&qport->port);
}

// The port with its reference, FIFO and work: everything destruct undoes,
// so that every later failure only drops the reference.
struct quorvel_tty_port *quorvel_tty_port_alloc(int index)
{
	struct quorvel_tty_port *qport =
		static_cast<struct quorvel_tty_port *>(kzalloc(sizeof(struct quorvel_tty_port), GFP_KERNEL));

	if (!qport)
		return nullptr;
	tty_port_init(&qport->port);
	qport->port.ops = &quorvel_tty_port_ops;
	qport->index = static_cast<unsigned int>(index);
	spin_lock_init(&qport->write_lock);
	INIT_WORK(&qport->work, quorvel_tty_flush_to_port);
	if (kfifo_alloc(&qport->xmit_fifo, QUORVEL_TTY_FIFO_SIZE, GFP_KERNEL)) {
		tty_port_put(&qport->port);
		return nullptr;
	}
	return qport;
}

int quorvel_tty_port_platform_probe(struct platform_device *pdev)
{
	const struct quorvel_tty_port_platform_config *cfg =
		static_cast<const struct quorvel_tty_port_platform_config *>(dev_get_platdata(&pdev->dev));
	struct quorvel_tty_port *qport = quorvel_tty_port_alloc(cfg->port_index);
	struct device *tty_dev;
	int ret;

	if (!qport)
		return -ENOMEM;
	if (quorvel_tty_port_add(qport)) {
		tty_port_put(&qport->port);
		return -1;
	}
	tty_dev = tty_port_register_device(&qport->port, quorvel_tty_driver, qport->index, nullptr);
	if (IS_ERR(tty_dev)) {
		quorvel_tty_port_remove(qport);
		return static_cast<int>(PTR_ERR(tty_dev));
	}
	qport->tty_dev = tty_dev;
	dev_set_drvdata(tty_dev, qport);
	ret = sysfs_create_group(&tty_dev->kobj, &quorvel_tty_attr_group);
	if (ret) {
		dev_set_drvdata(tty_dev, nullptr);
		tty_unregister_device(quorvel_tty_driver, qport->index);
		quorvel_tty_port_remove(qport);
		return ret;
	}
	platform_set_drvdata(pdev, qport);
	scoped_guard(spinlock, &quorvel_tty_lock) active_tty_port = qport;
	return 0;
}

// The line's open tty is hung up before the line goes, and before remove
// returns (tty_vhangup, not the deferred tty_hangup): its files' later
// writes and requests fail as after a hangup, and nothing more is sent for
// a device that is no longer bound.
void quorvel_tty_port_hangup_tty(struct quorvel_tty_port *qport)
{
	struct tty_struct *tty = tty_port_tty_get(&qport->port);

	if (!tty)
		return;
	tty_vhangup(tty);
	tty_kref_put(tty);
	// No reader can be reached any more: the poller stops asking.
	WRITE_ONCE(uart_flag, 0);
}

int quorvel_tty_port_platform_remove(struct platform_device *pdev)
{
	struct quorvel_tty_port *qport = static_cast<struct quorvel_tty_port *>(platform_get_drvdata(pdev));

	platform_set_drvdata(pdev, nullptr);
	quorvel_tty_port_hangup_tty(qport);
	sysfs_remove_group(&qport->tty_dev->kobj, &quorvel_tty_attr_group);
	dev_set_drvdata(qport->tty_dev, nullptr);
	tty_unregister_device(quorvel_tty_driver, qport->index);
	quorvel_tty_port_remove(qport);
	return 0;
}

// The device is static: nothing to free when it goes.
void quorvel_tty_port_dev_release(struct device *dev) {}

struct quorvel_tty_port_platform_config quorvel_tty_port0_config = {
	.port_index = 0,
};

struct platform_device quorvel_tty_port_platform_device =
	quorvel_platform_device("quorvel_tty_port_dev", 0, quorvel_tty_port_dev_release, &quorvel_tty_port0_config);

struct platform_driver quorvel_tty_port_platform_driver = quorvel_platform_driver(
	"quorvel_tty_port_dev", quorvel_tty_port_platform_probe, quorvel_tty_port_platform_remove);

void quorvel_tty_driver_fill(struct tty_driver *driver)
{
	driver->driver_name = "quorvel_tty_driver";
	driver->name = "ttySP";
	driver->major = TTY_MAJOR;
	driver->minor_start = QUORVEL_TTY_MINOR_START;
	driver->type = TTY_DRIVER_TYPE_SERIAL;
	driver->subtype = SERIAL_TYPE_NORMAL;
	// Raw: no input or output processing, no echo, not canonical.
	driver->init_termios = tty_std_termios;
	driver->init_termios.c_iflag = 0;
	driver->init_termios.c_oflag = 0;
	driver->init_termios.c_lflag = 0;
	driver->init_termios.c_cflag = B38400 | CS8 | CREAD;
	driver->flags = TTY_DRIVER_RESET_TERMIOS | TTY_DRIVER_REAL_RAW | TTY_DRIVER_DYNAMIC_DEV;
	tty_set_operations(driver, &quorvel_tty_ops);
}

} // namespace

void uart_recv(const u8 *buf, u8 len)
{
	struct quorvel_tty_port *qport = nullptr;

	if (len == 0)
		return;
	scoped_guard(spinlock, &quorvel_tty_lock)
	{
		qport = active_tty_port;
		if (qport)
			quorvel_tty_port_get(qport);
	}
	if (!qport)
		return;
	tty_insert_flip_string(&qport->port, buf, len);
	tty_flip_buffer_push(&qport->port);
	quorvel_tty_port_put(qport);
}

// Each step that fails undoes the ones before it, so that a start that
// fails leaves nothing registered.
int quorvel_linux_serial_init(void)
{
	struct tty_driver *driver;
	int ret;

	// A start after a failed or stopped one registers the device anew.
	quorvel_platform_device_fresh(&quorvel_tty_port_platform_device);
	ret = platform_device_register(&quorvel_tty_port_platform_device);
	if (ret)
		return ret;
	driver = tty_alloc_driver(QUORVEL_TTY_LINES, 0);
	if (IS_ERR(driver)) {
		ret = static_cast<int>(PTR_ERR(driver));
		goto err_device;
	}
	quorvel_tty_driver_fill(driver);
	quorvel_tty_driver = driver;
	ret = tty_register_driver(driver);
	if (ret)
		goto err_put;
	ret = platform_driver_register(&quorvel_tty_port_platform_driver);
	if (ret)
		goto err_unregister;
	return 0;

err_unregister:
	tty_unregister_driver(driver);
err_put:
	put_tty_driver(driver);
	quorvel_tty_driver = nullptr;
err_device:
	platform_device_unregister(&quorvel_tty_port_platform_device);
	return ret;
}

void quorvel_linux_serial_exit(void)
{
	platform_device_unregister(&quorvel_tty_port_platform_device);
	platform_driver_unregister(&quorvel_tty_port_platform_driver);
	tty_unregister_driver(quorvel_tty_driver);
	put_tty_driver(quorvel_tty_driver);
	quorvel_tty_driver = nullptr;
}
