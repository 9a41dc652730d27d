// Benchmarks that compare a round trip between processes pin the client and
// every server they start (which inherit it) to one CPU. Unpinned, a round
// trip's cost is mostly where the scheduler happens to wake the server, which
// differs between a daemon's server thread and a single-threaded program, so
// a ratio would measure placement rather than the code.
#pragma once
#include <sched.h>

inline void bench_pin_to_one_cpu()
{
  int cpu = sched_getcpu();
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu >= 0 ? cpu : 0, &one);
  sched_setaffinity(0, sizeof one, &one);
}
