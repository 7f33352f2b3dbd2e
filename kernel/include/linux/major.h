#pragma once
// Fixed major numbers the module uses.
#define TTY_MAJOR    4
#define TTYAUX_MAJOR 5
