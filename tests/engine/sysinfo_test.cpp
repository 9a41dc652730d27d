// The system element and the "-i" report with the daemons up and down.
#include "engine_env.h"

#include <regex>
#include <time.h>

namespace {

class Sysinfo : public ::testing::Test {
protected:
  void SetUp() override
  {
    et::make_users(root, {{"1", "admin", "pw", "all", "all"}});
    root.write("/proc/uptime", "4242.17 8000.00\n");
  }
  void start(const std::vector<std::string> &args = {})
  {
    sim = std::make_unique<zt::Sim>(root, args);
    key = et::login(root, "admin", "pw");
    ASSERT_FALSE(key.empty());
  }
  // The system element with its time attribute checked and blanked.
  std::string element(const std::string &query)
  {
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    std::string out = et::ask(root, key, query);
    uint32_t after = static_cast<uint32_t>(time(nullptr));
    std::smatch m;
    static const std::regex t(" time=\"([0-9]+)\" ");
    if (!std::regex_search(out, m, t))
      return "<no time>" + out;
    uint32_t v = static_cast<uint32_t>(std::stoul(m[1]));
    EXPECT_GE(v, before);
    EXPECT_LE(v, after);
    return m.prefix().str() + " time=\"T\" " + m.suffix().str();
  }
  zt::Root root;
  std::unique_ptr<zt::Sim> sim;
  std::string key;
};

TEST_F(Sysinfo, BothDaemonsUp)
{
  root.write("/mnt/jffs/etc/devtype", "max\n");
  start();
  EXPECT_EQ(element("querytype=getsystem"),
            "<system id=\"100\" state=\"normal\" version=\"2.5.1 b314\" type=\"max\" time=\"T\" sms=\"true\" "
            "optime=\"1234\" uptime=\"4242\" cpu=\"3\" mem=\"41\" />");
  root.write("/tmp/nocellulard", "");
  EXPECT_NE(element("querytype=getsystem").find(" sms=\"false\" "), std::string::npos);
  EXPECT_EQ(element("querytype=getmodules").rfind(
                "<system id=\"100\" state=\"normal\" version=\"2.5.1 b314\" type=\"max\" time=\"T\" "
                "sms=\"false\" optime=\"1234\" uptime=\"4242\" cpu=\"3\" mem=\"41\" >",
                0),
            0u);
}

TEST_F(Sysinfo, StateFromTheElementDatabase)
{
  root.write("/etc/registry.xml",
             "<registry><element id=\"100\" module=\"0\" num=\"0\" class=\"0\" type=\"0\" name=\"system\" "
             "socket=\"\" state=\"high alarm\" /></registry>");
  start();
  EXPECT_NE(element("querytype=getsystem").find(" state=\"high alarm\" "), std::string::npos);
}

TEST_F(Sysinfo, StewarddDown)
{
  start({"--except", "stewardd"});
  root.remove("/proc/uptime");
  EXPECT_EQ(element("querytype=getsystem"),
            "<system id=\"100\" state=\"normal\" version=\"2.5.1 b314\" type=\"base\" time=\"T\" sms=\"true\" "
            "optime=\"4294967295\" uptime=\"0\"  />");
  zt::RunResult r = zt::run(zt::bin("engine"), {"engine", "-i"}, root.env());
  std::smatch m;
  EXPECT_TRUE(std::regex_match(r.out, m,
                               std::regex("# system: Monitoring system, version: 2.5.1 b314 \\(base\\)\n"
                                          "# current time: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}, "
                                          "operation time: 4294967295 hours\n# ")))
      << r.out;
}

TEST_F(Sysinfo, RegistrydDown)
{
  start();
  sim->fault("registryd", "close");
  EXPECT_NE(element("querytype=getsystem").find(" state=\"normal\" "), std::string::npos);
}

TEST_F(Sysinfo, ReportIsThreeLines)
{
  start();
  zt::RunResult r = zt::run(zt::bin("engine"), {"engine", "-i"}, root.env());
  EXPECT_EQ(r.status, 0);
  std::smatch m;
  EXPECT_TRUE(std::regex_match(r.out, m,
                               std::regex("# system: Monitoring system, version: 2.5.1 b314 \\(base\\)\n"
                                          "# current time: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}, "
                                          "operation time: 1234 hours\n# ip: [^\n]*\n")))
      << r.out;
  EXPECT_EQ(sim->journal_of("stewardd").back(), "<txtsettings />");
}

}  // namespace
