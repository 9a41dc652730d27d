// Walks of heraldd's three notifier tables with 999 notifiers each (33,966
// values under .1.3.6.1.4.1.99999.2, by GETBULK of 10, as snmpbulkwalk asks)
// against a walk of the same rows served by bare_table_agent, a bare
// table-array agent built from the same library (no daemon, no locks), in
// one run, alternating walk by walk:
//  - TableWalk_Master: heraldd -m and the bare agent, each the master agent
//    on its own loopback port;
//  - TableWalk_Agentx: each the AgentX subagent of its own Debian snmpd.
// Counters: milliseconds per walk of each, ratio = heraldd's time / the bare
// agent's (the aim: at most 1.2), and the agents' own CPU time per walk
// (with snmpd's, for AgentX) and its ratio, steadier on a loaded machine.
// The client and every server run on one CPU (bench_cpu.h).
#include <benchmark/benchmark.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_cpu.h"
#include "harness.h"
#include "heraldd_settings.h"

namespace {

constexpr long kValues = PER_KIND * (14 + 11 + 9);
const oid kTables[] = {1, 3, 6, 1, 4, 1, 99999, 2};

// A GETBULK walk of the tables with the library's client.
class Walker {
public:
  explicit Walker(int port)
  {
    netsnmp_session s;
    snmp_sess_init(&s);
    std::string peer = "udp:127.0.0.1:" + std::to_string(port);
    s.peername = peer.data();
    s.version = SNMP_VERSION_2c;
    s.community = reinterpret_cast<u_char *>(const_cast<char *>("public"));
    s.community_len = 6;
    s.timeout = 5 * 1000 * 1000;
    s.retries = 1;
    session_ = snmp_sess_open(&s);
  }
  ~Walker()
  {
    if (session_ != nullptr)
      snmp_sess_close(session_);
  }
  Walker(const Walker &) = delete;
  Walker &operator=(const Walker &) = delete;

  // The number of values under the tables, or -1 when a request failed.
  long walk()
  {
    oid name[MAX_OID_LEN];
    size_t len = OID_LENGTH(kTables);
    std::memcpy(name, kTables, sizeof kTables);
    long count = 0;
    for (;;) {
      netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GETBULK);
      pdu->non_repeaters = 0;
      pdu->max_repetitions = 10;
      snmp_add_null_var(pdu, name, len);
      netsnmp_pdu *response = nullptr;
      if (session_ == nullptr || snmp_sess_synch_response(session_, pdu, &response) != STAT_SUCCESS ||
          response->errstat != SNMP_ERR_NOERROR) {
        if (response != nullptr)
          snmp_free_pdu(response);
        return -1;
      }
      bool end = response->variables == nullptr;
      for (netsnmp_variable_list *v = response->variables; v != nullptr && !end; v = v->next_variable) {
        end = v->type == SNMP_ENDOFMIBVIEW ||
              snmp_oidtree_compare(kTables, OID_LENGTH(kTables), v->name, v->name_length) != 0;
        if (!end) {
          count++;
          std::memcpy(name, v->name, v->name_length * sizeof(oid));
          len = v->name_length;
        }
      }
      snmp_free_pdu(response);
      if (end)
        return count;
    }
  }

private:
  void *session_ = nullptr;
};

// One side of a comparison: where to walk and whose CPU time counts.
struct Side {
  std::unique_ptr<zt::Root> root = std::make_unique<zt::Root>();
  std::unique_ptr<zt::Sim> sim;
  std::unique_ptr<zt::Snmpd> snmpd;
  std::unique_ptr<zt::Process> agent;
  int port = -1;
  bool ready = false;

  double cpu_ns() const
  {
    return process_cpu_ns(agent->pid()) + (snmpd ? process_cpu_ns(snmpd->proc().pid()) : 0);
  }
};

// An agent serving the benchmark's rows: heraldd (with the element
// database and the settings file of 999 notifiers of each kind) or
// bare_table_agent; the master agent on its own loopback port, or the
// subagent of its own snmpd. Ready once a walk of the tables is whole.
std::unique_ptr<Side> start_side(const std::string &program, bool master)
{
  auto side = std::make_unique<Side>();
  const zt::Root &root = *side->root;
  const std::string conf = "/etc/snmp/" + program + ".conf";
  std::vector<std::string> argv = {program};
  if (master) {
    side->port = zt::free_udp_port();
    root.write(conf, "agentaddress udp:127.0.0.1:" + std::to_string(side->port) +
                         "\nrocommunity public 127.0.0.1\ndontLogTCPWrappersConnects yes\n");
    argv.push_back("-m");
  } else {
    root.write(conf, "agentXSocket unix:" + root.file("/tmp/agentx") + "\n");
    side->snmpd = std::make_unique<zt::Snmpd>(root, root.file("/tmp/agentx"));
    side->port = side->snmpd->port();
    if (!side->snmpd->ready())
      return side;
  }
  if (program == "heraldd") {
    root.write("/usr/sbin/sendmail", "#!/bin/sh\n");
    root.write("/mnt/jffs/etc/heraldd.xml", settings_file());
    side->sim = std::make_unique<zt::Sim>(root);
  }
  side->agent = std::make_unique<zt::Process>(zt::bin(program), argv, root.env());
  Walker w(side->port);
  side->ready = zt::wait_for([&] { return w.walk() == kValues; }, std::chrono::seconds(60));
  return side;
}

bool timed_walk(Walker &w, std::chrono::steady_clock::duration &spent)
{
  auto t0 = std::chrono::steady_clock::now();
  bool whole = w.walk() == kValues;
  spent += std::chrono::steady_clock::now() - t0;
  return whole;
}

// The two sides of a role, started once for all repetitions.
struct Pair {
  std::unique_ptr<Side> heraldd, bare;
};

Pair &pair_of(bool master)
{
  static Pair pairs[2];
  Pair &p = pairs[master ? 1 : 0];
  if (!p.heraldd) {
    p.heraldd = start_side("heraldd", master);
    p.bare = start_side("bare_table_agent", master);
  }
  return p;
}

void compare(benchmark::State &state, bool master)
{
  Pair &pair = pair_of(master);
  Side *heraldd = pair.heraldd.get(), *bare = pair.bare.get();
  if (!heraldd->ready || !bare->ready) {
    state.SkipWithError(!heraldd->ready ? "heraldd's tables did not answer" : "the bare agent did not answer");
    return;
  }
  Walker to_heraldd(heraldd->port), to_bare(bare->port);
  std::chrono::steady_clock::duration heraldd_time{}, bare_time{};
  double heraldd_cpu = heraldd->cpu_ns(), bare_cpu = bare->cpu_ns();
  for (auto _ : state) {
    if (!timed_walk(to_heraldd, heraldd_time) || !timed_walk(to_bare, bare_time)) {
      state.SkipWithError("a walk was cut short");
      return;
    }
  }
  heraldd_cpu = heraldd->cpu_ns() - heraldd_cpu;
  bare_cpu = bare->cpu_ns() - bare_cpu;
  double n = static_cast<double>(state.iterations());
  double heraldd_s = std::chrono::duration<double>(heraldd_time).count();
  double bare_s = std::chrono::duration<double>(bare_time).count();
  state.counters["heraldd_ms"] = heraldd_s / n * 1000;
  state.counters["bare_ms"] = bare_s / n * 1000;
  state.counters["ratio"] = heraldd_s / bare_s;
  state.counters["heraldd_cpu_ms"] = heraldd_cpu / n / 1e6;
  state.counters["bare_cpu_ms"] = bare_cpu / n / 1e6;
  state.counters["cpu_ratio"] = heraldd_cpu / bare_cpu;
}

void BM_TableWalk_Master(benchmark::State &state)
{
  compare(state, true);
}

void BM_TableWalk_Agentx(benchmark::State &state)
{
  compare(state, false);
}

BENCHMARK(BM_TableWalk_Master)->Iterations(10)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TableWalk_Agentx)->Iterations(10)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
  signal(SIGPIPE, SIG_IGN);
  bench_pin_to_one_cpu();
  // The client library kept to a folder of its own: no MIB, no system
  // configuration.
  zt::Root client;
  setenv("MIBS", "", 1);
  setenv("SNMPCONFPATH", client.file("/var/tmp").c_str(), 1);
  setenv("SNMP_PERSISTENT_DIR", client.file("/var/tmp").c_str(), 1);
  std::error_code ignored;
  std::filesystem::create_directories(client.file("/var/tmp/cert_indexes"), ignored);
  init_snmp("heraldd_tables_bench");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  snmp_shutdown("heraldd_tables_bench");
  return 0;
}
