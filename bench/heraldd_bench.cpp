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
//  - FireToCommand: from sending a firing (value on) of a mail or trap
//    notifier to the start of its outside command, median and 99th
//    percentile of 200 firings (each of a different notifier, one at a time,
//    the sender idle between them); with no hung server, and with three
//    other notifiers whose server listens and never answers, each fired three
//    times first, their commands hanging for the whole run (the normal
//    deadline of 90 s). The stand-ins mark their start on a FIFO that a
//    thread of the benchmark watches, so a start is timed as it happens.
//  - ClipCpu: heraldd's own CPU time (user and system, /proc/PID/stat) from
//    firing a video mail (value pulse) whose clip takes 5 s until its mail
//    has gone out, and the time of a getelement of that notifier while the
//    clip is being made.
#include <benchmark/benchmark.h>

#include "bench_cpu.h"
#include "harness.h"
#include "heraldd_settings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// The stand-ins' start marks: each stand-in writes a letter to a FIFO under
// the root as it starts, and a thread notes when each letter arrives (the
// benchmark may be waiting for a reply then).
class Marks {
public:
  explicit Marks(const zt::Root &root) : path_(root.file("/tmp/marks"))
  {
    mkfifo(path_.c_str(), 0600);
    fd_ = open(path_.c_str(), O_RDWR);  // a writer of its own: no end of file between stand-ins
    watcher_ = std::thread([this] { watch(); });
  }
  ~Marks()
  {
    write(fd_, "q", 1);
    watcher_.join();
    close(fd_);
  }
  const std::string &path() const { return path_; }

  // The time of the n-th mark of `letter` (from 1), once it is there
  // (within 30 s); false without.
  bool at(char letter, size_t n, std::chrono::steady_clock::time_point &when)
  {
    std::unique_lock<std::mutex> hold(lock_);
    auto nth = [&] {
      size_t seen = 0;
      for (const auto &[l, t] : marks_)
        if (l == letter && ++seen == n) {
          when = t;
          return true;
        }
      return false;
    };
    return arrived_.wait_for(hold, std::chrono::seconds(30), nth);
  }

private:
  void watch()
  {
    char letters[64];
    for (;;) {
      ssize_t got = read(fd_, letters, sizeof letters);
      auto now = std::chrono::steady_clock::now();
      std::lock_guard<std::mutex> hold(lock_);
      for (ssize_t i = 0; i < got; i++) {
        if (letters[i] == 'q')
          return;
        marks_.emplace_back(letters[i], now);
      }
      arrived_.notify_all();
      if (got <= 0)
        return;
    }
  }

  std::string path_;
  int fd_ = -1;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<std::pair<char, std::chrono::steady_clock::time_point>> marks_;
  std::thread watcher_;
};

// An outside program's stand-in (mode 0755 at `rel`): it marks its start
// with `letter`, then takes its input and returns at once; one whose
// arguments name the hung port marks 'h' and waits like a client of that
// server. `then` runs between the mark and the end.
void stand_in(const zt::Root &root, const std::string &rel, const Marks &marks, char letter, int hung_port,
              const std::string &then = "")
{
  std::string script = "#!/bin/sh\n";
  if (hung_port != 0)
    script += "case \" $* \" in *\":" + std::to_string(hung_port) + " \"*) printf h >>" + marks.path() +
              "; exec sleep 600;; esac\n";
  script += std::string("printf ") + letter + " >>" + marks.path() + "\n" + then + "exec cat >/dev/null\n";
  root.write(rel, script);
  chmod(root.file(rel).c_str(), 0755);
}

// The log lines of sends that went out.
size_t sent(const Appliance &a)
{
  size_t n = 0;
  for (const std::string &line : a.sim->journal_of("chronicled"))
    n += line.find(" was sent") != std::string::npos;
  return n;
}

std::string fire(int id, const char *value = "on")
{
  return "<updateelement element=\"" + std::to_string(id) + "\" value=\"" + value + "\" textready=\"Alarm\" />";
}

constexpr int FIRINGS = 200;

// Arguments: trap (0 mail, 1 trap), hung (hung notifiers before the
// measured ones). A mail notifier of the settings file has two recipients:
// a command each, the first one timed.
void BM_FireToCommand(benchmark::State &state)
{
  const bool trap = state.range(0) != 0;
  const int hung = static_cast<int>(state.range(1));
  const int first = trap ? 104 + PER_KIND : 104;
  const size_t commands = trap ? 1 : 2;
  Appliance a(true);
  Marks marks(a.root);
  zt::HungServer server;
  stand_in(a.root, "/usr/sbin/sendmail", marks, 's', server.port());
  stand_in(a.root, "/usr/bin/snmptrap", marks, 's', server.port());
  if (!a.start()) {
    state.SkipWithError("heraldd did not start");
    return;
  }
  std::string to_hung = std::string(" server=\"127.0.0.1\" port=\"") + std::to_string(server.port()) + "\"" +
                        (trap ? "" : " ssl_active=\"false\"");
  for (int id = first; id < first + hung; id++) {
    a.cmd("<updateelement element=\"" + std::to_string(id) + "\"" + to_hung + " />");
    for (int i = 0; i < 3; i++)
      a.cmd(fire(id));
  }
  std::chrono::steady_clock::time_point start;
  if (hung > 0 && !marks.at('h', static_cast<size_t>(hung), start)) {
    state.SkipWithError("the hung commands did not start");
    a.stop();
    return;
  }
  a.sim->clear_journal();
  std::vector<double> ms;
  for (auto _ : state) {
    for (int i = 0; i < FIRINGS; i++) {
      auto t0 = std::chrono::steady_clock::now();
      a.cmd(fire(first + hung + i));
      // The sender idle again (every command logged) before the next one.
      if (!marks.at('s', i * commands + 1, start) ||
          !zt::wait_for([&] { return sent(a) >= (i + 1) * commands; }, std::chrono::seconds(30))) {
        state.SkipWithError("a firing's command did not run");
        break;
      }
      ms.push_back(std::chrono::duration<double, std::milli>(start - t0).count());
    }
    if (ms.size() < FIRINGS)
      break;
    std::sort(ms.begin(), ms.end());
    state.SetIterationTime(ms[FIRINGS / 2] / 1000);
  }
  if (ms.size() == FIRINGS) {
    state.counters["median_ms"] = ms[FIRINGS / 2];
    state.counters["p99_ms"] = ms[(FIRINGS * 99 + 99) / 100 - 1];
  }
  a.stop();
}
BENCHMARK(BM_FireToCommand)
    ->ArgsProduct({{0, 1}, {0, 3}})
    ->ArgNames({"trap", "hung"})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_ClipCpu(benchmark::State &state)
{
  Appliance a(true);
  Marks marks(a.root);
  stand_in(a.root, "/usr/sbin/sendmail", marks, 's', 0);
  stand_in(a.root, "/usr/bin/clipbuild.sh", marks, 'c', 0,
           "sleep 5\nprintf 'OggS stand-in clip\\n' >" + a.root.file("/tmp/out.avi") + "\n");
  if (!a.start()) {
    state.SkipWithError("heraldd did not start");
    return;
  }
  a.sim->clear_journal();
  const std::string get = "<getelement element=\"104\" />";
  double cpu = 0, get_ms = 0;
  for (auto _ : state) {
    double cpu0 = process_cpu_seconds(a.heraldd->pid());
    auto t0 = std::chrono::steady_clock::now();
    a.cmd(fire(104, "pulse"));
    std::chrono::steady_clock::time_point clip;
    if (!marks.at('c', 1, clip)) {
      state.SkipWithError("the clip did not start");
      break;
    }
    auto g0 = std::chrono::steady_clock::now();
    bool described = a.cmd(get).find("<element id=\"104\"") == 0;
    auto g1 = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point mail;
    if (!described || !marks.at('s', 1, mail) ||
        !zt::wait_for([&] { return sent(a) >= 2; }, std::chrono::seconds(30))) {
      state.SkipWithError(described ? "the video mail did not go out" : "no description");
      break;
    }
    auto t1 = std::chrono::steady_clock::now();
    cpu = process_cpu_seconds(a.heraldd->pid()) - cpu0;
    get_ms = std::chrono::duration<double, std::milli>(g1 - g0).count();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  state.counters["cpu_s"] = cpu;
  state.counters["getelement_ms"] = get_ms;
  a.stop();
}
BENCHMARK(BM_ClipCpu)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
