#pragma once
// The configuration device "quorvel_config" and the serial receive poller.

// Request numbers: a letter and a number, without direction or size bits.
constexpr unsigned int CONFIG_IOCTL_ENABLE_ALL = 0x4102;  // 'A', 2
constexpr unsigned int CONFIG_IOCTL_APPLY_MODES = 0x430A; // 'C', 10
constexpr unsigned int CONFIG_IOCTL_VERSION = 0x5201;	  // 'R', 1
constexpr unsigned int CONFIG_IOCTL_RESET = 0x6301;	  // 'c', 1

// Has the co-processor restart; no reply is read. Also used by the counter.
void gd32v_reset(void);
