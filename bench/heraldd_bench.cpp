// heraldd with 999 notifiers of each kind (loaded from its settings file):
//  - GetelementLast: the description of the last trap notifier, which the
//    lookup reaches after the mail and SMS lists;
//  - Save: the save command, the whole settings file written and synced;
//  - StartupReplay: from starting the daemon to its first answer, the
//    replay of the 2,997 lines included; with the element database (each
//    notifier registered, then named: two exchanges each) and without one
//    (argument 0: the daemon's own share).
#include <benchmark/benchmark.h>

#include "harness.h"
#include "heraldd_settings.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <string>

namespace {

struct Appliance {
  zt::Root root;
  std::unique_ptr<zt::Sim> sim;
  std::unique_ptr<zt::Process> heraldd;

  explicit Appliance(bool registry = true)
  {
    root.write("/etc/snmp/heraldd.conf", "agentXSocket unix:" + root.file("/tmp/agentx") + "\n");
    root.write("/usr/sbin/sendmail", "#!/bin/sh\n");
    root.write("/mnt/jffs/etc/heraldd.xml", settings_file());
    sim = std::make_unique<zt::Sim>(root, registry ? std::vector<std::string>{}
                                                   : std::vector<std::string>{"--except", "registryd"});
  }

  // Starts heraldd; true once it answers.
  bool start()
  {
    heraldd = std::make_unique<zt::Process>(zt::bin("heraldd"), std::vector<std::string>{"heraldd"},
                                            root.env());
    return zt::wait_for([&] { return cmd("<test />") == "<error type='Test ok' />"; },
                        std::chrono::seconds(30));
  }

  void stop()
  {
    heraldd->signal(SIGTERM);
    heraldd->wait(std::chrono::seconds(30));
  }

  std::string cmd(std::string_view c) const
  {
    return zt::exchange(root, "/tmp/heraldd.socket", c, std::chrono::seconds(30));
  }
};

// One daemon for the commands, started once; null when it did not start.
Appliance *running()
{
  static Appliance a;
  static bool up = a.start();
  return up ? &a : nullptr;
}

void BM_GetelementLast(benchmark::State &state)
{
  Appliance *ap = running();
  if (ap == nullptr) {
    state.SkipWithError("heraldd did not start");
    return;
  }
  Appliance &a = *ap;
  // Modules 101-103, then the mails, traps and SMS in file order.
  std::string command = "<getelement element=\"" + std::to_string(103 + 2 * PER_KIND) + "\" />";
  for (auto _ : state) {
    if (a.cmd(command).find(" type=\"trap\"") == std::string::npos) {
      state.SkipWithError("no description of the last trap");
      break;
    }
  }
}
BENCHMARK(BM_GetelementLast)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

void BM_Save(benchmark::State &state)
{
  Appliance *ap = running();
  if (ap == nullptr) {
    state.SkipWithError("heraldd did not start");
    return;
  }
  Appliance &a = *ap;
  for (auto _ : state) {
    if (a.cmd("<save />") != "<error type='no error' />") {
      state.SkipWithError("save failed");
      break;
    }
  }
  state.counters["file_bytes"] = static_cast<double>(a.root.read("/mnt/jffs/etc/heraldd.xml").size());
}
BENCHMARK(BM_Save)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

void BM_StartupReplay(benchmark::State &state)
{
  Appliance a(state.range(0) != 0);
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    bool up = a.start();
    auto t1 = std::chrono::steady_clock::now();
    a.stop();
    if (!up) {
      state.SkipWithError("heraldd did not start");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
}
BENCHMARK(BM_StartupReplay)
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
