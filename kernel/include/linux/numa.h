#pragma once
#define NUMA_NO_NODE (-1)
