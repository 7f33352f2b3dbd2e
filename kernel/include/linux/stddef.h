#pragma once
#include <linux/types.h>
#ifndef offsetof // the host's <cstddef> may have defined it, the same way
#define offsetof(type, member) __builtin_offsetof(type, member)
#endif
