// Device control commands through the real engine: power, pulses through
// the element's daemon, fulloff, cameras, CAN bus, SD card; exact command
// texts, outputs, missing parameters, daemons down, rights.
#include <memory>

#include "families_env.h"

namespace {

using ft::Case;

// Element 111 is served by its module's daemon (baseiod), 112 by opticd.
const char *kSeed =
    "<registry>\n"
    "  <module id=\"110\" num=\"1\" class=\"1\" name=\"Board\" socket=\"/tmp/baseiod.socket\" />\n"
    "  <element id=\"111\" module=\"110\" num=\"1\" class=\"3\" type=\"1\" name=\"Relay\" "
    "socket=\"\" state=\"off\" value=\"0\" />\n"
    "  <element id=\"112\" module=\"110\" num=\"2\" class=\"4\" type=\"2\" name=\"Cam\" "
    "socket=\"/tmp/opticd.socket\" state=\"normal\" value=\"\" />\n"
    "</registry>\n";

class Device : public ft::FamilyTest {
protected:
  void SetUp() override
  {
    FamilyTest::SetUp();
    sim.stop();
    root.write("/etc/registry.xml", kSeed);
    seeded = std::make_unique<zt::Sim>(root);
    ASSERT_TRUE(seeded->ok());
  }
  std::unique_ptr<zt::Sim> seeded;
};

TEST_F(Device, Commands)
{
  const std::vector<Case> cases = {
      {"querytype=switchpower&id=1", "baseiod", {"<switchpower />"}, ft::kNoError},
      // The camera's url decoded once more and not escaped; the password as parsed.
      {"querytype=addwebcam&id=2&name=Gate%2520cam&url=http%3A%2F%2Fcam%2Fa%253Fb%253D1&fps=5"
       "&resolution=640x480&height=480&width=640&username=u&password=p%2526",
       "opticd",
       {"<addcamera  id=\"2\" name=\"Gate cam\" url=\"http://cam/a?b=1\" fps=\"5\" resolution=\"640x480\" "
        "height=\"480\" width=\"640\" username=\"u\" password=\"p%26\" />"},
       ft::kNoError},
      // A bare ampersand reaches the camera daemon as an entity, one that
      // already is an entity (or a character reference) as it is.
      {"querytype=addwebcam&url=http%3A%2F%2Fcam%2Fa%253Fb%253D1%2526c%253D2", "opticd",
       {"<addcamera  url=\"http://cam/a?b=1&amp;c=2\" />"}, ft::kNoError},
      {"querytype=addwebcam&url=a%2526amp;b%2526%2523x4A;%2526%2523;%2526ampx;%2526", "opticd",
       {"<addcamera  url=\"a&amp;b&#x4A;&amp;#;&amp;ampx;&amp;\" />"}, ft::kNoError},
      {"querytype=addwebcam", "opticd", {"<addcamera  />"}, ft::kNoError},
      {"querytype=delwebcam&id=2", "opticd", {"<delcamera id=\"2\" />"}, ft::kNoError},
      {"querytype=delwebcam", "opticd", {}, ft::kMissing},
      {"querytype=getcan&if=0", "busstate", {"<getcan if=\"0\" />"}, ft::kNoError},
      {"querytype=getcan", "busstate", {}, ft::kMissing},
      {"querytype=savecan&if=1", "busstate", {"<savecan if=\"1\" />"}, ft::kNoError},
      {"querytype=savecan&mode=x", "busstate", {}, ft::kMissing},
      {"querytype=ctlcan&mode=listen&if=1", "busstate", {"<ctlcan  if=\"1\" mode=\"listen\"/>"}, ft::kNoError},
      {"querytype=ctlcan", "busstate", {"<ctlcan />"}, ft::kNoError},
      {"querytype=deldevicecan&node_id=5&if=0", "busstate", {"<deldevicecan  if=\"0\" node_id=\"5\"/>"},
       ft::kNoError},
      {"querytype=deldevicecan", "busstate", {"<deldevicecan />"}, ft::kNoError},
      // The SD card: exchanged, the reply shown unchanged.
      {"querytype=getsdcard", "chronicled", {"<getsdcard />"}, "<sdcard state=\"unmounted\" size=\"0\" free=\"0\" />"},
      {"querytype=setsdcard&cmd=mount", "chronicled", {"<setsdcard  cmd=\"mount\"/>"}, ft::kNoError},
      {"querytype=getsdcard", "chronicled", {"<getsdcard />"}, "<sdcard state=\"mounted\" size=\"0\" free=\"0\" />"},
      {"querytype=setsdcard", "chronicled", {"<setsdcard />"}, "<error type=\"wrong command\" />"},
  };
  run_cases(cases);
}

TEST_F(Device, Sendpulse)
{
  const std::vector<Case> cases = {
      {"querytype=sendpulse&id=111&pulse=500", "baseiod", {"<updateelement element=\"111\" pulse=\"500\" value=\"pulse\" />"},
       ft::kNoError},
      // Found by its value, sent as written.
      {"querytype=sendpulse&id=0x6F", "baseiod", {"<updateelement element=\"0x6F\" value=\"pulse\" />"}, ft::kNoError},
      {"querytype=sendpulse&id=0157&pulse=1", "baseiod", {"<updateelement element=\"0157\" pulse=\"1\" value=\"pulse\" />"},
       ft::kNoError},
      {"querytype=sendpulse&id=112&pulse=2", "opticd", {"<updateelement element=\"112\" pulse=\"2\" value=\"pulse\" />"},
       ft::kNoError},
      // Unknown element or no id: nothing after the headers, nothing sent.
      {"querytype=sendpulse&id=999&pulse=2", "baseiod", {}, ""},
      {"querytype=sendpulse&pulse=2", "baseiod", {}, ""},
  };
  run_cases(cases);
  sim.fault("baseiod", "close");
  EXPECT_EQ(et::ask(root, key, "querytype=sendpulse&id=111"), ft::kNotLoaded);
}

TEST_F(Device, Fulloff)
{
  sim.clear_journal();
  EXPECT_EQ(et::ask(root, key, "querytype=fulloff"), ft::kNoError);
  EXPECT_EQ(sim.journal(), (std::vector<std::string>{"registryd\t<offlogics />", "mainsd\t<fulloff />"}));
  EXPECT_EQ(et::ask(root, key, "querytype=getlogic"), "<logics state=\"off\"></logics>");

  sim.fault("mainsd", "close");
  EXPECT_EQ(et::ask(root, key, "querytype=fulloff"), ft::kNotLoaded);

  // registryd down: mainsd is never asked.
  sim.fault("mainsd", "none");
  sim.fault("registryd", "close");
  sim.clear_journal();
  EXPECT_EQ(et::ask(root, key, "querytype=fulloff"), "");
  EXPECT_EQ(sim.journal(), std::vector<std::string>{"registryd\t<offlogics />"});
}

TEST_F(Device, DaemonsDown)
{
  seeded->stop();
  for (const char *form : {"querytype=switchpower", "querytype=addwebcam&id=1", "querytype=delwebcam&id=1",
                           "querytype=getcan&if=0", "querytype=ctlcan&if=0", "querytype=getsdcard",
                           "querytype=setsdcard&cmd=mount"})
    EXPECT_EQ(et::ask(root, key, form), ft::kNotLoaded) << form;
  // Without registryd the element is unknown: no output.
  EXPECT_EQ(et::ask(root, key, "querytype=sendpulse&id=111"), "");
  EXPECT_EQ(et::ask(root, key, "querytype=fulloff"), "");
}

TEST_F(Device, Rights)
{
  expect_refused({"querytype=switchpower", "querytype=fulloff"}, "baseiod");
  expect_refused({"querytype=fulloff"}, "registryd");
  expect_refused({"querytype=sendpulse&id=111"}, "baseiod");
  expect_refused({"querytype=addwebcam", "querytype=delwebcam&id=1"}, "opticd");
  expect_refused({"querytype=getcan&if=0", "querytype=ctlcan"}, "busstate");
  expect_refused({"querytype=getsdcard", "querytype=setsdcard&cmd=mount"}, "chronicled");
  et::users_sql(root, "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','r','pw','canbus,sdcard,','cameras,');");
  std::string r = et::login(root, "r", "pw");
  EXPECT_EQ(et::ask(root, r, "querytype=getcan&if=0"), ft::kNoError);
  EXPECT_EQ(et::ask(root, r, "querytype=savecan&if=0"), ft::kDenied);
  EXPECT_EQ(et::ask(root, r, "querytype=setsdcard&cmd=mount"), ft::kDenied);
  EXPECT_EQ(et::ask(root, r, "querytype=delwebcam&id=3"), ft::kNoError);
  EXPECT_EQ(et::ask(root, r, "querytype=switchpower"), ft::kDenied);
}

}  // namespace
