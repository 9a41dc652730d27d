// The command lines and commands the senders queue, byte for byte: each
// sender's records are captured instead of run.
#include "notifier.h"
#include "sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_lock;
std::vector<std::string> g_records;  // each command, in the order it would run

bool capture(sender &, const char *, const send_command &c, std::atomic<pid_t> *)
{
  std::lock_guard<std::mutex> hold(g_lock);
  g_records.push_back(c.line);
  return true;
}

class Senders : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    root = std::filesystem::temp_directory_path() / ("hsend." + std::to_string(getpid()));
    for (const char *dir : {"/usr/sbin", "/usr/bin", "/usr/ssl", "/tmp"})
      std::filesystem::create_directories(root + dir);
    for (const char *file : {"/usr/sbin/sendmail", "/usr/bin/snmptrap"})
      std::ofstream(root + file) << "";
    setenv("APPLIANCE_ROOT", root.c_str(), 1);
    for (notifier_list *list : {&zunmaillist, &zunsmslist, &zuntraplist}) {
      list->kind->out->run = capture;
      list->kind->out->workers = 1;  // one worker: the commands in their order
      sender_start(*list->kind->out, *list);
    }
  }
  static void TearDownTestSuite()
  {
    for (const notifier_kind *kind : {&mail_kind, &sms_kind, &trap_kind})
      sender_stop(*kind->out);
    std::filesystem::remove_all(root);
  }

  // Applies the attributes (value 5 and the ready text added) to a fresh
  // notifier of the kind with id 104; the records queued.
  static std::vector<std::string> fire(const notifier_kind &kind, std::vector<const char *> attrs,
                                       size_t expected)
  {
    {
      std::lock_guard<std::mutex> hold(g_lock);
      g_records.clear();
    }
    notifier *n = notifier_new(kind);
    n->id = 104;
    attrs.insert(attrs.end(), {"value", "on", nullptr});
    notifier_apply(*n, attrs.data());
    notifier_free(n);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_records.size() >= expected || std::chrono::steady_clock::now() > end)
          return g_records;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  static std::string root;
};
std::string Senders::root;

TEST_F(Senders, MailCommandLines)
{
  const std::string S = root + "/usr/sbin/sendmail";
  const std::string CA = root + "/usr/ssl/ca-certificates.crt";
  auto head = [&](const std::string &name, const std::string &text, const std::string &from = "box@x.org") {
    return "echo -e \"From:" + from + "\\nSubject: Orvane NMS EMS '" + name +
           "' notice\\nDate: `date -R`\\nContent-Type: text/plain; charset=UTF-8\\n\\n" + text + "\\n.\\n\" | " + S +
           " -w 30";
  };
  const struct {
    const char *name;
    bool ca;
    std::vector<const char *> attrs;
    std::vector<std::string> commands;
  } rows[] = {
      {"two recipients, plain",
       false,
       {"name", "Ops", "server", "smtp.x", "to", "a@x.org, b@x.org", "from", "box@x.org", "textready", "Hot"},
       {head("Ops", "Hot") + " -S smtp.x:25  -f box@x.org -t a@x.org 2>&1",
        head("Ops", "Hot") + " -S smtp.x:25  -f box@x.org -t b@x.org 2>&1"}},
      {"starttls with the CA file, login and password",
       true,
       {"name", "Ops", "server", "smtp.x", "port", "587", "starttls", "true", "login", "ops", "password", "p%w",
        "to", "a@x.org", "from", "box@x.org", "textready", "Hot"},
       {head("Ops", "Hot") + " -H \"exec openssl s_client -quiet -tls1 -starttls smtp -connect smtp.x:587 -CAfile " +
        CA + "\"  -auops -ap\\p\\%\\w -f box@x.org -t a@x.org 2>&1"}},
      {"TLS from the start, no CA file",
       false,
       {"name", "Ops", "server", "smtp.x", "port", "465", "ssl_active", "true", "to", "a@x.org", "from",
        "box@x.org", "textready", ""},
       {head("Ops", "") + " -H \"exec openssl s_client -quiet -tls1  -connect smtp.x:465\"  -f box@x.org -t a@x.org 2>&1"}},
      {"texts a shell would read",
       false,
       {"name", "N'$(x)\"", "server", "h;reboot", "to", "a@x.org$(id)", "from", "box@x.org", "login", "u v",
        "textready", "$(touch m) `id` \"q\" back\\slash\nline"},
       {head("N'\\$(x)\\\"", "\\$(touch m) \\`id\\` \\\"q\\\" back\\\\\\\\slash\nline") +
        " -S 'h;reboot':25  -au'u v' -f box@x.org -t 'a@x.org$(id)' 2>&1"}},
      {"a quote and a command in the sender, an empty login",
       false,
       {"name", "Ops", "server", "s", "to", "a@x", "from", "o'p$(id)", "login", "", "textready", "T"},
       {head("Ops", "T", "o'p\\$(id)") + " -S s:25  -f 'o'\\''p$(id)' -t a@x 2>&1"}},
      {"a recipient that sendmail would take for an option is never on the line",
       false,
       {"name", "Ops", "server", "s", "to", "ops@x.y,-Hid>/tmp/f", "from", "box@x.org", "textready", "T"},
       {head("Ops", "T") + " -S s:25  -f box@x.org -t ops@x.y 2>&1"}},
      {"six recipients: five records",
       false,
       {"name", "Ops", "server", "s", "to", "1@x 2@x,3@x;4@x , 5@x 6@x", "from", "box@x.org", "textready", "T"},
       {head("Ops", "T") + " -S s:25  -f box@x.org -t 1@x 2>&1", head("Ops", "T") + " -S s:25  -f box@x.org -t 2@x 2>&1",
        head("Ops", "T") + " -S s:25  -f box@x.org -t 3@x 2>&1", head("Ops", "T") + " -S s:25  -f box@x.org -t 4@x 2>&1",
        head("Ops", "T") + " -S s:25  -f box@x.org -t 5@x 2>&1"}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    if (r.ca)
      std::ofstream(CA) << "";
    else
      std::filesystem::remove(CA);
    EXPECT_EQ(fire(mail_kind, r.attrs, r.commands.size()), r.commands);
  }
}

TEST_F(Senders, ALongReadyTextIsCutToFitTheRecord)
{
  std::string text(20000, 'x');
  text.replace(16000, 2, "\xc3\xa9");  // a character that must not be split
  auto records = fire(mail_kind, {"server", "s", "to", "a@x", "textready", text.c_str()}, 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_LT(records[0].size(), 16640u);
  EXPECT_NE(records[0].find(" -S s:25  -f '' -t a@x 2>&1"), std::string::npos);
}

TEST_F(Senders, TrapCommandLines)
{
  const std::string tail =
      " .1.3.6.1.4.1.99999.2.2.1.1.104 i 104 .1.3.6.1.4.1.99999.1.5 s \"Trap (name: T, ID: 104) was worked. Hot\"";
  const struct {
    const char *name;
    std::vector<const char *> attrs;
    std::string command;  // "" : nothing queued
  } rows[] = {
      {"version 1, default port",
       {"name", "T", "server", "nms", "comunity", "public", "textready", "Hot"},
       "snmptrap -v1 -c public nms:25 .1.3.6.1.4.1.99999.1.5 \"\" 6 1 \"\"" + tail + " 2>&1"},
      {"version 2c",
       {"name", "T", "server", "nms", "port", "162", "version", "2c", "comunity", "c", "textready", "Hot"},
       "snmptrap -v2c -c c nms:162 \"\" .1.3.6.1.4.1.99999.1.5" + tail + " 2>&1"},
      {"version 3 noauth",
       {"name", "T", "server", "nms", "port", "162", "version", "3", "level", "noauth", "user", "u", "textready", "Hot"},
       "snmptrap -Ci -v3 -l noAuthNoPriv -u u nms:162 \"\" .1.3.6.1.4.1.99999.1.5" + tail + " 2>&1"},
      {"version 3 auth",
       {"name", "T", "server", "nms", "port", "162", "version", "3", "level", "auth", "user", "u", "auth_type", "SHA",
        "auth_pass", "authpass", "textready", "Hot"},
       "snmptrap -Ci -v3 -a SHA -A authpass -l authNoPriv -u u nms:162 \"\" .1.3.6.1.4.1.99999.1.5" + tail + " 2>&1"},
      {"version 3 priv, macros",
       {"name", "T", "server", "nms", "port", "162", "version", "3", "level", "priv", "user", "u", "auth_type", "SHA",
        "auth_pass", "a", "priv_type", "AES", "priv_pass", "p", "textready", "Hot", "macro3", "\"m3\"", "macro4",
        "\"m4\"", "macro5", "x", "macro8", "'12'"},
       "snmptrap -Ci -v3 -a SHA -A a -x AES -X p -l authPriv -u u nms:162 \"\" .1.3.6.1.4.1.99999.1.5" + tail +
           " .1.3.6.1.4.1.99999.1.5.3 s \"\\\"m3\\\"\" .1.3.6.1.4.1.99999.1.5.4 s \"m4\""
           " .1.3.6.1.4.1.99999.1.5.8 i \"12\" 2>&1"},
      {"texts a shell would read",
       {"name", "T", "server", "nms", "comunity", "p;reboot", "textready", "Hot", "macro3", "$(id)`x`"},
       "snmptrap -v1 -c 'p;reboot' nms:25 .1.3.6.1.4.1.99999.1.5 \"\" 6 1 \"\"" + tail +
           " .1.3.6.1.4.1.99999.1.5.3 s \"\\$(id)\\`x\\`\" 2>&1"},
      {"a quote and a command in the server",
       {"name", "T", "server", "n'ms;id", "comunity", "public", "textready", "Hot"},
       "snmptrap -v1 -c public 'n'\\''ms;id':25 .1.3.6.1.4.1.99999.1.5 \"\" 6 1 \"\"" + tail + " 2>&1"},
      {"empty words keep their places",
       {"name", "T", "server", "nms", "version", "3", "level", "priv", "textready", "Hot"},
       "snmptrap -Ci -v3 -a '' -A '' -x '' -X '' -l authPriv -u '' nms:25 \"\" .1.3.6.1.4.1.99999.1.5" + tail +
           " 2>&1"},
      {"an empty community", {"name", "T", "server", "nms", "version", "2c", "textready", "Hot"},
       "snmptrap -v2c -c '' nms:25 \"\" .1.3.6.1.4.1.99999.1.5" + tail + " 2>&1"},
      {"a server that snmptrap would take for an option", {"name", "T", "server", "-Lf/tmp/f", "textready", "Hot"}, ""},
      {"unknown version", {"name", "T", "server", "nms", "version", "4", "textready", "Hot"}, ""},
      {"unknown level", {"name", "T", "server", "nms", "version", "3", "level", "none", "textready", "Hot"}, ""},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    auto records = fire(trap_kind, r.attrs, r.command.empty() ? 0 : 1);
    EXPECT_EQ(records, r.command.empty() ? std::vector<std::string>{} : std::vector<std::string>{r.command});
  }
}

// Whatever a field holds, the notifier's settings line loads again and its
// description is readable XML: bytes that XML cannot carry are left out.
TEST_F(Senders, LinesCarryOnlyWhatXmlCarries)
{
  notifier *n = notifier_new(mail_kind);
  auto &m = reinterpret_cast<mail_notifier &>(*n);
  std::strcpy(n->name, "N\xFF\xFE");
  std::strcpy(m.server, "s\x01" "1");
  std::strcpy(m.message, "caf\xC3\tb\nc\r");
  std::string line;
  notifier_settings_line(*n, line);
  EXPECT_EQ(line, "\t\t<mail module =\"0\" num=\"0\" name=\"N\" server=\"s1\" port=\"25\" ssl_active=\"false\" "
                  "starttls=\"false\" login=\"\" password=\"\" to=\"\" from=\"\" message=\"caf&#9;b&#10;c&#13;\" />\n");
  const xml_tag_table none = {0, nullptr};
  xml_channel ch{&none, nullptr, nullptr, nullptr, nullptr, nullptr};
  std::string description = notifier_describe(*n);
  for (const std::string &text : {line, description})
    EXPECT_EQ(helpers_xml_parse_string(&ch, text.data(), text.size()), 0) << text;
  notifier_free(n);
}

TEST_F(Senders, SmsCommandsOnePerPhone)
{
  auto records = fire(sms_kind, {"name", "S", "to_phone", "+491,2;3", "message", "unused", "textready", "a&b<c\""}, 3);
  EXPECT_EQ(records, (std::vector<std::string>{
                         "<addsms to_phone=\"+491\" message=\"a&amp;b&lt;c&quot;\" />",
                         "<addsms to_phone=\"2\" message=\"a&amp;b&lt;c&quot;\" />",
                         "<addsms to_phone=\"3\" message=\"a&amp;b&lt;c&quot;\" />",
                     }));
  // A text that would not fit the command area is cut at a whole entity.
  std::string text(3000, '&');
  records = fire(sms_kind, {"to_phone", "1", "textready", text.c_str()}, 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_LT(records[0].size(), 2176u);
  EXPECT_EQ(records[0].substr(records[0].size() - 9), "&amp;\" />");
}

}  // namespace
