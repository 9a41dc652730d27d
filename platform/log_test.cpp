// Appliance log: the entry's bytes as chronicled receives them, and the
// fallback when it cannot be reached.
#include "uds.h"
#include "uds_testing.h"
#include "xmlhelpers.h"
#include "zunlog.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex got_mutex;
std::vector<std::string> got;
bool answer = true;  // the stand-in answers, or closes without a word

int chronicled(int conn)
{
  std::string cmd;
  char buf[512];
  ssize_t n;
  while ((n = udsserver_recv(&conn, buf, sizeof buf)) > 0)
    cmd.append(buf, static_cast<size_t>(n));
  {
    std::lock_guard<std::mutex> lock(got_mutex);
    got.push_back(cmd);
  }
  if (answer)
    udsserver_send(&conn, "<error type=\"no error\" />", 25);
  return udsserver_close(&conn);
}

std::vector<std::string> received()
{
  std::lock_guard<std::mutex> lock(got_mutex);
  return got;
}

class Log : public ::testing::Test {
protected:
  void SetUp() override
  {
    std::lock_guard<std::mutex> lock(got_mutex);
    got.clear();
    answer = true;
  }
  zunt::TempRoot root;
};

TEST_F(Log, EntryBytes)
{
  zunt::ServerThread server(CHRONICLED_SOCKET, chronicled);
  struct Case {
    const char *source;
    const char *text;
    int number;
    const char *entry;
  } cases[] = {
      {"access", "Access denied for user ID='3', IP: '10.0.0.1'", 8,
       "<entry type=\"access\" message=\"Access denied for user ID=&apos;3&apos;, IP: "
       "&apos;10.0.0.1&apos;\" level=\"8\" />"},
      {nullptr, "No user identify for querystr=getmodule", 7,
       "<entry message=\"No user identify for querystr=getmodule\" level=\"7\" />"},
      {"mail <1>", "The mail \"a&b\" was sent", 8,
       "<entry type=\"mail &lt;1&gt;\" message=\"The mail &quot;a&amp;b&quot; was sent\" level=\"8\" />"},
      {"", "", 0, "<entry type=\"\" message=\"\" level=\"0\" />"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.entry);
    {
      std::lock_guard<std::mutex> lock(got_mutex);
      got.clear();
    }
    EXPECT_EQ(zunlog_message(c.source, c.text, c.number), 0);
    EXPECT_EQ(received(), std::vector<std::string>{c.entry});
  }
}

// The longest line a writer produces (511 characters), all of it escaped,
// still makes one whole, well-formed entry.
TEST_F(Log, LongEscapedLineStaysOneWellFormedEntry)
{
  zunt::ServerThread server(CHRONICLED_SOCKET, chronicled);
  std::string text(511, '"');
  EXPECT_EQ(zunlog_message("src", text.c_str(), 8), 0);
  std::vector<std::string> r = received();
  ASSERT_EQ(r.size(), 1u);
  xml_channel ch = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  xml_tag_table none = {0, nullptr};
  ch.table = &none;
  EXPECT_EQ(helpers_xml_parse_string(&ch, r[0].data(), r[0].size()), 0);
  std::string quotes;
  for (int i = 0; i < 511; i++)
    quotes += "&quot;";
  EXPECT_NE(r[0].find("message=\"" + quotes + "\" level"), std::string::npos);
  EXPECT_EQ(r[0].size(), std::string("<entry type=\"src\" message=\"\" level=\"8\" />").size() + 511 * 6);
}

TEST_F(Log, ChronicledDownFallsBack)
{
  EXPECT_LT(zunlog_message("access", "nobody listens", 8), 0);
  {
    zunt::ServerThread server(CHRONICLED_SOCKET, chronicled);
    answer = false;  // takes the entry, closes without a word: it was reached
    EXPECT_EQ(zunlog_message("access", "unconfirmed", 8), 0);
    EXPECT_EQ(received().size(), 1u);
  }
  {
    // Gone with the entry unread (the connection reset).
    zunt::ServerThread server(CHRONICLED_SOCKET, chronicled, [](udsserver *, int) { return -1; });
    EXPECT_LT(zunlog_message("access", "unread", 8), 0);
    EXPECT_EQ(received().size(), 1u);
  }
  EXPECT_LT(zunlog_message(nullptr, nullptr, 8), 0);
}

}  // namespace
