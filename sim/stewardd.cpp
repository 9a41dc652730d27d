// stewardd stand-in: keeps the system settings, the RADIUS server
// description and the clock offset, and answers the gateway's commands from
// them. Commands that would run something (<execute />, <exepipe />, reboot,
// recovery, upgrade) are journaled and acknowledged; the few whose effect the
// gateway relies on are carried out by the stand-in itself (no shell): the
// settings backup (backup.sh), moving an uploaded language file into place
// (mv) and removing one (rm -f).
#include "sim.h"

#include "zun_path.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

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
        attrs_set(g.values, k, v);
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

// A ustar header block for a regular file of `size` bytes.
std::string tar_header(const std::string &name, uintmax_t size, long mtime)
{
  std::string h(512, '\0');
  auto put = [&](size_t at, size_t width, const std::string &text) {
    size_t n = std::min(width, text.size());
    h.replace(at, n, text, 0, n);
  };
  auto octal = [](uintmax_t v, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*jo", digits, v);
    return std::string(buf);
  };
  put(0, 100, name);
  put(100, 8, octal(0644, 7));
  put(108, 8, octal(0, 7));
  put(116, 8, octal(0, 7));
  put(124, 12, octal(size, 11));
  put(136, 12, octal(static_cast<uintmax_t>(mtime), 11));
  put(148, 8, "        ");
  h[156] = '0';
  put(257, 6, std::string("ustar", 6));
  put(263, 2, "00");
  unsigned sum = 0;
  for (unsigned char c : h)
    sum += c;
  put(148, 8, octal(sum, 6));
  h[154] = '\0';
  h[155] = ' ';
  return h;
}

// backup.sh: /var/tmp/settings.orv becomes a tar archive of the regular
// files under /mnt/jffs/etc (names from "etc/"), written whole. The
// sessions' secret stays on the appliance.
bool make_backup()
{
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path from = zunpath("/mnt/jffs/etc");
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec) && it->path().filename() != "session.key")
      files.push_back(it->path());
  std::sort(files.begin(), files.end());
  std::string archive;
  for (const fs::path &f : files) {
    std::string name = "etc/" + fs::relative(f, from, ec).string();
    std::ifstream in(f, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    if (name.size() > 99 || !in)
      continue;
    auto written = std::chrono::file_clock::to_sys(fs::last_write_time(f, ec));
    long mtime = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(written.time_since_epoch()).count());
    archive += tar_header(name, data.str().size(), mtime < 0 ? 0 : mtime) + data.str();
    archive.append((512 - archive.size() % 512) % 512, '\0');
  }
  archive.append(1024, '\0');
  std::string path = zunpath("/var/tmp/settings.orv");
  std::string tmp = path + ".part";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << archive;
    if (!out.flush())
      return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// mv SRC DEST (DEST ending in '/' names a folder): the paths as the command
// writes them, mapped under the root.
bool move_file(const std::string &src, const std::string &dest)
{
  namespace fs = std::filesystem;
  fs::path to = zunpath(dest);
  if (!dest.empty() && dest.back() == '/')
    to /= fs::path(src).filename();
  std::error_code ec;
  fs::rename(zunpath(src), to, ec);
  if (ec == std::errc::cross_device_link &&
      fs::copy_file(zunpath(src), to, fs::copy_options::overwrite_existing, ec))
    fs::remove(zunpath(src), ec);
  return !ec;
}

// <execute cmd="..." /> and <exepipe cmd="..." />: recorded in the journal;
// backup.sh, "mv SRC DEST" and "rm -f PATH" are carried out, anything else
// is acknowledged only.
int cmd_execute(const Command &cmd, std::string &reply)
{
  if (!cmd.root.has("cmd")) {
    reply = error_reply("some parameters are not specified");
    return 0;
  }
  std::istringstream line(cmd.root.get("cmd"));
  std::vector<std::string> words;
  for (std::string w; line >> w;)
    words.push_back(w);
  bool ok = true;
  if (words.size() == 1 && words[0] == "backup.sh")
    ok = make_backup();
  else if (words.size() == 3 && words[0] == "mv")
    ok = move_file(words[1], words[2]);
  else if (words.size() == 3 && words[0] == "rm" && words[1] == "-f") {
    std::error_code gone;  // rm -f: a file that is not there is no failure
    std::filesystem::remove(zunpath(words[2]), gone);
  }
  reply = ok ? kNoError : error_reply("command failed");
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
