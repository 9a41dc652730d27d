// heraldd with 999 notifiers of each kind (loaded from its settings file):
//  - GetelementLast: the description of the last trap notifier, which the
//    lookup reaches after the mail and SMS lists;
//  - Save: the save command, the whole settings file written and synced;
//  - StartupReplay: from starting the daemon to its first answer, the
//    replay of the 2,997 lines included; with the element database (each
//    notifier registered, then named: two exchanges each) and without one
//    (argument 0: the daemon's own share).
//  - FireMails / FireTraps: 100 notifiers fired through the socket (mails
//    with 5 recipients each), against outside programs that return at once:
//    the time until every reply is back (the command side), and until every
//    record has run and been logged (the sender), as records per second.
#include <benchmark/benchmark.h>

#include "harness.h"
#include "heraldd_settings.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <sys/stat.h>

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

// Fires 100 notifiers of a kind, `records` records in all; reports the reply
// path and the sender's throughput.
void fire_all(benchmark::State &state, const std::string &add, int records)
{
  Appliance a(true);
  a.root.write("/mnt/jffs/etc/heraldd.xml", "<settings/>\n");
  a.root.write("/usr/sbin/sendmail", "#!/bin/sh\n");
  a.root.write("/usr/bin/snmptrap", "#!/bin/sh\n");
  chmod(a.root.file("/usr/sbin/sendmail").c_str(), 0755);
  chmod(a.root.file("/usr/bin/snmptrap").c_str(), 0755);
  if (!a.start()) {
    state.SkipWithError("heraldd did not start");
    return;
  }
  for (int i = 0; i < 100; i++)
    a.cmd(add);
  double replies = 0, sent = 0;
  for (auto _ : state) {
    a.sim->clear_journal();
    auto t0 = std::chrono::steady_clock::now();
    for (int id = 104; id < 204; id++)
      a.cmd("<updateelement element=\"" + std::to_string(id) + "\" value=\"on\" textready=\"Alarm\" />");
    auto t1 = std::chrono::steady_clock::now();
    bool all = zt::wait_for([&] { return a.sim->journal_of("chronicled").size() >= static_cast<size_t>(records); },
                            std::chrono::seconds(60));
    auto t2 = std::chrono::steady_clock::now();
    if (!all) {
      state.SkipWithError("not every record ran");
      break;
    }
    replies = std::chrono::duration<double, std::milli>(t1 - t0).count();
    sent = records / std::chrono::duration<double>(t2 - t0).count();
    state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
  }
  state.counters["replies_ms"] = replies;
  state.counters["records_per_s"] = sent;
  a.stop();
}

void BM_FireMails(benchmark::State &state)
{
  fire_all(state, "<addmail server=\"127.0.0.1\" to=\"1@x 2@x 3@x 4@x 5@x\" />", 500);
}
BENCHMARK(BM_FireMails)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

void BM_FireTraps(benchmark::State &state)
{
  fire_all(state, "<addtrap server=\"127.0.0.1\" comunity=\"public\" />", 100);
}
BENCHMARK(BM_FireTraps)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
