// Access key commands (warderd) and the RADIUS server setting (stewardd)
// through the real engine: exact command texts, outputs, the secret kept
// back, missing parameters, daemons down, rights.
#include <memory>
#include <sqlite3.h>

#include "families_env.h"
#include "../warderd/warderd_fixture.h"

namespace {

using ft::Case;

const std::string kKeysReply = "<keys count=\"1\"><key key=\"0A1B\" name=\"Ann\" /></keys>";

class Keys : public ft::FamilyTest {
protected:
  std::unique_ptr<ft::FakeDaemon> warderd = std::make_unique<ft::FakeDaemon>(root, "warderd", kKeysReply);

  // Stores a server description in stewardd as it is.
  void store_radius(const std::string &escaped)
  {
    ASSERT_EQ(zt::exchange(root, "stewardd", "<setradius srv1=\"" + escaped + "\" />"), ft::kNoError);
  }
};

TEST_F(Keys, WarderdCommands)
{
  const std::vector<Case> cases = {
      {"querytype=getdb", "warderd", {"<keyslist />"}, kKeysReply},
      {"querytype=getdblog", "warderd", {"<keyslog />"}, kKeysReply},
      {"querytype=getdbstate", "warderd", {"<keysget />"}, kKeysReply},
      {"querytype=setdbstate&state=1", "warderd", {"<keysset  state=\"1\"/>"}, kKeysReply},
      {"querytype=setdbstate", "warderd", {"<keysset />"}, kKeysReply},
      // The holder's name decoded twice and not escaped; the key as parsed.
      {"querytype=adddbuser&key=0A1B%2520&name=Ann%2520Lee%2526Co", "warderd",
       {"<keysadd  key=\"0A1B%20\" name=\"Ann Lee&amp;Co\"/>"}, kKeysReply},
      {"querytype=adddbuser&name=x%2522", "warderd", {"<keysadd  name=\"x&quot;\"/>"}, kKeysReply},
      {"querytype=deldbuser&key=0A1B", "warderd", {"<keysdelete  key=\"0A1B\"/>"}, kKeysReply},
      {"querytype=deldbuser", "warderd", {"<keysdelete />"}, kKeysReply},
  };
  run_cases(cases, warderd.get());
}

TEST_F(Keys, WarderdDown)
{
  warderd.reset();
  for (const char *form : {"querytype=getdb", "querytype=adddbuser&key=1", "querytype=setdbstate&state=0"})
    EXPECT_EQ(et::ask(root, key, form), ft::kNotLoaded) << form;
  warderd = std::make_unique<ft::FakeDaemon>(root, "warderd", "", 0);  // gone with the command unread
  EXPECT_EQ(et::ask(root, key, "querytype=getdbstate"), ft::kNotLoaded);
  EXPECT_EQ(warderd->commands(), std::vector<std::string>{"<keysget />"});
  // A daemon that reads the command and closes has answered the empty text.
  warderd.reset();  // its socket goes with it
  warderd = std::make_unique<ft::FakeDaemon>(root, "warderd", "");
  EXPECT_EQ(et::ask(root, key, "querytype=getdbstate"), "");
  EXPECT_EQ(warderd->commands(), std::vector<std::string>{"<keysget />"});
}

TEST_F(Keys, Radius)
{
  const std::vector<Case> cases = {
      {"querytype=getradius", "stewardd", {"<getradius />"}, "<radius enable=\"0\" />"},
      {"querytype=setradius&enable=1&addr=10.0.0.5&port=1812&secret=s3cr3t", "stewardd",
       {"<setradius srv1=\"10.0.0.5:1812:s3cr3t\" />"}, ft::kNoError},
      // The secret never reaches the browser.
      {"querytype=getradius", "stewardd", {"<getradius />"}, "<radius enable=\"1\" addr=\"10.0.0.5\" port=\"1812\" />"},
      // enable 1 without the secret: nothing sent, the server kept.
      {"querytype=setradius&enable=1&addr=10.0.0.6&port=1812", "stewardd", {}, ft::kMissing},
      {"querytype=setradius&enable=1&port=1&secret=x", "stewardd", {}, ft::kMissing},
      {"querytype=setradius&addr=a&port=1&secret=x", "stewardd", {}, ft::kMissing},
      {"querytype=getradius", "stewardd", {"<getradius />"}, "<radius enable=\"1\" addr=\"10.0.0.5\" port=\"1812\" />"},
      // Any other enable removes the server, whatever else is given.
      {"querytype=setradius&enable=0&addr=10.0.0.6&port=1812&secret=x", "stewardd", {"<setradius srv1=\"\" />"},
       ft::kNoError},
      {"querytype=getradius", "stewardd", {"<getradius />"}, "<radius enable=\"0\" />"},
      {"querytype=setradius&enable=2", "stewardd", {"<setradius srv1=\"\" />"}, ft::kNoError},
      {"querytype=setradius&enable=01&addr=h&port=p&secret=s%22", "stewardd", {"<setradius srv1=\"h:p:s&quot;\" />"},
       ft::kNoError},
  };
  run_cases(cases);
}

TEST_F(Keys, RadiusDescriptionForms)
{
  struct {
    std::string stored, out;
  } cases[] = {
      {"radhost", "<radius enable=\"1\" addr=\"radhost\" port=\"\" />"},
      {"radhost:1645", "<radius enable=\"1\" addr=\"radhost\" port=\"1645\" />"},
      {":1812:s", "<radius enable=\"1\" addr=\"\" port=\"1812\" />"},
      {"a&amp;b&lt;&quot;:18:x", "<radius enable=\"1\" addr=\"a&amp;b&lt;&quot;\" port=\"18\" />"},
      {std::string(300, 'a') + ":1:s", "<radius enable=\"1\" addr=\"" + std::string(255, 'a') + "\" port=\"\" />"},
      {std::string(250, 'a') + ":123456:s", "<radius enable=\"1\" addr=\"" + std::string(250, 'a') + "\" port=\"1234\" />"},
  };
  for (const auto &c : cases) {
    store_radius(c.stored);
    EXPECT_EQ(et::ask(root, key, "querytype=getradius"), c.out) << c.stored;
  }
}

// stewardd may answer any RADIUS command with nothing at all: an empty reply
// is its answer, not a daemon gone.
TEST_F(Keys, RadiusEmptyRepliesAreAnswers)
{
  sim.stop();
  ft::FakeDaemon stewardd{root, "stewardd", ""};
  EXPECT_EQ(et::ask(root, key, "querytype=getradius"), "<radius enable=\"0\" />");
  EXPECT_EQ(et::ask(root, key, "querytype=setradius&enable=1&addr=h&port=1&secret=s"), ft::kNoError);
  EXPECT_EQ(stewardd.commands(), (std::vector<std::string>{"<getradius />", "<setradius srv1=\"h:1:s\" />"}));
}

TEST_F(Keys, StewarddDown)
{
  sim.fault("stewardd", "close");
  EXPECT_EQ(et::ask(root, key, "querytype=getradius"), ft::kNotLoaded);
  EXPECT_EQ(et::ask(root, key, "querytype=setradius&enable=0"), ft::kNotLoaded);
  EXPECT_EQ(sim.journal_of("stewardd").size(), 2u);
}

TEST_F(Keys, Rights)
{
  expect_refused({"querytype=getdb", "querytype=adddbuser&key=1", "querytype=deldbuser&key=1",
                  "querytype=getdbstate"},
                 "warderd", warderd.get());
  expect_refused({"querytype=getradius", "querytype=setradius&enable=0"}, "stewardd");
  et::users_sql(root, "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','r','pw','accesskeys,','');"
                      "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','ro','pw','all,','');");
  std::string r = et::login(root, "r", "pw");
  EXPECT_EQ(et::ask(root, r, "querytype=getdblog"), kKeysReply);
  EXPECT_EQ(et::ask(root, r, "querytype=setdbstate&state=1"), ft::kDenied);
  // RADIUS needs all: read to read, write to change.
  std::string ro = et::login(root, "ro", "pw");
  EXPECT_EQ(et::ask(root, ro, "querytype=getradius"), "<radius enable=\"0\" />");
  EXPECT_EQ(et::ask(root, ro, "querytype=setradius&enable=0"), ft::kDenied);
}

// The gateway in front of the real warderd.
TEST(KeysWithWarderd, ListingsArriveWholeAndNamesMayHoldAmpersands)
{
  wt::Warderd w;
  ASSERT_TRUE(w.up());
  et::make_users(w.root(), {{"1", "admin", "pw", "all", "all"}});
  std::string k = et::login(w.root(), "admin", "pw");
  ASSERT_FALSE(k.empty());

  // A holder's name with a bare ampersand is stored as typed.
  EXPECT_EQ(et::ask(w.root(), k, "querytype=adddbuser&key=00000000AA01&name=Smith%20%26%20Sons"),
            "<error type=\"no error\" />");

  // Ten thousand keys: a listing far longer than the command area.
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(w.root().file("/mnt/jffs/etc/access.sqlite").c_str(), &db), SQLITE_OK);
  std::string sql = "BEGIN;";
  std::string want = "<database><e k=\"00000000AA01\" n=\"Smith &amp; Sons\" />";
  for (int i = 0; i < 10000; i++) {
    char key[16];
    snprintf(key, sizeof key, "%012X", i);
    sql += "INSERT INTO keys (name, key) VALUES ('holder " + std::to_string(i) + "', '" + key + "');";
    want += "<e k=\"" + std::string(key) + "\" n=\"holder " + std::to_string(i) + "\" />";
  }
  want += "</database>";
  EXPECT_EQ(sqlite3_exec(db, (sql + "COMMIT;").c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  std::string listing = et::ask(w.root(), k, "querytype=getdb");
  EXPECT_EQ(listing.size(), want.size());
  EXPECT_TRUE(listing == want) << listing.substr(0, 200);
}

}  // namespace
