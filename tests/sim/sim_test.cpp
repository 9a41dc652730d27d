// appliance-sim through its real interfaces: sockets, journal, faults file,
// the 1-Wire FIFO, and its command line.
#include "harness.h"
#include "uds.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

const char *kSeed =
    "<registry>\n"
    "  <module id=\"110\" num=\"1\" class=\"1\" name=\"Board\" socket=\"/tmp/baseiod.socket\" />\n"
    "  <element id=\"111\" module=\"110\" num=\"1\" class=\"3\" type=\"1\" name=\"Relay &amp; 1\" "
    "socket=\"\" state=\"off\" value=\"0\" />\n"
    "  <element id=\"112\" module=\"110\" num=\"2\" class=\"4\" type=\"2\" name=\"Cam\" "
    "socket=\"/tmp/opticd.socket\" state=\"normal\" value=\"\" />\n"
    "  <group id=\"130\" name=\"Hall\" />\n"
    "</registry>\n";

const std::vector<std::string> kAll = {"registryd", "stewardd", "chronicled", "cellulard", "phantomd",
                                       "baseiod",   "mainsd",   "opticd",     "busstate"};

// ---- registryd -----------------------------------------------------------------

struct Exchange {
  const char *command;
  std::string reply;
};

TEST(SimRegistry, SeededItemsAnswerByteForByte)
{
  zt::Root root;
  root.write("/etc/registry.xml", kSeed);
  zt::Sim sim(root);
  ASSERT_TRUE(sim.ok());
  const Exchange cases[] = {
      {"<getelement id=\"111\" />",
       "<element id=\"111\" module=\"110\" num=\"1\" clas=\"output\" type=\"relay\" name=\"Relay &amp; 1\" "
       "state=\"off\" value=\"0\" />"},
      {"<getelement id=\"100\" />",
       "<element id=\"100\" module=\"0\" num=\"0\" clas=\"\" type=\"\" name=\"System\" state=\"normal\" value=\"\" />"},
      {"<getelement id=\"999\" />", "<error type=\"element is not founded\" />"},
      {"<getgroup id=\"130\" />", "<group id=\"130\" name=\"Hall\" />"},
      {"<getgroup k=\"1\" />", "<group id=\"130\" name=\"Hall\" />"},
      {"<dbmodulesocket id=\"110\" />", "<module id=\"110\" socket=\"/tmp/baseiod.socket\" />"},
      // An element without a socket of its own is served by its module's daemon.
      {"<dbelementsocket id=\"111\" />", "<element id=\"111\" socket=\"/tmp/baseiod.socket\" />"},
      {"<dbelementsocket id=\"112\" />", "<element id=\"112\" socket=\"/tmp/opticd.socket\" />"},
      {"<dbtype id=\"112\" />", "<item id=\"112\" kind=\"1\" class=\"4\" type=\"2\" />"},
      {"<dbtype id=\"110\" />", "<item id=\"110\" kind=\"2\" class=\"0\" type=\"0\" />"},
      {"<dbtype id=\"130\" />", "<item id=\"130\" kind=\"3\" class=\"0\" type=\"0\" />"},
      {"<dbtype id=\"131\" />", "<error type=\"item is not founded\" />"},
      {"<nosuchcommand />", "<error type=\"no error\" />"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(zt::exchange(root, "registryd", c.command), c.reply) << c.command;
}

TEST(SimRegistry, NewIdsFollowTheHighestSeededId)
{
  zt::Root root;
  root.write("/etc/registry.xml", kSeed);
  zt::Sim sim(root);
  ASSERT_TRUE(sim.ok());
  EXPECT_EQ(zt::exchange(root, "registryd",
                         "<dbaddmodule kind=\"3\" num=\"1\" count=\"1\" class=\"internal\" type=\"readers\" "
                         "name=\"Readers\" state=\"normal\" socket=\"/tmp/warderd.socket\" />"),
            "<error type=\"no error\" id=\"131\" />");
  EXPECT_EQ(zt::exchange(root, "registryd",
                         "<dbaddelement module=\"131\" num=\"1\" class=\"device\" type=\"ibutton\" name=\"iButton\" "
                         "state=\"not connected\" value=\"\" socket=\"/tmp/warderd.socket\" />"),
            "<error type=\"no error\" id=\"132\" />");
  EXPECT_EQ(zt::exchange(root, "registryd", "<dbaddelement module=\"555\" num=\"1\" />"),
            "<error type=\"module is not founded\" />");
  EXPECT_EQ(zt::exchange(root, "registryd", "<addgroup name=\"Lab\" />"), "<error type=\"no error\" id=\"133\" />");
  EXPECT_EQ(zt::exchange(root, "registryd", "<getelement id=\"132\" />"),
            "<element id=\"132\" module=\"131\" num=\"1\" clas=\"device\" type=\"ibutton\" name=\"iButton\" "
            "state=\"not connected\" value=\"\" />");
  // Deleting the module takes its elements along.
  EXPECT_EQ(zt::exchange(root, "registryd", "<dbdelmodule id=\"131\" />"), "<error type=\"no error\" />");
  EXPECT_EQ(zt::exchange(root, "registryd", "<getelement id=\"132\" />"), "<error type=\"element is not founded\" />");
  // The system element cannot be deleted.
  EXPECT_EQ(zt::exchange(root, "registryd", "<dbdelelement id=\"100\" />"), "<error type=\"element is not founded\" />");
}

TEST(SimRegistry, UnseededIdsStartAt101)
{
  zt::Root root;
  zt::Sim sim(root);
  ASSERT_TRUE(sim.ok());
  EXPECT_EQ(zt::exchange(root, "registryd", "<dbaddmodule kind=\"2\" num=\"1\" name=\"Mails\" />"),
            "<error type=\"no error\" id=\"101\" />");
  EXPECT_EQ(zt::exchange(root, "registryd", "<dbaddelement module=\"101\" num=\"1\" class=\"notifier\" type=\"mail\" />"),
            "<error type=\"no error\" id=\"102\" />");
  EXPECT_EQ(zt::exchange(root, "registryd", "<getmodule k=\"5\" />"),
            "<module id=\"101\" num=\"1\" clas=\"internal\" type=\"notifier list\" name=\"Mails\" state=\"normal\" "
            "count=\"0\" socket=\"\" />");
}

TEST(SimRegistry, GatewayCommandsChangeTheDatabase)
{
  zt::Root root;
  root.write("/etc/registry.xml", kSeed);
  zt::Sim sim(root);
  ASSERT_TRUE(sim.ok());
  const Exchange steps[] = {
      {"<setelement id=\"111\" x=\"10\" y=\"20\"/>", "<error type=\"no error\" />"},
      {"<updateelement id=\"111\" element=\"111\" name=\"Pump\"/>", "<error type=\"no error\" />"},
      {"<getelement id=\"111\" />",
       "<element id=\"111\" module=\"110\" num=\"1\" clas=\"output\" type=\"relay\" name=\"Pump\" state=\"off\" "
       "value=\"0\" x=\"10\" y=\"20\" />"},
      {"<setelement id=\"5\" x=\"1\"/>", "<error type=\"element is not founded\" />"},
      {"<addgroup id=\"130\" name=\"Hall 2\" descr=\"d\" />", "<error type=\"no error\" id=\"130\" />"},
      {"<getgroup id=\"130\" />", "<group id=\"130\" name=\"Hall 2\" descr=\"d\" />"},
      {"<delgroup id=\"130\" />", "<error type=\"no error\" />"},
      {"<delgroup id=\"130\" />", "<error type=\"group is not founded\" />"},
      {"<addlogic logic=\"if 111 on\" name=\"L\" timeout=\"5\" />", "<error type=\"no error\" id=\"1\" />"},
      {"<addlogic id=\"1\"  />", "<error type=\"no error\" id=\"1\" />"},
      {"<getlogic  id=\"1\"  />", "<logic id=\"1\" name=\"L\" logic=\"if 111 on\" timeout=\"5\" />"},
      {"<offlogics  />", "<error type=\"no error\" />"},
      {"<getlogic  />", "<logics state=\"off\"><logic id=\"1\" name=\"L\" logic=\"if 111 on\" timeout=\"5\" /></logics>"},
      {"<onlogics />", "<error type=\"no error\" />"},
      {"<dellogic id=\"1\" />", "<error type=\"no error\" />"},
      {"<getlogic  />", "<logics state=\"on\"></logics>"},
      {"<getmodule shortcut=\"1\" id=\"110\"/>",
       "<module id=\"110\" num=\"1\" clas=\"internal\" type=\"\" name=\"Board\" state=\"normal\" count=\"0\" "
       "socket=\"/tmp/baseiod.socket\"><element id=\"111\" module=\"110\" num=\"1\" clas=\"output\" type=\"relay\" "
       "name=\"Pump\" state=\"off\" value=\"0\" x=\"10\" y=\"20\" /><element id=\"112\" module=\"110\" num=\"2\" "
       "clas=\"device\" type=\"camera\" name=\"Cam\" state=\"normal\" value=\"\" /></module>"},
      {"<ctlmodule id=\"110\" func=\"x\"/>", "<error type=\"no error\" />"},
      {"<save />", "<error type=\"no error\" />"},
  };
  for (const auto &s : steps)
    EXPECT_EQ(zt::exchange(root, "registryd", s.command), s.reply) << s.command;
}

TEST(SimRegistry, MalformedSeedStartsEmptyAndSaysSo)
{
  for (const char *seed : {"<notregistry><module id=\"300\"/></notregistry>",
                           "<registry><module id=\"300\" num=\"1\"/><element id=\"301\" module=\"300\""}) {
    SCOPED_TRACE(seed);
    zt::Root root;
    root.write("/etc/registry.xml", seed);
    zt::Sim sim(root);
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(zt::exchange(root, "registryd", "<dbaddmodule num=\"1\" />"), "<error type=\"no error\" id=\"101\" />");
    EXPECT_EQ(zt::exchange(root, "registryd", "<getelement id=\"300\" />"), "<error type=\"element is not founded\" />");
    EXPECT_EQ(zt::exchange(root, "registryd", "<getelement id=\"100\" />"),
              "<element id=\"100\" module=\"0\" num=\"0\" clas=\"\" type=\"\" name=\"System\" state=\"normal\" value=\"\" />");
  }
}

// ---- the other stand-ins -----------------------------------------------------------

TEST(SimStewardd, KeepsSettingsRadiusAndAnswersReportCommands)
{
  zt::Root root;
  zt::Sim sim(root, {"--only", "stewardd"});
  ASSERT_TRUE(sim.ok());
  const Exchange steps[] = {
      {"<getradius />", ""},  // no server: the empty reply
      {"<setradius srv1=\"127.0.0.1:1812:s&amp;cret\" />", "<error type=\"no error\" />"},
      {"<getradius />", "127.0.0.1:1812:s&cret"},
      {"<setradius srv1=\"\" />", "<error type=\"no error\" />"},
      {"<getradius />", ""},  // no server: the empty reply
      {"<sethttpd ssl=\"1\" port=\"8443\"/>", "<error type=\"no error\" />"},
      {"<gethttpd />", "<httpd ssl=\"1\" port=\"8443\" />"},
      {"<getperfomance />", "cpu=\"3\" mem=\"41\""},
      {"<optime />", "1234"},
      {"<setsettings hostname=\"box\"/>", "<error type=\"no error\" />"},
      {"<txtsettings />", "ip: 192.168.0.100, netmask: 255.255.255.0, gateway: 192.168.0.1, hostname: box\n"},
      {"<settime time=\"1700000000\" />", "<error type=\"no error\" />"},
      {"<settime time=\"x\" />", "<error type=\"wrong time\" />"},
      {"<execute cmd=\"touch /tmp/ran\" />", "<error type=\"no error\" />"},
      {"<reboot />", "<error type=\"no error\" />"},
  };
  for (const auto &s : steps)
    EXPECT_EQ(zt::exchange(root, "stewardd", s.command), s.reply) << s.command;
  // An execute is recorded, never run.
  EXPECT_FALSE(root.exists("/tmp/ran"));
  EXPECT_EQ(::access("/tmp/ran", F_OK), -1);
}

TEST(SimChronicled, KeepsEntriesAndAnswersLogCommands)
{
  zt::Root root;
  zt::Sim sim(root, {"--only", "chronicled"});
  ASSERT_TRUE(sim.ok());
  EXPECT_EQ(zt::exchange(root, "chronicled", "<entry type=\"access\" message=\"granted &lt;A&gt;\" level=\"8\" />"),
            "<error type=\"no error\" />");
  EXPECT_EQ(zt::exchange(root, "chronicled", "<entry type=\"error\" message=\"second\" level=\"8\" />"),
            "<error type=\"no error\" />");
  std::string log = zt::exchange(root, "chronicled", "<log  />");
  EXPECT_EQ(log.rfind("<log total=\"2\" count=\"2\"><entry id=\"2\" ", 0), 0u) << log;
  EXPECT_NE(log.find("type=\"access\" message=\"granted &lt;A&gt;\" level=\"8\" /></log>"), std::string::npos) << log;
  log = zt::exchange(root, "chronicled", "<log offset=\"1\" count=\"5\" />");
  EXPECT_EQ(log.rfind("<log total=\"2\" count=\"1\"><entry id=\"1\" ", 0), 0u) << log;
  std::string txt = zt::exchange(root, "chronicled", "<savetxt />");
  EXPECT_NE(txt.find("\taccess\t8\tgranted <A>\r\n"), std::string::npos) << txt;
  EXPECT_NE(zt::exchange(root, "chronicled", "<rss />").find("<title>error</title><description>second</description>"),
            std::string::npos);
  EXPECT_EQ(zt::exchange(root, "chronicled", "<loglevel Debug=\"1\" Bogus=\"2\" />"), "<error type=\"no error\" />");
  EXPECT_EQ(zt::exchange(root, "chronicled", "<loglevelget />"),
            "<loglevel Emergency=\"1\" Alert=\"1\" Critical=\"1\" Error=\"1\" Warning=\"1\" Notice=\"1\" "
            "Informational=\"1\" Debug=\"1\" />");
  EXPECT_EQ(zt::exchange(root, "chronicled", "<setsdcard cmd=\"mount\"/>"), "<error type=\"no error\" />");
  EXPECT_EQ(zt::exchange(root, "chronicled", "<getsdcard />"), "<sdcard state=\"mounted\" size=\"0\" free=\"0\" />");
  EXPECT_EQ(zt::exchange(root, "chronicled", "<clearlog />"), "<error type=\"no error\" />");
  EXPECT_EQ(zt::exchange(root, "chronicled", "<log  />"), "<log total=\"0\" count=\"0\"></log>");
}

TEST(SimCellulard, QueuesSms)
{
  zt::Root root;
  zt::Sim sim(root, {"--only", "cellulard"});
  ASSERT_TRUE(sim.ok());
  EXPECT_EQ(zt::exchange(root, "cellulard", "<addsms to_phone=\"+100\" message=\"hi &amp; bye\" />"),
            "<error type=\"no error\" />");
  EXPECT_EQ(zt::exchange(root, "cellulard", "<addsms to_phone=\"+100\" />"),
            "<error type=\"some parameters are not specified\" />");
  EXPECT_EQ(zt::exchange(root, "cellulard", "<smsqueue />"),
            "<smsqueue count=\"1\"><sms to_phone=\"+100\" message=\"hi &amp; bye\" /></smsqueue>");
}

TEST(SimQuiet, OthersAnswerNoError)
{
  zt::Root root;
  zt::Sim sim(root);
  ASSERT_TRUE(sim.ok());
  for (const char *d : {"phantomd", "baseiod", "mainsd", "opticd", "busstate"})
    EXPECT_EQ(zt::exchange(root, d, "<save />"), "<error type=\"no error\" />") << d;
}

// ---- journal -----------------------------------------------------------------------

TEST(SimJournal, OneLinePerCommandWithLineFeedsWritten)
{
  zt::Root root;
  zt::Sim sim(root);
  ASSERT_TRUE(sim.ok());
  zt::exchange(root, "chronicled", "<entry type=\"a\" message=\"one\ntwo\" level=\"8\" />");
  zt::exchange(root, "mainsd", "<fulloff />");
  ASSERT_TRUE(sim.wait_journal(2));
  std::vector<std::string> expect = {"chronicled\t<entry type=\"a\" message=\"one\\ntwo\" level=\"8\" />",
                                     "mainsd\t<fulloff />"};
  EXPECT_EQ(sim.journal(), expect);
  EXPECT_EQ(root.read("/tmp/appliance-sim.journal"), expect[0] + "\n" + expect[1] + "\n");
  EXPECT_EQ(sim.journal_of("mainsd"), std::vector<std::string>{"<fulloff />"});
  sim.clear_journal();
  EXPECT_TRUE(sim.journal().empty());
  zt::exchange(root, "busstate", "<getcan if=\"0\" />");
  ASSERT_TRUE(sim.wait_journal(1));
  EXPECT_EQ(sim.journal(), std::vector<std::string>{"busstate\t<getcan if=\"0\" />"});
}

// ---- command line ------------------------------------------------------------------

TEST(SimCommandLine, OnlyAndExceptChooseTheSockets)
{
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> served;
  };
  const Case cases[] = {
      {{"--only", "registryd,mainsd"}, {"registryd", "mainsd"}},
      {{"--only=stewardd"}, {"stewardd"}},
      {{"--except", "registryd,busstate,cellulard"},
       {"stewardd", "chronicled", "phantomd", "baseiod", "mainsd", "opticd"}},
  };
  for (const auto &c : cases) {
    zt::Root root;
    zt::Sim sim(root, c.args);
    ASSERT_TRUE(sim.ok());
    for (const auto &d : kAll) {
      bool want = std::find(c.served.begin(), c.served.end(), d) != c.served.end();
      EXPECT_EQ(root.exists("/tmp/" + d + ".socket"), want) << d;
    }
  }
}

TEST(SimCommandLine, UnknownDaemonOrModeIsRefused)
{
  zt::Root root;
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"--only", "nosuchd"}, {"--fault", "registryd=loud"}, {"--fault", "nosuchd=slow"}, {"--bogus"}}) {
    zt::RunResult r = zt::run(zt::bin("appliance-sim"), args, root.env(), {}, std::chrono::seconds(10));
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_NE(r.err.find("usage: appliance-sim"), std::string::npos);
  }
}

TEST(SimCommandLine, StopsCleanlyOnSigtermAndSigint)
{
  for (int sig : {SIGTERM, SIGINT}) {
    zt::Root root;
    zt::Process p(zt::bin("appliance-sim"), {}, root.env());
    ASSERT_TRUE(zt::wait_for([&] { return zt::exchange(root, "busstate", "<x />") == "<error type=\"no error\" />"; },
                             std::chrono::seconds(10)));
    p.signal(sig);
    EXPECT_EQ(p.wait(std::chrono::seconds(10)), 0);
    for (const auto &d : kAll)
      EXPECT_FALSE(root.exists("/tmp/" + d + ".socket")) << d;
  }
}

// ---- fault modes -------------------------------------------------------------------

// The platform's client against each mode.
class SimFault : public ::testing::Test {
protected:
  void SetUp() override
  {
    setenv("APPLIANCE_ROOT", root.path().c_str(), 1);
    udsclient_set_timeout_ms(700);
  }
  void TearDown() override
  {
    udsclient_set_timeout_ms(0);
    unsetenv("APPLIANCE_ROOT");
  }
  int ask(const char *socket, const char *command, std::string *reply)
  {
    char buf[512];
    std::strncpy(buf, command, sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    int rc = udsclient_exchange(socket, buf, sizeof buf);
    *reply = buf;
    return rc;
  }
  zt::Root root;
};

TEST_F(SimFault, EachModeAsTheClientSeesIt)
{
  zt::Sim sim(root);
  ASSERT_TRUE(sim.ok());
  struct Case {
    const char *daemon;
    const char *mode;
    bool ok;
    const char *reply;
  };
  // A silent stand-in lets go of its connection when its mode changes; a
  // slow one is busy for 3 s, so it gets a stand-in of its own.
  const Case cases[] = {
      {"mainsd", "none", true, "<error type=\"no error\" />"},
      {"mainsd", "silent", false, ""},
      {"mainsd", "close", false, ""},
      {"opticd", "slow", false, ""},  // 3 s against the client's 0.7 s
      {"mainsd", "malformed", true, "<error type='no er"},
      {"mainsd", "none", true, "<error type=\"no error\" />"},
  };
  size_t lines = 0;
  for (const auto &c : cases) {
    sim.fault(c.daemon, c.mode);
    std::string reply;
    std::string socket = std::string("/tmp/") + c.daemon + ".socket";
    int rc = ask(socket.c_str(), "<fulloff />", &reply);
    EXPECT_EQ(rc == 0, c.ok) << c.mode;
    EXPECT_EQ(reply, c.reply) << c.mode;
    // Every command is journaled, answered or not.
    EXPECT_TRUE(sim.wait_journal(++lines)) << c.mode;
    EXPECT_EQ(sim.journal().back(), std::string(c.daemon) + "\t<fulloff />");
  }
  // The fault of one stand-in leaves the others alone.
  sim.fault("mainsd", "close");
  std::string reply;
  EXPECT_EQ(ask("/tmp/baseiod.socket", "<switchpower />", &reply), 0);
  EXPECT_EQ(reply, "<error type=\"no error\" />");
}

// No RADIUS server: stewardd reads the command and closes without a byte,
// which the client takes as the empty reply, not as a daemon gone.
TEST_F(SimFault, NoRadiusServerIsTheEmptyReply)
{
  zt::Sim sim(root, {"--only", "stewardd"});
  ASSERT_TRUE(sim.ok());
  std::string reply = "x";
  EXPECT_EQ(ask("/tmp/stewardd.socket", "<getradius />", &reply), 0);
  EXPECT_EQ(reply, "");
}

TEST_F(SimFault, SlowRepliesArriveForAPatientClient)
{
  zt::Sim sim(root, {"--fault", "stewardd=slow"});
  ASSERT_TRUE(sim.ok());
  udsclient_set_timeout_ms(0);  // the default 10 s
  std::string reply;
  EXPECT_EQ(ask("/tmp/stewardd.socket", "<optime />", &reply), 0);
  EXPECT_EQ(reply, "1234");
}

TEST_F(SimFault, CommandLineModeAndFileOverride)
{
  zt::Sim sim(root, {"--fault", "registryd=close", "--fault=cellulard=malformed"});
  ASSERT_TRUE(sim.ok());
  std::string reply;
  EXPECT_NE(ask("/tmp/registryd.socket", "<getelement id=\"100\" />", &reply), 0);
  EXPECT_EQ(ask("/tmp/cellulard.socket", "<addsms to_phone=\"1\" message=\"m\" />", &reply), 0);
  EXPECT_EQ(reply, "<error type='no er");
  sim.fault("registryd", "none");
  EXPECT_EQ(ask("/tmp/registryd.socket", "<getelement id=\"100\" />", &reply), 0);
  EXPECT_EQ(reply.find("<element id=\"100\""), 0u);
  // A command that was not answered was not carried out either.
  sim.fault("cellulard", "none");
  EXPECT_EQ(ask("/tmp/cellulard.socket", "<smsqueue />", &reply), 0);
  EXPECT_EQ(reply, "<smsqueue count=\"0\"></smsqueue>");
}

// ---- 1-Wire reader -----------------------------------------------------------------

bool readable(int fd, int ms)
{
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
  return select(fd + 1, &set, nullptr, nullptr, &tv) > 0;
}

TEST(SimW1, KeyOnTheReaderThenGone)
{
  zt::Root root;
  zt::Sim sim(root, {"--only", "registryd"});
  ASSERT_TRUE(sim.ok());
  int fd = ::open(root.file("/dev/w1").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(readable(fd, 50));

  root.write("/tmp/w1.key", "01AB00FF109C\n");
  for (int round = 0; round < 3; round++) {  // refilled after every read
    ASSERT_TRUE(readable(fd, 2000));
    unsigned char key[8] = {};
    ASSERT_EQ(::read(fd, key, 6), 6);
    const unsigned char want[6] = {0x01, 0xAB, 0x00, 0xFF, 0x10, 0x9C};
    EXPECT_EQ(std::memcmp(key, want, 6), 0);
  }
  // Another key replaces the first.
  root.write("/tmp/w1.key", "a1b2c3d4e5f6");
  EXPECT_TRUE(zt::wait_for([&] {
    unsigned char key[6] = {};
    return readable(fd, 100) && ::read(fd, key, 6) == 6 && key[0] == 0xA1 && key[5] == 0xF6;
  }));

  root.remove("/tmp/w1.key");
  EXPECT_TRUE(zt::wait_for([&] {
    if (!readable(fd, 50))
      return true;
    unsigned char buf[64];
    ssize_t n = ::read(fd, buf, sizeof buf);
    (void)n;
    return false;
  }));
  EXPECT_FALSE(readable(fd, 200));
  // Anything but 12 hexadecimal digits is no key.
  root.write("/tmp/w1.key", "01AB00FF109");
  EXPECT_FALSE(readable(fd, 200));
  ::close(fd);
}

TEST(SimGpio, TreeIsCreatedWhenMissing)
{
  zt::Root root;
  root.remove("/sys");
  root.write("/sys/class/gpio/gpio10/value", "1\n");  // left by an earlier run
  zt::Sim sim(root, {"--only", "baseiod"});
  ASSERT_TRUE(sim.ok());
  for (const char *f : {"/sys/class/gpio/export", "/sys/class/gpio/unexport"})
    EXPECT_TRUE(root.exists(f)) << f;
  // Nothing is exported at start.
  EXPECT_FALSE(root.exists("/sys/class/gpio/gpio10"));
}

// Writes to the GPIO tree as a program makes them, in order, and what the
// line's files then read (a missing direction: the line is not exported).
struct GpioStep {
  const char *file;
  const char *written;
  const char *direction;
  const char *value;
};

TEST(SimGpio, LinesBehaveAsTheKernelsDo)
{
  const GpioStep steps[] = {
      {"export", "10", "in\n", "0\n"},           // an exported line is an input at 0
      {"gpio10/value", "1", "in\n", "0\n"},      // an input refuses a level
      {"gpio10/direction", "out", "out\n", "0\n"},
      {"gpio10/value", "1", "out\n", "1\n"},
      {"gpio10/direction", "low", "out\n", "0\n"},
      {"gpio10/direction", "high", "out\n", "1\n"},
      {"gpio10/value", "0", "out\n", "0\n"},
      {"gpio10/value", "7", "out\n", "1\n"},     // any level but 0 is 1
      {"gpio10/direction", "sideways", "out\n", "1\n"},  // refused
      {"gpio10/direction", "in", "in\n", "1\n"},
      {"unexport", "10", nullptr, nullptr},
      {"export", "10", "in\n", "0\n"},           // exported afresh
  };
  zt::Root root;
  zt::Sim sim(root, {"--only", "baseiod"});
  ASSERT_TRUE(sim.ok());
  const std::string line = "/sys/class/gpio/gpio10/";
  for (const GpioStep &s : steps) {
    SCOPED_TRACE(std::string(s.file) + " <- " + s.written);
    ASSERT_TRUE(root.poke(std::string("/sys/class/gpio/") + s.file, s.written));
    // The stand-in acts a moment after the write; its files read as the
    // kernel's, so what was written is never what is expected.
    EXPECT_TRUE(zt::wait_for([&] {
      if (s.direction == nullptr)
        return !root.exists("/sys/class/gpio/gpio10");
      return root.read(line + "direction") == s.direction && root.read(line + "value") == s.value;
    })) << root.read(line + "direction") << root.read(line + "value");
  }
}

// On the board each write has taken effect when it returns, so a program
// writes a line's files one after the other without waiting: every write of a
// burst counts, whatever the stand-in is doing with the line at that moment.
TEST(SimGpio, WritesInQuickSuccessionAllCount)
{
  const struct {
    const char *first[2], *second[2];  // file and text, written back to back
    const char *direction, *value;
  } bursts[] = {
      {{"direction", "out"}, {"value", "1"}, "out\n", "1\n"},
      {{"direction", "low"}, {"value", "1"}, "out\n", "1\n"},
      {{"direction", "high"}, {"value", "0"}, "out\n", "0\n"},
      {{"value", "1"}, {"direction", "low"}, "out\n", "0\n"},
      {{"value", "0"}, {"direction", "high"}, "out\n", "1\n"},
      {{"direction", "in"}, {"value", "0"}, "in\n", "1\n"},  // an input refuses a level
  };
  zt::Root root;
  zt::Sim sim(root, {"--only", "baseiod"});
  ASSERT_TRUE(sim.ok());
  const std::string line = "/sys/class/gpio/gpio10/";
  ASSERT_TRUE(root.poke("/sys/class/gpio/export", "10"));
  ASSERT_TRUE(zt::wait_for([&] { return root.read(line + "value") == "0\n"; }));
  for (const auto &b : bursts) {
    SCOPED_TRACE(std::string(b.first[0]) + " <- " + b.first[1] + ", " + b.second[0] + " <- " + b.second[1]);
    ASSERT_TRUE(root.poke(line + b.first[0], b.first[1]));
    ASSERT_TRUE(root.poke(line + b.second[0], b.second[1]));
    EXPECT_TRUE(zt::wait_for([&] {
      return root.read(line + "direction") == b.direction && root.read(line + "value") == b.value;
    })) << root.read(line + "direction") << root.read(line + "value");
  }
}

}  // namespace
