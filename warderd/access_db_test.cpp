// The access database on a real file in a private folder.
#include "access_db.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class AccessDb : public ::testing::Test {
protected:
  void SetUp() override
  {
    char tmpl[] = "/tmp/zadbXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/access.sqlite";
    ASSERT_EQ(access_db_start_at(db_, path_), SQLITE_OK);
  }
  void TearDown() override
  {
    access_db_stop(db_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  // Rows of a query through a second connection, columns joined by '|'.
  std::vector<std::string> rows(const char *sql)
  {
    std::vector<std::string> out;
    sqlite3 *h = nullptr;
    EXPECT_EQ(sqlite3_open(path_.c_str(), &h), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(h, sql, -1, &st, nullptr), SQLITE_OK);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); i++) {
        if (i)
          row += '|';
        const unsigned char *t = sqlite3_column_text(st, i);
        row += t ? reinterpret_cast<const char *>(t) : "NULL";
      }
      out.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return out;
  }

  access_user user(int id, const char *auth, const char *read, const char *write)
  {
    access_user u;
    u.id = id;
    access_user_set(u.auth, auth);
    access_user_set(u.read, read);
    access_user_set(u.write, write);
    return u;
  }

  litedb db_;
  db_table keys_{&db_, "keys", {}};
  db_table users_{&db_, "users", {}};
  std::string dir_, path_;
};

TEST_F(AccessDb, FirstStartCreatesBothEmptyTablesOwnedBy99)
{
  EXPECT_TRUE(rows("SELECT * FROM keys").empty());
  EXPECT_TRUE(rows("SELECT * FROM users").empty());
  EXPECT_EQ(rows("SELECT sql FROM sqlite_master WHERE name='keys'"),
            std::vector<std::string>{"CREATE TABLE keys (id INTEGER PRIMARY KEY, name TEXT, key TEXT, "
                                     "timeEnter DATE)"});
  EXPECT_EQ(rows("SELECT sql FROM sqlite_master WHERE name='users'"),
            std::vector<std::string>{"CREATE TABLE users (id INTEGER PRIMARY KEY, auth TEXT, read "
                                     "TEXT, write TEXT, timeEnter DATE)"});
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(st.st_uid, 99u);
    EXPECT_EQ(st.st_gid, 99u);
  }
}

TEST_F(AccessDb, SecondStartPrintsOneErrorLinePerTableAndKeepsRows)
{
  ASSERT_EQ(access_key_add(keys_, "0A0B0C0D0E0F", "door"), 0);
  access_db_stop(db_);
  testing::internal::CaptureStderr();
  ASSERT_EQ(access_db_start_at(db_, path_), SQLITE_OK);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "CREATE TABLE users (id INTEGER PRIMARY KEY, auth TEXT, read TEXT, write TEXT, "
            "timeEnter DATE); failed with status 1: table users already exists\n"
            "CREATE TABLE keys (id INTEGER PRIMARY KEY, name TEXT, key TEXT, timeEnter DATE); "
            "failed with status 1: table keys already exists\n");
  EXPECT_EQ(rows("SELECT name, key FROM keys"), std::vector<std::string>{"door|0A0B0C0D0E0F"});
}

TEST_F(AccessDb, AddingAnExistingKeyReplacesItsRow)
{
  ASSERT_EQ(access_key_add(keys_, "01AB00FF109C", "alice"), 0);
  ASSERT_EQ(access_key_add(keys_, "01AB00FF109C", "bob"), 0);
  EXPECT_EQ(rows("SELECT name, key FROM keys"), std::vector<std::string>{"bob|01AB00FF109C"});
  auto stamp = rows("SELECT timeEnter FROM keys");
  ASSERT_EQ(stamp.size(), 1u);
  EXPECT_EQ(stamp[0].size(), 19u);  // YYYY-MM-DD HH:MM:SS
}

TEST_F(AccessDb, KeyWithoutNameIsStoredAsNewkey)
{
  ASSERT_EQ(access_key_add(keys_, "112233445566", nullptr), 0);
  char name[64] = "x";
  EXPECT_EQ(access_key_find(keys_, "112233445566", name, sizeof name), 0);
  EXPECT_STREQ(name, "newkey");
}

TEST_F(AccessDb, FindCutsTheNameAndReportsMissingKeys)
{
  ASSERT_EQ(access_key_add(keys_, "AAAAAAAAAAAA", "a-rather-long-name"), 0);
  char name[7];
  EXPECT_EQ(access_key_find(keys_, "AAAAAAAAAAAA", name, sizeof name), 0);
  EXPECT_STREQ(name, "a-rath");
  EXPECT_EQ(access_key_find(keys_, "BBBBBBBBBBBB", name, sizeof name), -1);
  EXPECT_EQ(access_key_find(keys_, "AAAAAAAAAAAA", nullptr, 0), 0);
}

TEST_F(AccessDb, ReplacingAKeyWhoseNewRowFailsKeepsTheOldRow)
{
  ASSERT_EQ(access_key_add(keys_, "01AB00FF109C", "alice"), 0);
  // The delete of the old row succeeds, the insert of the new one is refused.
  ASSERT_EQ(sqlite3_exec(db_.db,
                         "CREATE TRIGGER refuse BEFORE INSERT ON keys WHEN NEW.name='bob' "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  testing::internal::CaptureStderr();
  EXPECT_EQ(access_key_add(keys_, "01AB00FF109C", "bob"), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("INSERT INTO keys (name, key, timeEnter) values ('bob','01AB00FF109C',"
                     "datetime('now', 'localtime')); failed with status 19: refused\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(rows("SELECT name, key FROM keys"), std::vector<std::string>{"alice|01AB00FF109C"});
  // Nothing is left open: the next change goes through.
  EXPECT_EQ(access_key_add(keys_, "01AB00FF109C", "carol"), 0);
  EXPECT_EQ(rows("SELECT name, key FROM keys"), std::vector<std::string>{"carol|01AB00FF109C"});
}

TEST_F(AccessDb, DeletingAMissingKeyReturnsZero)
{
  EXPECT_EQ(access_key_delete(keys_, "FFFFFFFFFFFF"), 0);
  ASSERT_EQ(access_key_add(keys_, "FFFFFFFFFFFF", "x"), 0);
  EXPECT_EQ(access_key_delete(keys_, "FFFFFFFFFFFF"), 0);
  EXPECT_TRUE(rows("SELECT * FROM keys").empty());
}

TEST_F(AccessDb, KeysListIsByteExactAndEscaped)
{
  std::string out = "<database>";
  EXPECT_EQ(access_keys_list(keys_, out), 0);
  EXPECT_EQ(out, "<database>");
  ASSERT_EQ(access_key_add(keys_, "01AB00FF109C", "Ann"), 0);
  ASSERT_EQ(access_key_add(keys_, "02", "a\"b<c&"), 0);
  out.clear();
  EXPECT_EQ(access_keys_list(keys_, out), 0);
  EXPECT_EQ(out, "<e k=\"01AB00FF109C\" n=\"Ann\" /><e k=\"02\" n=\"a&quot;b&lt;c&amp;\" />");
}

TEST_F(AccessDb, ValueWithSingleQuoteStaysOneStatement)
{
  ASSERT_EQ(access_key_add(keys_, "K1", "O'Brien"), 0);
  ASSERT_EQ(access_key_add(keys_, "K2", "x'); DELETE FROM keys; --"), 0);
  EXPECT_EQ(rows("SELECT name, key FROM keys ORDER BY key"),
            (std::vector<std::string>{"O'Brien|K1", "x'); DELETE FROM keys; --|K2"}));
  char name[64];
  EXPECT_EQ(access_key_find(keys_, "K2", name, sizeof name), 0);
  EXPECT_STREQ(name, "x'); DELETE FROM keys; --");
  EXPECT_EQ(access_key_find(keys_, "' OR '1'='1", name, sizeof name), -1);
  EXPECT_EQ(access_key_delete(keys_, "' OR '1'='1"), 0);
  EXPECT_EQ(rows("SELECT COUNT(*) FROM keys"), std::vector<std::string>{"2"});

  ASSERT_EQ(access_user_add_or_update(users_, user(-1, "d'Arcy", "log,", "all,")), 0);
  access_user u = user(-1, "d'Arcy", "", "");
  EXPECT_EQ(access_user_get(users_, u), 0);
  EXPECT_STREQ(u.read, "log,");
}

TEST_F(AccessDb, UsersAddUpdateAndTheirFailures)
{
  ASSERT_EQ(access_user_add_or_update(users_, user(-1, "ann", "log,", "keys,")), 0);
  ASSERT_EQ(access_user_add_or_update(users_, user(-1, "bob", "nothing,", "nothing,")), 0);
  EXPECT_EQ(access_users_count(users_), 2);
  // A name that exists, without its id.
  EXPECT_EQ(access_user_add_or_update(users_, user(-1, "ann", "x,", "y,")), -1);
  // An id that does not exist.
  EXPECT_EQ(access_user_add_or_update(users_, user(9, "zed", "x,", "y,")), -1);
  // Renaming user 1 onto the name of user 2.
  EXPECT_EQ(access_user_add_or_update(users_, user(1, "bob", "x,", "y,")), -2);
  // A proper update of user 1.
  EXPECT_EQ(access_user_add_or_update(users_, user(1, "anna", "", "all,")), 0);
  EXPECT_EQ(rows("SELECT id, auth, read, write FROM users ORDER BY id"),
            (std::vector<std::string>{"1|anna|log,|all,", "2|bob|nothing,|nothing,"}));
  // Without a write text the update statement is incomplete: error line, no change, -1.
  testing::internal::CaptureStderr();
  EXPECT_EQ(access_user_add_or_update(users_, user(2, "bert", "r,", "")), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("UPDATE users SET  auth='bert', read='r,', WHERE id='2'; failed with status 1: ", 0),
            0u)
      << err;
  EXPECT_EQ(rows("SELECT auth FROM users WHERE id=2"), std::vector<std::string>{"bob"});
}

TEST_F(AccessDb, GetUserByIdByNameAndNotFound)
{
  ASSERT_EQ(access_user_add_or_update(users_, user(-1, "ann", "log,", "keys,")), 0);
  access_user u = user(1, "", "", "");
  EXPECT_EQ(access_user_get(users_, u), 0);
  EXPECT_STREQ(u.auth, "ann");
  access_user v = user(0, "ann", "", "");
  EXPECT_EQ(access_user_get(users_, v), 0);
  EXPECT_EQ(v.id, 1);
  access_user w = user(-1, "nobody", "", "");
  EXPECT_EQ(access_user_get(users_, w), ACCESS_USER_NOT_FOUND);
  EXPECT_EQ(w.id, ACCESS_USER_NOT_FOUND);
  EXPECT_EQ(static_cast<uint32_t>(ACCESS_USER_NOT_FOUND), 0xFF452453u);
}

TEST_F(AccessDb, DescribeAndListUsers)
{
  ASSERT_EQ(access_user_add_or_update(users_, user(-1, "ann", "log,", "keys,")), 0);
  std::string out;
  access_user u = user(-1, "ann", "", "");
  EXPECT_EQ(access_user_describe(users_, u, out), 0);
  EXPECT_EQ(out, "<user id=\"1\" read=\"log,\" write=\"keys,\" />\n");
  access_user missing = user(7, "", "", "");
  EXPECT_EQ(access_user_describe(users_, missing, out), -1);
  out.clear();
  EXPECT_EQ(access_users_list(users_, out), 0);
  EXPECT_EQ(out, "<user id=\"1\" auth=\"ann\" read=\"log,\" write=\"keys,\" />\n");
}

struct CheckCase {
  const char *read, *write;  // requested
  int expected;
};

TEST_F(AccessDb, CheckUserSubstringAndAllRules)
{
  ASSERT_EQ(access_user_add_or_update(users_, user(-1, "ann", "logics,keys,", "keys,")), 0);
  ASSERT_EQ(access_user_add_or_update(users_, user(-1, "root", "all,", "nothing,")), 0);
  const CheckCase ann[] = {
      {"", "", -1},             // nothing requested: denied
      {"log", "", 0},           // substring of "logics,"
      {"keys,", "", 0},
      {"notify,", "", -1},
      {"", "keys,", 0},         // only write, granted
      {"", "notify,", -1},      // write not granted: denied at once
      {"log", "notify,", -1},
      {"notify,", "keys,", -1}, // read denied wins
  };
  for (const CheckCase &c : ann)
    EXPECT_EQ(access_user_check(users_, user(-1, "ann", c.read, c.write)), c.expected)
        << c.read << " / " << c.write;
  EXPECT_EQ(access_user_check(users_, user(-1, "root", "anything,", "")), 0);
  EXPECT_EQ(access_user_check(users_, user(-1, "root", "", "keys,")), -1);
  EXPECT_EQ(access_user_check(users_, user(2, "", "view,", "")), 0);
  EXPECT_EQ(access_user_check(users_, user(-1, "ghost", "view,", "")), -1);
}

TEST_F(AccessDb, DeleteUserByIdAndByName)
{
  ASSERT_EQ(access_user_add_or_update(users_, user(-1, "ann", "a,", "b,")), 0);
  ASSERT_EQ(access_user_add_or_update(users_, user(-1, "bob", "a,", "b,")), 0);
  EXPECT_EQ(access_user_delete(users_, user(5, "", "", "")), 0);
  EXPECT_EQ(access_users_count(users_), 2);
  EXPECT_EQ(access_user_delete(users_, user(-1, "bob", "", "")), 0);
  EXPECT_EQ(access_user_delete(users_, user(1, "", "", "")), 0);
  EXPECT_EQ(access_users_count(users_), 0);
}

TEST_F(AccessDb, RecordTextsAreCut)
{
  std::string longname(100, 'n');
  access_user u = user(-1, longname.c_str(), std::string(300, 'r').c_str(), "w");
  EXPECT_EQ(std::string(u.auth), std::string(31, 'n'));
  EXPECT_EQ(std::string(u.read), std::string(127, 'r'));
}

TEST(AccessDbClosed, OperationsFailAtPrepareWithTheErrorLine)
{
  litedb db;
  db.path = "/nonexistent-folder/x/access.sqlite";
  testing::internal::CaptureStderr();
  EXPECT_NE(litedb_open(db), SQLITE_OK);
  db_table keys{&db, "keys", {}};
  char name[8];
  EXPECT_EQ(access_key_find(keys, "A", name, sizeof name), -1);
  EXPECT_EQ(access_key_add(keys, "A", nullptr), -1);
  EXPECT_EQ(access_key_delete(keys, "A"), -1);
  db_table users{&db, "users", {}};
  EXPECT_EQ(access_users_count(users), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("open (litedb->path, &(litedb->db)) failed with status 14: ", 0), 0u) << err;
  EXPECT_NE(err.find("SELECT * FROM keys WHERE key='A'; failed with status"), std::string::npos);
  access_db_stop(db);
  EXPECT_EQ(litedb_finish(db), -1);
}

}  // namespace
