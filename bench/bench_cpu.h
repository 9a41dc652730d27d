// Benchmarks that compare a round trip between processes pin the client and
// every server they start (which inherit it) to one CPU. Unpinned, a round
// trip's cost is mostly where the scheduler happens to wake the server, which
// differs between a daemon's server thread and a single-threaded program, so
// a ratio would measure placement rather than the code.
#pragma once
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>

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

// User and system CPU time of a process so far, in seconds: every thread's,
// the ended ones' too, children aside (/proc/PID/stat, in clock ticks);
// -1 when it cannot be read.
inline double process_cpu_seconds(pid_t pid)
{
  char line[1024] = "";
  if (FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r")) {
    if (fgets(line, sizeof line, f) == nullptr)
      line[0] = '\0';
    fclose(f);
  }
  // The command name may hold spaces and parentheses: the fields after it
  // start past the last ')'. utime and stime are fields 14 and 15.
  const char *after = strrchr(line, ')');
  unsigned long user = 0, system = 0;
  if (after == nullptr ||
      sscanf(after + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
    return -1;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
