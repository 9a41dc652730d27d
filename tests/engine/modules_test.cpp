// Module, element and group commands: the exact command that reaches each
// stand-in and the exact answer, refusals, unknown items, daemons down, and
// the change record of updateelement.
#include "engine_env.h"

namespace {

const std::string kNoError = "<error type=\"no error\" />";
const std::string kMissing = "<error type=\"some parameters are not specified\" />";
const std::string kAccess = "<error type=\"access error\" />";
const std::string kNotLoaded = "<error type=\"module is not loaded\" />";

class Modules : public ::testing::Test {
public:
  void SetUp() override
  {
    root.write("/etc/registry.xml",
               "<registry>"
               "<module id=\"150\" num=\"1\" class=\"1\" name=\"board\" socket=\"/tmp/phantomd.socket\" />"
               "<element id=\"201\" module=\"150\" num=\"1\" class=\"1\" type=\"1\" name=\"t1\" "
               "socket=\"/tmp/registryd.socket\" />"
               "<element id=\"202\" module=\"150\" num=\"2\" class=\"1\" type=\"1\" name=\"t2\" "
               "socket=\"/tmp/baseiod.socket\" />"
               "<group id=\"160\" name=\"g\" />"
               "</registry>");
    sim = std::make_unique<zt::Sim>(root);
    et::make_users(root, {{"1", "admin", "pw", "all", "all"},
                          {"1", "limited", "pw", "all", "all", "", "", "", ""}});
    key = et::login(root, "admin", "pw");
    limited = et::login(root, "limited", "pw");
    ASSERT_FALSE(key.empty());
    ASSERT_FALSE(limited.empty());
  }

  // The commands a stand-in received since the last clear, without the
  // platform's element-database calls.
  std::vector<std::string> commands(const std::string &daemon) const
  {
    std::vector<std::string> out;
    for (const std::string &line : sim->journal_of(daemon))
      if (line.rfind("<db", 0) != 0)
        out.push_back(line);
    return out;
  }

  zt::Root root;
  std::unique_ptr<zt::Sim> sim;
  std::string key, limited;
};

struct Case {
  const char *form;
  const char *daemon;                 // stand-in that gets the command
  std::vector<std::string> commands;  // what it received, in order ({} nothing)
  std::string answer;                 // body after the headers ("*" not compared)
};

void run_cases(Modules &t, const zt::Root &root, zt::Sim &sim, const std::string &k,
               const std::vector<Case> &cases,
               std::vector<std::string> (Modules::*commands)(const std::string &) const)
{
  for (const Case &c : cases) {
    sim.clear_journal();
    std::string answer = et::ask(root, k, c.form);
    if (c.answer != "*") {
      EXPECT_EQ(answer, c.answer) << c.form;
    }
    EXPECT_EQ((t.*commands)(c.daemon), c.commands) << c.form;
  }
}

TEST_F(Modules, CommandsReachTheirDaemonsByteForByte)
{
  const std::string K = key;
  std::vector<Case> cases = {
      {"querytype=getmodule", "registryd", {"<getmodule k=\"" + K + "\" />"}, "*"},
      {"querytype=getmodule&id=150&mode=1&period=5&junk=2",
       "phantomd",
       {"<getmodule shortcut=\"1\"  id=\"150\" mode=\"1\" period=\"5\"/>"},
       kNoError},
      // 0x96 finds module 150; the text goes out unchanged.
      {"querytype=getmodule&id=0x96", "phantomd", {"<getmodule shortcut=\"1\"  id=\"0x96\"/>"}, kNoError},
      {"querytype=getmodule&id=999", "phantomd", {}, "<error type=\"module is not founded\" />"},
      {"querytype=updatemodule&relmask=5&id=150&size=2&interval=3&relval=4",
       "phantomd",
       {"<updatemodule  id=\"150\" size=\"2\" interval=\"3\" relval=\"4\" relmask=\"5\"/>"},
       kNoError},
      {"querytype=updatemodule&size=2", "phantomd", {}, kMissing},
      {"querytype=updatemodule&id=999", "registryd", {}, "<error type=\"module is not founded\" />"},
      {"querytype=ctlmodule&id=150&func=AddMail&password=a%2526b%2522&message=x%253Cy&url=%2541",
       "phantomd",
       {"<ctlmodule  id=\"150\" func=\"AddMail\" message=\"x&lt;y\" url=\"A\" password=\"a&amp;b&quot;\"/>"},
       kNoError},
      {"querytype=ctlmodule&id=150&func=other&password=a%2526b",
       "phantomd",
       {"<ctlmodule  id=\"150\" func=\"other\" password=\"a%26b\"/>"},
       kNoError},
      {"querytype=ctlmodule&id=999&func=x", "registryd", {"<ctlmodule  id=\"999\" func=\"x\"/>"}, "*"},
      {"querytype=ctlmodule&func=x", "registryd", {}, kMissing},
      {"querytype=getelement", "registryd", {"<getelement k=\"" + K + "\" />"}, "*"},
      {"querytype=getelement&id=202&period=7",
       "baseiod",
       {"<getelement k=\"" + K + "\" id=\"202\" element=\"202\"  period=\"7\" mode=\"xml\" />"},
       kNoError},
      {"querytype=getelement&id=202", "registryd", {"<getelement id=\"202\" />"}, kNoError},
      {"querytype=getelement&id=999", "registryd", {"<getelement id=\"999\" />"}, ""},
      {"querytype=getelementpos&id=202", "registryd", {"<getelement id=\"202\" />"}, "*"},
      {"querytype=getelementpos", "registryd", {}, ""},
      {"querytype=setelementpos&id=202&y=2&x=1&size=9",
       "registryd",
       {"<setelement id=\"202\" x=\"1\" y=\"2\" size=\"9\"/>"},
       kNoError},
      {"querytype=setelementpos&x=1", "registryd", {}, ""},
      // A quote cannot end the attribute; '<' cannot open an element.
      {"querytype=setelementpos&id=202&x=1%22+evil%3D%22%3C",
       "registryd",
       {"<setelement id=\"202\" x=\"1&quot; evil=&quot;&lt;\"/>"},
       kNoError},
      {"querytype=getgroup", "registryd", {"<getgroup k=\"" + K + "\" />"}, "*"},
      {"querytype=getgroup&id=160", "registryd", {"<getgroup id=\"160\" />"}, "*"},
      {"querytype=delgroup", "registryd", {}, kMissing},
      {"querytype=addgroup&name=a%2522b&descr=d&image=i%2541&notifiers=1,2",
       "registryd",
       {"<addgroup  name=\"a&quot;b\" descr=\"d\" image=\"i%41\" notifiers=\"1,2\"/>"},
       "*"},
      {"querytype=delgroup&id=160", "registryd", {"<delgroup id=\"160\" />"}, kNoError},
  };
  run_cases(*this, root, *sim, key, cases, &Modules::commands);
}

TEST_F(Modules, AccessErrorsSendNothing)
{
  std::vector<Case> cases = {
      {"querytype=getmodule&id=150", "phantomd", {}, kAccess},
      {"querytype=updatemodule&id=150", "phantomd", {}, kAccess},
      {"querytype=ctlmodule&id=150", "phantomd", {}, kAccess},
      {"querytype=getelement&id=202", "baseiod", {}, kAccess},
      {"querytype=updateelement&id=202&name=x", "baseiod", {}, kAccess},
      {"querytype=getgroup&id=160", "registryd", {}, kAccess},
      {"querytype=addgroup&name=x", "registryd", {}, kAccess},
      {"querytype=delgroup&id=160", "registryd", {}, kAccess},
      {"querytype=delgroup", "registryd", {}, kAccess},  // the group right comes first
  };
  run_cases(*this, root, *sim, limited, cases, &Modules::commands);
}

TEST_F(Modules, UpdateelementLogsAndRecordsTheChange)
{
  sim->clear_journal();
  std::string answer =
      et::ask(root, key, "querytype=updateelement&id=202&message=m&name=a%252Bb&utype=u&value=1&ctrl=c");
  EXPECT_EQ(answer, kNoError);
  EXPECT_EQ(commands("baseiod"),
            std::vector<std::string>{
                "<updateelement id=\"202\" element=\"202\" name=\"a+b\" utype=\"u\" value=\"1\" ctrl=\"c\" "
                "message=\"m\"/>"});
  ASSERT_TRUE(sim->wait_journal(1));
  // The record's name is decoded once more: the '+' becomes a blank.
  EXPECT_EQ(commands("chronicled"),
            (std::vector<std::string>{
                "<entry type=\"message\" message=\"Settings of element (id=202) has been changed by "
                "&apos;admin(id=1)&apos;\" level=\"8\" />",
                "<fulldump><element id=\"202\" name=\"a b\" value=\"1\" ctrl=\"c\" user_id=\"1\" "
                "user_name=\"admin\" /></fulldump>"}));

  // Without id: nothing at all.
  sim->clear_journal();
  EXPECT_EQ(et::ask(root, key, "querytype=updateelement&name=x"), "");
  EXPECT_TRUE(commands("baseiod").empty());
  EXPECT_TRUE(commands("chronicled").empty());

  // Unknown element: no output, no record.
  sim->clear_journal();
  EXPECT_EQ(et::ask(root, key, "querytype=updateelement&id=999&name=x"), "");
  EXPECT_TRUE(commands("chronicled").empty());

  // Daemon down: "module is not loaded", nothing logged or recorded.
  sim->fault("baseiod", "close");
  sim->clear_journal();
  EXPECT_EQ(et::ask(root, key, "querytype=updateelement&id=202&name=x"), kNotLoaded);
  EXPECT_TRUE(commands("chronicled").empty());
}

TEST_F(Modules, DaemonDown)
{
  sim->fault("phantomd", "close");
  EXPECT_EQ(et::ask(root, key, "querytype=getmodule&id=150"), kNotLoaded);
  sim->fault("registryd", "close");
  // The session-key forms say nothing.
  EXPECT_EQ(et::ask(root, key, "querytype=getmodule"), "");
  EXPECT_EQ(et::ask(root, key, "querytype=getgroup"), "");
  EXPECT_EQ(et::ask(root, key, "querytype=getelement"), "");
  EXPECT_EQ(et::ask(root, key, "querytype=getgroup&id=160"), kNotLoaded);
  EXPECT_EQ(et::ask(root, key, "querytype=setelementpos&id=202"), kNotLoaded);
  // ctlmodule of an unknown module falls back to registryd.
  EXPECT_EQ(et::ask(root, key, "querytype=ctlmodule&id=150"), kNotLoaded);
}

TEST_F(Modules, GetmodulesIsOneDocument)
{
  sim->clear_journal();
  std::string doc = et::ask(root, key, "querytype=getmodules");
  ASSERT_EQ(doc.rfind("<system id=\"100\" state=\"normal\" version=\"2.5.1 b314\" ", 0), 0u) << doc;
  size_t open_end = doc.find(" >");
  ASSERT_NE(open_end, std::string::npos);
  std::string rest = doc.substr(open_end + 2);
  EXPECT_EQ(rest.rfind("<module id=\"150\"", 0), 0u) << rest;
  EXPECT_NE(rest.find("<group id=\"160\""), std::string::npos);
  EXPECT_NE(rest.find("<element id=\"202\""), std::string::npos);
  EXPECT_EQ(rest.substr(rest.size() - 9), "</system>");
  auto reg = commands("registryd");
  const std::vector<std::string> tail(reg.end() - 3, reg.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"<getmodule k=\"" + key + "\" />",
                                            "<getgroup k=\"" + key + "\" />",
                                            "<getelement k=\"" + key + "\" />"}));
  // With registryd down the parts are missing, the frame is not.
  sim->fault("registryd", "close");
  doc = et::ask(root, key, "querytype=getmodules");
  EXPECT_EQ(doc.substr(doc.size() - 19), "mem=\"41\" ></system>") << doc;
}

TEST_F(Modules, CommandTooLongIsRefusedAndNotSent)
{
  sim->clear_journal();
  // 7,000 quotes grow to 42,000 bytes as &quot;: beyond the command area.
  std::string big;
  for (int i = 0; i < 7000; i++)
    big += "%22";
  EXPECT_EQ(et::ask(root, key, "querytype=setelementpos&id=202&x=" + big),
            "<error type=\"command is too long\" />");
  EXPECT_TRUE(commands("registryd").empty());
}

}  // namespace
