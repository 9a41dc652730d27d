// What the fault seam (platform/zun_fault.h) costs in the test builds, where
// it is compiled in:
//   - whole gateway requests that write, run as the web server runs them: a
//     login (a new session file) and an account change (the account
//     database), with APPLIANCE_FAULT unset (the seam off: one atomic load per
//     call) and with APPLIANCE_FAULT=count (every call counted);
//   - the calls themselves: the seam's check alone, zf::write of 64 bytes to
//     /dev/null against ::write, and zf::rename against ::rename of a file
//     under the root, the seam off and counting.
// There is no test build without the seam, so the plain calls are the
// baseline of the per-call cost; the release build has no seam at all.
// Every figure is wall time; the requests also report the calls they make
// (calls/req, read from the seam's report of a counted run).
//
//   fault_seam_bench [Google Benchmark options]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "../tests/engine/engine_env.h"
#include "bench_cpu.h"
#include "zun_fault.h"

namespace {

zt::Root *g_root = nullptr;
std::string g_key;  // an administrator's session

const std::string kNoError = "<error type=\"no error\" />";

std::map<std::string, std::string> fault_env(const char *plan)
{
  if (plan == nullptr)
    return {};
  return {{"APPLIANCE_FAULT", plan}};
}

// The calls a counted run reported, or -1.
long counted_calls(const zt::RunResult &r)
{
  long calls = -1;
  size_t at = r.err.find("fault-seam: calls=");
  if (at == std::string::npos || std::sscanf(r.err.c_str() + at, "fault-seam: calls=%ld", &calls) != 1)
    return -1;
  return calls;
}

// One login of the second account: a new session file in var/users. Its
// session from the iteration before is removed outside the timing (a login
// to an account with a live session makes an alias to it instead), so that
// every login finds the same folder: the administrator's session only.
void BM_Login(benchmark::State &state, const char *plan)
{
  const auto extra = fault_env(plan);
  const std::string users = g_root->file("/var/users");
  long calls = -1;
  for (auto _ : state) {
    zt::RunResult r = zt::cgi(*g_root, "", "querytype=auth&name=second&h=pw", "engine", extra);
    state.PauseTiming();
    if (et::attr(et::body(r), "k").empty()) {
      state.SkipWithError(("login failed: " + r.out + r.err).c_str());
      break;
    }
    calls = counted_calls(r);
    for (const auto &e : std::filesystem::directory_iterator(users))
      if (e.path().filename().string().find(g_key) == std::string::npos)
        std::filesystem::remove_all(e.path());
    state.ResumeTiming();
  }
  if (calls >= 0)
    state.counters["calls/req"] = double(calls);
}

// One account change: the second account's read rights, alternately x and
// y so that every request really changes the row.
void BM_AccountChange(benchmark::State &state, const char *plan)
{
  const auto extra = fault_env(plan);
  long calls = -1;
  bool x = false;
  for (auto _ : state) {
    x = !x;
    zt::RunResult r = zt::cgi(*g_root, "", "k=" + g_key + "&querytype=adduser&id=2&sread=" + (x ? "x" : "y"),
                              "engine", extra);
    if (et::body(r) != kNoError) {
      state.SkipWithError(("account change failed: " + r.out + r.err).c_str());
      break;
    }
    calls = counted_calls(r);
  }
  if (et::users_query(*g_root, "SELECT SRead FROM SystemUsers WHERE ID=2") != (x ? "x" : "y"))
    state.SkipWithError("the account change was not stored");
  if (calls >= 0)
    state.counters["calls/req"] = double(calls);
}

// In-process: the seam off, or counting every call (as APPLIANCE_FAULT=count).
enum Seam { kPlain, kOff, kCount };

struct Armed {
  explicit Armed(Seam seam)
  {
    if (seam == kCount) {
      ZunFaultPlan plan;
      plan.mode = ZunFaultPlan::count;
      zun_fault_arm(plan);
    }
  }
  ~Armed() { zun_fault_disarm(); }
};

void BM_Check(benchmark::State &state, Seam seam)
{
  Armed armed(seam);
  for (auto _ : state) {
    size_t n = 64;
    benchmark::DoNotOptimize(zun_fault_check(ZunCall::write, &n));
  }
}

void BM_Write(benchmark::State &state, Seam seam)
{
  int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  char buf[64] = {};
  Armed armed(seam);
  for (auto _ : state) {
    ssize_t n = seam == kPlain ? ::write(fd, buf, sizeof buf) : zf::write(fd, buf, sizeof buf);
    if (n != ssize_t(sizeof buf)) {
      state.SkipWithError("write failed");
      break;
    }
  }
  ::close(fd);
}

// A rename back and forth between two names in one folder of the root.
void BM_Rename(benchmark::State &state, Seam seam)
{
  const std::string a = g_root->file("/tmp/rename-a"), b = g_root->file("/tmp/rename-b");
  g_root->write("/tmp/rename-a", "x");
  Armed armed(seam);
  bool there = false;
  for (auto _ : state) {
    const char *from = (there ? b : a).c_str(), *to = (there ? a : b).c_str();
    int rc = seam == kPlain ? ::rename(from, to) : zf::rename(from, to);
    if (rc != 0) {
      state.SkipWithError("rename failed");
      break;
    }
    there = !there;
  }
  g_root->remove(there ? "/tmp/rename-b" : "/tmp/rename-a");
}

// A request is a process of some milliseconds, most of them the flushes to
// the disk: 40 of each, eight times, the repetitions of all the benchmarks
// in a random order (see main), so that a change of the machine's load
// falls on every variant alike.
#define ZUN_REQUEST_BENCH(fn, name, plan) \
  BENCHMARK_CAPTURE(fn, name, plan)->Iterations(40)->Repetitions(8)->UseRealTime()->Unit(benchmark::kMicrosecond)
ZUN_REQUEST_BENCH(BM_Login, unset, nullptr);
ZUN_REQUEST_BENCH(BM_Login, count, "count");
ZUN_REQUEST_BENCH(BM_AccountChange, unset, nullptr);
ZUN_REQUEST_BENCH(BM_AccountChange, count, "count");

#define ZUN_CALL_BENCH(fn, name, seam) \
  BENCHMARK_CAPTURE(fn, name, seam)->MinTime(0.1)->Repetitions(8)->UseRealTime()
ZUN_CALL_BENCH(BM_Check, off, kOff);
ZUN_CALL_BENCH(BM_Check, count, kCount);
ZUN_CALL_BENCH(BM_Write, plain, kPlain);
ZUN_CALL_BENCH(BM_Write, seam_off, kOff);
ZUN_CALL_BENCH(BM_Write, seam_count, kCount);
ZUN_CALL_BENCH(BM_Rename, plain, kPlain);
ZUN_CALL_BENCH(BM_Rename, seam_off, kOff);
ZUN_CALL_BENCH(BM_Rename, seam_count, kCount);

}  // namespace

int main(int argc, char **argv)
{
  // Unless told otherwise: repetitions interleaved at random, and only
  // their aggregates (mean, median, spread) printed.
  std::vector<char *> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char aggregates[] = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {interleave, aggregates});
  int count = int(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data()))
    return 1;
  bench_pin_to_one_cpu();  // the engine runs inherit it
  zt::Root root;
  g_root = &root;
  et::make_users(root, {{"1", "admin", "pw", "all", "all"}, {"1", "second", "pw", "s", "w"}});
  zt::Sim sim(root, {"--only", "registryd,stewardd,chronicled"});
  g_key = et::login(root, "admin", "pw");
  if (!sim.ok() || g_key.empty()) {
    std::fprintf(stderr, "cannot start: no appliance-sim or no session\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
