// Clock and randomness, behind one seam so tests can rely on them.
#pragma once
#include <cstdint>

// An unsigned random number from the kernel's random source (getrandom).
unsigned zunutils_random_uint(void);

// A random number from 0 to bound-1, every value equally likely (0 when
// bound is below 2).
uint64_t zunutils_random_below(uint64_t bound);

// The current time in seconds since the epoch.
uint32_t systime(void);
