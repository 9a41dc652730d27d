// heraldd's senders against real peers: mails through the sendmail
// stand-in to an SMTP sink with AUTH (Debian's makemime for the video
// mail), SMS to appliance-sim's cellulard, traps and informs to Debian's
// snmptrapd; hostile texts; the outcome log; the stop with a hung command.
#include "heraldd_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

namespace {

using ht::kNoError;

// A text for a double-quoted attribute.
std::string xml(const std::string &text)
{
  std::string out;
  for (char c : text)
    out += c == '"' ? std::string("&quot;") : c == '&' ? std::string("&amp;") : c == '<' ? std::string("&lt;") : std::string(1, c);
  return out;
}

// A mail as the sink shows it, without the Date line (the time of sending).
std::string without_date(const std::string &mail)
{
  size_t at = mail.find("\nDate: ");
  if (at == std::string::npos)
    return mail;
  return mail.substr(0, at + 1) + mail.substr(mail.find('\n', at + 1) + 1);
}

TEST(HeralddMail, EveryRecipientGetsTheMailInOrder)
{
  ht::Heraldd h;
  zt::SmtpSink sink(h.root(), "ops", "s3cret");
  ASSERT_TRUE(sink.ok());
  ASSERT_TRUE(h.start());
  std::string port = std::to_string(sink.port());
  ASSERT_EQ(h.cmd("<addmail name=\"Ops\" server=\"127.0.0.1\" port=\"" + port +
                  "\" login=\"ops\" password=\"s3cret\" to=\"a@x.org, b@x.org\" from=\"box@x.org\" />"),
            kNoError);
  EXPECT_EQ(h.cmd("<updateelement element=\"104\" value=\"on\" textready=\"Smoke in room 2\" />"), kNoError);
  ASSERT_TRUE(sink.wait_messages(2));
  auto mails = sink.messages();
  for (size_t i = 0; i < 2; i++)
    EXPECT_EQ(without_date(mails[i]), std::string("auth: ops\nfrom: box@x.org\nto: ") + (i ? "b" : "a") +
                                          "@x.org\n\nFrom:box@x.org\nSubject: Orvane NMS EMS 'Ops' notice\n"
                                          "Content-Type: text/plain; charset=UTF-8\n\nSmoke in room 2\n");
  ASSERT_TRUE(h.wait_log("message", 2));
  EXPECT_EQ(h.log("message"),
            (std::vector<std::string>{"The mail &apos;Ops&apos; was sent", "The mail &apos;Ops&apos; was sent"}));
  EXPECT_EQ(zt::tool_runs(h.root(), "sendmail")[1],
            (std::vector<std::string>{"-w", "30", "-S", "127.0.0.1:" + port, "-auops", "-aps3cret", "-f",
                                      "box@x.org", "-t", "b@x.org"}));
  // Another value sends nothing; the value is at rest again.
  EXPECT_EQ(h.cmd("<updateelement element=\"104\" value=\"off\" textready=\"x\" />"), kNoError);
  EXPECT_EQ(h.cmd("<testmail to=\"c@x.org\" server=\"127.0.0.1\" port=\"" + port +
                  "\" login=\"ops\" password=\"s3cret\" from=\"box@x.org\" message=\"Check\" />"),
            kNoError);
  ASSERT_TRUE(sink.wait_messages(3));
  mails = sink.messages();
  ASSERT_EQ(mails.size(), 3u);
  EXPECT_EQ(without_date(mails[2]), "auth: ops\nfrom: box@x.org\nto: c@x.org\n\nFrom:box@x.org\n"
                                    "Subject: Orvane NMS EMS 'Test Notify' notice\n"
                                    "Content-Type: text/plain; charset=UTF-8\n\nThis is a test message:\n\nCheck\n");
}

TEST(HeralddMail, TextsNeverChangeWhatTheShellRuns)
{
  ht::Heraldd h;
  const std::string password = "p'\"$(x)`y`;\\";
  zt::SmtpSink sink(h.root(), "o p", password);
  ASSERT_TRUE(sink.ok());
  ASSERT_TRUE(h.start({"-H", "NMS $(touch " + h.root().file("/tmp/marker") + ")"}));
  const std::string marker = h.root().file("/tmp/marker");
  const std::string hostile = "$(touch " + marker + ") `touch " + marker + "` \"q\" 'a' \\n;touch " + marker;
  ASSERT_EQ(h.cmd("<addmail name=\"N &quot;$(touch " + marker + ")&quot;\" server=\"127.0.0.1\" port=\"" +
                  std::to_string(sink.port()) + "\" login=\"o p\" password=\"p'&quot;$(x)`y`;\\\" to=\"a@x.org\" "
                  "from=\"box@x.org\" />"),
            kNoError);
  ASSERT_EQ(h.cmd("<updateelement element=\"104\" value=\"on\" textready=\"" + xml(hostile) + "\" />"), kNoError);
  ASSERT_TRUE(sink.wait_messages(1)) << h.log("error").size();
  std::string mail = sink.messages()[0];
  EXPECT_NE(mail.find("\nSubject: NMS $(touch " + marker + ") EMS 'N \"$(touch " + marker + ")\"' notice\n"),
            std::string::npos)
      << mail;
  EXPECT_NE(mail.find("\n\n" + hostile + "\n"), std::string::npos) << mail;
  EXPECT_EQ(mail.rfind("auth: o p\n", 0), 0u);
  EXPECT_FALSE(h.root().exists("/tmp/marker"));
}

// The daemon's threads block SIGTERM and SIGINT; its commands start with
// nothing blocked and no signal ignored (of the standard ones: the C library
// keeps its own two real-time signals ignored in a spawned program).
TEST(HeralddMail, CommandsStartWithTheDefaultSignalMask)
{
  ht::Heraldd h;
  h.root().remove("/usr/sbin/sendmail");
  h.root().write("/usr/sbin/sendmail", "#!/bin/sh\ncat /proc/self/status | grep -E '^Sig(Blk|Ign)'\n");
  chmod(h.root().file("/usr/sbin/sendmail").c_str(), 0755);
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<addmail name=\"M\" server=\"s\" to=\"a@x\" value=\"on\" />"), kNoError);
  ASSERT_TRUE(h.wait_log("error", 1));
  std::string line = h.log("error")[0];
  const std::string head = "Send mail &apos;M&apos; error: SigBlk:\t0000000000000000\\nSigIgn:\t";
  ASSERT_EQ(line.rfind(head, 0), 0u) << line;
  EXPECT_EQ(std::stoull(line.substr(head.size(), 16), nullptr, 16) & 0x7fffffffull, 0u) << line;  // signals 1 to 31
}

TEST(HeralddMail, VideoMailCarriesTheClip)
{
  ht::Heraldd h;
  zt::SmtpSink sink(h.root());
  ASSERT_TRUE(sink.ok());
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<addmail name=\"Cam\" server=\"127.0.0.1\" port=\"" + std::to_string(sink.port()) +
                  "\" to=\"a@x.org\" from=\"box@x.org\" />"),
            kNoError);
  EXPECT_EQ(h.cmd("<updateelement element=\"104\" value=\"pulse\" />"), kNoError);
  ASSERT_TRUE(sink.wait_messages(1));
  std::string mail = sink.messages()[0];
  EXPECT_NE(mail.find("Subject: Orvane NMS EMS 'Cam' video notification\n"), std::string::npos) << mail;
  EXPECT_NE(mail.find("Content-Type: video/ogg"), std::string::npos) << mail;
  std::vector<std::string> makemime = zt::tool_runs(h.root(), "makemime").at(0);
  ASSERT_EQ(makemime.size(), 11u);
  EXPECT_EQ(makemime[9].rfind("Date: ", 0), 0u);  // date -R's
  makemime[9] = "Date: ";
  EXPECT_EQ(makemime, (std::vector<std::string>{"-c", "video/ogg", "-o", h.root().file("/tmp/output.msg"), "-a",
                                                "From: box@x.org", "-a", "Subject: Orvane NMS EMS 'Cam' video notification",
                                                "-a", "Date: ", h.root().file("/tmp/out.avi")}));
  // Without a clip nothing is mailed, and the log says why.
  h.root().remove("/usr/bin/clipbuild.sh");
  h.root().remove("/tmp/out.avi");
  EXPECT_EQ(h.cmd("<updateelement element=\"104\" value=\"pulse\" />"), kNoError);
  ASSERT_TRUE(h.wait_log("send mail error", 1));
  EXPECT_EQ(h.log("send mail error"), std::vector<std::string>{"Send mail &apos;Cam&apos; error: no video"});
}

TEST(HeralddMail, AFailedDeliveryIsLoggedWithItsOutput)
{
  ht::Heraldd h;
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<addmail name=\"Ops\" server=\"127.0.0.1\" port=\"" + std::to_string(zt::free_port()) +
                  "\" to=\"a@x.org\" />"),
            kNoError);
  EXPECT_EQ(h.cmd("<updateelement element=\"104\" value=\"on\" />"), kNoError);
  ASSERT_TRUE(h.wait_log("error", 1));
  EXPECT_EQ(h.log("error")[0].rfind("Send mail &apos;Ops&apos; error: curl: (7) ", 0), 0u) << h.log("error")[0];
}

TEST(HeralddSms, OneCommandPerPhoneToTheModemDaemon)
{
  ht::Heraldd h;
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<addsms name=\"Pager\" to_phone=\"111,222;333\" message=\"template\" />"), kNoError);
  EXPECT_EQ(h.cmd("<updateelement element=\"104\" value=\"on\" textready=\"a&amp;b &lt;c&gt;\" />"), kNoError);
  ASSERT_TRUE(h.wait_log("send sms", 3));
  EXPECT_EQ(h.sim().journal_of("cellulard"),
            (std::vector<std::string>{"<addsms to_phone=\"111\" message=\"a&amp;b &lt;c&gt;\" />",
                                      "<addsms to_phone=\"222\" message=\"a&amp;b &lt;c&gt;\" />",
                                      "<addsms to_phone=\"333\" message=\"a&amp;b &lt;c&gt;\" />"}));
  EXPECT_EQ(h.log("send sms")[2], "SMS &apos;Pager&apos; was added to send queue");
  // Without textready the message is empty; value 8 sends nothing.
  EXPECT_EQ(h.cmd("<updateelement element=\"104\" value=\"pulse\" />"), kNoError);
  EXPECT_EQ(h.cmd("<addsms id=\"104\" to_phone=\"9\" value=\"on\" />"), kNoError);
  ASSERT_TRUE(h.wait_log("send sms", 4));
  EXPECT_EQ(h.sim().journal_of("cellulard").back(), "<addsms to_phone=\"9\" message=\"\" />");
}

TEST(HeralddSms, WithoutTheModemDaemonEveryRecordIsLogged)
{
  ht::Heraldd h(true, {"--except", "cellulard"});
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<addsms to_phone=\"1 2\" value=\"on\" />"), kNoError);
  ASSERT_TRUE(h.wait_log("send sms error", 2));
  EXPECT_EQ(h.log("send sms error"), (std::vector<std::string>{"GSM module is not loaded", "GSM module is not loaded"}));
}

// Debian's snmptrapd on a loopback port: community public, and a version 3
// user for informs.
class TrapReceiver {
public:
  // With the MIB module, the log names objects; without it, numbers (-On).
  explicit TrapReceiver(const zt::Root &root, bool named = false) : root_(root)
  {
    port_ = zt::free_port(true);
    root.write("/etc/snmptrapd.conf", "authCommunity log public\ncreateUser nms SHA authpass1 AES privpass1\n"
                                      "authUser log nms\n");
    auto env = root.env();
    env["SNMP_PERSISTENT_DIR"] = root.file("/var/snmptrapd");
    proc_ = std::make_unique<zt::Process>(
        "/usr/sbin/snmptrapd",
        named ? std::vector<std::string>{"snmptrapd", "-f", "-C", "-c", root.file("/etc/snmptrapd.conf"), "-m",
                                         "APPLIANCE-NOTIFIER-MIB", "-M", std::string(ZUN_SOURCE_DIR) + "/mibs",
                                         "-Lf", root.file("/tmp/traps.log"), "udp:127.0.0.1:" + std::to_string(port_)}
              : std::vector<std::string>{"snmptrapd", "-f", "-C", "-c", root.file("/etc/snmptrapd.conf"), "-On", "-Lf",
                                         root.file("/tmp/traps.log"), "udp:127.0.0.1:" + std::to_string(port_)},
        env);
    zt::wait_for([&] { return root_.read("/tmp/traps.log").find("NET-SNMP version") != std::string::npos; });
  }
  uint16_t port() const { return port_; }
  std::string log() const { return root_.read("/tmp/traps.log"); }
  bool wait(const std::string &text) const
  {
    return zt::wait_for([&] { return log().find(text) != std::string::npos; }, std::chrono::seconds(10));
  }

private:
  const zt::Root &root_;
  uint16_t port_ = 0;
  std::unique_ptr<zt::Process> proc_;
};

TEST(HeralddTrap, VersionsOneTwoAndThreeReachTheReceiver)
{
  ht::Heraldd h;
  TrapReceiver receiver(h.root());
  ASSERT_TRUE(h.start());
  std::string target = "server=\"127.0.0.1\" port=\"" + std::to_string(receiver.port()) + "\"";
  ASSERT_EQ(h.cmd("<addtrap name=\"V1\" " + target + " comunity=\"public\" />"), kNoError);
  ASSERT_EQ(h.cmd("<addtrap name=\"V2\" " + target + " version=\"2c\" comunity=\"public\" />"), kNoError);
  ASSERT_EQ(h.cmd("<addtrap name=\"V3\" " + target + " version=\"3\" level=\"priv\" user=\"nms\" auth_type=\"SHA\" "
                  "auth_pass=\"authpass1\" priv_type=\"AES\" priv_pass=\"privpass1\" />"),
            kNoError);
  for (int id = 104; id <= 106; id++) {
    std::string n = std::to_string(id);
    EXPECT_EQ(h.cmd("<updateelement element=\"" + n + "\" value=\"on\" textready=\"Hot " + n +
                    "\" macro3=\"&quot;m&quot;\" macro4=\"[x y]\" macro8=\"'12'\" />"),
              kNoError);
    SCOPED_TRACE(n);
    EXPECT_TRUE(receiver.wait(".1.3.6.1.4.1.99999.2.2.1.1." + n + " = INTEGER: " + n)) << receiver.log();
    std::string name = "V" + std::to_string(id - 103);
    EXPECT_TRUE(receiver.wait(".1.3.6.1.4.1.99999.1.5 = STRING: \"Trap (name: " + name + ", ID: " + n +
                              ") was worked. Hot " + n + "\""));
  }
  std::string log = receiver.log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n') >= 3, true);
  for (const char *binding : {".1.3.6.1.4.1.99999.1.5.3 = STRING: \"\\\"m\\\"\"",
                              ".1.3.6.1.4.1.99999.1.5.4 = STRING: \"x y\"", ".1.3.6.1.4.1.99999.1.5.8 = INTEGER: 12"})
    EXPECT_NE(log.find(binding), std::string::npos) << binding << "\n" << log;
  ASSERT_TRUE(h.wait_log("message", 3));
  EXPECT_EQ(h.log("message")[2], "The SNMP trap &apos;V3&apos; was sent");
  // Macros belong to their command: a later firing carries none.
  EXPECT_EQ(h.cmd("<updateelement element=\"105\" value=\"on\" textready=\"again\" />"), kNoError);
  ASSERT_TRUE(receiver.wait("was worked. again"));
  EXPECT_EQ(receiver.log().find(".1.3.6.1.4.1.99999.1.5.3", receiver.log().find("was worked. again")),
            std::string::npos);
}

// The trap's row binding names its trap table column.
TEST(HeralddTrap, TheMibModuleNamesTheRowBinding)
{
  ht::Heraldd h;
  TrapReceiver receiver(h.root(), true);
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<addtrap name=\"T\" server=\"127.0.0.1\" port=\"" + std::to_string(receiver.port()) +
                  "\" version=\"2c\" comunity=\"public\" value=\"on\" textready=\"Hot\" />"),
            kNoError);
  EXPECT_TRUE(receiver.wait("APPLIANCE-NOTIFIER-MIB::trapNotifierId.104 = INTEGER: 104")) << receiver.log();
}

TEST(HeralddTrap, TestTrapAndItsRefusals)
{
  ht::Heraldd h;
  TrapReceiver receiver(h.root());
  ASSERT_TRUE(h.start());
  std::string target = "server=\"127.0.0.1\" port=\"" + std::to_string(receiver.port()) + "\"";
  EXPECT_EQ(h.cmd("<testtrap " + target + " version=\"2c\" comunity=\"public\" />"), kNoError);
  EXPECT_TRUE(receiver.wait(".1.3.6.1.4.1.99999.2.2.1.1.4294967295 = INTEGER: 4294967295")) << receiver.log();
  EXPECT_TRUE(receiver.wait("\"Trap (name: Test Notify, ID: -1) was worked. This is a test message\""));
  // A server that a shell would read arrives at snmptrap literally.
  const std::string marker = h.root().file("/tmp/marker");
  const std::string hostile = "nms'$(touch " + marker + ")";
  EXPECT_EQ(h.cmd("<testtrap server=\"" + hostile + "\" port=\"162\" version=\"2c\" comunity=\"public\" />"),
            kNoError);
  ASSERT_TRUE(zt::wait_for([&] { return zt::tool_runs(h.root(), "snmptrap").size() >= 2; }));
  EXPECT_EQ(zt::tool_runs(h.root(), "snmptrap")[1].at(3), hostile + ":162");
  EXPECT_FALSE(h.root().exists("/tmp/marker"));
  const std::string failed = "<error type=\"send test message failed\" />";
  EXPECT_EQ(h.cmd("<testtrap " + target + " version=\"3\" />"), failed);
  EXPECT_EQ(h.cmd("<testtrap " + target + " version=\"9\" />"), failed);
  h.root().remove("/usr/bin/snmptrap");
  EXPECT_EQ(h.cmd("<testtrap " + target + " />"), failed);
  // (Among the errors: the hostile server's, whenever its lookup fails.)
  EXPECT_TRUE(zt::wait_for([&] {
    auto errors = h.log("error");
    return std::count(errors.begin(), errors.end(), "Send trap error: &quot;/usr/bin/snmptrap&quot; not found") == 1;
  }));
}

TEST(HeralddSenders, AHungCommandDelaysNoReplyAndTheStopEndsIt)
{
  ht::Heraldd h;
  h.root().remove("/usr/sbin/sendmail");
  h.root().write("/usr/sbin/sendmail", "#!/bin/sh\nexec sleep 60\n");
  chmod(h.root().file("/usr/sbin/sendmail").c_str(), 0755);
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<addmail server=\"s\" to=\"1@x 2@x 3@x 4@x 5@x\" />"), kNoError);
  for (int i = 0; i < 20; i++)  // 100 records behind a command that never ends
    ASSERT_EQ(h.cmd("<updateelement element=\"104\" value=\"on\" />"), kNoError);
  EXPECT_EQ(h.stop(), 0);
}

}  // namespace
