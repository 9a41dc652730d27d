// Request entry: roles by invocation name, "-i", the XML interface's
// header block, querytype lookup and the inline rows.
#include "engine_env.h"

namespace {

using et::kXmlHeaders;

class Entry : public ::testing::Test {
protected:
  void SetUp() override
  {
    et::make_users(root, {{"1", "admin", "pw", "all", "all"}, {"1", "reader", "pw", "log,", "elements,"}});
  }
  zt::Root root;
  zt::Sim sim{root};
};

TEST_F(Entry, QuerytypeMissingOrUnknownIsInvalidRequest)
{
  struct {
    const char *query, *body;
  } cases[] = {
      {"", ""},
      {"", "querytype=nosuch"},
      {"querytype=", ""},
      {"", "querytype=getlanguagex"},
  };
  for (const auto &c : cases) {
    zt::RunResult r = zt::cgi(root, c.query, c.body);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kXmlHeaders + "<error type=\"invalid request\" />") << c.query << c.body;
  }
}

TEST_F(Entry, QuerytypeIsMatchedWithoutCaseAndBodyWins)
{
  std::string k = et::login(root, "admin", "pw");
  ASSERT_FALSE(k.empty());
  // getsystem in the body hides an unknown querytype of the query string.
  zt::RunResult r = zt::cgi(root, "querytype=nosuch&k=" + k, "querytype=GetSystem");
  EXPECT_EQ(et::body(r).rfind("<system id=\"100\" ", 0), 0u) << r.out;
  r = zt::cgi(root, "querytype=getsystem&k=" + k, "querytype=nosuch");
  EXPECT_EQ(et::body(r), "<error type=\"invalid request\" />");
}

TEST_F(Entry, RoleNamesFallThroughToTheXmlInterface)
{
  for (const char *name : {"engine", "engine.cgi", "nothing", "ENGINE.fcgi.x"}) {
    zt::RunResult r = zt::cgi(root, "", "querytype=x", name);
    EXPECT_EQ(r.out, kXmlHeaders + "<error type=\"invalid request\" />") << name;
  }
}

TEST_F(Entry, InfoSwitchPrintsTheReportOnly)
{
  for (const char *arg : {"-i", "-I", "-info", "-Info"}) {
    zt::RunResult r = zt::run(zt::bin("engine"), {"engine", arg}, root.env());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("# system: Monitoring system, version: 2.5.1 b314 (base)\n", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("Expires"), std::string::npos);
  }
  // An argument that does not begin with -i falls through to the request.
  auto env = root.env();
  env["QUERY_STRING"] = "querytype=zzz";
  zt::RunResult r = zt::run(zt::bin("engine"), {"engine", "x"}, env);
  EXPECT_EQ(r.out, kXmlHeaders + "<error type=\"invalid request\" />");
}

TEST_F(Entry, DevtypeRole)
{
  // Without name: nothing at all, not even headers.
  zt::RunResult r = zt::cgi(root, "", "", "devtype");
  EXPECT_EQ(r.out, "");
  const std::string plain =
      "Expires: -1\r\n"
      "Cache-Control:no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
      "Pragma: no-cache\r\n"
      "Content-Type: text/plain\r\n"
      "\r\n";
  // Without a session of section all at write level: refused, nothing
  // stored, nothing restarted.
  std::string admin = et::login(root, "admin", "pw");
  std::string reader = et::login(root, "reader", "pw");
  for (std::string query : {std::string("name=lite"), "name=lite&k=" + reader, std::string("name=lite&k=1")}) {
    r = zt::cgi(root, query, "", "devtype");
    EXPECT_EQ(r.out, "Status: 403\r\n\r\n") << query;
  }
  EXPECT_FALSE(root.exists("/mnt/jffs/etc/devtype"));
  EXPECT_TRUE(sim.journal_of("stewardd").empty());
  // The name is decoded a second time: %2550 -> %50 (parse) -> P.
  r = zt::cgi(root, "name=%2550ro&k=" + admin, "", "devtype.cgi");
  EXPECT_EQ(r.out, plain + "New name: pro (Pro).\r\nSystem will be restarted.\r\n");
  EXPECT_EQ(root.read("/mnt/jffs/etc/devtype").find("pro"), 0u);
  ASSERT_TRUE(sim.wait_journal(1));
  auto steward = sim.journal_of("stewardd");
  ASSERT_FALSE(steward.empty());
  EXPECT_EQ(steward.back(), "<reboot />");

  r = zt::cgi(root, "name=toaster&k=" + admin, "", "DEVTYPE");
  EXPECT_EQ(r.out, plain + "Error writing new name!\r\n");
}

TEST_F(Entry, LongInvocationNameIsCutAndNeverOverruns)
{
  // "upload-languagexyz" cuts to "upload-language" (15 characters): not
  // built yet, so the XML interface answers; "devtypexxxxxxxxxxxx" is not
  // "devtype" after the cut.
  zt::RunResult r = zt::cgi(root, "name=pro", "", "devtypexxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kXmlHeaders + "<error type=\"invalid request\" />");
}

TEST_F(Entry, BodyLongerThanTheBufferIsCut)
{
  std::string k = et::login(root, "admin", "pw");
  // The querytype lies beyond 32,767 bytes and is cut off.
  std::string body = "k=" + k + "&pad=" + std::string(40000, 'a') + "&querytype=getsystem";
  zt::RunResult r = zt::cgi(root, "", body);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kXmlHeaders + "<error type=\"invalid request\" />");
  // Within the buffer it is found.
  body = "querytype=getsystem&k=" + k + "&pad=" + std::string(40000, 'a');
  r = zt::cgi(root, "", body);
  EXPECT_EQ(et::body(r).rfind("<system ", 0), 0u);
}

TEST_F(Entry, RightsOnlyRows)
{
  std::string admin = et::login(root, "admin", "pw");
  std::string reader = et::login(root, "reader", "pw");
  ASSERT_FALSE(admin.empty());
  ASSERT_FALSE(reader.empty());
  EXPECT_EQ(et::ask(root, admin, "querytype=setmode"), "");
  EXPECT_EQ(et::ask(root, admin, "querytype=hdaemonstatus"), "");
  EXPECT_EQ(et::ask(root, reader, "querytype=setmode"),
            "<error type=\"access denied\" code=\"-101\" />");
  EXPECT_EQ(et::ask(root, reader, "querytype=hdaemonstatus"),
            "<error type=\"access denied\" code=\"-101\" />");
  EXPECT_EQ(et::ask(root, admin, "querytype=setdigitalsensor&type=x"), "<error type=\"no error\" />");
  EXPECT_EQ(et::ask(root, admin, "querytype=setdigitalsensor"),
            "<error type=\"missing parameter\" code=\"-103\" />");
}

}  // namespace
