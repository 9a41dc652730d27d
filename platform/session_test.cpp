// Session files: round trip, and every way a file can fail to be a session.
#include "harness.h"
#include "zun_text.h"
#include "zunusers.h"
#include "zunutils.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *SESSION = "/var/users/12345.session";
constexpr const char *KEYFILE = "/mnt/jffs/etc/session.key";

zunuser sample()
{
  zunuser u;
  zunusers_clear(&u);
  u.id = 42;
  u.valid = 1;
  strlcpy(u.name, "anna", sizeof u.name);
  strlcpy(u.pass, "h-secret", sizeof u.pass);
  strlcpy(u.regdate, "2024-05-06 07:08:09", sizeof u.regdate);
  strlcpy(u.sread, "elements,modules,", sizeof u.sread);
  strlcpy(u.swrite, "log,", sizeof u.swrite);
  strlcpy(u.cread, "101,102,", sizeof u.cread);
  strlcpy(u.cwrite, "all", sizeof u.cwrite);
  strlcpy(u.gread, "7,", sizeof u.gread);
  strlcpy(u.gwrite, "8,", sizeof u.gwrite);
  strlcpy(u.rfu1, "r1", sizeof u.rfu1);
  strlcpy(u.rfu2, "r\xc3\xa9", sizeof u.rfu2);
  strlcpy(u.remote, "192.0.2.7", sizeof u.remote);
  strlcpy(u.key, "4294967295", sizeof u.key);
  u.radius = 1;
  u.level = 2;
  u.access.all_components = 1;
  u.access.all_groups = 0;
  u.access.ngroups = 2;
  u.access.groups[0] = 7;
  u.access.groups[1] = -8;
  u.access.ncomponents = ZUN_ACCESS_MAX;
  for (int i = 0; i < ZUN_ACCESS_MAX; i++)
    u.access.components[i] = 1000 + i;
  return u;
}

// Every stored field compared; the password value is never stored.
void expect_same(const zunuser &a, const zunuser &b)
{
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.valid, b.valid);
  EXPECT_STREQ(a.name, b.name);
  EXPECT_STREQ(b.pass, "");
  EXPECT_STREQ(a.regdate, b.regdate);
  EXPECT_STREQ(a.sread, b.sread);
  EXPECT_STREQ(a.swrite, b.swrite);
  EXPECT_STREQ(a.cread, b.cread);
  EXPECT_STREQ(a.cwrite, b.cwrite);
  EXPECT_STREQ(a.gread, b.gread);
  EXPECT_STREQ(a.gwrite, b.gwrite);
  EXPECT_STREQ(a.rfu1, b.rfu1);
  EXPECT_STREQ(a.rfu2, b.rfu2);
  EXPECT_STREQ(a.remote, b.remote);
  EXPECT_STREQ(a.key, b.key);
  EXPECT_EQ(a.radius, b.radius);
  EXPECT_EQ(a.level, b.level);
  EXPECT_EQ(std::memcmp(&a.access, &b.access, sizeof a.access), 0);
}

class Session : public ::testing::Test {
protected:
  void SetUp() override { setenv("APPLIANCE_ROOT", root.path().c_str(), 1); }
  void TearDown() override { unsetenv("APPLIANCE_ROOT"); }

  // Loads into a record with known content; on failure it must stay as it was.
  int load(const char *path = SESSION)
  {
    zunuser u = sample();
    int rc = zunusers_load_user(&u, path);
    if (rc != 0) {
      zunuser untouched = sample();
      EXPECT_EQ(std::memcmp(&u, &untouched, sizeof u), 0) << "record changed by a failed load";
    }
    return rc;
  }

  zt::Root root;
};

TEST_F(Session, RoundTrip)
{
  zunuser u = sample();
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  zunuser back;
  zunusers_clear(&back);
  ASSERT_EQ(zunusers_load_user(&back, SESSION), 0);
  expect_same(u, back);
  // A record that never had a user loads as such.
  zunusers_clear(&u);
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  ASSERT_EQ(zunusers_load_user(&back, SESSION), 0);
  expect_same(u, back);
  EXPECT_EQ(back.id, -1);
}

TEST_F(Session, FilesAreOwnerOnly)
{
  zunuser u = sample();
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  struct stat st;
  ASSERT_EQ(stat(root.file(SESSION).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(root.file(KEYFILE).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);
  // The password value is nowhere in the file.
  EXPECT_EQ(root.read(SESSION).find("h-secret"), std::string::npos);
}

TEST_F(Session, LoadsThroughAnAlias)
{
  zunuser u = sample();
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  ASSERT_EQ(symlink(root.file(SESSION).c_str(), root.file("/var/users/777.session").c_str()), 0);
  zunuser back;
  ASSERT_EQ(zunusers_load_user(&back, "/var/users/777.session"), 0);
  expect_same(u, back);
}

TEST_F(Session, OverlongTextsAreStoredCut)
{
  zunuser u = sample();
  std::memset(u.name, 'x', sizeof u.name);  // no terminator
  std::memset(u.key, '9', sizeof u.key);
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  zunuser back;
  ASSERT_EQ(zunusers_load_user(&back, SESSION), 0);
  EXPECT_EQ(std::string(back.name), std::string(63, 'x'));
  EXPECT_EQ(std::string(back.key), std::string(31, '9'));
}

TEST_F(Session, MissingFileOrFolder)
{
  EXPECT_NE(load(), 0);
  zunuser u = sample();
  EXPECT_NE(zunusers_save_user(&u, "/var/nothere/1.session"), 0);
}

TEST_F(Session, TruncatedOrLongerFileDoesNotLoad)
{
  zunuser u = sample();
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  const std::string whole = root.read(SESSION);
  ASSERT_GT(whole.size(), 100u);
  for (size_t len : {size_t(0), size_t(1), size_t(4), size_t(20), whole.size() / 2,
                     whole.size() - 32, whole.size() - 1}) {
    SCOPED_TRACE(len);
    root.write(SESSION, whole.substr(0, len));
    EXPECT_NE(load(), 0);
  }
  root.write(SESSION, whole + "x");
  EXPECT_NE(load(), 0);
  root.write(SESSION, whole);
  EXPECT_EQ(load(), 0);
}

TEST_F(Session, AnyFlippedByteIsTampering)
{
  zunuser u = sample();
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  const std::string whole = root.read(SESSION);
  const std::string path = root.file(SESSION);
  int loaded = 0;
  for (size_t i = 0; i < whole.size(); i++) {
    std::string bad = whole;
    bad[i] = char(bad[i] ^ 0x01);
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(bad.data(), 1, bad.size(), f), bad.size());
    fclose(f);
    zunuser back;
    if (zunusers_load_user(&back, SESSION) == 0) {
      ADD_FAILURE() << "a file with byte " << i << " changed loaded";
      loaded++;
    }
  }
  EXPECT_EQ(loaded, 0);
}

TEST_F(Session, ForeignFilesDoNotLoad)
{
  zunuser u = sample();
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  const std::string whole = root.read(SESSION);
  // Text of the right size, and the raw record as it is in memory.
  root.write(SESSION, std::string(whole.size(), 'A'));
  EXPECT_NE(load(), 0);
  root.write(SESSION, std::string(reinterpret_cast<const char *>(&u), sizeof u));
  EXPECT_NE(load(), 0);
  root.write(SESSION, "<user id=\"42\" name=\"anna\" sread=\"all\" swrite=\"all\" />");
  EXPECT_NE(load(), 0);
  // A directory in its place.
  root.remove(SESSION);
  ASSERT_EQ(mkdir(root.file(SESSION).c_str(), 0700), 0);
  EXPECT_NE(load(), 0);
}

TEST_F(Session, FileOfAnotherApplianceDoesNotLoad)
{
  zunuser u = sample();
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  const std::string first_key = root.read(KEYFILE);
  // The same file under another secret: rewritten with a fresh key.
  root.write(KEYFILE, std::string(32, '\x5a'));
  EXPECT_NE(load(), 0);
  root.write(KEYFILE, first_key);
  EXPECT_EQ(load(), 0);
}

TEST_F(Session, DamagedSecretIsReplacedAndOldSessionsLapse)
{
  zunuser u = sample();
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  root.write(KEYFILE, "short");
  EXPECT_NE(load(), 0);
  EXPECT_EQ(root.read(KEYFILE).size(), 32u);
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  EXPECT_EQ(load(), 0);
}

TEST_F(Session, KeyFileIsCreatedOnce)
{
  zunuser u = sample();
  ASSERT_EQ(zunusers_save_user(&u, SESSION), 0);
  const std::string key = root.read(KEYFILE);
  ASSERT_EQ(zunusers_save_user(&u, "/var/users/2.session"), 0);
  EXPECT_EQ(root.read(KEYFILE), key);
  EXPECT_EQ(load("/var/users/2.session"), 0);
}

TEST_F(Session, TimeOfSaving)
{
  zunuser u = sample();
  const uint32_t now = systime();
  struct {
    int64_t age;  // seconds before now (negative: ahead of the clock)
    bool loads;
  } rows[] = {
      {0, true},
      {ZUN_SESSION_IDLE_SECONDS - 60, true},
      {ZUN_SESSION_IDLE_SECONDS + 2, false},
      {3 * ZUN_SESSION_IDLE_SECONDS, false},
      {int64_t(now), false},  // 1970
      {-5, true},
      {-3600, false},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.age);
    ASSERT_EQ(zunusers_save_user_at(&u, SESSION, uint32_t(int64_t(now) - r.age)), 0);
    EXPECT_EQ(load() == 0, r.loads);
  }
}

TEST_F(Session, RecordThatCouldNotLoadIsNotSaved)
{
  zunuser u = sample();
  u.access.ncomponents = ZUN_ACCESS_MAX + 1;
  EXPECT_NE(zunusers_save_user(&u, SESSION), 0);
  u = sample();
  u.access.ngroups = -1;
  EXPECT_NE(zunusers_save_user(&u, SESSION), 0);
  EXPECT_FALSE(root.exists(SESSION));
}

}  // namespace
