// What the stand-ins keep: devices added to phantomd and opticd, outputs
// switched through their daemons, places on the floor map and the CAN bus,
// all read back exactly; and the sensors' drift of --wander.
#include "harness.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

const char *kSeed =
    "<registry>\n"
    "  <module id=\"110\" num=\"1\" class=\"1\" name=\"Board\" socket=\"/tmp/baseiod.socket\" />\n"
    "  <module id=\"111\" num=\"1\" class=\"1\" name=\"Outlets\" socket=\"/tmp/mainsd.socket\" />\n"
    "  <module id=\"113\" num=\"1\" class=\"1\" name=\"Virtual\" socket=\"/tmp/phantomd.socket\" />\n"
    "  <element id=\"120\" module=\"110\" num=\"1\" class=\"1\" type=\"1\" name=\"Temp\" value=\"22.5\" />\n"
    "  <element id=\"122\" module=\"110\" num=\"2\" class=\"3\" type=\"1\" name=\"Siren\" state=\"off\" value=\"0\" />\n"
    "  <element id=\"123\" module=\"111\" num=\"1\" class=\"3\" type=\"2\" name=\"Outlet\" state=\"on\" value=\"1\" />\n"
    "  <element id=\"125\" module=\"113\" num=\"1\" class=\"5\" type=\"1\" name=\"Night\" state=\"off\" />\n"
    "</registry>\n";

const std::string kOk = "<error type=\"no error\" />";
const std::string kNoSuch = "<error type=\"no such element\" />";

// "<element id=\"ID\" module=\"M\" num=\"N\" clas=\"C\" type=\"T\" name=\"NAME\" " + rest
std::string el(const char *id, const char *module, const char *num, const char *clas, const char *type,
               const char *name, const std::string &rest)
{
  return std::string("<element id=\"") + id + "\" module=\"" + module + "\" num=\"" + num + "\" clas=\"" + clas +
         "\" type=\"" + type + "\" name=\"" + name + "\" " + rest + " />";
}

struct Step {
  const char *daemon;
  const char *command;
  std::string reply;
};

TEST(SimStandIns, WhatTheyAreToldIsReadBackExactly)
{
  zt::Root root;
  root.write("/etc/registry.xml", kSeed);
  zt::Sim sim(root);
  ASSERT_TRUE(sim.ok());
  const Step steps[] = {
      // Timers: made with the id given, changed by id, new ones numbered on.
      {"phantomd", "<addtimer  id=\"3\" name=\"Shift\" begin=\"22:00\" end=\"06:00\" days=\"1111100\" mode=\"1\"/>", kOk},
      {"phantomd", "<addtimer  id=\"3\" mode=\"0\"/>", kOk},
      {"registryd", "<getelement id=\"3\" />",
       el("3", "113", "2", "virtual", "timer", "Shift",
          "state=\"normal\" value=\"\" begin=\"22:00\" end=\"06:00\" days=\"1111100\" mode=\"0\"")},
      {"phantomd", "<addping  name=\"GW\" period=\"60\" rtt=\"200\" server=\"127.0.0.1\" reset=\"1\" />", kOk},
      {"phantomd", "<addtrigger  name=\"T\" value=\"1\" reverse=\"0\" />", kOk},
      {"phantomd", "<addsnmpget  name=\"UPS\" oid=\"1.3.6.1\" high_alarm=\"9\" />", kOk},
      {"registryd", "<getmodule shortcut=\"1\" id=\"113\"/>",
       "<module id=\"113\" num=\"1\" clas=\"internal\" type=\"\" name=\"Virtual\" state=\"normal\" count=\"0\" "
       "socket=\"/tmp/phantomd.socket\">" +
           el("3", "113", "2", "virtual", "timer", "Shift",
              "state=\"normal\" value=\"\" begin=\"22:00\" end=\"06:00\" days=\"1111100\" mode=\"0\"") +
           el("125", "113", "1", "virtual", "timer", "Night", "state=\"off\" value=\"\"") +
           el("126", "113", "3", "virtual", "ping", "GW",
              "state=\"normal\" value=\"\" period=\"60\" rtt=\"200\" server=\"127.0.0.1\" reset=\"1\"") +
           el("127", "113", "4", "virtual", "trigger", "T", "state=\"normal\" value=\"1\" reverse=\"0\"") +
           el("128", "113", "5", "virtual", "snmp get", "UPS", "state=\"normal\" value=\"\" oid=\"1.3.6.1\" high_alarm=\"9\"") +
           "</module>"},
      // A family touches only its own kind; a delete is always acknowledged.
      {"phantomd", "<addtrigger  id=\"125\" value=\"1\" />", kNoSuch},
      {"phantomd", "<delping id=\"125\" />", kOk},
      {"registryd", "<getelement id=\"125\" />", el("125", "113", "1", "virtual", "timer", "Night", "state=\"off\" value=\"\"")},
      {"phantomd", "<deltimer id=\"3\" />", kOk},
      {"phantomd", "<deltimer />", "<error type=\"some parameters are not specified\" />"},
      {"registryd", "<getelement id=\"3\" />", "<error type=\"element is not founded\" />"},
      // A camera without a module of opticd's is served by opticd itself;
      // its place on the map comes first, so the map's width hides the
      // picture's; its password is kept, never described.
      {"opticd", "<addcamera  id=\"2\" name=\"Gate\" url=\"http://cam/a?b=1&amp;c=2\" width=\"640\" password=\"p\" />", kOk},
      {"registryd", "<setelement id=\"2\" x=\"5\" width=\"50\"/>", kOk},
      {"registryd", "<getelement id=\"2\" />",
       el("2", "0", "1", "device", "ip camera", "Gate",
          "state=\"normal\" value=\"\" x=\"5\" width=\"50\" url=\"http://cam/a?b=1&amp;c=2\"")},
      {"registryd", "<dbelementsocket id=\"2\" />", "<element id=\"2\" socket=\"/tmp/opticd.socket\" />"},
      {"opticd", "<delcamera id=\"2\" />", kOk},
      // Outputs switch through their daemons (ids as the gateway's lookup reads them).
      {"baseiod", "<updateelement element=\"122\" value=\"1\"/>", kOk},
      {"registryd", "<getelement id=\"122\" />", el("122", "110", "2", "output", "relay", "Siren", "state=\"on\" value=\"1\"")},
      {"baseiod", "<updateelement element=\"0x7A\" pulse=\"500\" value=\"pulse\" />", kOk},
      {"registryd", "<getelement id=\"122\" />",
       el("122", "110", "2", "output", "relay", "Siren", "state=\"pulse\" value=\"1\" pulse=\"500\"")},
      {"registryd", "<updateelement id=\"122\" element=\"122\" value=\"off\"/>", kOk},
      {"mainsd", "<fulloff />", kOk},
      {"registryd", "<getelement id=\"123\" />", el("123", "111", "1", "output", "power output", "Outlet", "state=\"off\" value=\"0\"")},
      {"baseiod", "<updateelement element=\"999\" value=\"1\"/>", kOk},
      // Places on the floor map: every attribute, in the order first set.
      {"registryd", "<setelement id=\"120\" x=\"10\" y=\"20\" fpi=\"1\" gpi=\"2\" cpi=\"3\" width=\"40\" height=\"30\" view=\"1\" size=\"2\"/>", kOk},
      {"registryd", "<setelement id=\"120\" x=\"11\"/>", kOk},
      {"registryd", "<getelement id=\"120\" />",
       el("120", "110", "1", "sensor", "temperature", "Temp",
          "state=\"normal\" value=\"22.5\" x=\"11\" y=\"20\" fpi=\"1\" gpi=\"2\" cpi=\"3\" width=\"40\" height=\"30\" "
          "view=\"1\" size=\"2\"")},
      // The CAN bus: an interface nothing was set for is only acknowledged.
      {"busstate", "<getcan if=\"0\" />", kOk},
      {"busstate", "<ctlcan  if=\"0\" mode=\"listen\"/>", kOk},
      {"busstate", "<getcan if=\"0\" />", "<can if=\"0\" mode=\"listen\" />"},
      {"busstate", "<getcan if=\"1\" />", kOk},
  };
  for (const auto &s : steps)
    EXPECT_EQ(zt::exchange(root, s.daemon, s.command), s.reply) << s.daemon << ": " << s.command;
}

// The value of element 120 as registryd describes it.
std::string attr_of(const zt::Root &root, const std::string &name)
{
  std::string reply = zt::exchange(root, "registryd", "<getelement id=\"120\" />");
  size_t at = reply.find(" " + name + "=\"");
  if (at == std::string::npos)
    return "";
  at += name.size() + 3;
  return reply.substr(at, reply.find('"', at) - at);
}

TEST(SimStandIns, SensorsWanderOnlyWithTheOptionAndStayInRange)
{
  const struct {
    std::vector<std::string> args;
    bool moves;
    const char *state;  // above its high warning of 10 once it moved
  } rows[] = {{{}, false, "normal"}, {{"--wander"}, true, "high warning"}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.moves);
    zt::Root root;
    root.write("/etc/registry.xml", kSeed);
    zt::Sim sim(root, r.args);
    ASSERT_TRUE(sim.ok());
    ASSERT_EQ(zt::exchange(root, "registryd", "<updateelement id=\"120\" high_warning=\"10\"/>"), kOk);
    // Three drift periods: a wandering value has moved by then.
    EXPECT_EQ(zt::wait_for([&] { return attr_of(root, "value") != "22.5"; }, std::chrono::seconds(3)), r.moves);
    double v = std::atof(attr_of(root, "value").c_str());
    EXPECT_GE(v, 15.0);
    EXPECT_LE(v, 35.0);
    EXPECT_EQ(attr_of(root, "state"), r.state);
  }
}

}  // namespace
