// Clock and randomness, behind one seam so tests can rely on them.
#pragma once
#include <cstdint>

// An unsigned random number from the kernel's random source (getrandom).
unsigned zunutils_random_uint(void);

// The current time in seconds since the epoch.
uint32_t systime(void);
