// The account database wrapper against a real SQLite file under a private root.
#include "sql3.h"

#include "harness.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace {

constexpr const char *DB = "/mnt/jffs/etc/users.sqlite";
constexpr const char *SCHEMA =
    "CREATE TABLE SystemUsers (ID INTEGER PRIMARY KEY AUTOINCREMENT, Valid TEXT, Name TEXT, "
    "Pass TEXT, RegDate TEXT, SRead TEXT, SWrite TEXT, CRead TEXT, CWrite TEXT, GRead TEXT, "
    "GWrite TEXT, RFU1 TEXT, RFU2 TEXT);"
    "INSERT INTO SystemUsers (Valid, Name, Pass, SRead) VALUES ('1', 'admin', 'x1', 'all');"
    "INSERT INTO SystemUsers (Valid, Name, Pass, SRead) VALUES ('0', 'bob', 'x2', 'log,');"
    "INSERT INTO SystemUsers (Valid, Name, Pass, SRead) VALUES ('1', 'bob', 'x3', NULL);";

class Sql3Test : public ::testing::Test {
protected:
  void SetUp() override
  {
    setenv("APPLIANCE_ROOT", root.path().c_str(), 1);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(root.file(DB).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, SCHEMA, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    ASSERT_EQ(sql3_open(&h, DB), 0);
  }
  void TearDown() override
  {
    sql3_close(&h);
    unsetenv("APPLIANCE_ROOT");
  }

  // Column `col` of every row whose `column` equals `value`.
  std::vector<std::string> column_of(const char *column, const char *value, int col)
  {
    std::vector<std::string> out;
    for (int rc = sql3_select(&h, "SystemUsers", column, value); rc == 0; rc = sql3_select_next(&h))
      out.emplace_back(sql3_get(&h, col));
    return out;
  }

  zt::Root root;
  sql3 h;
};

TEST_F(Sql3Test, SelectWalksEveryMatchingRowInOrder)
{
  EXPECT_EQ(column_of("Name", "bob", 3), (std::vector<std::string>{"x2", "x3"}));
  EXPECT_EQ(column_of("Name", "admin", 0), (std::vector<std::string>{"1"}));
  EXPECT_EQ(column_of("Valid", "1", 2), (std::vector<std::string>{"admin", "bob"}));
}

TEST_F(Sql3Test, SelectWithoutMatchHasNoCurrentRow)
{
  EXPECT_NE(sql3_select(&h, "SystemUsers", "Name", "nobody"), 0);
  EXPECT_STREQ(sql3_get(&h, 0), "");
  EXPECT_NE(sql3_select_next(&h), 0);
}

TEST_F(Sql3Test, GetGivesEmptyTextForNullAndOutOfRange)
{
  ASSERT_EQ(sql3_select(&h, "SystemUsers", "Pass", "x3"), 0);
  EXPECT_STREQ(sql3_get(&h, 2), "bob");
  EXPECT_STREQ(sql3_get(&h, 5), "");   // NULL
  EXPECT_STREQ(sql3_get(&h, 12), "");  // RFU2, never set
  EXPECT_STREQ(sql3_get(&h, 13), "");
  EXPECT_STREQ(sql3_get(&h, -1), "");
}

TEST_F(Sql3Test, ValuesAreBoundNotSpliced)
{
  // A value that would widen the condition if it were part of the statement.
  EXPECT_NE(sql3_select(&h, "SystemUsers", "Name", "x' OR '1'='1"), 0);
  EXPECT_EQ(sql3_update(&h, "SystemUsers", "ID", "1 OR 1=1", "Valid", "0"), 0);
  EXPECT_EQ(column_of("Valid", "1", 2), (std::vector<std::string>{"admin", "bob"}));
}

TEST_F(Sql3Test, UpdateChangesOnlyTheKeyedRow)
{
  const char *value = "it's; DROP TABLE SystemUsers; --";
  ASSERT_EQ(sql3_update(&h, "SystemUsers", "ID", "2", "Pass", value), 0);
  EXPECT_EQ(column_of("ID", "2", 3), (std::vector<std::string>{value}));
  EXPECT_EQ(column_of("ID", "3", 3), (std::vector<std::string>{"x3"}));
}

TEST_F(Sql3Test, IdentifiersFromOutsideTheCodeAreRefused)
{
  struct {
    const char *table, *column;
  } bad[] = {
      {"SystemUsers; DROP TABLE SystemUsers", "Name"},
      {"SystemUsers", "Name\" OR 1=1 --"},
      {"", "Name"},
      {"SystemUsers", ""},
      {"1abc", "Name"},
  };
  for (const auto &b : bad) {
    SCOPED_TRACE(std::string(b.table) + " / " + b.column);
    EXPECT_LT(sql3_select(&h, b.table, b.column, "bob"), 0);
    EXPECT_LT(sql3_update(&h, b.table, "ID", "1", b.column, "x"), 0);
    EXPECT_LT(sql3_insert(&h, b.table, b.column, "'x'"), 0);
  }
  EXPECT_EQ(column_of("Name", "bob", 3).size(), 2u);
}

TEST_F(Sql3Test, InsertOfQuotedValuesStaysOneStatement)
{
  const char *name = "o'brien'); DROP TABLE SystemUsers; --";
  char qname[256], qpass[256];
  ASSERT_TRUE(sql3_quote(name, qname, sizeof qname));
  ASSERT_TRUE(sql3_quote("p'w", qpass, sizeof qpass));
  std::string values = std::string("'1',") + qname + "," + qpass + ",datetime('now', 'localtime')";
  ASSERT_EQ(sql3_insert(&h, "SystemUsers", "Valid,Name,Pass,RegDate", values.c_str()), 0);
  ASSERT_EQ(sql3_select(&h, "SystemUsers", "Name", name), 0);
  EXPECT_STREQ(sql3_get(&h, 0), "4");
  EXPECT_STREQ(sql3_get(&h, 3), "p'w");
  EXPECT_EQ(std::strlen(sql3_get(&h, 4)), 19u);  // YYYY-MM-DD HH:MM:SS
  EXPECT_EQ(column_of("Name", "admin", 0), (std::vector<std::string>{"1"}));
}

TEST_F(Sql3Test, InsertRefusesASecondStatementOrParameters)
{
  EXPECT_LT(sql3_insert(&h, "SystemUsers", "Valid,Name", "'1','x'); DELETE FROM SystemUsers; --"),
            0);
  EXPECT_LT(sql3_insert(&h, "SystemUsers", "Valid,Name", "'1','x'); DELETE FROM SystemUsers"), 0);
  EXPECT_LT(sql3_insert(&h, "SystemUsers", "Valid,Name", "'1',?"), 0);
  EXPECT_LT(sql3_insert(&h, "SystemUsers", "Valid,Name", "'1'"), 0);  // one value short
  EXPECT_EQ(column_of("Name", "bob", 3).size(), 2u);
  EXPECT_NE(sql3_select(&h, "SystemUsers", "Name", "x"), 0);
}

TEST_F(Sql3Test, CloseTwiceIsHarmless)
{
  ASSERT_EQ(sql3_select(&h, "SystemUsers", "Name", "bob"), 0);
  sql3_close(&h);
  EXPECT_EQ(h.db, nullptr);
  EXPECT_EQ(h.stmt, nullptr);
  sql3_close(&h);
  EXPECT_LT(sql3_select(&h, "SystemUsers", "Name", "bob"), 0);
}

TEST(Sql3Open, MissingFileIsNotCreatedAndOtherFilesAreRefused)
{
  zt::Root root;
  setenv("APPLIANCE_ROOT", root.path().c_str(), 1);
  sql3 h;
  EXPECT_NE(sql3_open(&h, DB), 0);
  EXPECT_FALSE(root.exists(DB));
  EXPECT_EQ(h.db, nullptr);
  root.write(DB, "this is not a database, just some text that is long enough to have a header");
  EXPECT_NE(sql3_open(&h, DB), 0);
  EXPECT_EQ(h.db, nullptr);
  unsetenv("APPLIANCE_ROOT");
}

TEST(Sql3Quote, DoublesQuotesAndNeverOverruns)
{
  struct {
    const char *in;
    const char *out;
  } rows[] = {
      {"", "''"},
      {"abc", "'abc'"},
      {"it's", "'it''s'"},
      {"''", "''''''"},
      {"a,b)", "'a,b)'"},
  };
  for (const auto &r : rows) {
    char buf[32];
    ASSERT_TRUE(sql3_quote(r.in, buf, sizeof buf)) << r.in;
    EXPECT_STREQ(buf, r.out);
  }
  // "'it''s'" is 7 bytes: 8 fit, 7 do not.
  char buf[16];
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_TRUE(sql3_quote("it's", buf, 8));
  EXPECT_STREQ(buf, "'it''s'");
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_FALSE(sql3_quote("it's", buf, 7));
  EXPECT_STREQ(buf, "");
  for (size_t i = 7; i < sizeof buf; i++)
    EXPECT_EQ(buf[i], 'Z');
  EXPECT_FALSE(sql3_quote("x", buf, 0));
}

}  // namespace
