// Benchmarks that compare a round trip between processes pin the client and
// every server they start (which inherit it) to one CPU. Unpinned, a round
// trip's cost is mostly where the scheduler happens to wake the server, which
// differs between a daemon's server thread and a single-threaded program, so
// a ratio would measure placement rather than the code.
#pragma once
#include <cstdio>
#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/types.h>

inline void bench_pin_to_one_cpu()
{
  int cpu = sched_getcpu();
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu >= 0 ? cpu : 0, &one);
  sched_setaffinity(0, sizeof one, &one);
}

// CPU time of every thread of a process so far, in nanoseconds.
inline double process_cpu_ns(pid_t pid)
{
  double total = 0;
  std::error_code ec;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto &t : std::filesystem::directory_iterator(tasks, ec)) {
    if (FILE *f = fopen((t.path() / "schedstat").c_str(), "r")) {
      unsigned long long ns = 0;
      if (fscanf(f, "%llu", &ns) == 1)
        total += static_cast<double>(ns);
      fclose(f);
    }
  }
  return total;
}
