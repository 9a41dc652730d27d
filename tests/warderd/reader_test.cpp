// The iButton reader end to end: keys laid on the 1-Wire stand-in, the
// decision in the appliance log, the reader element in the element database.
#include "warderd_fixture.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

using wt::Warderd;

const char *GRANTED_ANN = "<entry type=\"access\" message=\"Access granted for username: "
                          "&apos;Ann&apos;\" level=\"8\" />";

class Reader : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(w.up()) << w.proc().err();
    reader_id = w.element_id_named("iButton");
    ASSERT_GT(reader_id, 0);
  }

  // Every test ends with a clean stop and nothing from a sanitizer.
  void TearDown() override
  {
    if (w.proc().running()) {
      EXPECT_EQ(w.stop(), 0) << w.proc().err();
    }
    EXPECT_EQ(w.sanitizer_report(), "");
  }
  Warderd w;
  int reader_id = 0;
};

TEST_F(Reader, RegistersTheReadersModuleWithReaderAndPowerElements)
{
  auto reg = w.sim().journal_of("registryd");
  bool module = std::any_of(reg.begin(), reg.end(), [](const std::string &l) {
    return l.rfind("<dbaddmodule", 0) == 0 && l.find("name=\"Readers\"") != std::string::npos &&
           l.find("socket=\"/tmp/warderd.socket\"") != std::string::npos;
  });
  EXPECT_TRUE(module);
  EXPECT_NE(w.element(reader_id).find("name=\"iButton\" state=\"not connected\" value=\"\""),
            std::string::npos)
      << w.element(reader_id);
  EXPECT_GT(w.element_id_named("iButton Power"), 0);
  EXPECT_EQ(w.root().read("/sys/class/gpio/export").find("10"), 0u);
}

TEST_F(Reader, KnownKeyIsGrantedLoggedAndPublishedThenRemoved)
{
  ASSERT_EQ(w.cmd("<keysadd key=\"01AB00FF109C\" name=\"Ann\" />"), "<error type=\"no error\" />");
  w.lay("01AB00FF109C");
  ASSERT_TRUE(w.wait_access_log(1));
  EXPECT_EQ(w.access_log(), std::vector<std::string>{GRANTED_ANN});
  ASSERT_TRUE(w.wait_element(reader_id, "normal", "Ann")) << w.element(reader_id);
  EXPECT_EQ(w.cmd("<keystate />"), "<key state=\"normal\" value=\"01AB00FF109C\" username=\"Ann\" />");

  w.take();
  ASSERT_TRUE(w.wait_element(reader_id, "not connected", "")) << w.element(reader_id);
  EXPECT_EQ(w.cmd("<keystate />"), "<key state=\"not connected\" value=\"\"/>");
  // A key that stays on the reader is not logged again; only the one entry.
  EXPECT_EQ(w.access_log().size(), 1u);
}

TEST_F(Reader, UnknownKeyIsRefusedWithTheKeyText)
{
  w.lay("0A0B0C0D0E0F");
  ASSERT_TRUE(w.wait_access_log(1));
  EXPECT_EQ(w.access_log()[0], "<entry type=\"access\" message=\"Access error for key: "
                               "&apos;0A0B0C0D0E0F&apos;\" level=\"8\" />");
  ASSERT_TRUE(w.wait_element(reader_id, "high alarm", "0A0B0C0D0E0F")) << w.element(reader_id);
  EXPECT_EQ(w.cmd("<keystate />"),
            "<key state=\"high alarm\" value=\"0A0B0C0D0E0F\" username=\"unauthorized\" />");
}

TEST_F(Reader, KeyBytesGiveUpperCaseDigitsInReadOrder)
{
  // The stand-in turns the file's digits into the bytes 01 AB 00 FF 10 9C.
  w.lay("01ab00ff109c");
  ASSERT_TRUE(w.wait_access_log(1));
  EXPECT_EQ(w.access_log()[0], "<entry type=\"access\" message=\"Access error for key: "
                               "&apos;01AB00FF109C&apos;\" level=\"8\" />");
}

TEST_F(Reader, LearningStoresTheKeyAsNewkeyAndEnds)
{
  ASSERT_EQ(w.cmd("<keysset state=\"add\" />"), "<error type=\"no error\" />");
  ASSERT_EQ(w.cmd("<keysget />"), "<database><state name=\"add\" /></database>");
  w.lay("112233445566");
  ASSERT_TRUE(zt::wait_for([&] { return w.cmd("<keysget />") == "<database><state name=\"normal\" /></database>"; },
                           std::chrono::seconds(10)));
  EXPECT_EQ(w.cmd("<keyslist />"), "<database><e k=\"112233445566\" n=\"newkey\" /></database>");
  ASSERT_TRUE(w.wait_element(reader_id, "normal", "")) << w.element(reader_id);
  EXPECT_TRUE(w.access_log().empty());

  // Learning a key that is stored already replaces its row.
  w.take();
  ASSERT_TRUE(w.wait_element(reader_id, "not connected", ""));
  ASSERT_EQ(w.cmd("<keysadd key=\"AABBCCDDEEFF\" name=\"Bob\" />"), "<error type=\"no error\" />");
  ASSERT_EQ(w.cmd("<keysset state=\"add\" />"), "<error type=\"no error\" />");
  w.lay("AABBCCDDEEFF");
  ASSERT_TRUE(zt::wait_for([&] { return w.cmd("<keysget />") == "<database><state name=\"normal\" /></database>"; },
                           std::chrono::seconds(10)));
  EXPECT_EQ(w.cmd("<keyslist />"),
            "<database><e k=\"112233445566\" n=\"newkey\" /><e k=\"AABBCCDDEEFF\" n=\"newkey\" /></database>");
}

TEST_F(Reader, SecondKeyWithoutAGapIsLoggedButNotPublishedAgain)
{
  ASSERT_EQ(w.cmd("<keysadd key=\"01AB00FF109C\" name=\"Ann\" />"), "<error type=\"no error\" />");
  ASSERT_EQ(w.cmd("<keysadd key=\"0000000000B2\" name=\"Ben\" />"), "<error type=\"no error\" />");
  w.lay("01AB00FF109C");
  ASSERT_TRUE(w.wait_access_log(1));
  ASSERT_TRUE(w.wait_element(reader_id, "normal", "Ann"));
  size_t updates = w.state_updates(reader_id);
  ASSERT_EQ(updates, 1u);

  w.lay("0000000000B2");
  ASSERT_TRUE(w.wait_access_log(2));
  // keystate waits for the reader lock, so the evaluation that logged the
  // second key, with any update it sends, is over when it answers.
  EXPECT_EQ(w.cmd("<keystate />"), "<key state=\"normal\" value=\"0000000000B2\" username=\"Ben\" />");
  EXPECT_EQ(w.access_log(),
            (std::vector<std::string>{GRANTED_ANN, "<entry type=\"access\" message=\"Access granted for "
                                                   "username: &apos;Ben&apos;\" level=\"8\" />"}));
  EXPECT_EQ(w.state_updates(reader_id), updates);
  EXPECT_NE(w.element(reader_id).find("state=\"normal\" value=\"Ann\""), std::string::npos);
}

TEST_F(Reader, KnownThenUnknownKeyChangesTheState)
{
  ASSERT_EQ(w.cmd("<keysadd key=\"01AB00FF109C\" name=\"Ann\" />"), "<error type=\"no error\" />");
  w.lay("01AB00FF109C");
  ASSERT_TRUE(w.wait_element(reader_id, "normal", "Ann"));
  w.lay("FFFFFFFFFFFF");
  ASSERT_TRUE(w.wait_element(reader_id, "high alarm", "FFFFFFFFFFFF"));
  EXPECT_EQ(w.access_log().size(), 2u);
}

TEST_F(Reader, PowerOutputDrivesTheLineFromTheStartAndFollowsTheSwitch)
{
  const std::string line = "/sys/class/gpio/gpio10/";
  auto line_is = [&](const std::string &value) {
    return zt::wait_for([&] {
      return w.root().read(line + "direction") == "out\n" && w.root().read(line + "value") == value;
    });
  };
  int power_id = w.element_id_named("iButton Power");
  ASSERT_GT(power_id, 0);
  // Powered as soon as the line is exported, as its element says.
  EXPECT_TRUE(line_is("1\n")) << w.root().read(line + "direction") << w.root().read(line + "value");
  EXPECT_TRUE(w.wait_element(power_id, "on", ""));

  const struct {
    const char *value, *level, *state;
  } steps[] = {{"off", "0\n", "off"}, {"on", "1\n", "on"}, {"off", "0\n", "off"}};
  for (const auto &s : steps) {
    EXPECT_EQ(w.cmd("<updateelement element=\"" + std::to_string(power_id) + "\" value=\"" + s.value + "\" />"),
              "<error type=\"no error\" />");
    EXPECT_TRUE(line_is(s.level)) << s.value;
    EXPECT_TRUE(w.wait_element(power_id, s.state, "")) << s.value;
  }

  // Saved off: the next start exports the line unpowered. The stop unexports it.
  ASSERT_EQ(w.cmd("<save />"), "<error type='no error' />");
  ASSERT_EQ(w.stop(), 0);
  EXPECT_TRUE(zt::wait_for([&] { return !w.root().exists("/sys/class/gpio/gpio10"); }));
  w.start();
  ASSERT_TRUE(w.up()) << w.proc().err();
  power_id = w.element_id_named("iButton Power");
  EXPECT_TRUE(line_is("0\n"));
  EXPECT_TRUE(w.wait_element(power_id, "off", ""));
}

TEST_F(Reader, SigtermWhileTheReaderRunsEndsCleanly)
{
  w.lay("0A0B0C0D0E0F");
  ASSERT_TRUE(w.wait_access_log(1));
  w.proc().signal(SIGTERM);
  EXPECT_EQ(w.proc().wait(std::chrono::seconds(10)), 0);
  EXPECT_NE(w.proc().err().find("warderd stop.\n"), std::string::npos) << w.proc().err();
  EXPECT_FALSE(w.root().exists("/tmp/warderd.lock"));
  // The reader element and the module are removed from the element database.
  auto reg = w.sim().journal_of("registryd");
  EXPECT_NE(std::find(reg.begin(), reg.end(), "<dbdelelement id=\"" + std::to_string(reader_id) + "\" />"),
            reg.end());
}

}  // namespace
