#pragma once
#include <linux/types.h>
#define offsetof(type, member) __builtin_offsetof(type, member)
