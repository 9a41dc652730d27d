// Alarms that get through: hung mail servers hold up only their own
// notifiers, failed sends are tried again and then given up, a deleted
// notifier stops sending, a changed one sends as it is now, and a slow clip
// holds up nothing but the video mails.
#include "heraldd_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using ht::kNoError;

// A mail server that never answers, as a notifier names it.
std::string target(const zt::HungServer &server)
{
  return "server=\"127.0.0.1\" port=\"" + std::to_string(server.port()) + "\"";
}

std::string fire(int id, const std::string &text = "Hot")
{
  return "<updateelement element=\"" + std::to_string(id) + "\" value=\"on\" textready=\"" + text + "\" />";
}

size_t runs(const ht::Heraldd &h, const char *tool) { return zt::tool_runs(h.root(), tool).size(); }

TEST(HeralddDelivery, HungServersHoldUpOnlyTheirOwnNotifiers)
{
  ht::Heraldd h;
  zt::HungServer hung;
  zt::SmtpSink sink(h.root());
  ASSERT_TRUE(sink.ok());
  ASSERT_TRUE(h.start());
  for (int i = 0; i < 3; i++)  // ids 104 to 106
    ASSERT_EQ(h.cmd("<addmail name=\"H" + std::to_string(i) + "\" " + target(hung) + " to=\"a@x\" />"), kNoError);
  ASSERT_EQ(h.cmd("<addmail name=\"Good\" server=\"127.0.0.1\" port=\"" + std::to_string(sink.port()) +
                  "\" to=\"ops@x\" />"),
            kNoError);
  for (int id = 104; id <= 106; id++)
    ASSERT_EQ(h.cmd(fire(id)), kNoError);
  ASSERT_TRUE(zt::wait_for([&] { return runs(h, "sendmail") == 3; }));
  // Behind each hung command its notifier keeps at most 20 firings: the
  // oldest waiting one goes first.
  for (int i = 0; i < 21; i++)
    ASSERT_EQ(h.cmd(fire(104)), kNoError);
  EXPECT_EQ(h.log("error"), std::vector<std::string>{"Send mail &apos;H0&apos; error: queue full"});
  EXPECT_EQ(h.cmd(fire(107, "Smoke")), kNoError);
  ASSERT_TRUE(sink.wait_messages(1));
  EXPECT_NE(sink.messages()[0].find("Smoke"), std::string::npos);
  EXPECT_EQ(runs(h, "sendmail"), 4u);
}

TEST(HeralddDelivery, AFailedTrapIsTriedThreeTimesThenGivenUp)
{
  ht::Heraldd h;
  h.root().write("/etc/snmp/snmp.conf", "timeout 1\nretries 0\n");  // an inform waits a second
  ASSERT_TRUE(h.start({}, {{"APPLIANCE_SEND_RETRY_MS", "100"}}));
  std::string port = std::to_string(zt::free_port(true));  // nothing answers there
  ASSERT_EQ(h.cmd("<addtrap name=\"T\" server=\"127.0.0.1\" port=\"" + port +
                  "\" version=\"3\" level=\"noauth\" user=\"nms\" />"),
            kNoError);
  ASSERT_EQ(h.cmd(fire(104)), kNoError);
  ASSERT_TRUE(h.wait_log("error", 4));
  const std::string failed = "Send SNMP trap &apos;T&apos; error: snmpinform: Timeout\\n";
  EXPECT_EQ(h.log("error"), (std::vector<std::string>{failed, failed, failed,
                                                      "Send trap &apos;T&apos; to &apos;127.0.0.1:" + port +
                                                          "&apos; given up after 3 tries"}));
  EXPECT_EQ(h.log("message"), std::vector<std::string>{});
  EXPECT_EQ(runs(h, "snmptrap"), 3u);
}

TEST(HeralddDelivery, ADeletedNotifierStopsAndAChangedOneSendsAsItIsNow)
{
  ht::Heraldd h;
  zt::HungServer hung;
  zt::SmtpSink sink(h.root());
  ASSERT_TRUE(sink.ok());
  ASSERT_TRUE(h.start({}, {{"APPLIANCE_SEND_DEADLINE_MS", "1500"}}));
  // Deleted while its first firing hangs: that command ends, the rest go.
  ASSERT_EQ(h.cmd("<addmail name=\"D\" " + target(hung) + " to=\"a@x\" />"), kNoError);
  for (int i = 0; i < 3; i++)
    ASSERT_EQ(h.cmd(fire(104)), kNoError);
  int client = hung.take();
  ASSERT_GE(client, 0);
  EXPECT_EQ(h.cmd("<delmail id=\"104\" />"), kNoError);
  EXPECT_TRUE(zt::HungServer::gone(client));
  // Moved to a working server while a firing waits behind a hung one: the
  // hung command ends at its deadline, the waiting firing reaches the sink.
  ASSERT_EQ(h.cmd("<addmail name=\"C\" " + target(hung) + " to=\"a@x\" />"), kNoError);
  ASSERT_EQ(h.cmd(fire(105, "first")), kNoError);
  ASSERT_TRUE(zt::wait_for([&] { return runs(h, "sendmail") == 2; }));
  ASSERT_EQ(h.cmd(fire(105, "second")), kNoError);
  ASSERT_EQ(h.cmd("<addmail id=\"105\" server=\"127.0.0.1\" port=\"" + std::to_string(sink.port()) +
                  "\" to=\"b@x\" />"),
            kNoError);
  ASSERT_TRUE(sink.wait_messages(1));
  auto mail = sink.messages()[0];
  EXPECT_NE(mail.find("to: b@x\n"), std::string::npos) << mail;
  EXPECT_NE(mail.find("\nsecond\n"), std::string::npos) << mail;
  EXPECT_EQ(runs(h, "sendmail"), 3u);  // nothing more of the deleted notifier
  EXPECT_EQ(h.log("error").back(), "Send mail &apos;C&apos; error: (ended at its deadline)");
}

TEST(HeralddDelivery, ASlowClipHoldsUpOnlyTheVideoMails)
{
  ht::Heraldd h;
  zt::SmtpSink sink(h.root());
  ASSERT_TRUE(sink.ok());
  // The clip waits for a gate (at most 20 s) and notes when it starts and ends.
  h.root().remove("/usr/bin/clipbuild.sh");
  h.root().write("/usr/bin/clipbuild.sh",
                 "#!/bin/sh\nr=$APPLIANCE_ROOT/tmp; echo start >>$r/clips\n"
                 "for i in $(seq 400); do [ -e $r/gate ] && break; sleep 0.05; done\n"
                 "printf 'OggS clip' >$r/out.avi; echo end >>$r/clips\n");
  chmod(h.root().file("/usr/bin/clipbuild.sh").c_str(), 0755);
  ASSERT_TRUE(h.start());
  std::string server = "server=\"127.0.0.1\" port=\"" + std::to_string(sink.port()) + "\"";
  for (const char *name : {"CamA", "CamB", "Text"})  // ids 104 to 106
    ASSERT_EQ(h.cmd(std::string("<addmail name=\"") + name + "\" " + server + " to=\"a@x\" />"), kNoError);
  for (int id : {104, 105})
    EXPECT_EQ(h.cmd("<updateelement element=\"" + std::to_string(id) + "\" value=\"pulse\" />"), kNoError);
  ASSERT_TRUE(zt::wait_for([&] { return h.root().read("/tmp/clips") == "start\n"; }));
  EXPECT_EQ(ht::field(h.cmd("<getelement element=\"104\" />"), "name"), "CamA");
  EXPECT_EQ(h.cmd(fire(106, "Smoke")), kNoError);
  ASSERT_TRUE(sink.wait_messages(1));
  EXPECT_EQ(h.root().read("/tmp/clips"), "start\n");  // one clip at a time
  h.root().write("/tmp/gate", "");
  ASSERT_TRUE(sink.wait_messages(3));
  EXPECT_EQ(h.root().read("/tmp/clips"), "start\nend\nstart\nend\n");
}

}  // namespace
