// Clock, randomness and thread ends, behind one seam so tests can rely on
// them.
#pragma once
#include <pthread.h>

#include <cstdint>

// An unsigned random number from the kernel's random source (getrandom).
unsigned zunutils_random_uint(void);

// A random number from 0 to bound-1, every value equally likely (0 when
// bound is below 2).
uint64_t zunutils_random_below(uint64_t bound);

// The current time in seconds since the epoch.
uint32_t systime(void);

// Joins a thread that ends when asked: nudge(ctx) is called, then the thread
// is given period_ms to end, again and again until it has ended (a request
// that reached the thread between two of its waits is thus never lost).
// Returns pthread_join's result.
int zunutils_join_nudging(pthread_t thread, int period_ms, void (*nudge)(void *), void *ctx);
