// Sessions and rights: keys, levels, "all", section remapping by element id,
// the log lines, the session rewrite and disabled accounts.
#include "engine_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

namespace {

const std::string kDenied = "<error type=\"access denied\" code=\"-101\" />";
const std::string kNoSession = "<error type=\"session not found\" code=\"-102\" />";
const std::string kNoKey = "<error type=\"missing parameter\" code=\"-103\" />";

class Rights : public ::testing::Test {
protected:
  void SetUp() override
  {
    root.write("/etc/registry.xml",
               "<registry>"
               "<module id=\"150\" num=\"1\" class=\"1\" name=\"board\" socket=\"/tmp/baseiod.socket\" />"
               "<element id=\"201\" module=\"150\" num=\"1\" class=\"3\" type=\"1\" name=\"relay\" "
               "socket=\"/tmp/registryd.socket\" />"
               "<element id=\"202\" module=\"150\" num=\"2\" class=\"1\" type=\"1\" name=\"temp\" "
               "socket=\"/tmp/registryd.socket\" />"
               "<element id=\"203\" module=\"150\" num=\"3\" class=\"5\" type=\"3\" name=\"logic\" "
               "socket=\"/tmp/registryd.socket\" />"
               "<element id=\"204\" module=\"150\" num=\"4\" class=\"5\" type=\"1\" name=\"timer\" "
               "socket=\"/tmp/registryd.socket\" />"
               "<element id=\"205\" module=\"150\" num=\"5\" class=\"4\" type=\"2\" name=\"cam\" "
               "socket=\"/tmp/registryd.socket\" />"
               "<element id=\"206\" module=\"150\" num=\"6\" class=\"4\" type=\"4\" name=\"gsm\" "
               "socket=\"/tmp/registryd.socket\" />"
               "<element id=\"207\" module=\"150\" num=\"7\" class=\"6\" type=\"1\" name=\"mail\" "
               "socket=\"/tmp/registryd.socket\" />"
               "<group id=\"160\" name=\"g\" />"
               "<group id=\"1000\" name=\"g1000\" />"
               "</registry>");
    sim = std::make_unique<zt::Sim>(root);
    et::make_users(root, {
                             {"1", "admin", "pw", "all", "all"},
                             {"1", "logreader", "pw", "log,", ""},
                             {"1", "elements", "pw", "", "elements,"},
                             {"1", "relays", "pw", "", "relays,"},
                             {"1", "users", "pw", "users,", "groups,"},
                             {"1", "grp", "pw", "", "groups,", "all", "all", "160,", "160,"},
                         });
  }
  std::unique_ptr<zt::Sim> sim;
  zt::Root root;

  // The names in the session folder, sorted.
  std::vector<std::string> session_files() const
  {
    std::vector<std::string> names;
    if (DIR *d = opendir(root.file("/var/users").c_str())) {
      while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
          names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // A copy of a live session file under another name in the root.
  void copy_session(const std::string &key, const std::string &rel) const
  {
    root.write(rel, root.read("/var/users/" + key + ".session"));
  }

  // Sets a file's modification time to another's plus `seconds`.
  void touch_like(const std::string &rel, const std::string &like, int seconds) const
  {
    struct stat st;
    ASSERT_EQ(stat(root.file(like).c_str(), &st), 0);
    struct timespec t[2] = {st.st_mtim, st.st_mtim};
    t[0].tv_sec += seconds;
    t[1].tv_sec += seconds;
    ASSERT_EQ(utimensat(AT_FDCWD, root.file(rel).c_str(), t, 0), 0);
  }

  // The entries chronicled received, one per line.
  std::vector<std::string> log_entries() const { return sim->journal_of("chronicled"); }
};

TEST_F(Rights, KeyMissingWrongOrForeign)
{
  EXPECT_EQ(et::body(zt::cgi(root, "", "querytype=getsystem")), kNoKey);
  ASSERT_TRUE(zt::wait_for([&] { return !log_entries().empty(); }));
  EXPECT_EQ(log_entries().back(), "<entry message=\"No user identify for querystr=getsystem\" level=\"7\" />");

  // Keys that are not 1 to 20 decimal digits never name a file.
  root.write("/var/users/x.session", "anything");
  for (const char *k : {"1", "x", "..%2Fx", "12a", "%2Ftmp%2Fx", "1.2", "123456789012345678901", ""})
    EXPECT_EQ(et::ask(root, k, "querytype=getsystem"), kNoSession) << k;
}

TEST_F(Rights, LevelsAndAll)
{
  std::string admin = et::login(root, "admin", "pw");
  std::string elements = et::login(root, "elements", "pw");
  std::string users = et::login(root, "users", "pw");
  ASSERT_FALSE(admin.empty());
  // "all" grants every section, at both levels.
  EXPECT_EQ(et::ask(root, admin, "querytype=setmode"), "");
  // "elements," in swrite does not grant the all commands.
  EXPECT_EQ(et::ask(root, elements, "querytype=setmode"), kDenied);
  // users read passes through the read list; write needs the write list.
  EXPECT_NE(et::ask(root, users, "querytype=getuser"), kDenied);
  EXPECT_EQ(et::ask(root, users, "querytype=deluser&id=1"), kDenied);
  // write in swrite also grants read.
  EXPECT_EQ(et::ask(root, users, "querytype=getgroup&id=160").find("code=\"-101\""), std::string::npos);
  // Section-only rows need only a loadable session.
  EXPECT_EQ(et::ask(root, elements, "querytype=getsystem").rfind("<system ", 0), 0u);
}

TEST_F(Rights, DeniedLineNamesUserAndAddress)
{
  std::string elements = et::login(root, "elements", "pw");
  sim->clear_journal();
  EXPECT_EQ(et::ask(root, elements, "querytype=adduser&name=a"), kDenied);
  ASSERT_TRUE(zt::wait_for([&] { return !log_entries().empty(); }));
  EXPECT_EQ(log_entries().back(),
            "<entry type=\"access\" message=\"Access denied for user ID=&apos;3&apos;, IP: &apos;127.0.0.1&apos;\" level=\"8\" />");
}

TEST_F(Rights, SectionRemappedByElementId)
{
  std::string elements = et::login(root, "elements", "pw");
  std::string relays = et::login(root, "relays", "pw");
  std::string users = et::login(root, "users", "pw");
  // Element 201 is class 3 type 1: checked against relays, not elements.
  EXPECT_EQ(et::ask(root, elements, "querytype=updateelement&id=201&name=x"), kDenied);
  EXPECT_NE(et::ask(root, relays, "querytype=updateelement&id=201&name=x"), kDenied);
  // Element 202 (class 1) keeps the row's section.
  EXPECT_NE(et::ask(root, elements, "querytype=updateelement&id=202&name=x"), kDenied);
  EXPECT_EQ(et::ask(root, relays, "querytype=updateelement&id=202&name=x"), kDenied);
  // An account number is no element id: a users request stays in users
  // whatever item shares its number.
  EXPECT_EQ(et::ask(root, users, "querytype=deluser&id=160"), kDenied);
  EXPECT_EQ(et::ask(root, users, "querytype=getuser&id=150"), "<error type=\"user not found\" />");
}

TEST_F(Rights, EveryStepReadsIdTheSameWay)
{
  std::string admin = et::login(root, "admin", "pw");
  std::string elements = et::login(root, "elements", "pw");
  std::string relays = et::login(root, "relays", "pw");
  std::string grp = et::login(root, "grp", "pw");
  const std::string kAccess = "<error type=\"access error\" />";
  const std::string kNotFound = "<error type=\"user not found\" />";
  struct {
    const std::string *key;
    std::string form, reply;  // reply "" : anything but a refusal
  } rows[] = {
      // 0311 and 0xC9 are the relay 201, for the check as for the lookup.
      {&elements, "querytype=updateelement&id=0311&name=x", kDenied},
      {&elements, "querytype=updateelement&id=0xC9&name=x", kDenied},
      {&relays, "querytype=updateelement&id=0311&name=x", ""},
      // Above 2^31-1 an id names nothing: no wrap onto 201 or group 160.
      {&relays, "querytype=updateelement&id=4294967497&name=x", kDenied},
      {&grp, "querytype=getgroup&id=160", ""},
      {&grp, "querytype=getgroup&id=4294967456", kAccess},
      // The account commands take the number the check read, as a number:
      // 1000e-3 is account 1000 (none), never account 1.
      {&grp, "querytype=adduser&id=1000e-3&h=taken", kDenied},
      {&admin, "querytype=adduser&id=1000e-3&h=taken", kNotFound},
      {&admin, "querytype=getuser&id=1e0", "<users>\n<user id=\"1\" name=\"admin\" sread=\"all\" swrite=\"all\" "
                                            "cread=\"all\" cwrite=\"all\" gread=\"all\" gwrite=\"all\" /></users>\n"},
      {&admin, "querytype=getuser&id=0x1", "<users>\n<user id=\"1\" name=\"admin\" sread=\"all\" swrite=\"all\" "
                                            "cread=\"all\" cwrite=\"all\" gread=\"all\" gwrite=\"all\" /></users>\n"},
      {&admin, "querytype=deluser&id=4294967298", "<error type=\"no error\" />"},
  };
  for (const auto &r : rows) {
    std::string reply = et::ask(root, *r.key, r.form);
    if (r.reply.empty())
      EXPECT_TRUE(reply != kDenied && reply != kAccess) << r.form << ": " << reply;
    else
      EXPECT_EQ(reply, r.reply) << r.form;
  }
  EXPECT_EQ(et::users_query(root, "SELECT Pass || Valid FROM SystemUsers WHERE ID IN (1, 2) ORDER BY ID"),
            "pw1|pw1");
  EXPECT_FALSE(et::login(root, "admin", "pw").empty());
}

TEST_F(Rights, SuccessfulCheckRewritesTheSession)
{
  std::string k = et::login(root, "admin", "pw");
  std::string file = root.file("/var/users/" + k + ".session");
  struct stat before, after;
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  EXPECT_EQ(et::ask(root, k, "querytype=getsystem").rfind("<system ", 0), 0u);
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);  // replaced by rename
  EXPECT_EQ(session_files(), std::vector<std::string>{k + ".session"});  // no temporary left
  // A refused check leaves the file as it was.
  std::string logreader = et::login(root, "logreader", "pw");
  std::string file2 = root.file("/var/users/" + logreader + ".session");
  ASSERT_EQ(stat(file2.c_str(), &before), 0);
  EXPECT_EQ(et::ask(root, logreader, "querytype=setmode"), kDenied);
  ASSERT_EQ(stat(file2.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(Rights, DisabledAccountSessionNoLongerLoads)
{
  std::string admin = et::login(root, "admin", "pw");
  std::string logreader = et::login(root, "logreader", "pw");
  EXPECT_EQ(et::ask(root, logreader, "querytype=getsystem").rfind("<system ", 0), 0u);
  EXPECT_EQ(et::ask(root, admin, "querytype=deluser&id=2"), "<error type=\"no error\" />");
  EXPECT_EQ(et::ask(root, logreader, "querytype=getsystem"), kNoSession);
  // A garbled session file does not load either.
  root.write("/var/users/" + admin + ".session", "garbage");
  EXPECT_EQ(et::ask(root, admin, "querytype=getsystem"), kNoSession);
}

TEST_F(Rights, ParallelRequestsOfOneSessionAllFindIt)
{
  // A browser sends several requests at once; each rewrites the session.
  std::string k = et::login(root, "admin", "pw");
  std::string alias = et::login(root, "admin", "pw");
  ASSERT_FALSE(alias.empty());
  std::atomic<int> lost{0};
  std::vector<std::string> sample(16);
  std::vector<std::thread> browsers;
  for (int t = 0; t < 16; t++)
    browsers.emplace_back([&, t] {
      for (int i = 0; i < 25; i++) {
        std::string reply = et::ask(root, t % 2 ? k : alias, "querytype=getsystem");
        if (reply.rfind("<system ", 0) != 0) {
          lost++;
          sample[t] = reply;
        }
      }
    });
  for (std::thread &b : browsers)
    b.join();
  EXPECT_EQ(lost.load(), 0) << sample[0] << sample[1];
  EXPECT_EQ(session_files(), (std::vector<std::string>{std::min(k, alias) + ".session",
                                                       std::max(k, alias) + ".session"}));
}

TEST_F(Rights, ListsNamingHundredsOfIdsStillLogIn)
{
  std::string ids;
  for (int id = 1000; ids.size() < 1000; id++)
    ids += std::to_string(id) + ",";
  ids += "202,";
  et::make_users(root, {{"1", "many", "pw", "elements,", "", ids, ids, ids, ids}});
  std::string k = et::login(root, "many", "pw");
  ASSERT_FALSE(k.empty());
  EXPECT_EQ(et::ask(root, k, "querytype=getsystem").rfind("<system ", 0), 0u);
  EXPECT_EQ(et::ask(root, k, "querytype=getelement&id=202").find("code="), std::string::npos);
}

TEST_F(Rights, EachItemKindChecksItsOwnSection)
{
  const struct {
    const char *id, *section;
  } rows[] = {
      {"150", "modules,"}, {"160", "groups,"},  {"201", "relays,"}, {"202", "elements,"},
      {"203", "logics,"},  {"204", "devvirt,"}, {"205", "cameras,"}, {"206", "gsm,"},
      {"207", "notify,"},
  };
  std::map<std::string, std::string> keys;
  for (const auto &r : rows) {
    et::users_sql(root, std::string("INSERT INTO SystemUsers (Valid,Name,Pass,SWrite,CRead,CWrite,GRead,GWrite) "
                                    "VALUES ('1','") + r.section + "','pw','" + r.section + "','all','all','all','all');");
    keys[r.section] = et::login(root, r.section, "pw");
  }
  for (const auto &r : rows)
    for (const auto &[section, key] : keys) {
      std::string reply = et::ask(root, key, std::string("querytype=updateelement&name=x&id=") + r.id);
      EXPECT_EQ(reply == kDenied, section != r.section) << r.id << " as " << section << ": " << reply;
    }
  // Section all is never remapped: an id does not turn "all" into relays.
  EXPECT_EQ(et::ask(root, keys["relays,"], "querytype=setmode&id=201"), kDenied);
  // A write right grants reading that section too.
  et::users_sql(root, "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','logwriter','pw','','log,');");
  EXPECT_NE(et::ask(root, et::login(root, "logwriter", "pw"), "querytype=logdate"), kDenied);
}

TEST_F(Rights, OnlyDigitKeysOfTwentyAtMostNameASession)
{
  std::string k = et::login(root, "admin", "pw");
  // Whole, valid session files that a key other than digits would reach.
  copy_session(k, "/var/users/x.session");
  copy_session(k, "/var/x.session");
  copy_session(k, "/var/users/12345678901234567890.session");
  copy_session(k, "/var/users/123456789012345678901.session");
  EXPECT_EQ(et::ask(root, "12345678901234567890", "querytype=getsystem").rfind("<system ", 0), 0u);
  for (const char *key : {"x", "..%2Fx", "123456789012345678901"})
    EXPECT_EQ(et::ask(root, key, "querytype=getsystem"), kNoSession) << key;
}

TEST_F(Rights, RightsAndPasswordFollowTheAccount)
{
  std::string reader = et::login(root, "logreader", "pw");
  std::string elements = et::login(root, "elements", "pw");
  EXPECT_NE(et::ask(root, reader, "querytype=logdate"), kDenied);
  // A right taken away is gone from the live session; one given, there.
  et::users_sql(root, "UPDATE SystemUsers SET SRead='modules,' WHERE ID=2;");
  EXPECT_EQ(et::ask(root, reader, "querytype=logdate"), kDenied);
  et::users_sql(root, "UPDATE SystemUsers SET SRead='log,' WHERE ID=2;");
  EXPECT_NE(et::ask(root, reader, "querytype=logdate"), kDenied);
  // A changed password ends the older sessions; the new login neither
  // reuses them nor hands back what they held.
  et::users_sql(root, "UPDATE SystemUsers SET Pass='new', SRead='' WHERE ID=2;");
  EXPECT_EQ(et::ask(root, reader, "querytype=getsystem"), kNoSession);
  EXPECT_TRUE(et::login(root, "logreader", "pw").empty());
  zt::RunResult r = zt::cgi(root, "", "querytype=auth&name=logreader&h=new");
  std::string fresh = et::attr(et::body(r), "k");
  ASSERT_FALSE(fresh.empty());
  EXPECT_EQ(et::attr(et::body(r), "sread"), "");
  EXPECT_EQ(et::ask(root, fresh, "querytype=logdate"), kDenied);
  EXPECT_EQ(et::ask(root, reader, "querytype=getsystem"), kNoSession);
  // A deleted row ends the session as a disabled one does.
  et::users_sql(root, "DELETE FROM SystemUsers WHERE ID=3;");
  EXPECT_EQ(et::ask(root, elements, "querytype=getsystem"), kNoSession);
}

TEST_F(Rights, TheRowIsAskedUnlessTheDatabaseIsOlderThanTheSession)
{
  const std::string db = "/mnt/jffs/etc/users.sqlite";
  struct {
    int db_age;  // the database's time against the session file's
    bool ends;
  } rows[] = {{2, true}, {0, true}, {-2, false}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.db_age);
    std::string k = et::login(root, "logreader", "pw");
    ASSERT_EQ(et::ask(root, k, "querytype=getsystem").rfind("<system ", 0), 0u);
    et::users_sql(root, "UPDATE SystemUsers SET Valid='0' WHERE ID=2;");
    touch_like(db, "/var/users/" + k + ".session", r.db_age);
    EXPECT_EQ(et::ask(root, k, "querytype=getsystem") == kNoSession, r.ends);
    et::users_sql(root, "UPDATE SystemUsers SET Valid='1' WHERE ID=2;");
    root.remove("/var/users/" + k + ".session");
  }
}

}  // namespace
