// Switch elements against a running appliance-sim: registration, saved
// settings, description, attribute changes, pulses, save and removal.
#include "zunswitch.h"

#include "harness.h"
#include "zundb.h"
#include "zunlib.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char *kSettings = "/mnt/jffs/etc/warderd.xml";
constexpr const char *kOwner = "/tmp/warderd.socket";

// A "Readers" module (id 101) that already holds its reader (num 1, id 102).
constexpr const char *kRegistry =
    "<registry>\n"
    "<module id=\"101\" num=\"1\" kind=\"3\" class=\"1\" count=\"1\" name=\"Readers\" "
    "socket=\"/tmp/readers.socket\" />\n"
    "<element id=\"102\" module=\"101\" num=\"1\" class=\"4\" type=\"1\" name=\"iButton\" "
    "socket=\"/tmp/readers.socket\" state=\"not connected\" value=\"\" />\n"
    "</registry>\n";

// The output callback's record of the codes it was given.
struct Outputs {
  std::mutex lock;
  std::vector<int> codes;

  std::vector<int> get()
  {
    std::lock_guard<std::mutex> hold(lock);
    return codes;
  }
};

int record_output(void *ctx, int command)
{
  auto *out = static_cast<Outputs *>(ctx);
  std::lock_guard<std::mutex> hold(out->lock);
  out->codes.push_back(command);
  return 0;
}

ssize_t append_write(void *ctx, const void *buf, size_t count)
{
  static_cast<std::string *>(ctx)->append(static_cast<const char *>(buf), count);
  return static_cast<ssize_t>(count);
}

ssize_t failing_write(void *, const void *, size_t)
{
  return -1;
}

// The value of attribute `name` in an XML text ("" when absent).
std::string attr(const std::string &xml, const std::string &name)
{
  std::string key = " " + name + "=\"";
  size_t at = xml.find(key);
  if (at == std::string::npos)
    return "";
  at += key.size();
  size_t end = xml.find('"', at);
  return end == std::string::npos ? "" : xml.substr(at, end - at);
}

class SwitchTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    setenv("APPLIANCE_ROOT", root.path().c_str(), 1);
    root.write("/etc/registry.xml", kRegistry);
    ASSERT_EQ(zunlib_init(root.file(kSettings).c_str(), kOwner), 0);
  }
  void TearDown() override
  {
    if (sw != nullptr)
      zunswitch_exit(sw);
    unsetenv("APPLIANCE_ROOT");
  }

  void start_sim()
  {
    sim = std::make_unique<zt::Sim>(root, std::vector<std::string>{"--only", "registryd"});
    ASSERT_TRUE(sim->ok());
  }

  // The Readers' power output as warderd creates it.
  int init(int state = 5, int pulse = 15)
  {
    return zunswitch_init(&sw, 101, 0, -1, 1, state, pulse, record_output, &outputs);
  }

  std::string registry_element(int id)
  {
    return zt::exchange(root, "registryd", "<getelement id=\"" + std::to_string(id) + "\" />");
  }

  std::string describe()
  {
    std::string out;
    xml_channel ch = {};
    ch.write = append_write;
    ch.write_ctx = &out;
    EXPECT_EQ(zunswitch_get(sw, &ch, nullptr), 0);
    return out;
  }

  std::string save()
  {
    std::string out;
    xml_channel ch = {};
    ch.write = append_write;
    ch.write_ctx = &out;
    EXPECT_EQ(zunswitch_save(sw, &ch), 0);
    return out;
  }

  // The description zunswitch_get must write for these values.
  static std::string expected(int id, int num, const char *name, int state, int pulse)
  {
    return "<element id=\"" + std::to_string(id) + "\" module=\"101\" num=\"" + std::to_string(num) +
           "\" clas=\"" + zunelement_clas2str(3) + "\" type=\"" + zunelement_type2str(3, 1) +
           "\" name=\"" + name + "\" state=\"" + zunelement_state2str(state, 3) +
           "\" value=\"\" pulse=\"" + std::to_string(pulse) + "\" />";
  }

  zt::Root root;
  std::unique_ptr<zt::Sim> sim;
  Outputs outputs;
  zunswitch *sw = nullptr;
};

TEST_F(SwitchTest, StateTextsOfOutputs)
{
  EXPECT_STREQ(zunelement_state2str(5, 3), "on");
  EXPECT_STREQ(zunelement_state2str(6, 3), "off");
  EXPECT_STREQ(zunelement_state2str(8, 3), "pulse");
}

TEST_F(SwitchTest, InitRegistersTheNextElementOfTheModule)
{
  start_sim();
  ASSERT_EQ(init(), 0);
  ASSERT_NE(sw, nullptr);
  EXPECT_EQ(zunswitch_get_id(sw), 103);
  EXPECT_STREQ(zunswitch_get_name(sw), "");
  EXPECT_EQ(outputs.get(), std::vector<int>{5});
  EXPECT_EQ(describe(), expected(103, 2, "", 5, 15));

  std::string reg = registry_element(103);
  EXPECT_EQ(attr(reg, "module"), "101") << reg;
  EXPECT_EQ(attr(reg, "num"), "2") << reg;
  EXPECT_EQ(attr(reg, "state"), "on") << reg;
  // The element is served by its owner, not by the module's socket.
  std::string owner = zt::exchange(root, "registryd", "<dbelementsocket id=\"103\" />");
  EXPECT_EQ(attr(owner, "socket"), kOwner) << owner;
}

TEST_F(SwitchTest, SavedLineRestoresNameStateAndPulse)
{
  root.write(kSettings,
             "<settings>\n"
             "\t<switch num=\"1\" name=\"Other\" state=\"on\" pulse=\"3\" />\n"
             "\t<switch num=\"2\" name=\"Door &amp; &quot;Gate&quot;\" state=\"off\" pulse=\"25\" />\n"
             "</settings>\n");
  start_sim();
  ASSERT_EQ(init(5, 15), 0);
  EXPECT_STREQ(zunswitch_get_name(sw), "Door & \"Gate\"");
  EXPECT_EQ(outputs.get(), std::vector<int>{6});
  EXPECT_EQ(describe(), expected(103, 2, "Door &amp; &quot;Gate&quot;", 6, 25));
  std::string reg = registry_element(103);
  EXPECT_EQ(attr(reg, "state"), "off") << reg;
  EXPECT_EQ(attr(reg, "name"), "Door &amp; &quot;Gate&quot;") << reg;
}

TEST_F(SwitchTest, SettingsWithoutItsLineKeepTheStartValues)
{
  const char *const files[] = {
      "<settings>\n\t<switch num=\"1\" name=\"Other\" state=\"off\" pulse=\"3\" />\n</settings>\n",
      "<settings>\n</settings>\n",
      "not xml at all",
      "",
  };
  start_sim();
  for (const char *text : files) {
    root.write(kSettings, text);
    ASSERT_EQ(init(5, 15), 0) << text;
    EXPECT_STREQ(zunswitch_get_name(sw), "") << text;
    EXPECT_EQ(outputs.get().back(), 5) << text;
    EXPECT_EQ(attr(describe(), "pulse"), "15") << text;
    zunswitch_exit(sw);
    sw = nullptr;
  }
}

TEST_F(SwitchTest, AttrSetAppliesNameValueAndPulse)
{
  start_sim();
  ASSERT_EQ(init(), 0);
  const char *attrs[] = {"element", "103", "name", "Power <A>", "pulse", "40", "value", "off", nullptr};
  EXPECT_EQ(zunswitch_attr_set(sw, attrs), 0);
  EXPECT_STREQ(zunswitch_get_name(sw), "Power <A>");
  EXPECT_EQ(outputs.get(), (std::vector<int>{5, 6}));
  EXPECT_EQ(describe(), expected(103, 2, "Power &lt;A&gt;", 6, 40));
  std::string reg = registry_element(103);
  EXPECT_EQ(attr(reg, "name"), "Power &lt;A&gt;") << reg;
  EXPECT_EQ(attr(reg, "state"), "off") << reg;
}

TEST_F(SwitchTest, ValuesTakeStateTextsAndCodes)
{
  start_sim();
  ASSERT_EQ(init(6), 0);
  const struct {
    const char *value;
    int result;
    int output;  // 0: the callback is not called
    const char *state;
  } cases[] = {
      {"on", 0, 5, "on"},      {"off", 0, 6, "off"}, {"5", 0, 5, "on"},  {"6", 0, 6, "off"},
      {"normal", -1, 0, "off"}, {"7", -1, 0, "off"}, {"", -1, 0, "off"}, {"5x", -1, 0, "off"},
  };
  for (const auto &c : cases) {
    size_t before = outputs.get().size();
    const char *attrs[] = {"value", c.value, nullptr};
    EXPECT_EQ(zunswitch_attr_set(sw, attrs), c.result) << c.value;
    auto codes = outputs.get();
    if (c.output == 0) {
      EXPECT_EQ(codes.size(), before) << c.value;
    } else {
      ASSERT_EQ(codes.size(), before + 1) << c.value;
      EXPECT_EQ(codes.back(), c.output) << c.value;
    }
    EXPECT_EQ(attr(describe(), "state"), c.state) << c.value;
    EXPECT_EQ(attr(registry_element(103), "state"), c.state) << c.value;
  }
}

TEST_F(SwitchTest, BadPulseIsRefusedAndKeepsTheOldOne)
{
  start_sim();
  ASSERT_EQ(init(), 0);
  for (const char *pulse : {"-1", "abc", "", "99999999999"}) {
    const char *attrs[] = {"pulse", pulse, nullptr};
    EXPECT_EQ(zunswitch_attr_set(sw, attrs), -1) << pulse;
    EXPECT_EQ(attr(describe(), "pulse"), "15");
  }
}

TEST_F(SwitchTest, PulseSwitchesOnThenOff)
{
  start_sim();
  ASSERT_EQ(init(6), 0);
  // As the gateway's sendpulse sends it: the length first, then the value.
  const char *attrs[] = {"element", "103", "pulse", "1", "value", "pulse", nullptr};
  ASSERT_EQ(zunswitch_attr_set(sw, attrs), 0);
  ASSERT_TRUE(zt::wait_for([&] { return outputs.get().size() >= 3; }));
  EXPECT_EQ(outputs.get(), (std::vector<int>{6, 5, 6}));
  EXPECT_TRUE(zt::wait_for([&] { return attr(registry_element(103), "state") == "off"; }));
  EXPECT_EQ(attr(describe(), "state"), "off");
  EXPECT_EQ(attr(describe(), "pulse"), "1");
}

TEST_F(SwitchTest, LongPulseEndsWithTheSwitchAndSavesAsOff)
{
  start_sim();
  ASSERT_EQ(init(6), 0);
  const char *attrs[] = {"pulse", "600", "value", "8", nullptr};
  ASSERT_EQ(zunswitch_attr_set(sw, attrs), 0);
  EXPECT_EQ(outputs.get(), (std::vector<int>{6, 5}));
  EXPECT_EQ(attr(describe(), "state"), "pulse");
  EXPECT_EQ(attr(registry_element(103), "state"), "pulse");
  EXPECT_EQ(save(), "\t<switch num=\"2\" name=\"\" state=\"off\" pulse=\"600\" />\n");
  // A new value ends the pulse at once.
  const char *on[] = {"value", "on", nullptr};
  ASSERT_EQ(zunswitch_attr_set(sw, on), 0);
  EXPECT_EQ(outputs.get(), (std::vector<int>{6, 5, 5}));
  EXPECT_EQ(attr(describe(), "state"), "on");
}

TEST_F(SwitchTest, SaveWritesOneLineThatInitReadsBack)
{
  start_sim();
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(zunswitch_set_name(sw, "iButton \"Power\" & <more>"), 0);
  const char *attrs[] = {"value", "off", "pulse", "7", nullptr};
  ASSERT_EQ(zunswitch_attr_set(sw, attrs), 0);
  std::string line = save();
  EXPECT_EQ(line, "\t<switch num=\"2\" name=\"iButton &quot;Power&quot; &amp; &lt;more&gt;\" "
                  "state=\"off\" pulse=\"7\" />\n");
  zunswitch_exit(sw);
  sw = nullptr;

  root.write(kSettings, "<settings>\n" + line + "</settings>\n");
  Outputs again;
  ASSERT_EQ(zunswitch_init(&sw, 101, 0, -1, 1, 5, 15, record_output, &again), 0);
  EXPECT_STREQ(zunswitch_get_name(sw), "iButton \"Power\" & <more>");
  EXPECT_EQ(again.get(), std::vector<int>{6});
  EXPECT_EQ(attr(describe(), "pulse"), "7");
  EXPECT_EQ(save(), line);
}

TEST_F(SwitchTest, LongNamesAreCutWithoutSplittingACharacter)
{
  start_sim();
  ASSERT_EQ(init(), 0);
  std::string name(62, 'a');
  name += "\xc3\xa9\xc3\xa9";  // two two-byte characters: only part fits in 63
  ASSERT_EQ(zunswitch_set_name(sw, name.c_str()), 0);
  EXPECT_EQ(std::string(zunswitch_get_name(sw)), std::string(62, 'a'));
}

TEST_F(SwitchTest, WriteFailuresAreReported)
{
  start_sim();
  ASSERT_EQ(init(), 0);
  xml_channel ch = {};
  ch.write = failing_write;
  EXPECT_EQ(zunswitch_get(sw, &ch, nullptr), -1);
  EXPECT_EQ(zunswitch_save(sw, &ch), -1);
}

TEST_F(SwitchTest, ExitDeletesTheElement)
{
  start_sim();
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(attr(registry_element(103), "num"), "2");
  sim->clear_journal();
  zunswitch_exit(sw);
  sw = nullptr;
  auto lines = sim->journal_of("registryd");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().rfind("<dbdelelement", 0), 0u) << lines.front();
  EXPECT_EQ(attr(lines.front(), "id"), "103") << lines.front();
  EXPECT_EQ(attr(registry_element(103), "num"), "");
  int kind = 0, clas = 0, type = 0;
  EXPECT_NE(zunelement_type_by_id(103, &kind, &clas, &type), 0);
  // The reader of the module is still there.
  EXPECT_EQ(attr(registry_element(102), "name"), "iButton");
}

TEST_F(SwitchTest, WithoutTheDatabaseTheOutputStillWorks)
{
  ASSERT_EQ(init(5), 0);
  ASSERT_NE(sw, nullptr);
  EXPECT_EQ(zunswitch_get_id(sw), -1);
  EXPECT_EQ(outputs.get(), std::vector<int>{5});
  const char *attrs[] = {"value", "off", nullptr};
  EXPECT_EQ(zunswitch_attr_set(sw, attrs), 0);
  EXPECT_EQ(outputs.get(), (std::vector<int>{5, 6}));
  // Number 0 falls back to the first number when nobody can be asked.
  EXPECT_EQ(describe(), expected(-1, 1, "", 6, 15));
}

TEST_F(SwitchTest, GivenNumberIsKept)
{
  start_sim();
  ASSERT_EQ(zunswitch_init(&sw, 101, 7, -1, 2, 6, 0, record_output, &outputs), 0);
  EXPECT_EQ(attr(describe(), "num"), "7");
  EXPECT_EQ(attr(describe(), "type"), zunelement_type2str(3, 2));
  EXPECT_EQ(attr(registry_element(zunswitch_get_id(sw)), "num"), "7");
}

TEST_F(SwitchTest, BadArgumentsCreateNothing)
{
  EXPECT_EQ(zunswitch_init(nullptr, 101, 0, -1, 1, 5, 15, record_output, &outputs), -1);
  EXPECT_EQ(zunswitch_init(&sw, 101, 0, -1, 1, 5, 15, nullptr, nullptr), -1);
  EXPECT_EQ(sw, nullptr);
  EXPECT_EQ(zunswitch_init(&sw, 101, 0, -1, 1, 7, 15, record_output, &outputs), -1);
  EXPECT_EQ(zunswitch_init(&sw, 101, -1, -1, 1, 5, 15, record_output, &outputs), -1);
  EXPECT_EQ(zunswitch_init(&sw, 101, 0, -1, 1, 5, -3, record_output, &outputs), -1);
  EXPECT_EQ(sw, nullptr);
  EXPECT_TRUE(outputs.get().empty());
  EXPECT_EQ(zunswitch_get_id(nullptr), -1);
  EXPECT_STREQ(zunswitch_get_name(nullptr), "");
  EXPECT_EQ(zunswitch_set_name(nullptr, "x"), -1);
}

}  // namespace
