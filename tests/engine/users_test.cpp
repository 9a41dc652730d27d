// Local accounts: getuser, adduser, deluser over the account database.
#include "engine_env.h"

namespace {

const std::string kNoError = "<error type=\"no error\" />";
const std::string kMissing = "<error type=\"some parameters are not specified\" />";
const std::string kAccess = "<error type=\"access error\" />";

class Users : public ::testing::Test {
protected:
  void SetUp() override
  {
    et::make_users(root, {{"1", "admin", "pw", "all", "all", "1,", "2,", "3,", "4,"},
                          {"0", "old", "pw", "log,", "", "", "", "", ""},
                          {"1", "q\"<&", "pw", "a<b", "c\"d", "", "", "", ""}});
    key = et::login(root, "admin", "pw");
    ASSERT_FALSE(key.empty());
  }
  std::string ask(const std::string &form) { return et::ask(root, key, form); }
  std::string col(const std::string &sql) { return et::users_query(root, sql); }

  zt::Root root;
  zt::Sim sim{root};
  std::string key;
};

TEST_F(Users, ListActiveAccountsAndOneById)
{
  EXPECT_EQ(ask("querytype=getuser"),
            "<users>\n"
            "<user id=\"1\" name=\"admin\" sread=\"all\" swrite=\"all\" cread=\"1,\" cwrite=\"2,\" "
            "gread=\"3,\" gwrite=\"4,\" />"
            "<user id=\"3\" name=\"q&quot;&lt;&amp;\" sread=\"a&lt;b\" swrite=\"c&quot;d\" cread=\"\" "
            "cwrite=\"\" gread=\"\" gwrite=\"\" />"
            "</users>\n");
  // A disabled account is listed by its id.
  EXPECT_EQ(ask("querytype=getuser&id=2"),
            "<users>\n<user id=\"2\" name=\"old\" sread=\"log,\" swrite=\"\" cread=\"\" cwrite=\"\" "
            "gread=\"\" gwrite=\"\" /></users>\n");
  EXPECT_EQ(ask("querytype=getuser&id=77"), "<error type=\"user not found\" />");
}

TEST_F(Users, NoActiveAccountWritesNothing)
{
  // Valid '2' keeps the caller's account enabled but not among the rows
  // whose Valid is "1"; every other row is disabled.
  et::users_sql(root, "UPDATE SystemUsers SET Valid='2' WHERE ID=1; "
                      "UPDATE SystemUsers SET Valid='0' WHERE ID<>1;");
  EXPECT_EQ(ask("querytype=getuser"), "");
}

TEST_F(Users, AccountZeroMayListButNotChange)
{
  et::users_sql(root, "INSERT INTO SystemUsers (ID,Valid,Name,Pass,SRead,SWrite,CRead,CWrite,GRead,"
                      "GWrite) VALUES (0,'1','zero','pw','all','all','all','all','all','all');");
  std::string zero = et::login(root, "zero", "pw");
  ASSERT_FALSE(zero.empty());
  EXPECT_EQ(et::ask(root, zero, "querytype=getuser&id=1").rfind("<users>\n<user id=\"1\"", 0), 0u);
  EXPECT_EQ(et::ask(root, zero, "querytype=adduser&name=n&h=p&sread=a&swrite=b"), kAccess);
  EXPECT_EQ(et::ask(root, zero, "querytype=adduser&id=3&rfu2=x"), kAccess);
  EXPECT_EQ(et::ask(root, zero, "querytype=deluser&id=3"), kAccess);
  // Account 0 is a local account like any other: disabled, it is locked out.
  EXPECT_EQ(ask("querytype=deluser&id=0"), kNoError);
  EXPECT_EQ(et::ask(root, zero, "querytype=getuser"),
            "<error type=\"session not found\" code=\"-102\" />");
  et::users_sql(root, "UPDATE SystemUsers SET Valid='1' WHERE ID=0;");
  // Without the database file: "wrong userlist file".
  root.remove("/mnt/jffs/etc/users.sqlite");
  EXPECT_EQ(et::ask(root, zero, "querytype=getuser"), "<error type=\"wrong userlist file\" />");
  EXPECT_EQ(et::ask(root, zero, "querytype=deluser&id=5"), kAccess);
}

TEST_F(Users, Create)
{
  EXPECT_EQ(ask("querytype=adduser&name=n&h=p&sread=a"), kMissing);
  EXPECT_EQ(ask("querytype=adduser&name=admin&h=p&sread=a&swrite=b"),
            "<error type=\"user already exists\" />");
  // A name that exists only disabled gets a second row.
  EXPECT_EQ(ask("querytype=adduser&name=old&h=new&sread=log,&swrite="), kNoError);
  EXPECT_EQ(col("SELECT Valid||':'||Pass FROM SystemUsers WHERE Name='old' ORDER BY ID"), "0:pw|1:new");
  // Values with quotes cannot change the statement.
  EXPECT_EQ(ask("querytype=adduser&name=O'Brien&h=x'),('1&sread=a'&swrite=b&rfu1=r"), kNoError);
  EXPECT_EQ(col("SELECT Name||'|'||Pass||'|'||SRead||'|'||RFU1||'|'||CRead FROM SystemUsers WHERE "
                "Name='O''Brien'"),
            "O'Brien|x'),('1|a'|r|");
  EXPECT_EQ(col("SELECT COUNT(*) FROM SystemUsers"), "5");
  EXPECT_NE(col("SELECT RegDate FROM SystemUsers WHERE Name='O''Brien'"), "");
  // Lists are cut to 1,023 characters, names to 63.
  std::string longname(100, 'n');
  EXPECT_EQ(ask("querytype=adduser&name=" + longname + "&h=p&sread=" + std::string(2000, 's') + "&swrite=w"),
            kNoError);
  EXPECT_EQ(col("SELECT length(Name)||','||length(SRead) FROM SystemUsers WHERE Name LIKE 'nnn%'"),
            "63,1023");
}

TEST_F(Users, Change)
{
  EXPECT_EQ(ask("querytype=adduser&id=3&rfu2=only"), kNoError);
  EXPECT_EQ(col("SELECT Name||'|'||Pass||'|'||SRead||'|'||RFU1||'|'||RFU2 FROM SystemUsers WHERE ID=3"),
            "q\"<&|pw|a<b||only");
  EXPECT_EQ(ask("querytype=adduser&id=3&name=renamed&h=pw2&swrite="), kNoError);
  EXPECT_EQ(col("SELECT Name||'|'||Pass||'|'||SWrite FROM SystemUsers WHERE ID=3"), "renamed|pw2|");
  EXPECT_EQ(ask("querytype=adduser&id=2&name=x"), "<error type=\"user not found\" />");
  EXPECT_EQ(ask("querytype=adduser&id=99&name=x"), "<error type=\"user not found\" />");
}

TEST_F(Users, Disable)
{
  EXPECT_EQ(ask("querytype=deluser"), kMissing);
  EXPECT_EQ(ask("querytype=deluser&id=1"), kAccess);  // not oneself
  EXPECT_EQ(ask("querytype=deluser&id=99"), kNoError);
  EXPECT_EQ(ask("querytype=deluser&id=3"), kNoError);
  EXPECT_EQ(col("SELECT Valid FROM SystemUsers ORDER BY ID"), "1|0|0");
  EXPECT_EQ(ask("querytype=deluser&id=3'%20OR%20'1'='1"), kNoError);
  EXPECT_EQ(col("SELECT Valid FROM SystemUsers ORDER BY ID"), "1|0|0");
}

}  // namespace
