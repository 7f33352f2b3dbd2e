#pragma once
// The configuration device "quorvel_config" and the serial receive poller.

// Request numbers (CONFIG_IOCTL_*): in the programs' header, a letter and a
// number without direction or size bits.
#include <linux/quorvel.h>

// Has the co-processor restart; no reply is read. Also used by the counter.
void gd32v_reset(void);
