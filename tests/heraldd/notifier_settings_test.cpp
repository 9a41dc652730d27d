// heraldd's settings file: the layout and every line byte for byte, the
// round trip through save and restart (escaped texts included), and replays
// of files that are grouped, cut, malformed, long or full of numbers.
#include "heraldd_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using ht::field;
using ht::kNoError;
const std::string kSaved = "<error type='no error' />";

// The description without its id (ids are new after every start).
std::string without_id(const std::string &description)
{
  size_t end = description.find("\" module");
  return end == std::string::npos ? description : description.substr(end);
}

TEST(HeralddSettings, AnEmptyDaemonSavesTheEightLines)
{
  ht::Heraldd h;
  ASSERT_TRUE(h.start());
  ASSERT_EQ(h.cmd("<save />"), kSaved);
  EXPECT_EQ(h.root().read(ht::SETTINGS),
            "<settings>\n\t<mails>\n\t</mails>\n\t<traps>\n\t</traps>\n\t<smses>\n\t</smses>\n</settings>\n");
}

// Texts with a double quote, an ampersand and a less-than sign in every
// field: saved escaped, back unchanged after a restart.
TEST(HeralddSettings, EveryLineByteForByteAndBackAfterARestart)
{
  ht::Heraldd h;
  ASSERT_TRUE(h.start());
  const std::vector<std::string> commands = {
      "<addmail name=\"M &quot;1&quot;\" server=\"s&amp;1\" port=\"2525\" ssl_active=\"true\" "
      "login=\"l&lt;\" password=\"p&quot;w\" to=\"a@x.org;b@x.org\" from=\"f&amp;\" message=\"m&lt;\" />",
      "<addmail starttls=\"true\" />",
      "<addsms name=\"S&amp;\" to_phone=\"+49&quot;1\" message=\"t&amp;\" />",
      "<addtrap name=\"T\" server=\"h&quot;\" port=\"-1\" version=\"3\" comunity=\"c&amp;\" user=\"u&lt;\" "
      "level=\"priv\" auth_type=\"SHA\" auth_pass=\"a&amp;\" priv_type=\"AES\" priv_pass=\"p&quot;\" "
      "message=\"x\" macro3=\"gone\" />",
  };
  for (const std::string &c : commands)
    ASSERT_EQ(h.cmd(c), kNoError) << c;
  std::vector<std::string> before;
  for (int id = 104; id <= 107; id++)
    before.push_back(without_id(h.cmd("<getelement element=\"" + std::to_string(id) + "\" />")));
  ASSERT_EQ(h.cmd("<save />"), kSaved);
  EXPECT_EQ(h.root().read(ht::SETTINGS),
            "<settings>\n"
            "\t<mails>\n"
            "\t\t<mail module =\"101\" num=\"1\" name=\"M &quot;1&quot;\" server=\"s&amp;1\" port=\"2525\" "
            "ssl_active=\"true\" starttls=\"false\" login=\"l&lt;\" password=\"p&quot;w\" "
            "to=\"a@x.org;b@x.org\" from=\"f&amp;\" message=\"m&lt;\" />\n"
            "\t\t<mail module =\"101\" num=\"2\" name=\"Email-2\" server=\"\" port=\"25\" ssl_active=\"true\" "
            "starttls=\"true\" login=\"\" password=\"\" to=\"\" from=\"\" message=\"\" />\n"
            "\t</mails>\n"
            "\t<traps>\n"
            "\t\t<trap module=\"103\" num=\"1\" name=\"T\" server=\"h&quot;\" port=\"-1\" version=\"3\" "
            "comunity=\"c&amp;\" user=\"u&lt;\" level=\"priv\"  auth_type=\"SHA\" auth_pass=\"a&amp;\"  "
            "priv_type=\"AES\" priv_pass=\"p&quot;\"  message=\"x\" />\n"
            "\t</traps>\n"
            "\t<smses>\n"
            "\t\t<sms module =\"102\" num=\"1\" name=\"S&amp;\" to_phone=\"+49&quot;1\" message=\"t&amp;\" />\n"
            "\t</smses>\n"
            "</settings>\n");

  ASSERT_EQ(h.stop(), 0);
  ASSERT_TRUE(h.start());
  // New ids (the element database gave out 104-107 and 108-110 to the
  // modules of the second start), the same notifiers in list order.
  std::vector<std::string> after;
  for (int id = 111; id <= 114; id++)
    after.push_back(without_id(h.cmd("<getelement element=\"" + std::to_string(id) + "\" />")));
  ASSERT_EQ(after.size(), before.size());
  for (const std::string &b : before) {
    // Module ids changed with the restart: compare from the number on.
    std::string tail = b.substr(b.find(" num="));
    bool found = false;
    for (const std::string &a : after)
      found = found || a.substr(a.find(" num=")) == tail;
    EXPECT_TRUE(found) << tail;
  }
  // The counter starts at 1 again: the lowest free number.
  ASSERT_EQ(h.cmd("<addsms />"), kNoError);
  EXPECT_EQ(field(h.cmd("<getelement element=\"115\" />"), "num"), "2");
}

TEST(HeralddSettings, ReplayLoadsWhatItCanAndNeverStopsTheDaemon)
{
  const struct {
    const char *name;
    std::string file;
    std::vector<std::string> names;  // of the notifiers loaded, in id order
    std::vector<int> bad_lines;      // logged as left out
  } rows[] = {
      {"grouping and unknown elements",
       "<settings>\n<mails>\n<mail num=\"4\" name=\"a\" />\n<unknown x=\"1\"/>\n</mails>\n<other>"
       "<sms num=\"2\" name=\"b\" colour=\"red\" /></other>\n</settings>\n",
       {"a", "b"}, {}},
      {"cut in the middle", "<settings>\n<mails>\n<mail num=\"1\" name=\"a\" />\n<mail num=\"2\" na", {"a"}, {4}},
      {"malformed after a line", "<settings><trap name=\"t\" /><sms name=\"s\"></settings>", {"t", "s"}, {1}},
      {"not XML at all", "\x01\x02 garbage", {}, {1}},
      // One bad line costs its own notifier only, wherever it stands.
      {"a line that is not UTF-8 among good ones",
       "<?xml version=\"1.0\"?>\n<settings>\n\t<mails>\n\t\t<mail num=\"1\" name=\"a\" />\n"
       "\t\t<mail num=\"2\" name=\"\xFF\xFE\" />\n\t\t<mail num=\"3\" name=\"c\" />\n\t</mails>\n\t<traps>\n"
       "\t\t<trap num=\"1\" name=\"t\" server=\"x\x01\" />\n\t\t<trap num=\"2\" name=\"u\" />\n\t</traps>\n"
       "</settings>\n",
       {"a", "c", "u"}, {5, 9}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    ht::Heraldd h;
    h.root().write(ht::SETTINGS, r.file);
    ASSERT_TRUE(h.start());
    std::vector<std::string> names;
    for (int id = 104; id < 104 + 4; id++) {
      std::string d = h.cmd("<getelement element=\"" + std::to_string(id) + "\" />");
      if (d.rfind("<element ", 0) == 0)
        names.push_back(field(d, "name"));
    }
    EXPECT_EQ(names, r.names);
    std::vector<std::string> logged;
    for (int line : r.bad_lines)
      logged.push_back("Settings line " + std::to_string(line) + " is not well-formed and was left out");
    EXPECT_EQ(h.log("error"), logged);
  }
}

// A long file loads whole, its numbers kept. Past 999 an automatic number is
// the lowest free one; with 1..999 taken an add makes, registers and saves
// nothing.
TEST(HeralddSettings, LongFilesLoadWholeAndNumbersRunOutAt999)
{
  for (const std::string kind : {"mail", "sms", "trap"}) {
    SCOPED_TRACE(kind);
    ht::Heraldd h;
    std::string file = "<settings>\n";
    for (int num = 1; num <= 998; num++)
      file += "\t\t<" + kind + " num=\"" + std::to_string(num) + "\" message=\"" + std::string(60, 'm') + "\" />\n";
    ASSERT_GT(file.size(), 64u * 1024);
    h.root().write(ht::SETTINGS, file + "</settings>\n");
    ASSERT_TRUE(h.start());
    ASSERT_EQ(h.cmd("<add" + kind + " />"), kNoError);
    EXPECT_EQ(field(h.cmd("<getelement element=\"1102\" />"), "num"), "999");
    size_t registered = h.registry().size();
    EXPECT_EQ(h.cmd("<add" + kind + " />"), "<error type=\"memory error\" />");
    EXPECT_EQ(h.registry().size(), registered);
    ASSERT_EQ(h.cmd("<del" + kind + " id=\"108\" />"), kNoError);
    ASSERT_EQ(h.cmd("<add" + kind + " />"), kNoError);
    EXPECT_EQ(field(h.cmd("<getelement element=\"1103\" />"), "num"), "5");
    ASSERT_EQ(h.cmd("<save />"), kSaved);
    EXPECT_EQ(std::ranges::count(h.root().read(ht::SETTINGS), '\n'), 999 + 8);  // and the eight of the layout
  }
}

// A start only makes the notifiers of the file: no line sends (a value, a
// test) or writes (save), whether the programs are there or not (then each
// mail line says so, as it always has).
TEST(HeralddSettings, AStartSendsAndWritesNothing)
{
  const std::string file =
      "<settings>\n<!-- a save drops this -->\n\t<mails>\n\t\t<mail name=\"M\" server=\"127.0.0.1\" port=\"1\" "
      "to=\"a@x.org\" value=\"on\" textready=\"Hot\" />\n\t</mails>\n\t<traps>\n\t\t<trap name=\"T\" "
      "server=\"127.0.0.1\" port=\"1\" value=\"on\" macro3=\"m\" />\n\t</traps>\n<testmail server=\"127.0.0.1\" "
      "port=\"1\" to=\"a@x.org\" />\n<testtrap server=\"127.0.0.1\" port=\"1\" />\n<save />\n</settings>\n";
  for (bool tools : {true, false}) {
    ht::Heraldd h(tools);
    h.root().write(ht::SETTINGS, file);
    ASSERT_TRUE(h.start());
    EXPECT_EQ(field(h.cmd("<getelement element=\"104\" />"), "name") +
                  field(h.cmd("<getelement element=\"105\" />"), "name"), "MT");
    EXPECT_EQ(h.root().read(ht::SETTINGS), file);
    if (!tools) {
      ASSERT_TRUE(h.wait_log("error", 1));
      EXPECT_EQ(h.log("error"), std::vector<std::string>{"Send mail error: &quot;/usr/sbin/sendmail&quot; "
                                                         "not found\\n"});
      continue;
    }
    // Each sender keeps queue order: once these ran, so did what the start queued.
    ASSERT_EQ(h.cmd("<testmail server=\"127.0.0.1\" port=\"2\" to=\"a@x.org\" />"), kNoError);
    ASSERT_EQ(h.cmd("<testtrap server=\"127.0.0.1\" port=\"2\" />"), kNoError);
    auto ran = [&](const char *tool) { return zt::tool_runs(h.root(), tool); };
    auto last_is_ours = [&](const char *tool) {
      return !ran(tool).empty() && std::ranges::count(ran(tool).back(), "127.0.0.1:2") == 1;
    };
    ASSERT_TRUE(zt::wait_for([&] { return last_is_ours("sendmail") && last_is_ours("snmptrap"); }));
    EXPECT_EQ(ran("sendmail").size() + ran("snmptrap").size(), 2u);
  }
}

}  // namespace
