/* SPDX-License-Identifier: GPL-2.0 WITH Linux-syscall-note */
/*
 * The Quorvel board's character devices, as a program sees them: the ioctl
 * numbers of quorvel_linux_module and the layouts of their arguments. The
 * module is built from these same definitions.
 *
 * From C or C++:   cc -I<tree>/include/uapi prog.c   #include <linux/quorvel.h>
 *
 * /dev/quorvel_config      CONFIG_IOCTL_* (below)
 * /dev/dht                 DHT_IOCTL_CMD       struct privateData
 * /dev/ds18b20             DS18B20_READ_CMD    struct privateData
 * /dev/sr04                SR04_READ_CMD       struct privateData (2 bytes back)
 * /dev/gp2y1010au          GP2Y_READ_CMD       struct privateData
 * /dev/ir_send, ir_recv    IR_SEND_CMD, IR_RECV_CMD   struct irData
 * docs/user-guide.md says what each reading's bytes mean.
 */
#ifndef _UAPI_LINUX_QUORVEL_H
#define _UAPI_LINUX_QUORVEL_H

#include <linux/ioctl.h>
#include <linux/types.h>

/*
 * The configuration device's requests carry no direction or size bits: a
 * letter in the high byte, a number in the low one.
 */
#define CONFIG_IOCTL_ENABLE_ALL 0x4102  /* 'A', 2: no argument */
#define CONFIG_IOCTL_APPLY_MODES 0x430A /* 'C', 10: no argument */
#define CONFIG_IOCTL_VERSION 0x5201     /* 'R', 1: struct quorvel_version * */
#define CONFIG_IOCTL_RESET 0x6301       /* 'c', 1: pointer to one byte (not used) */

/* The co-processor's firmware version, as CONFIG_IOCTL_VERSION fills it. */
struct quorvel_version {
    __u8 data[2];
};

/*
 * A sensor's reading. The program's four bytes go to the co-processor as
 * they are (zeros will do) and the reading comes back in their place.
 */
struct privateData {
    __u8 data[4];
};

#define DS18B20_READ_CMD _IOW('D', 0, struct privateData) /* 0x40044400 */
#define DHT_IOCTL_CMD _IOW('D', 3, struct privateData)    /* 0x40044403 */
#define SR04_READ_CMD _IOW('S', 1, struct privateData)    /* 0x40045301 */
#define GP2Y_READ_CMD _IOW('G', 0, struct privateData)    /* 0x40044700 */

/* An infrared code to send, or a request for what was received. */
struct irData {
    __u8 data[10];
};

#define IR_SEND_CMD _IOW('A', 10, struct irData)  /* 0x400a410a */
#define IR_RECV_CMD _IOWR('A', 11, struct irData) /* 0xc00a410b */

/* GPIO pin N of the co-processor is Linux GPIO QUORVEL_GPIO_BASE + N. */
#define QUORVEL_GPIO_BASE 200

#endif /* _UAPI_LINUX_QUORVEL_H */
