#pragma once
#include <asm/termbits.h>
#include <asm/ioctls.h>
