// Clock, randomness and thread ends.
#include "zunutils.h"

#include <cerrno>
#include <ctime>
#include <sys/random.h>

namespace {

// Fills value with bytes from the kernel's random source.
template <class T> T random_value()
{
  T value = 0;
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
    return value ^ static_cast<T>(ts.tv_nsec) ^ static_cast<T>(ts.tv_sec * 2654435761u);
  }
  return value;
}

}  // namespace

unsigned zunutils_random_uint(void) { return random_value<unsigned>(); }

uint64_t zunutils_random_below(uint64_t bound)
{
  if (bound < 2)
    return 0;
  // Draws above the last whole multiple of bound are drawn again, so that
  // every result is equally likely (at most half the draws are refused).
  const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
  for (;;) {
    uint64_t v = random_value<uint64_t>();
    if (v < limit)
      return v % bound;
  }
}

uint32_t systime(void) { return static_cast<uint32_t>(std::time(nullptr)); }

int zunutils_join_nudging(pthread_t thread, int period_ms, void (*nudge)(void *), void *ctx)
{
  for (;;) {
    nudge(ctx);
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += static_cast<long>(period_ms) * 1000 * 1000;
    until.tv_sec += until.tv_nsec / (1000 * 1000 * 1000);
    until.tv_nsec %= 1000 * 1000 * 1000;
    int result = pthread_timedjoin_np(thread, nullptr, &until);
    if (result != ETIMEDOUT)
      return result;
  }
}
