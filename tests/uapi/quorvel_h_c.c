/* The programs' header as a C program sees it: Linux's own UAPI headers
 * beneath it, the numbers the module answers to, the layouts it copies. */
#include <linux/quorvel.h>
#include <stddef.h>

_Static_assert(CONFIG_IOCTL_ENABLE_ALL == 0x4102 && CONFIG_IOCTL_APPLY_MODES == 0x430A, "config requests");
_Static_assert(CONFIG_IOCTL_VERSION == 0x5201 && CONFIG_IOCTL_RESET == 0x6301, "config requests");
_Static_assert(DS18B20_READ_CMD == 0x40044400 && DHT_IOCTL_CMD == 0x40044403, "sensor requests");
_Static_assert(SR04_READ_CMD == 0x40045301 && GP2Y_READ_CMD == 0x40044700, "sensor requests");
_Static_assert(IR_SEND_CMD == 0x400a410a && IR_RECV_CMD == 0xc00a410b, "infrared requests");
_Static_assert(sizeof(struct quorvel_version) == 2 && sizeof(struct privateData) == 4, "layouts");
_Static_assert(sizeof(struct irData) == 10 && offsetof(struct irData, data) == 0, "layouts");
_Static_assert(_IOC_SIZE(IR_RECV_CMD) == sizeof(struct irData), "size bits");

int quorvel_h_c_size(void) { return (int)sizeof(struct irData); }
