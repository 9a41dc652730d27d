// stewardd stand-in: keeps the system settings, the RADIUS server
// description and the clock offset, and answers the gateway's commands from
// them. Commands that would run something (<execute />, <exepipe />, reboot,
// recovery, upgrade) are journaled and acknowledged, never run.
#include "sim.h"

#include <chrono>
#include <ctime>

namespace sim {

namespace {

using Attrs = std::vector<std::pair<std::string, std::string>>;

// A settings group: read with <GET />, changed with <SET attr=... />, and
// answered as <ELEMENT attr=... />.
struct SettingsGroup {
  const char *get;
  const char *set;
  const char *element;
  Attrs values;  // defaults, then what was set
};

std::mutex g_lock;

SettingsGroup g_groups[] = {
    {"getsettings", "setsettings", "settings",
     {{"ip", "192.168.0.100"}, {"netmask", "255.255.255.0"}, {"broadcast", "192.168.0.255"},
      {"gateway", "192.168.0.1"}, {"dns1", "192.168.0.1"}, {"dns2", ""}, {"dns3", ""},
      {"mac", "00:11:22:33:44:55"}, {"hostname", "appliance"}, {"dhcp_active", "0"},
      {"can_active", "0"}, {"dyndns_active", "0"}}},
    {"gethttpd", "sethttpd", "httpd", {{"ssl", "0"}, {"port", "80"}}},
    {"getsnmp", "setsnmp", "snmp", {{"version", "2"}, {"rocommunity", "public"}, {"rwcommunity", "private"}}},
    {"gettimeconf", "settimeconf", "timeconf", {{"gmtofs", "0"}, {"dst", "0"}, {"ntp1", "pool.ntp.org"}, {"ntp2", ""}}},
    {"getftpbackup", "setftpbackup", "ftpbackup", {{"address", ""}, {"port", "21"}, {"interval", "0"}}},
};

std::string g_radius;        // "addr:port:secret" or empty
long long g_clock_offset = 0;  // set time minus real time, seconds

void set_value(Attrs &list, const std::string &k, const std::string &v)
{
  for (auto &kv : list)
    if (kv.first == k) {
      kv.second = v;
      return;
    }
  list.emplace_back(k, v);
}

const std::string *value_of(const Attrs &list, std::string_view k)
{
  for (const auto &kv : list)
    if (kv.first == k)
      return &kv.second;
  return nullptr;
}

// Settings groups are found by command name, for both reading and setting.
int settings_fallback(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  for (auto &g : g_groups) {
    if (cmd.root.name == g.get) {
      reply = std::string("<") + g.element;
      for (const auto &[k, v] : g.values)
        append_attr(reply, k, v);
      reply += " />";
      return 0;
    }
    if (cmd.root.name == g.set) {
      for (const auto &[k, v] : cmd.root.attrs)
        set_value(g.values, k, v);
      reply = kNoError;
      return 0;
    }
  }
  reply = kNoError;
  return 0;
}

// <getradius />: plain text "addr:port:secret", empty when none is set (the
// connection is then closed without a byte of reply).
int cmd_getradius(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  reply = g_radius;
  return 0;
}

// <setradius srv1="addr:port:secret" /> (empty: no server).
int cmd_setradius(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  g_radius = cmd.root.get("srv1");
  reply = kNoError;
  return 0;
}

// <settime time="SECONDS" />: the clock of the stand-in (the machine's own
// clock is left alone).
int cmd_settime(const Command &cmd, std::string &reply)
{
  long t = parse_long(cmd.root.get("time"), -1);
  if (t < 0) {
    reply = error_reply("wrong time");
    return 0;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  g_clock_offset = static_cast<long long>(t) - static_cast<long long>(std::time(nullptr));
  reply = kNoError;
  return 0;
}

// <gettime />: the stand-in's clock.
int cmd_gettime(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  reply = "<time time=\"" + std::to_string(static_cast<long long>(std::time(nullptr)) + g_clock_offset) + "\" />";
  return 0;
}

// <getperfomance />: attribute text placed among the system element's.
int cmd_getperfomance(const Command &, std::string &reply)
{
  reply = "cpu=\"3\" mem=\"41\"";
  return 0;
}

// <optime />: operation time in whole hours.
int cmd_optime(const Command &, std::string &reply)
{
  static const auto start = std::chrono::steady_clock::now();
  auto hours = std::chrono::duration_cast<std::chrono::hours>(std::chrono::steady_clock::now() - start).count();
  reply = std::to_string(1234 + hours);
  return 0;
}

// <txtsettings />: one line of text for the plain-text report.
int cmd_txtsettings(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  const Attrs &net = g_groups[0].values;
  auto get = [&](const char *k) { const std::string *v = value_of(net, k); return v ? *v : std::string(); };
  reply = "ip: " + get("ip") + ", netmask: " + get("netmask") + ", gateway: " + get("gateway") +
          ", hostname: " + get("hostname") + "\n";
  return 0;
}

// <execute cmd="..." /> and <exepipe cmd="..." />: recorded in the journal,
// never run.
int cmd_execute(const Command &cmd, std::string &reply)
{
  reply = cmd.root.has("cmd") ? kNoError : error_reply("some parameters are not specified");
  return 0;
}

constexpr CommandRow kRows[] = {
    {"getradius", cmd_getradius},       {"setradius", cmd_setradius},   {"settime", cmd_settime},
    {"gettime", cmd_gettime},           {"getperfomance", cmd_getperfomance},
    {"optime", cmd_optime},             {"txtsettings", cmd_txtsettings},
    {"execute", cmd_execute},           {"exepipe", cmd_execute},
};

}  // namespace

const CommandTable stewardd_table = make_table(kRows, settings_fallback);

}  // namespace sim
