// Local login, the RADIUS server setting and the access lists.
#include "errors.h"
#include "harness.h"
#include "uds_testing.h"
#include "zun_text.h"
#include "zunusers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace {

constexpr const char *SCHEMA =
    "CREATE TABLE SystemUsers (ID INTEGER PRIMARY KEY AUTOINCREMENT, Valid TEXT, Name TEXT, "
    "Pass TEXT, RegDate TEXT, SRead TEXT, SWrite TEXT, CRead TEXT, CWrite TEXT, GRead TEXT, "
    "GWrite TEXT, RFU1 TEXT, RFU2 TEXT);";

// ID  Valid Name    Pass
// 1   1     admin   h-admin     (every list filled)
// 2   0     gone    h-gone
// 3   0     twice   h-new       (a disabled row comes first)
// 4   1     twice   h-new
// 5   0     twice   h-new
// 6   1     Admin   h-upper
constexpr const char *ROWS =
    "INSERT INTO SystemUsers VALUES (1,'1','admin','h-admin','2024-01-02 03:04:05','all',"
    "'elements,','101,102,','103,','7,','8,','r1','r2');"
    "INSERT INTO SystemUsers (Valid,Name,Pass) VALUES ('0','gone','h-gone');"
    "INSERT INTO SystemUsers (Valid,Name,Pass,SRead) VALUES ('0','twice','h-new','old,');"
    "INSERT INTO SystemUsers (Valid,Name,Pass,SRead) VALUES ('1','twice','h-new','new,');"
    "INSERT INTO SystemUsers (Valid,Name,Pass,SRead) VALUES ('0','twice','h-new','older,');"
    "INSERT INTO SystemUsers (Valid,Name,Pass) VALUES ('1','Admin','h-upper');";

class LocalLogin : public ::testing::Test {
protected:
  void SetUp() override
  {
    setenv("APPLIANCE_ROOT", root.path().c_str(), 1);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(root.file(USERS_DB_PATH).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, SCHEMA, nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, ROWS, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  void TearDown() override { unsetenv("APPLIANCE_ROOT"); }
  zt::Root root;
};

TEST_F(LocalLogin, FillsTheRecordFromTheRow)
{
  zunuser u;
  zunusers_clear(&u);
  ASSERT_EQ(zunusers_auth_local("admin", "h-admin", &u), 0);
  EXPECT_EQ(u.id, 1);
  EXPECT_EQ(u.valid, 1);
  EXPECT_STREQ(u.name, "admin");
  EXPECT_STREQ(u.pass, "h-admin");
  EXPECT_STREQ(u.regdate, "2024-01-02 03:04:05");
  EXPECT_STREQ(u.sread, "all");
  EXPECT_STREQ(u.swrite, "elements,");
  EXPECT_STREQ(u.cread, "101,102,");
  EXPECT_STREQ(u.cwrite, "103,");
  EXPECT_STREQ(u.gread, "7,");
  EXPECT_STREQ(u.gwrite, "8,");
  EXPECT_STREQ(u.rfu1, "r1");
  EXPECT_STREQ(u.rfu2, "r2");
  EXPECT_EQ(u.radius, 0);
}

TEST_F(LocalLogin, Table)
{
  struct {
    const char *name, *pass;
    int rc, id, valid;
    const char *sread;
  } rows[] = {
      {"admin", "h-admin", 0, 1, 1, "all"},
      {"gone", "h-gone", 0, 2, 0, ""},      // disabled: accepted, the caller refuses
      {"twice", "h-new", 0, 4, 1, "new,"},  // the enabled row wins over disabled ones
      {"twice", "h-old", ZUN_ERR_LOGIN, -1, 0, ""},
      {"Admin", "h-upper", 0, 6, 1, ""},  // names compare exactly
      {"ADMIN", "h-admin", ZUN_ERR_LOGIN, -1, 0, ""},
      {"admin", "h-Admin", ZUN_ERR_LOGIN, -1, 0, ""},
      {"admin", "h-admin ", ZUN_ERR_LOGIN, -1, 0, ""},
      {"admin", "", ZUN_ERR_LOGIN, -1, 0, ""},
      {"", "", ZUN_ERR_LOGIN, -1, 0, ""},
      {"nobody", "h-admin", ZUN_ERR_LOGIN, -1, 0, ""},
      {"admin' OR '1'='1", "h-admin", ZUN_ERR_LOGIN, -1, 0, ""},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.name) + " / " + r.pass);
    zunuser u;
    zunusers_clear(&u);
    EXPECT_EQ(zunusers_auth_local(r.name, r.pass, &u), r.rc);
    EXPECT_EQ(u.id, r.id);
    EXPECT_EQ(u.valid, r.valid);
    EXPECT_STREQ(u.sread, r.sread);
  }
}

TEST_F(LocalLogin, OnlyADisabledRowMatches)
{
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(root.file(USERS_DB_PATH).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE SystemUsers SET Valid='0' WHERE ID=4", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  zunuser u;
  ASSERT_EQ(zunusers_auth_local("twice", "h-new", &u), 0);
  EXPECT_EQ(u.id, 3);
  EXPECT_EQ(u.valid, 0);
}

TEST_F(LocalLogin, LongColumnsAreCutToTheirFields)
{
  std::string name(63, 'n'), pass(200, 'p'), list(3000, 'l');
  std::string sql = "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,RFU2) VALUES ('1','" + name +
                    "','" + pass + "','" + list + "','" + list + "')";
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(root.file(USERS_DB_PATH).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  zunuser u;
  ASSERT_EQ(zunusers_auth_local(name.c_str(), pass.c_str(), &u), 0);
  EXPECT_EQ(std::string(u.name), name);
  EXPECT_EQ(std::string(u.pass), pass.substr(0, 63));
  EXPECT_EQ(std::string(u.sread), list.substr(0, 1023));
  EXPECT_EQ(std::string(u.rfu2), list.substr(0, 1023));
}

TEST(LocalLoginNoDatabase, IsAWrongLogin)
{
  zt::Root root;
  setenv("APPLIANCE_ROOT", root.path().c_str(), 1);
  zunuser u;
  zunusers_clear(&u);
  EXPECT_EQ(zunusers_auth_local("admin", "h-admin", &u), ZUN_ERR_LOGIN);
  EXPECT_FALSE(root.exists(USERS_DB_PATH));
  EXPECT_EQ(u.id, -1);
  unsetenv("APPLIANCE_ROOT");
}

// ---- the RADIUS server setting ---------------------------------------------

std::mutex steward_mutex;
std::string steward_reply;
std::vector<std::string> steward_commands;

int steward(int conn)
{
  char buf[256];
  ssize_t n = udsserver_recv(&conn, buf, sizeof buf);
  std::string reply;
  {
    std::lock_guard<std::mutex> lock(steward_mutex);
    steward_commands.emplace_back(buf, n > 0 ? size_t(n) : 0);
    reply = steward_reply;
  }
  udsserver_send(&conn, reply.data(), reply.size());
  udsserver_close(&conn);
  return 0;
}

TEST(RadiusServer, Table)
{
  zunt::TempRoot root;
  zunt::ServerThread server("/tmp/stewardd.socket", steward);
  struct {
    const char *reply;
    int ok;  // 1: a server is set
    const char *text;
  } rows[] = {
      {"127.0.0.1:1812:s3cret", 1, "127.0.0.1:1812:s3cret"},
      {"10.0.0.1:1812:a:b\n", 1, "10.0.0.1:1812:a:b"},
      {"", 0, ""},
      {"\n", 0, ""},
      {"<error type=\"module is not loaded\" />", 0, ""},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.reply);
    {
      std::lock_guard<std::mutex> lock(steward_mutex);
      steward_reply = r.reply;
      steward_commands.clear();
    }
    char buf[1024];
    std::memset(buf, 'Z', sizeof buf);
    int rc = zunusers_get_radius_server(buf, sizeof buf);
    EXPECT_EQ(rc == 0, r.ok == 1);
    EXPECT_STREQ(buf, r.text);
    std::lock_guard<std::mutex> lock(steward_mutex);
    EXPECT_EQ(steward_commands, (std::vector<std::string>{"<getradius />"}));
  }
}

TEST(RadiusServer, LongReplyIsCutToTheBuffer)
{
  zunt::TempRoot root;
  zunt::ServerThread server("/tmp/stewardd.socket", steward);
  {
    std::lock_guard<std::mutex> lock(steward_mutex);
    steward_reply = "127.0.0.1:1812:" + std::string(3000, 's');
  }
  char buf[1100];
  std::memset(buf, 'Z', sizeof buf);
  ASSERT_EQ(zunusers_get_radius_server(buf, 1024), 0);
  EXPECT_EQ(std::strlen(buf), 1023u);
  for (size_t i = 1024; i < sizeof buf; i++)
    ASSERT_EQ(buf[i], 'Z');
}

TEST(RadiusServer, NoStewardMeansNoServer)
{
  zunt::TempRoot root;
  char buf[1024];
  EXPECT_NE(zunusers_get_radius_server(buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
}

// ---- access lists ------------------------------------------------------------

zunuser lists(const char *cread, const char *cwrite, const char *gread, const char *gwrite,
              int level)
{
  zunuser u;
  zunusers_clear(&u);
  strlcpy(u.cread, cread, sizeof u.cread);
  strlcpy(u.cwrite, cwrite, sizeof u.cwrite);
  strlcpy(u.gread, gread, sizeof u.gread);
  strlcpy(u.gwrite, gwrite, sizeof u.gwrite);
  u.level = level;
  return u;
}

TEST(AccessList, ChecksTable)
{
  struct {
    const char *cread, *cwrite, *gread, *gwrite;
    int level;
    // what is asked: 'm' module, 'e' element (with module), 'g' group
    char kind;
    int id, module;
    bool allowed;
  } rows[] = {
      // read level: read and write lists
      {"101,102,", "", "", "", 0, 'm', 101, 0, true},
      {"101,102,", "", "", "", 0, 'm', 103, 0, false},
      {"", "103,", "", "", 0, 'm', 103, 0, true},
      {"101,", "", "", "", 0, 'e', 205, 101, true},   // through its module
      {"205,", "", "", "", 0, 'e', 205, 101, true},   // the element itself
      {"206,", "", "", "", 0, 'e', 205, 101, false},
      {"", "", "7,", "", 0, 'g', 7, 0, true},
      {"", "", "", "8,", 0, 'g', 8, 0, true},
      {"", "", "7,", "", 0, 'g', 9, 0, false},
      {"7,", "", "", "", 0, 'g', 7, 0, false},  // component ids are not group ids
      {"", "", "7,", "", 0, 'm', 7, 0, false},
      // write level: write lists only
      {"101,", "", "", "", 2, 'm', 101, 0, false},
      {"", "101,", "", "", 2, 'm', 101, 0, true},
      {"101,", "", "", "", 2, 'e', 205, 101, false},
      {"", "101,", "", "", 2, 'e', 205, 101, true},
      {"", "", "7,", "", 2, 'g', 7, 0, false},
      {"", "", "", "7,", 2, 'g', 7, 0, true},
      // "all"
      {"all", "", "", "", 0, 'm', 12345, 0, true},
      {"all", "", "", "", 0, 'e', 12345, 1, true},
      {"all", "", "", "", 0, 'g', 1, 0, false},
      {"all", "", "", "", 2, 'm', 101, 0, false},
      {"", "101,all,", "", "", 2, 'm', 999, 0, true},
      {"", "", "", "all", 2, 'g', 42, 0, true},
      {"", "", "all,", "", 0, 'g', 42, 0, true},
      // entries that are not ids grant nothing; blanks are ignored
      {" 101 , x, -5,0,", "", "", "", 0, 'm', 101, 0, true},
      {"x,", "", "", "", 0, 'm', 0, 0, false},
      {"-5,", "", "", "", 0, 'm', -5, 0, false},
      {"1011,", "", "", "", 0, 'm', 101, 0, false},
      {"allx,", "", "", "", 0, 'm', 101, 0, false},
      {"", "", "", "", 0, 'm', 101, 0, false},
  };
  char work[4096];
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.cread) + "|" + r.cwrite + "|" + r.gread + "|" + r.gwrite +
                 " level " + std::to_string(r.level) + " " + r.kind + std::to_string(r.id));
    zunuser u = lists(r.cread, r.cwrite, r.gread, r.gwrite, r.level);
    ASSERT_EQ(zunusers_create_access_list(&u, work, sizeof work), 0);
    int rc = r.kind == 'm'   ? zunusers_check_module(&u, r.id)
             : r.kind == 'e' ? zunusers_check_element(&u, r.id, r.module)
                             : zunusers_check_group(&u, r.id);
    EXPECT_EQ(rc == 0, r.allowed);
  }
}

TEST(AccessList, ContentIsTheUnionWithoutRepeats)
{
  zunuser u = lists("101,102,", "102,103,", "7,", "7,8,", 0);
  char work[64];
  ASSERT_EQ(zunusers_create_access_list(&u, work, sizeof work), 0);
  EXPECT_EQ(u.access.all_components, 0);
  EXPECT_EQ(u.access.all_groups, 0);
  std::vector<int> comps(u.access.components, u.access.components + u.access.ncomponents);
  std::vector<int> groups(u.access.groups, u.access.groups + u.access.ngroups);
  std::sort(comps.begin(), comps.end());
  std::sort(groups.begin(), groups.end());
  EXPECT_EQ(comps, (std::vector<int>{101, 102, 103}));
  EXPECT_EQ(groups, (std::vector<int>{7, 8}));

  // Going from read to write drops what only the read lists gave.
  u.level = 2;
  ASSERT_EQ(zunusers_create_access_list(&u, work, sizeof work), 0);
  EXPECT_EQ(u.access.ncomponents, 2);
  EXPECT_EQ(u.access.ngroups, 2);
  EXPECT_NE(zunusers_check_module(&u, 101), 0);
}

TEST(AccessList, TheFullestListsFitAndAnUnknownLevelFails)
{
  // The most distinct ids two rights lists can name: each list filled to
  // its last byte with ids of its own.
  auto fill = [](int first) {
    std::string list;
    for (int id = first; list.size() + std::to_string(id).size() + 1 < sizeof(zunuser::cread); id++)
      list += std::to_string(id) + ",";
    return list;
  };
  const std::string read = fill(1), write = fill(100000);
  char work[64];
  zunuser u = lists(read.c_str(), write.c_str(), "", "", 0);
  ASSERT_EQ(zunusers_create_access_list(&u, work, sizeof work), 0);
  EXPECT_GT(u.access.ncomponents, 2 * 64);
  for (const std::string *list : {&read, &write}) {
    int last = std::stoi(list->substr(list->rfind(',', list->size() - 2) + 1));
    EXPECT_EQ(zunusers_check_module(&u, last), 0) << last;
  }
  zunuser u2 = lists(write.c_str(), write.c_str(), write.c_str(), write.c_str(), 2);
  ASSERT_EQ(zunusers_create_access_list(&u2, work, sizeof work), 0);
  EXPECT_EQ(zunusers_check_group(&u2, 100000), 0);

  for (int level : {1, 3, -1}) {
    u = lists("all", "all", "all", "all", level);
    EXPECT_EQ(zunusers_create_access_list(&u, work, sizeof work), ZUN_ERR_ACCESS_LIST);
    EXPECT_NE(zunusers_check_module(&u, 101), 0);
    EXPECT_NE(zunusers_check_group(&u, 1), 0);
  }
}

TEST(AccessList, CountsBeyondTheArraysAreNotTrusted)
{
  zunuser u = lists("", "", "", "", 0);
  u.access.ncomponents = 1000000;
  u.access.ngroups = -3;
  EXPECT_NE(zunusers_check_module(&u, 0), 0);
  EXPECT_NE(zunusers_check_element(&u, 0, 0), 0);
  EXPECT_NE(zunusers_check_group(&u, 0), 0);
}

}  // namespace
