// Login: new sessions, aliases and their expiry, refusals.
#include "engine_env.h"
#include "zunusers.h"

#include <fcntl.h>
#include <regex>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Auth : public ::testing::Test {
protected:
  void SetUp() override
  {
    et::make_users(root, {
                             {"1", "admin", "pw", "all", "all"},
                             {"0", "gone", "pw", "all", "all"},
                             {"1", "q\"<&x", "pw", "log,\"", "a<b&c"},
                         });
  }
  zt::Root root;
  zt::Sim sim{root};

  std::string auth(const std::string &form) { return et::body(zt::cgi(root, "", "querytype=auth&" + form)); }
  bool is_link(const std::string &k) const
  {
    struct stat st;
    return lstat(root.file("/var/users/" + k + ".session").c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }
};

TEST_F(Auth, NewSessionReply)
{
  std::string reply = auth("name=admin&h=pw");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(reply, m,
                               std::regex("<user id=\"1\" k=\"([0-9]+)\" name=\"admin\" sread=\"all\" "
                                          "swrite=\"all\" cread=\"all\" cwrite=\"all\" gread=\"all\" "
                                          "gwrite=\"all\" />")))
      << reply;
  std::string k = m[1];
  EXPECT_TRUE(root.exists("/var/users/" + k + ".session"));
  EXPECT_FALSE(is_link(k));
  EXPECT_EQ(et::ask(root, k, "querytype=getsystem").rfind("<system ", 0), 0u);
}

TEST_F(Auth, RepliesEscapeQuoteLessThanAndAmpersand)
{
  std::string reply = auth("name=q%22%3C%26x&h=pw");
  EXPECT_NE(reply.find(" name=\"q&quot;&lt;&amp;x\" sread=\"log,&quot;\" swrite=\"a&lt;b&amp;c\" "),
            std::string::npos)
      << reply;
}

TEST_F(Auth, Refusals)
{
  EXPECT_EQ(auth("name=admin"), "<error type=\"missing parameter\" code=\"-103\" />");
  EXPECT_EQ(auth("h=pw"), "<error type=\"missing parameter\" code=\"-103\" />");
  EXPECT_EQ(auth("name=gone&h=pw"), "<error type=\"account disabled\" code=\"-1\" />");
  // Local failure without a RADIUS server: the local check's code.
  EXPECT_EQ(auth("name=admin&h=wrong"), "<error type=\"wrong login or password\" code=\"-106\" />");
  EXPECT_EQ(auth("name=nobody&h=pw"), "<error type=\"wrong login or password\" code=\"-106\" />");
}

TEST_F(Auth, SecondLoginMakesAnAliasToTheSameSession)
{
  std::string k1 = et::login(root, "admin", "pw");
  std::string k2 = et::login(root, "admin", "pw");
  ASSERT_FALSE(k1.empty());
  ASSERT_FALSE(k2.empty());
  EXPECT_NE(k1, k2);
  EXPECT_FALSE(is_link(k1));
  ASSERT_TRUE(is_link(k2));
  char target[1024] = {};
  ASSERT_GT(readlink(root.file("/var/users/" + k2 + ".session").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), root.file("/var/users/" + k1 + ".session"));
  // Both keys reach the session; a check through the alias rewrites the file.
  EXPECT_EQ(et::ask(root, k2, "querytype=getsystem").rfind("<system ", 0), 0u);
  EXPECT_TRUE(is_link(k2));
  EXPECT_EQ(et::ask(root, k1, "querytype=getsystem").rfind("<system ", 0), 0u);
}

TEST_F(Auth, IdleAliasesGoAtTheNextLogin)
{
  std::string k1 = et::login(root, "admin", "pw");
  std::string old_alias = et::login(root, "admin", "pw");
  std::string fresh_alias = et::login(root, "admin", "pw");
  // Keys are drawn from 10^15 values, far more than 32 bits hold.
  EXPECT_GT(std::max({std::stoull(k1), std::stoull(old_alias), std::stoull(fresh_alias)}), 0xffffffffull);
  for (const std::string *k : {&k1, &old_alias, &fresh_alias})
    EXPECT_LE(k->size(), 15u);
  ASSERT_TRUE(is_link(old_alias));
  ASSERT_TRUE(is_link(fresh_alias));
  // The alias was last used 181 seconds ago.
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= 181;
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, root.file("/var/users/" + old_alias + ".session").c_str(), times,
                      AT_SYMLINK_NOFOLLOW),
            0);
  et::login(root, "q%22%3C%26x", "pw");  // any user's login cleans up
  EXPECT_FALSE(root.exists("/var/users/" + old_alias + ".session"));
  EXPECT_TRUE(is_link(fresh_alias));
  EXPECT_TRUE(root.exists("/var/users/" + k1 + ".session"));
}

TEST_F(Auth, CheckThroughAnAliasMarksItUsed)
{
  et::login(root, "admin", "pw");
  std::string alias = et::login(root, "admin", "pw");
  ASSERT_TRUE(is_link(alias));
  std::string link = root.file("/var/users/" + alias + ".session");
  // An access time that following the link leaves alone (relatime): the
  // check itself must write the use down.
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec += 1000;
  times[1].tv_nsec = UTIME_OMIT;
  ASSERT_EQ(utimensat(AT_FDCWD, link.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  time_t before = time(nullptr);
  EXPECT_EQ(et::ask(root, alias, "querytype=getsystem").rfind("<system ", 0), 0u);
  time_t after = time(nullptr);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_GE(st.st_atime, before);
  EXPECT_LE(st.st_atime, after);
}

TEST_F(Auth, UnloadableSessionFileIsReplaced)
{
  std::string k1 = et::login(root, "admin", "pw");
  root.write("/var/users/" + k1 + ".session", "broken");
  std::string k2 = et::login(root, "admin", "pw");
  ASSERT_FALSE(k2.empty());
  EXPECT_FALSE(is_link(k2));  // a new session, not an alias to the broken file
  EXPECT_EQ(et::ask(root, k2, "querytype=getsystem").rfind("<system ", 0), 0u);
}

TEST_F(Auth, LoginCleansUpSessionsThatNoLongerLoad)
{
  std::string live = et::login(root, "admin", "pw");
  ASSERT_FALSE(live.empty());
  // An expired session (saved 31 minutes ago), a damaged one, aliases to
  // both, and temporary files: one a request may still be writing, one
  // left by a request that died long ago.
  setenv("APPLIANCE_ROOT", root.path().c_str(), 1);
  zunuser u;
  ASSERT_EQ(zunusers_load_user(&u, ("/var/users/" + live + ".session").c_str()), 0);
  ASSERT_EQ(zunusers_save_user_at(&u, "/var/users/111.session", uint32_t(time(nullptr) - 31 * 60)), 0);
  unsetenv("APPLIANCE_ROOT");
  root.write("/var/users/222.session", "damaged");
  for (const char *alias : {"333", "444"})
    ASSERT_EQ(symlink(root.file(std::string("/var/users/") + (alias[0] == '3' ? "111" : "222") + ".session").c_str(),
                      root.file(std::string("/var/users/") + alias + ".session").c_str()),
              0);
  root.write("/var/users/555_1234_tmp.session", "being written");
  root.write("/var/users/666_4321_tmp.session", "left behind");
  struct timespec old[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, root.file("/var/users/666_4321_tmp.session").c_str(), old, 0), 0);

  std::string k = et::login(root, "q%22%3C%26x", "pw");  // any user's login cleans up
  ASSERT_FALSE(k.empty());
  for (const char *gone : {"111", "222", "333", "444", "666_4321_tmp"})
    EXPECT_FALSE(root.exists(std::string("/var/users/") + gone + ".session")) << gone;
  for (std::string kept : {live, k, std::string("555_1234_tmp")})
    EXPECT_TRUE(root.exists("/var/users/" + kept + ".session")) << kept;
  EXPECT_EQ(et::ask(root, live, "querytype=getsystem").rfind("<system ", 0), 0u);
}

TEST_F(Auth, ATemporaryFileIsNeverTakenForTheUsersSession)
{
  std::string k1 = et::login(root, "admin", "pw");
  ASSERT_FALSE(k1.empty());
  // A complete copy of the session under a temporary name, as a request
  // leaves it just before its rename.
  ASSERT_EQ(link(root.file("/var/users/" + k1 + ".session").c_str(),
                 root.file("/var/users/" + k1 + "_99_tmp.session").c_str()),
            0);
  std::string k2 = et::login(root, "admin", "pw");
  char target[1024] = {};
  ASSERT_GT(readlink(root.file("/var/users/" + k2 + ".session").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), root.file("/var/users/" + k1 + ".session"));
}

}  // namespace
