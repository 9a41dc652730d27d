// warderd's commands on its socket, reply by reply, byte for byte.
#include "warderd_fixture.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <thread>

namespace {

using wt::Warderd;

constexpr const char *NO_ERROR = "<error type=\"no error\" />";
constexpr const char *NOT_SUPPORTED = "<error type=\"Access keys not support\" />";
constexpr const char *STATE_ERROR = "<error type=\"keys database change state error\" />";

struct Exchange {
  const char *command;
  const char *reply;
};

// The module id of an element, from the element database.
int module_of(const Warderd &w, int element_id)
{
  std::smatch m;
  std::string text = w.element(element_id);
  std::regex re(" module=\"([0-9]+)\"");
  return std::regex_search(text, m, re) ? std::stoi(m[1]) : 0;
}

class Commands : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(w.up()) << w.proc().err(); }

  // Every test ends with a clean stop and nothing from a sanitizer.
  void TearDown() override
  {
    if (w.proc().running()) {
      EXPECT_EQ(w.stop(), 0) << w.proc().err();
    }
    EXPECT_EQ(w.sanitizer_report(), "");
  }

  // Runs the exchanges in order, each reply compared byte for byte.
  void run(std::initializer_list<Exchange> steps)
  {
    for (const Exchange &s : steps)
      EXPECT_EQ(w.cmd(s.command), s.reply) << s.command;
  }

  Warderd w;
};

TEST_F(Commands, FrameCommands)
{
  run({
      {"<test />", "<error type='Test ok' />"},
      {"<updatemodule id=\"5\" name=\"x\" />", "<error type='no custom parameters' />"},
      {"<getmodule />", "<error type='wrong parameters' />"},
  });
  std::string module = std::to_string(module_of(w, w.element_id_named("iButton")));
  std::string own = zt::exchange(w.root(), "registryd", "<getmodule id=\"" + module + "\"  />");
  ASSERT_NE(own.find("name=\"Readers\""), std::string::npos) << own;
  EXPECT_EQ(w.cmd("<getmodule id=\"" + module + "\" />"), own);
}

TEST_F(Commands, SaveWritesThePowerSwitchIntoTheSettingsFile)
{
  EXPECT_EQ(w.cmd("<save />"), "<error type='no error' />");
  std::string file = w.root().read("/mnt/jffs/etc/warderd.xml");
  EXPECT_EQ(file.rfind("<settings>\n", 0), 0u) << file;
  EXPECT_NE(file.find("<switch "), std::string::npos) << file;
  EXPECT_NE(file.find("name=\"iButton Power\""), std::string::npos) << file;
  ASSERT_GE(file.size(), 12u);
  EXPECT_EQ(file.substr(file.size() - 12), "</settings>\n");
}

TEST_F(Commands, UsersAddGetCheckList)
{
  run({
      {"<listusers />", "<access>\n</access>\n"},
      {"<adduser auth=\"ann\" write=\"keys,\" />", NO_ERROR},
      {"<adduser auth=\"ann\" read=\"x\" write=\"y\" />", "<error type=\"Id is wrong\" />"},
      {"<adduser id=\"9\" auth=\"zed\" write=\"y\" />", "<error type=\"Id is wrong\" />"},
      {"<adduser auth=\"bob\" read=\"all,\" write=\"\" />", NO_ERROR},
      {"<adduser id=\"1\" auth=\"bob\" write=\"y,\" />", "<error type=\"User already exists\" />"},
      {"<listusers />",
       "<access>\n<user id=\"1\" auth=\"ann\" read=\"nothing,\" write=\"keys,\" />\n"
       "<user id=\"2\" auth=\"bob\" read=\"all,\" write=\"nothing,\" />\n</access>\n"},
      // Attribute names match by their beginning: identity is id.
      {"<adduser identity=\"1\" auth=\"anna\" read=\"logics,\" write=\"keys,\" />", NO_ERROR},
      {"<getuser id=\"1\" />", "<access>\n<user id=\"1\" read=\"logics,\" write=\"keys,\" />\n</access>\n"},
      {"<getuser auth=\"bob\" />", "<access>\n<user id=\"2\" read=\"all,\" write=\"nothing,\" />\n</access>\n"},
      {"<getuser id=\"77\" />", "<error type=\"Permissions denied\" />"},
      {"<getuser auth=\"ann\" />", "<error type=\"Permissions denied\" />"},
      {"<checkuser auth=\"anna\" read=\"log\" />", "<access state=\"ok\" />"},
      {"<checkuser auth=\"anna\" />", "<access state=\"denied\" />"},
      {"<checkuser auth=\"anna\" write=\"keys,\" />", "<access state=\"ok\" />"},
      {"<checkuser auth=\"anna\" read=\"log\" write=\"notify,\" />", "<access state=\"denied\" />"},
      {"<checkuser id=\"2\" read=\"anything,\" />", "<access state=\"ok\" />"},
      {"<checkuser auth=\"ghost\" read=\"view,\" />", "<access state=\"denied\" />"},
  });
}

TEST_F(Commands, DeleteUsersKeepsTheLastOne)
{
  run({
      {"<deluser user=\"1\" />", "<error type=\"You can not delete a single user\" />"},
      {"<adduser auth=\"ann\" write=\"w,\" />", NO_ERROR},
      {"<deluser user=\"1\" />", "<error type=\"You can not delete a single user\" />"},
      {"<adduser auth=\"bob\" write=\"w,\" />", NO_ERROR},
      {"<deluser user=\"77\" />", NO_ERROR},
      {"<deluser />", NO_ERROR},
      {"<listusers />",
       "<access>\n<user id=\"1\" auth=\"ann\" read=\"nothing,\" write=\"w,\" />\n"
       "<user id=\"2\" auth=\"bob\" read=\"nothing,\" write=\"w,\" />\n</access>\n"},
      {"<deluser username=\"2\" />", NO_ERROR},
      {"<listusers />", "<access>\n<user id=\"1\" auth=\"ann\" read=\"nothing,\" write=\"w,\" />\n</access>\n"},
  });
}

TEST_F(Commands, KeysAddListDelete)
{
  run({
      {"<keyslist />", "<database></database>"},
      {"<keyslog />", "<dblog></dblog>"},
      {"<keysadd key=\"0102030405AA\" />", NO_ERROR},
      {"<keysadd name=\"Ann\" />", NO_ERROR},
      {"<keyslist />", "<database></database>"},
      {"<keysadd keys=\"0102030405AA\" names=\"Ann\" />", NO_ERROR},
      {"<keysadd key=\"BBBBBBBBBBBB\" name=\"O'Brien &amp; Co\" />", NO_ERROR},
      {"<keyslist />",
       "<database><e k=\"0102030405AA\" n=\"Ann\" /><e k=\"BBBBBBBBBBBB\" n=\"O'Brien &amp; Co\" />"
       "</database>"},
      {"<keysadd key=\"0102030405AA\" name=\"Anne\" />", NO_ERROR},
      {"<keysdelete key=\"BBBBBBBBBBBB\" />", NO_ERROR},
      {"<keysdelete key=\"CCCCCCCCCCCC\" />", NO_ERROR},
      {"<keysdelete />", NO_ERROR},
      {"<keyslist />", "<database><e k=\"0102030405AA\" n=\"Anne\" /></database>"},
  });
}

TEST_F(Commands, LongKeyListIsNeverCut)
{
  std::string expected = "<database>";
  for (int i = 0; i < 400; i++) {
    char key[16];
    std::snprintf(key, sizeof key, "%012X", i);
    std::string name = "holder number " + std::to_string(i);
    ASSERT_EQ(w.cmd(std::string("<keysadd key=\"") + key + "\" name=\"" + name + "\" />"), NO_ERROR);
    expected += std::string("<e k=\"") + key + "\" n=\"" + name + "\" />";
  }
  expected += "</database>";
  ASSERT_GT(expected.size(), 8192u);
  EXPECT_EQ(w.cmd("<keyslist />"), expected);
}

TEST_F(Commands, ReaderStateAndLearningMode)
{
  run({
      {"<keystate />", "<key state=\"not connected\" value=\"\"/>"},
      {"<keysget />", "<database><state name=\"normal\" /></database>"},
      {"<keysset />", STATE_ERROR},
      {"<keysset mode=\"add\" />", STATE_ERROR},
      {"<keysset states=\"add\" />", NO_ERROR},
      {"<keysget />", "<database><state name=\"add\" /></database>"},
      {"<keysset state=\"normal\" />", NO_ERROR},
      {"<keysget />", "<database><state name=\"normal\" /></database>"},
  });
  // Learning mode cannot start while a key lies on the reader.
  int reader_id = w.element_id_named("iButton");
  w.lay("0A0B0C0D0E0F");
  ASSERT_TRUE(w.wait_element(reader_id, "high alarm", "0A0B0C0D0E0F"));
  run({
      {"<keysset state=\"add\" />", STATE_ERROR},
      {"<keysget />", "<database><state name=\"normal\" /></database>"},
  });
  w.take();
  ASSERT_TRUE(w.wait_element(reader_id, "not connected", ""));
  run({
      {"<keysset state=\"add\" />", NO_ERROR},
      {"<keysget />", "<database><state name=\"add\" /></database>"},
  });
}

TEST_F(Commands, ReaderAndPowerElements)
{
  int reader_id = w.element_id_named("iButton");
  ASSERT_GT(reader_id, 0);
  int module_id = module_of(w, reader_id);
  std::string id = std::to_string(reader_id);
  std::string described = "<element id=\"" + id + "\" module=\"" + std::to_string(module_id) +
                          "\" num=\"1\" clas=\"access\" type=\"ibutton\" name=\"iButton\" "
                          "state=\"not connected\"  value=\"\" username=\"\" />";
  std::string got = w.cmd("<getelement element=\"" + id + "\" />");
  // Class and type texts belong to the platform; everything else is fixed.
  std::regex texts("clas=\"[^\"]*\" type=\"[^\"]*\"");
  EXPECT_EQ(std::regex_replace(got, texts, "clas=\"access\" type=\"ibutton\""), described) << got;
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%x", reader_id);
  EXPECT_EQ(w.cmd(std::string("<getelement element=\"") + hex + "\" />"), got);
  EXPECT_EQ(w.cmd("<getelement element=\"999\" />"), "");
  EXPECT_EQ(w.cmd("<getelement />"), "");

  int power_id = w.element_id_named("iButton Power");
  ASSERT_GT(power_id, 0);
  std::string power = w.cmd("<getelement element=\"" + std::to_string(power_id) + "\" />");
  EXPECT_EQ(power.rfind("<element id=\"" + std::to_string(power_id) + "\"", 0), 0u) << power;

  run({
      {"<updateelement element=\"999\" name=\"x\" />", NO_ERROR},
      {"<updateelement name=\"x\" />", NO_ERROR},
  });
  EXPECT_EQ(w.cmd("<updateelement element=\"" + id + "\" name=\"Front door\" />"), NO_ERROR);
  EXPECT_NE(w.cmd("<getelement element=\"" + id + "\" />").find("name=\"Front door\""), std::string::npos);
  EXPECT_NE(w.element(reader_id).find("name=\"Front door\""), std::string::npos) << w.element(reader_id);
  EXPECT_EQ(w.element_id_named("iButton"), 0);
}

// A read transaction of another process on the key database, as a backup, a
// download or the sqlite3 console holds it: writers must wait for its end.
class ReadHold {
public:
  explicit ReadHold(const std::string &path)
  {
    held_ = sqlite3_open(path.c_str(), &db_) == SQLITE_OK &&
            sqlite3_exec(db_, "BEGIN; SELECT COUNT(*) FROM keys;", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~ReadHold() { release(); }
  bool held() const { return held_; }
  void release()
  {
    if (db_)
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
    db_ = nullptr;
  }

private:
  sqlite3 *db_ = nullptr;
  bool held_ = false;
};

// A change that finds the file held: first held past the busy time-out (the
// failure reply, nothing changed), then released while the change waits (it
// goes through). Rows run in order, each starting from the state the last one
// left.
struct HeldWrite {
  const char *setup;    // run first, "no error" expected; null for none
  const char *command;
  const char *failure;  // the reply while the file stays held
  const char *check;    // a listing command
  const char *before;   // its reply before the change (and after the failure)
  const char *after;    // its reply after the change
};

const HeldWrite HELD_WRITES[] = {
    {nullptr, "<keysadd key=\"0102030405AA\" name=\"Ann\" />", "<error type=\"Add key error\" />",
     "<keyslist />", "<database></database>", "<database><e k=\"0102030405AA\" n=\"Ann\" /></database>"},
    {nullptr, "<keysadd key=\"0102030405AA\" name=\"Bob\" />", "<error type=\"Add key error\" />",
     "<keyslist />", "<database><e k=\"0102030405AA\" n=\"Ann\" /></database>",
     "<database><e k=\"0102030405AA\" n=\"Bob\" /></database>"},
    {nullptr, "<keysdelete key=\"0102030405AA\" />", "<error type=\"Delete key error\" />", "<keyslist />",
     "<database><e k=\"0102030405AA\" n=\"Bob\" /></database>", "<database></database>"},
    {nullptr, "<adduser auth=\"ann\" write=\"w,\" />", "<error type=\"Id is wrong\" />", "<listusers />",
     "<access>\n</access>\n", "<access>\n<user id=\"1\" auth=\"ann\" read=\"nothing,\" write=\"w,\" />\n</access>\n"},
    {nullptr, "<adduser id=\"1\" auth=\"anna\" write=\"x,\" />", "<error type=\"Id is wrong\" />",
     "<listusers />", "<access>\n<user id=\"1\" auth=\"ann\" read=\"nothing,\" write=\"w,\" />\n</access>\n",
     "<access>\n<user id=\"1\" auth=\"anna\" read=\"nothing,\" write=\"x,\" />\n</access>\n"},
    {"<adduser auth=\"bob\" write=\"w,\" />", "<deluser user=\"1\" />", "<error type=\"Permissions denied\" />",
     "<listusers />",
     "<access>\n<user id=\"1\" auth=\"anna\" read=\"nothing,\" write=\"x,\" />\n"
     "<user id=\"2\" auth=\"bob\" read=\"nothing,\" write=\"w,\" />\n</access>\n",
     "<access>\n<user id=\"2\" auth=\"bob\" read=\"nothing,\" write=\"w,\" />\n</access>\n"},
};

TEST_F(Commands, ChangesWaitForAHeldFileAndFailWhenItStaysHeld)
{
  const std::string db = w.root().file("/mnt/jffs/etc/access.sqlite");
  for (const HeldWrite &row : HELD_WRITES) {
    SCOPED_TRACE(row.command);
    if (row.setup) {
      ASSERT_EQ(w.cmd(row.setup), NO_ERROR);
    }
    {
      ReadHold hold(db);
      ASSERT_TRUE(hold.held());
      EXPECT_EQ(w.cmd(row.command), row.failure);
    }
    EXPECT_EQ(w.cmd(row.check), row.before);

    ReadHold hold(db);
    ASSERT_TRUE(hold.held());
    std::string reply;
    std::thread client([&] { reply = w.cmd(row.command); });
    // The write has begun (its journal exists) and waits for the commit.
    EXPECT_TRUE(zt::wait_for([&] { return w.root().exists("/mnt/jffs/etc/access.sqlite-journal"); }));
    hold.release();
    client.join();
    EXPECT_EQ(reply, NO_ERROR);
    EXPECT_EQ(w.cmd(row.check), row.after);
  }
}

TEST_F(Commands, LearningFailsWhileTheFileStaysHeld)
{
  int reader_id = w.element_id_named("iButton");
  ASSERT_EQ(w.cmd("<keysset state=\"add\" />"), NO_ERROR);
  {
    ReadHold hold(w.root().file("/mnt/jffs/etc/access.sqlite"));
    ASSERT_TRUE(hold.held());
    w.lay("112233445566");
    ASSERT_TRUE(w.wait_element(reader_id, "high alarm", "112233445566")) << w.element(reader_id);
  }
  run({
      {"<keysget />", "<database><state name=\"add\" /></database>"},
      {"<keyslist />", "<database></database>"},
  });
  w.take();
  ASSERT_TRUE(w.wait_element(reader_id, "not connected", ""));
  w.lay("112233445566");
  ASSERT_TRUE(w.wait_element(reader_id, "normal", "")) << w.element(reader_id);
  EXPECT_EQ(w.cmd("<keyslist />"), "<database><e k=\"112233445566\" n=\"newkey\" /></database>");
}

class NoReaderBoard : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(w.up()) << w.proc().err(); }

  // Every test ends with a clean stop and nothing from a sanitizer.
  void TearDown() override
  {
    if (w.proc().running()) {
      EXPECT_EQ(w.stop(), 0) << w.proc().err();
    }
    EXPECT_EQ(w.sanitizer_report(), "");
  }
  Warderd w{"lite"};
};

TEST_F(NoReaderBoard, KeyCommandsAreRefusedAndUserCommandsWork)
{
  for (const char *c : {"<keyslist />", "<keyslog />", "<keysadd key=\"A\" name=\"B\" />",
                        "<keysdelete key=\"A\" />", "<keystate />", "<keysget />",
                        "<keysset state=\"add\" />"})
    EXPECT_EQ(w.cmd(c), NOT_SUPPORTED) << c;
  EXPECT_EQ(w.cmd("<getelement element=\"102\" />"), "");
  EXPECT_EQ(w.cmd("<updateelement element=\"102\" name=\"x\" />"), "<error type=\"element not found\" />");
  EXPECT_EQ(w.cmd("<adduser auth=\"ann\" write=\"w,\" />"), NO_ERROR);
  EXPECT_EQ(w.cmd("<listusers />"), "<access>\n<user id=\"1\" auth=\"ann\" read=\"nothing,\" write=\"w,\" />\n</access>\n");
  EXPECT_EQ(w.cmd("<test />"), "<error type='Test ok' />");
  auto reg = w.sim().journal_of("registryd");
  EXPECT_TRUE(std::none_of(reg.begin(), reg.end(), [](const std::string &l) {
    return l.rfind("<dbaddmodule", 0) == 0;
  }));
}

TEST(WarderdSave, UnwritableSettingsLocationFailsToOpen)
{
  Warderd w("base", {"-f", "/nonexistent-folder/warderd.xml"});
  ASSERT_TRUE(w.up()) << w.proc().err();
  EXPECT_EQ(w.cmd("<save />"), "<error type='fail opening the file' />");
}

}  // namespace
