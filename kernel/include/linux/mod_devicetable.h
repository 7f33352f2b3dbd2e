#pragma once
#include <linux/types.h>

#define PLATFORM_NAME_SIZE 20

// A name a platform driver binds to, with a value of its own for that name.
struct platform_device_id {
	char name[PLATFORM_NAME_SIZE];
	unsigned long driver_data;
};
