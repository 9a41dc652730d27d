// warderd with 10,000 keys in its database:
//  - KeyDecision: from laying a key on the 1-Wire stand-in to the access
//    log entry arriving at chronicled (the stand-in's own polling, up to
//    10 ms, is part of it), with the reader idle in its wait beforehand;
//  - KeysList: one keyslist command and its whole reply (about 400 KB).
#include <benchmark/benchmark.h>

#include "harness.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace {

constexpr int KEYS = 10000;

std::string key_text(int i)
{
  char key[16];
  std::snprintf(key, sizeof key, "%012X", 0x10000000u + static_cast<unsigned>(i) * 7919u);
  return key;
}

// Writes the access database under the root as warderd creates it, with
// KEYS keys, in one transaction (adding them one by one over the socket
// would cost a sync each).
bool seed_database(const zt::Root &root)
{
  sqlite3 *db = nullptr;
  if (sqlite3_open(root.file("/mnt/jffs/etc/access.sqlite").c_str(), &db) != SQLITE_OK)
    return false;
  bool ok = sqlite3_exec(db,
                         "CREATE TABLE users (id INTEGER PRIMARY KEY, auth TEXT, read TEXT, write TEXT, "
                         "timeEnter DATE);"
                         "CREATE TABLE keys (id INTEGER PRIMARY KEY, name TEXT, key TEXT, timeEnter DATE);"
                         "BEGIN;",
                         nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt *st = nullptr;
  ok = ok && sqlite3_prepare_v2(db,
                                "INSERT INTO keys (name, key, timeEnter) values (?, ?, "
                                "datetime('now', 'localtime'));",
                                -1, &st, nullptr) == SQLITE_OK;
  for (int i = 0; ok && i < KEYS; i++) {
    std::string name = "holder " + std::to_string(i);
    std::string key = key_text(i);
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, key.c_str(), -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  ok = ok && sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

struct Appliance {
  zt::Root root;
  std::unique_ptr<zt::Sim> sim;
  std::unique_ptr<zt::Process> warderd;
  bool up = false;

  Appliance()
  {
    root.write("/mnt/jffs/etc/devtype", "base\n");
    root.write("/etc/snmp/warderd.conf", "agentXSocket unix:" + root.file("/tmp/agentx") + "\n");
    if (!seed_database(root))
      return;
    sim = std::make_unique<zt::Sim>(root);
    zt::wait_for([&] { return root.exists("/dev/w1"); });
    warderd = std::make_unique<zt::Process>(zt::bin("warderd"), std::vector<std::string>{"warderd"},
                                            root.env());
    up = zt::wait_for([&] { return cmd("<test />") == "<error type='Test ok' />"; },
                      std::chrono::seconds(10));
  }

  std::string cmd(std::string_view c) const
  {
    return zt::exchange(root, "/tmp/warderd.socket", c, std::chrono::seconds(30));
  }
};

Appliance &appliance()
{
  static Appliance a;
  return a;
}

off_t file_size(const std::string &path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Waits (bounded) until the journal holds an access entry beyond `from`.
bool wait_access_entry(const zt::Root &root, off_t from)
{
  std::string path = root.file("/tmp/appliance-sim.journal");
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    if (file_size(path) > from) {
      std::string text = root.read("/tmp/appliance-sim.journal");
      if (text.find("chronicled\t<entry type=\"access\"", static_cast<size_t>(from)) != std::string::npos)
        return true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return false;
}

void BM_KeyDecision(benchmark::State &state)
{
  Appliance &a = appliance();
  if (!a.up) {
    state.SkipWithError("warderd did not start");
    return;
  }
  int round = 0;
  for (auto _ : state) {
    // The reader must be idle in its wait, not in the pause after a key.
    if (!zt::wait_for([&] { return a.cmd("<keystate />") == "<key state=\"not connected\" value=\"\"/>"; },
                      std::chrono::seconds(10))) {
      state.SkipWithError("reader did not become idle");
      break;
    }
    off_t from = file_size(a.root.file("/tmp/appliance-sim.journal"));
    // Known keys from the end of the table, so the lookup scans it all.
    std::string key = key_text(KEYS - 1 - (round++ % 100));
    auto t0 = std::chrono::steady_clock::now();
    a.root.write("/tmp/w1.key", key);
    bool logged = wait_access_entry(a.root, from);
    auto t1 = std::chrono::steady_clock::now();
    a.root.remove("/tmp/w1.key");
    if (!logged) {
      state.SkipWithError("no access entry");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
}
BENCHMARK(BM_KeyDecision)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_KeysList(benchmark::State &state)
{
  Appliance &a = appliance();
  if (!a.up) {
    state.SkipWithError("warderd did not start");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) {
    std::string reply = a.cmd("<keyslist />");
    if (reply.rfind("<database><e k=", 0) != 0 || reply.size() < static_cast<size_t>(KEYS) * 30) {
      state.SkipWithError("incomplete key list");
      break;
    }
    bytes = reply.size();
  }
  state.counters["reply_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_KeysList)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
