// Clock and randomness.
#include "zunutils.h"

#include <cerrno>
#include <ctime>
#include <sys/random.h>

unsigned zunutils_random_uint(void)
{
  unsigned value = 0;
  unsigned char *p = reinterpret_cast<unsigned char *>(&value);
  size_t got = 0;
  while (got < sizeof value) {
    ssize_t n = ::getrandom(p + got, sizeof value - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    // No kernel source (a kernel older than getrandom): the clock's
    // nanoseconds are a poor but never-repeating substitute for a key.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return value ^ static_cast<unsigned>(ts.tv_nsec) ^ static_cast<unsigned>(ts.tv_sec * 2654435761u);
  }
  return value;
}

uint32_t systime(void) { return static_cast<uint32_t>(std::time(nullptr)); }
