// heraldd's commands through its socket: every reply byte for byte, the
// element descriptions, numbering, the setters, registration as the element
// database sees it, and the failures (no mail program, no element database).
#include "heraldd_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace {

using ht::field;
using ht::kNoError;

const std::string kNoSuch = "<error type=\"no such element\" />";
const std::string kNotFound = "<error type='element not found' />";

struct Step {
  std::string command, reply;
};

void run_steps(ht::Heraldd &h, const std::vector<Step> &steps)
{
  for (const Step &s : steps)
    EXPECT_EQ(h.cmd(s.command), s.reply) << s.command;
}

TEST(HeralddCommands, RepliesAndDescriptionsByteForByte)
{
  ht::Heraldd h;
  ASSERT_TRUE(h.start());
  // Modules 101 (mails), 102 (SMS), 103 (traps); elements from 104 on.
  run_steps(h, {
      {"<addmail name=\"Ops &amp; Co\" server=\"smtp.example.com\" port=\"0x24B\" ssl_active=\"true\" "
       "starttls=\"false\" login=\"ops\" password=\"p&quot;w\" to=\"a@x.org, b@x.org\" "
       "from=\"heraldd@x.org\" message=\"Alarm &lt;%s&gt;\" />",
       kNoError},
      {"<getelement element=\"104\" />",
       "<element id=\"104\" module =\"101\" num=\"1\" clas=\"notifier\" type=\"mail\" name=\"Ops &amp; Co\" "
       "state=\"off\" server=\"smtp.example.com\" port=\"587\" ssl_active=\"true\" starttls=\"false\" "
       "login=\"ops\" password=\"p&quot;w\" to=\"a@x.org, b@x.org\" from=\"heraldd@x.org\" "
       "message=\"Alarm &lt;%s&gt;\" />"},
      {"<addsms to_phone=\"+491701234567;+491707654321\" message=\"Hi\" />", kNoError},
      {"<getelement element=\"0x69\" />",
       "<element id=\"105\" module =\"102\" num=\"1\" clas=\"notifier\" type=\"sms\" name=\"SMS-1\" "
       "state=\"off\" to_phone=\"+491701234567;+491707654321\" message=\"Hi\" />"},
      {"<addtrap server=\"192.0.2.9\" port=\"162\" version=\"2c\" comunity=\"public\" level=\"noauth\" />",
       kNoError},
      {"<getelement element=\"106\" />",
       "<element id=\"106\" module=\"103\" num=\"1\" clas=\"notifier\" type=\"trap\" name=\"SNMP-1\" "
       "state=\"off\" server=\"192.0.2.9\" port=\"162\" version=\"2c\" comunity=\"public\"  user=\"\" "
       "level=\"noauth\"  auth_type=\"\" auth_pass=\"\"  priv_type=\"\" priv_pass=\"\"  "
       "message=\"Time: %3 Logic: %4, Element: %5, in state: %6, value: %7\"  />"},
      // Each kind looks in its own list only.
      {"<addmail id=\"105\" name=\"x\" />", kNoSuch},
      {"<addsms id=\"105\" name=\"Pager\" />", kNoError},
      {"<delsms />", "<error type=\"some parameters are not specified\" />"},
      {"<delsms id=\"104\" />", kNoSuch},
      {"<deltrap id=\"106\" />", kNoError},
      {"<getelement element=\"106\" />", kNotFound},
      {"<getelement />", kNotFound},
      {"<updateelement element=\"999\" name=\"x\" />", kNoError},
      {"<updateelement element=\"105\" name=\"Pager 2\" />", kNoError},
      {"<ctlmodule func=\"x\" />", "<error type='invalid request' />"},
      {"<updatemodule id=\"101\" />", "<error type='no custom parameters' />"},
      {"<getmodule />", "<error type='wrong parameters' />"},
  });
  EXPECT_EQ(field(h.cmd("<getelement element=\"105\" />"), "name"), "Pager 2");
  // The names reach the element database as given, escaped once on the wire.
  std::vector<std::string> reg = h.registry();
  for (const char *line : {"<dbupdate id=\"104\" name=\"Ops &amp; Co\" />",
                           "<dbupdate id=\"105\" name=\"Pager 2\" />", "<dbdelelement id=\"106\" />"})
    EXPECT_NE(std::find(reg.begin(), reg.end(), line), reg.end()) << line;
}

TEST(HeralddCommands, NumbersCountUpAndADeletedOneIsNotReused)
{
  ht::Heraldd h;
  ASSERT_TRUE(h.start());
  for (int i = 0; i < 2; i++)
    ASSERT_EQ(h.cmd("<addmail />"), kNoError);
  EXPECT_EQ(field(h.cmd("<getelement element=\"104\" />"), "num"), "1");
  EXPECT_EQ(field(h.cmd("<getelement element=\"105\" />"), "num"), "2");
  ASSERT_EQ(h.cmd("<delmail id=\"104\" />"), kNoError);
  ASSERT_EQ(h.cmd("<addmail />"), kNoError);
  std::string third = h.cmd("<getelement element=\"106\" />");
  EXPECT_EQ(field(third, "num"), "3");
  EXPECT_EQ(field(third, "name"), "Email-3");
  // The lists number apart.
  ASSERT_EQ(h.cmd("<addtrap />"), kNoError);
  EXPECT_EQ(field(h.cmd("<getelement element=\"107\" />"), "num"), "1");
}

TEST(HeralddCommands, SslAndStarttlsDependOnTheirOrder)
{
  ht::Heraldd h;
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<addmail />"), kNoError);
  const struct {
    const char *attrs, *ssl, *starttls;
  } rows[] = {
      {"ssl_active=\"false\" starttls=\"true\"", "true", "true"},
      {"starttls=\"true\" ssl_active=\"false\"", "false", "false"},
      {"ssl_active=\"true\"", "true", "false"},
      {"starttls=\"trueish\"", "true", "true"},
      {"starttls=\"no\"", "true", "false"},
      {"ssl_active=\"TRUE\"", "false", "false"},
  };
  for (const auto &r : rows) {
    ASSERT_EQ(h.cmd(std::string("<addmail id=\"104\" ") + r.attrs + " />"), kNoError);
    std::string d = h.cmd("<getelement element=\"104\" />");
    EXPECT_EQ(field(d, "ssl_active") + "/" + field(d, "starttls"), std::string(r.ssl) + "/" + r.starttls)
        << r.attrs;
  }
}

TEST(HeralddCommands, RegistrationAsTheElementDatabaseSeesIt)
{
  ht::Heraldd h;
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<addsms name=\"S\" />"), kNoError);
  ASSERT_EQ(h.cmd("<addmail />"), kNoError);
  ASSERT_EQ(h.stop(), 0);
  EXPECT_EQ(h.registry(), (std::vector<std::string>{
      "<dbaddmodule kind=\"2\" num=\"1\" count=\"0\" class=\"internal\" type=\"notifier list\" "
      "name=\"Mails\" state=\"normal\" socket=\"/tmp/heraldd.socket\" />",
      "<dbaddmodule kind=\"2\" num=\"3\" count=\"0\" class=\"internal\" type=\"notifier list\" "
      "name=\"SMSs\" state=\"normal\" socket=\"/tmp/heraldd.socket\" />",
      "<dbaddmodule kind=\"2\" num=\"2\" count=\"0\" class=\"internal\" type=\"notifier list\" "
      "name=\"Traps\" state=\"normal\" socket=\"/tmp/heraldd.socket\" />",
      "<dbaddelement module=\"102\" num=\"1\" class=\"notifier\" type=\"sms\" name=\"\" state=\"off\" "
      "value=\"-\" socket=\"/tmp/heraldd.socket\" />",
      "<dbupdate id=\"104\" name=\"S\" />",
      "<dbaddelement module=\"101\" num=\"1\" class=\"notifier\" type=\"mail\" name=\"\" state=\"off\" "
      "value=\"-\" socket=\"/tmp/heraldd.socket\" />",
      "<dbupdate id=\"105\" name=\"Email-1\" />",
      // At the stop: traps, SMS, mails, each notifier then its module.
      "<dbdelmodule id=\"103\" />",
      "<dbdelelement id=\"104\" />",
      "<dbdelmodule id=\"102\" />",
      "<dbdelelement id=\"105\" />",
      "<dbdelmodule id=\"101\" />",
  }));
}

TEST(HeralddCommands, WithoutTheMailProgramMailNotifiersAreKeptAndSayWhy)
{
  ht::Heraldd h(false);
  ASSERT_TRUE(h.start());
  EXPECT_EQ(h.cmd("<addmail to=\"a@x.org\" />"), "<error type=\"invalid attribute\" />");
  EXPECT_EQ(field(h.cmd("<getelement element=\"104\" />"), "to"), "a@x.org");
  EXPECT_EQ(h.cmd("<addmail id=\"104\" to=\"b@x.org\" />"), kNoError);  // a change says nothing
  ASSERT_TRUE(h.sim().wait_journal(1));
  auto log = h.sim().journal_of("chronicled");
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "<entry type=\"error\" message=\"Send mail error: &quot;/usr/sbin/sendmail&quot; "
                       "not found\\n\" level=\"8\" />"),
            2);
  EXPECT_EQ(h.cmd("<addsms />"), kNoError);
}

TEST(HeralddCommands, WithoutTheElementDatabaseNotifiersGetIdsOfTheirOwn)
{
  ht::Heraldd h(true, {"--except", "registryd"});
  ASSERT_TRUE(h.start());
  for (int i = 0; i < 2; i++)
    ASSERT_EQ(h.cmd("<addtrap />"), kNoError);
  ASSERT_EQ(h.cmd("<addsms />"), kNoError);
  // Counted down from 2^31-1 across the lists, so each names one notifier.
  EXPECT_EQ(field(h.cmd("<getelement element=\"2147483647\" />"), "type"), "trap");
  EXPECT_EQ(field(h.cmd("<getelement element=\"2147483646\" />"), "num"), "2");
  std::string sms = h.cmd("<getelement element=\"2147483645\" />");
  EXPECT_NE(sms.find(" module =\"0\" num=\"1\" clas=\"notifier\" type=\"sms\""), std::string::npos) << sms;
  EXPECT_EQ(h.cmd("<deltrap id=\"2147483647\" />"), kNoError);
  EXPECT_EQ(h.cmd("<deltrap id=\"2147483645\" />"), kNoSuch);
  EXPECT_EQ(h.cmd("<delsms id=\"2147483645\" />"), kNoError);
  EXPECT_EQ(h.cmd("<deltrap id=\"2147483646\" />"), kNoError);
  EXPECT_EQ(h.cmd("<deltrap id=\"2147483646\" />"), kNoSuch);
}

// A recipient or trap host that begins with "-" would be an option of
// sendmail (-H runs a shell) or snmptrap (-L writes files): every command
// that would set one is refused whole and nothing is run for it; a settings
// line keeps the rest of its notifier.
TEST(HeralddCommands, ValuesThatWouldBeOptionsAreRefused)
{
  const std::string invalid = "<error type=\"invalid attribute\" />";
  const std::string failed = "<error type=\"send test message failed\" />";
  ht::Heraldd h;
  h.root().write(ht::SETTINGS, "<settings><mails><mail num=\"7\" name=\"M\" to=\"ops@x.y,-Hid>/tmp/f, b@x.org\" />"
                               "</mails><traps><trap num=\"8\" name=\"T\" server=\"-Lf/tmp/f\" port=\"162\" />"
                               "</traps></settings>");
  ASSERT_TRUE(h.start());
  EXPECT_EQ(field(h.cmd("<getelement element=\"104\" />"), "to"), "ops@x.y,b@x.org");
  EXPECT_EQ(field(h.cmd("<getelement element=\"105\" />"), "server"), "");
  EXPECT_EQ(h.log("error"),
            (std::vector<std::string>{
                "Settings: mail to &apos;-Hid&gt;/tmp/f&apos; refused: it begins with &quot;-&quot;",
                "Settings: trap server &apos;-Lf/tmp/f&apos; refused: it begins with &quot;-&quot;"}));
  run_steps(h, {
      {"<addmail id=\"104\" to=\"a@x.org\" />", kNoError},
      {"<addtrap id=\"105\" server=\"nms\" />", kNoError},
      {"<addmail to=\"ops@x.y,-Hid>/tmp/f\" />", invalid},
      {"<mail num=\"9\" to=\"a@x -H\" />", invalid},
      {"<addmail id=\"104\" name=\"N\" to=\"a@x.org;-Hx\" value=\"on\" />", invalid},
      {"<updateelement element=\"104\" to=\"-Hx\" value=\"on\" />", invalid},
      {"<testmail server=\"s\" to=\"ops@x.y,-Hid>/tmp/f\" />", failed},
      {"<addtrap server=\"-Lf/tmp/f\" />", invalid},
      {"<trap server=\"-v\" />", invalid},
      {"<addtrap id=\"105\" name=\"N\" server=\"-Lf/tmp/f\" />", invalid},
      {"<updateelement element=\"105\" server=\"-Lf/tmp/f\" value=\"on\" />", invalid},
      {"<testtrap server=\"-Lf/tmp/f\" version=\"2c\" comunity=\"public\" />", failed},
  });
  // Nothing changed, nothing created, nothing run.
  for (const auto &[id, name, attr, value] :
       {std::tuple{"104", "M", "to", "a@x.org"}, std::tuple{"105", "T", "server", "nms"}}) {
    std::string d = h.cmd(std::string("<getelement element=\"") + id + "\" />");
    EXPECT_EQ(field(d, "name") + " " + field(d, attr), std::string(name) + " " + value);
  }
  EXPECT_EQ(h.cmd("<getelement element=\"106\" />"), kNotFound);
  EXPECT_TRUE(zt::tool_runs(h.root(), "sendmail").empty());
  EXPECT_TRUE(zt::tool_runs(h.root(), "snmptrap").empty());
  EXPECT_FALSE(h.root().exists("/tmp/f"));
}

TEST(HeralddCommands, CommandLineKnowsTheHostName)
{
  zt::Root root;
  const std::string usage =
      "Usage: heraldd [options]\n\nOptions:\n-h | --help           print this message\n"
      "-m | --master         switch to a SNMP master agent mode\n-b | --background     run in the background\n"
      "-s | --syslog         use syslog\n-f | --settings-file  gauged file settings\n"
      "-H | --hostname       monitoring system hostname\n";
  zt::RunResult help = zt::run(zt::bin("heraldd"), {"heraldd", "-h"}, root.env());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, usage);
  for (std::vector<std::string> args : {std::vector<std::string>{"heraldd", "-s"}, {"heraldd", "-H"}}) {
    zt::RunResult r = zt::run(zt::bin("heraldd"), args, root.env());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(usage), std::string::npos);
  }
  ht::Heraldd h;
  EXPECT_TRUE(h.start({"--hostname", "NMS 2"}));
}

}  // namespace
