// chronicled stand-in: keeps the log entries it receives and answers the
// log commands from them.
#include "sim.h"

#include <ctime>

namespace sim {

namespace {

struct Entry {
  unsigned id;
  long long time;
  std::string type, message, level;
};

constexpr const char *kLevels[] = {"Emergency", "Alert",  "Critical",      "Error",
                                   "Warning",   "Notice", "Informational", "Debug"};

std::mutex g_lock;
std::vector<Entry> g_entries;
unsigned g_next_id = 1;
std::vector<std::pair<std::string, std::string>> g_log_levels = {
    {"Emergency", "1"}, {"Alert", "1"}, {"Critical", "1"}, {"Error", "1"},
    {"Warning", "1"},   {"Notice", "1"}, {"Informational", "1"}, {"Debug", "0"},
};
std::string g_sdcard = "unmounted";

void add_entry(std::string type, std::string message, std::string level)
{
  g_entries.push_back({g_next_id++, static_cast<long long>(std::time(nullptr)), std::move(type), std::move(message),
                       std::move(level)});
}

std::string entry_xml(const Entry &e)
{
  std::string out = "<entry";
  append_attr(out, "id", std::to_string(e.id));
  append_attr(out, "time", std::to_string(e.time));
  append_attr(out, "type", e.type);
  append_attr(out, "message", e.message);
  append_attr(out, "level", e.level);
  out += " />";
  return out;
}

// <entry type message level />
int cmd_entry(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  add_entry(cmd.root.get("type"), cmd.root.get("message"), cmd.root.get("level"));
  reply = kNoError;
  return 0;
}

// <fulldump><element id ... /></fulldump>: a change record, kept as an
// entry of type "fulldump" whose message is the record's text.
int cmd_fulldump(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  add_entry("fulldump", cmd.text, "8");
  reply = kNoError;
  return 0;
}

// <log time offset count />: entries not older than time, newest first,
// skipping offset, at most count (50 when absent).
int cmd_log(const Command &cmd, std::string &reply)
{
  long since = parse_long(cmd.root.get("time"), 0);
  long offset = parse_long(cmd.root.get("offset"), 0);
  long count = parse_long(cmd.root.get("count"), 50);
  std::lock_guard<std::mutex> hold(g_lock);
  std::string items;
  long skipped = 0, taken = 0;
  for (auto it = g_entries.rbegin(); it != g_entries.rend() && taken < count; ++it) {
    if (it->time < since)
      continue;
    if (skipped++ < offset)
      continue;
    items += entry_xml(*it);
    taken++;
  }
  reply = "<log total=\"" + std::to_string(g_entries.size()) + "\" count=\"" + std::to_string(taken) + "\">" +
          items + "</log>";
  return 0;
}

// <datelog />: the time span of the log.
int cmd_datelog(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  long long first = g_entries.empty() ? 0 : g_entries.front().time;
  long long last = g_entries.empty() ? 0 : g_entries.back().time;
  reply = "<datelog first=\"" + std::to_string(first) + "\" last=\"" + std::to_string(last) + "\" />";
  return 0;
}

int cmd_clearlog(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  g_entries.clear();
  reply = kNoError;
  return 0;
}

// <loglevel Emergency=... Debug=... />: only the eight severities are kept.
int cmd_loglevel(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  for (const auto &[k, v] : cmd.root.attrs)
    for (auto &lv : g_log_levels)
      if (lv.first == k)
        lv.second = v;
  reply = kNoError;
  return 0;
}

int cmd_loglevelget(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  reply = "<loglevel";
  for (const char *name : kLevels)
    for (const auto &lv : g_log_levels)
      if (lv.first == name)
        append_attr(reply, lv.first, lv.second);
  reply += " />";
  return 0;
}

int cmd_getsdcard(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  reply = "<sdcard";
  append_attr(reply, "state", g_sdcard);
  reply += " size=\"0\" free=\"0\" />";
  return 0;
}

// <setsdcard cmd="mount|umount|format" />
int cmd_setsdcard(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  std::string c = cmd.root.get("cmd");
  if (c == "mount")
    g_sdcard = "mounted";
  else if (c == "umount")
    g_sdcard = "unmounted";
  else if (c != "format") {
    reply = error_reply("wrong command");
    return 0;
  }
  reply = kNoError;
  return 0;
}

// <rss />: the log as a feed, newest first.
int cmd_rss(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  reply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\"><channel>"
          "<title>Appliance log</title><link>http://127.0.0.1/</link><description>Events</description>";
  for (auto it = g_entries.rbegin(); it != g_entries.rend(); ++it) {
    char date[64];
    std::time_t t = static_cast<std::time_t>(it->time);
    struct tm tm;
    gmtime_r(&t, &tm);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    reply += "<item><title>" + xml_escape(it->type) + "</title><description>" + xml_escape(it->message) +
             "</description><pubDate>" + date + "</pubDate></item>";
  }
  reply += "</channel></rss>\n";
  return 0;
}

// <savetxt />: the log as text, one line per entry, oldest first.
int cmd_savetxt(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_lock);
  reply.clear();
  for (const auto &e : g_entries) {
    char date[32];
    std::time_t t = static_cast<std::time_t>(e.time);
    struct tm tm;
    localtime_r(&t, &tm);
    std::strftime(date, sizeof date, "%Y-%m-%d %T", &tm);
    reply += std::string(date) + "\t" + e.type + "\t" + e.level + "\t" + e.message + "\r\n";
  }
  return 0;
}

constexpr CommandRow kRows[] = {
    {"entry", cmd_entry},         {"fulldump", cmd_fulldump},       {"log", cmd_log},
    {"datelog", cmd_datelog},     {"clearlog", cmd_clearlog},       {"loglevel", cmd_loglevel},
    {"loglevelget", cmd_loglevelget}, {"getsdcard", cmd_getsdcard}, {"setsdcard", cmd_setsdcard},
    {"rss", cmd_rss},             {"savetxt", cmd_savetxt},         {"save", reply_no_error},
};

}  // namespace

const CommandTable chronicled_table = make_table(kRows, reply_no_error);

}  // namespace sim
