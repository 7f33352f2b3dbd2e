#pragma once
// The tty core as a tty driver sees it: ttys, ports, termios and the line
// discipline's entry points, with the names and calling rules of Linux 4.4
// (drivers/tty/tty_io.c, tty_port.c, tty_ioctl.c). The structures carry the
// fields a driver reads or writes; the core keeps the rest behind
// kernel_private.
#include <linux/kref.h>
#include <linux/major.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/termios.h>
#include <linux/tty_driver.h>
#include <linux/tty_flags.h>
#include <linux/types.h>
#include <linux/wait.h>
#include <linux/workqueue.h>

struct device;
struct file;
struct attribute_group;

#define N_TTY 0

// Flags of a character in the flip buffer.
#define TTY_NORMAL  0
#define TTY_BREAK   1
#define TTY_FRAME   2
#define TTY_PARITY  3
#define TTY_OVERRUN 4

// Bits of tty->flags.
#define TTY_THROTTLED	    0
#define TTY_IO_ERROR	    1
#define TTY_OTHER_CLOSED    2
#define TTY_EXCLUSIVE	    3
#define TTY_DO_WRITE_WAKEUP 5
#define TTY_LDISC_OPEN	    11
#define TTY_HUPPED	    18
#define TTY_HUPPING	    21

// Bits of tty_port->flags (4.4 keeps them with the ASYNC_ names).
#define ASYNCB_CLOSING	     27
#define ASYNCB_INITIALIZED   31
#define ASYNCB_NORMAL_ACTIVE 29
#define ASYNC_CLOSING	     (1UL << ASYNCB_CLOSING)
#define ASYNC_INITIALIZED    (1UL << ASYNCB_INITIALIZED)
#define ASYNC_NORMAL_ACTIVE  (1UL << ASYNCB_NORMAL_ACTIVE)

#define TTY_MAGIC	     0x5401
#define WAKEUP_CHARS	     256
#define N_TTY_BUF_SIZE	     4096

struct tty_port;
struct tty_struct;

struct tty_port_operations {
	int (*carrier_raised)(struct tty_port *port);
	void (*dtr_rts)(struct tty_port *port, int raise);
	// Last close or hangup of an initialised port.
	void (*shutdown)(struct tty_port *port);
	// First open: 0 or a negative errno that fails the open.
	int (*activate)(struct tty_port *port, struct tty_struct *tty);
	// The last reference went; the driver frees the port (default: kfree).
	void (*destruct)(struct tty_port *port);
};

// The flip buffer of a port: bytes a driver received, on their way to the
// line discipline of the port's tty (tty_buffer.c).
struct tty_bufhead {
	void *kernel_private;
};

struct tty_port {
	struct tty_bufhead buf;
	struct tty_struct *tty;	 // the tty while open (tty_port_tty_get)
	struct tty_struct *itty; // the installed tty, for the flip buffer; no reference
	const struct tty_port_operations *ops;
	spinlock_t lock; // guards tty and count
	int blocked_open;
	int count; // opens
	wait_queue_head_t open_wait;
	wait_queue_head_t delta_msr_wait;
	unsigned long flags; // ASYNC_*
	unsigned char console : 1, low_latency : 1;
	struct mutex mutex; // held across activate and shutdown
	struct mutex buf_mutex;
	unsigned char *xmit_buf;
	unsigned int close_delay;
	unsigned int closing_wait;
	int drain_delay;
	struct kref kref;
};

struct tty_struct {
	int magic;
	struct kref kref;
	struct device *dev;
	struct tty_driver *driver;
	const struct tty_operations *ops;
	int index;
	struct mutex termios_rwsem; // a writer's lock here: set_termios runs under it
	struct ktermios termios;
	struct ktermios termios_locked;
	char name[64];
	unsigned long flags; // TTY_* bits
	int count;	     // open files
	unsigned long stopped : 1, flow_stopped : 1, hw_stopped : 1, closing : 1;
	unsigned int receive_room;
	struct tty_struct *link;
	wait_queue_head_t write_wait;
	wait_queue_head_t read_wait;
	void *disc_data;
	void *driver_data;
	struct tty_port *port;
	void *kernel_private; // the core's record: locks, files, line discipline
};

// c_cflag and friends as the kernel's macros read them.
#define C_BAUD(tty)   ((tty)->termios.c_cflag & CBAUD)
#define C_CSIZE(tty)  ((tty)->termios.c_cflag & CSIZE)
#define C_CSTOPB(tty) ((tty)->termios.c_cflag & CSTOPB)
#define C_PARENB(tty) ((tty)->termios.c_cflag & PARENB)
#define C_CREAD(tty)  ((tty)->termios.c_cflag & CREAD)
#define C_CLOCAL(tty) ((tty)->termios.c_cflag & CLOCAL)
#define C_HUPCL(tty)  ((tty)->termios.c_cflag & HUPCL)
#define L_ICANON(tty) ((tty)->termios.c_lflag & ICANON)
#define L_ECHO(tty)   ((tty)->termios.c_lflag & ECHO)
#define I_IXON(tty)   ((tty)->termios.c_iflag & IXON)
#define O_OPOST(tty)  ((tty)->termios.c_oflag & OPOST)

extern "C" {
extern struct ktermios tty_std_termios;

// Speeds (tty_ioctl.c).
speed_t tty_termios_baud_rate(struct ktermios *termios);
speed_t tty_termios_input_baud_rate(struct ktermios *termios);
void tty_termios_encode_baud_rate(struct ktermios *termios, speed_t ibaud, speed_t obaud);
void tty_encode_baud_rate(struct tty_struct *tty, speed_t ibaud, speed_t obaud);
speed_t tty_get_baud_rate(struct tty_struct *tty);
void tty_termios_copy_hw(struct ktermios *newt, struct ktermios *old);
int tty_termios_hw_change(const struct ktermios *a, const struct ktermios *b);
int tty_set_termios(struct tty_struct *tty, struct ktermios *kt);

// Installing a tty: termios, a driver reference, the count, the slot.
int tty_standard_install(struct tty_driver *driver, struct tty_struct *tty);
int tty_init_termios(struct tty_struct *tty);

struct tty_struct *tty_kref_get(struct tty_struct *tty);
void tty_kref_put(struct tty_struct *tty);
void tty_wakeup(struct tty_struct *tty);
// Output stopped (the driver's stop) and started again (its start, then
// a wake-up of writers), as the flow control characters or TCXONC do.
void stop_tty(struct tty_struct *tty);
void start_tty(struct tty_struct *tty);
void tty_hangup(struct tty_struct *tty);
void tty_vhangup(struct tty_struct *tty);
int tty_hung_up_p(struct file *filp);
int tty_write_room(struct tty_struct *tty);
const char *tty_name(const struct tty_struct *tty);

// Ports (tty_port.c).
void tty_port_init(struct tty_port *port);
void tty_port_destroy(struct tty_port *port);
void tty_port_link_device(struct tty_port *port, struct tty_driver *driver, unsigned index);
struct device *tty_port_register_device(struct tty_port *port, struct tty_driver *driver, unsigned index,
					struct device *device);
struct device *tty_port_register_device_attr(struct tty_port *port, struct tty_driver *driver, unsigned index,
					     struct device *device, void *drvdata,
					     const struct attribute_group **attr_grp);
struct tty_port *tty_port_get(struct tty_port *port);
void tty_port_put(struct tty_port *port);
struct tty_struct *tty_port_tty_get(struct tty_port *port);
void tty_port_tty_set(struct tty_port *port, struct tty_struct *tty);
void tty_port_tty_wakeup(struct tty_port *port);
void tty_port_tty_hangup(struct tty_port *port, bool check_clocal);
int tty_port_carrier_raised(struct tty_port *port);
int tty_port_open(struct tty_port *port, struct tty_struct *tty, struct file *filp);
void tty_port_close(struct tty_port *port, struct tty_struct *tty, struct file *filp);
void tty_port_hangup(struct tty_port *port);
int tty_port_install(struct tty_port *port, struct tty_driver *driver, struct tty_struct *tty);
int tty_port_block_til_ready(struct tty_port *port, struct tty_struct *tty, struct file *filp);
}

inline bool tty_port_initialized(struct tty_port *port) { return test_bit(ASYNCB_INITIALIZED, &port->flags); }
inline bool tty_io_error(struct tty_struct *tty) { return test_bit(TTY_IO_ERROR, &tty->flags); }
