// The frame's settings save and replay, through testd: a complete new file
// replaces the old one, or the old one stays untouched.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"
#include "testd_fixture.h"

using namespace frame_test;

namespace {

const std::string kOld = "<settings>\n\t<group>\n\t\t<item name=\"old\" />\n\t</group>\n</settings>\n";

// Files in a folder of the root, by name.
std::vector<std::string> names_in(const zt::Root &root, const std::string &rel)
{
  std::vector<std::string> out;
  for (const auto &e : std::filesystem::directory_iterator(root.file(rel)))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(DaemonSave, WritesTheWholeFileAndReplaysIt)
{
  zt::Root root;
  {
    Testd d(root);
    ASSERT_TRUE(d.ready()) << d.proc->err();
    EXPECT_EQ(d.exchange("<item name=\"one\" />"), "<error type=\"no error\" />");
    EXPECT_EQ(d.exchange("<item name='a&amp;b \"c\"' />"), "<error type=\"no error\" />");
    EXPECT_EQ(d.exchange("<save />"), "<error type='no error' />");
    EXPECT_EQ(d.stop(), 0);
  }
  EXPECT_EQ(root.read(kSettings),
            "<settings>\n\t<group>\n\t\t<item name=\"one\" />\n"
            "\t\t<item name=\"a&amp;b &quot;c&quot;\" />\n\t</group>\n\t<switchable />\n"
            "</settings>\n");
  EXPECT_EQ(names_in(root, "/mnt/jffs/etc"), std::vector<std::string>{"testd.xml"});
  struct stat st;
  ASSERT_EQ(stat(root.file(kSettings).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // The next start replays the file: the tags inside the grouping element
  // run, the root and the group run nothing.
  Testd again(root);
  ASSERT_TRUE(again.ready()) << again.proc->err();
  EXPECT_EQ(again.exchange("<items />"),
            "<items><item name=\"one\" /><item name=\"a&amp;b &quot;c&quot;\" /></items>");
  EXPECT_EQ(again.stop(), 0);
}

TEST(DaemonSave, ReplayRunsOnlyTagsAtAnyDepth)
{
  zt::Root root;
  root.write(kSettings,
             "<settings>\n"
             "\t<item name=\"top\" />\n"
             "\t<group><inner><item name=\"deep\" /></inner></group>\n"
             "\t<items />\n"          // a tag that only replies: its reply goes nowhere
             "\t<nosuch name=\"x\" />\n"
             "\t<save />\n"           // runs, and rewrites the file with what is loaded so far
             "</settings>\n");
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  EXPECT_EQ(d.exchange("<items />"),
            "<items><item name=\"top\" /><item name=\"deep\" /></items>");
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonSave, MissingOrMalformedSettingsLeaveTheDaemonEmpty)
{
  for (const char *content : {"", "<settings><item name=\"cut\"", "garbage"}) {
    zt::Root root;
    if (*content)
      root.write(kSettings, content);
    Testd d(root);
    ASSERT_TRUE(d.ready()) << d.proc->err();
    std::string items = d.exchange("<items />");
    // A cut file may have run the handlers of the elements before the cut.
    EXPECT_TRUE(items == "<items></items>" || items == "<items><item name=\"cut\" /></items>")
        << items;
    EXPECT_EQ(d.stop(), 0);
  }
}

TEST(DaemonSave, SettingsFileFromTheCommandLineIsUsedAsGiven)
{
  zt::Root root;
  std::string path = root.file("/var/tmp/other.xml");
  {
    Testd d(root, {"-f", path});
    ASSERT_TRUE(d.ready()) << d.proc->err();
    d.exchange("<item name=\"x\" />");
    EXPECT_EQ(d.exchange("<save />"), "<error type='no error' />");
    EXPECT_EQ(d.stop(), 0);
  }
  EXPECT_NE(root.read("/var/tmp/other.xml").find("<item name=\"x\" />"), std::string::npos);
  EXPECT_FALSE(root.exists(kSettings));
  Testd again(root, {"--settings-file", path});
  ASSERT_TRUE(again.ready()) << again.proc->err();
  EXPECT_EQ(again.exchange("<items />"), "<items><item name=\"x\" /></items>");
  EXPECT_EQ(again.stop(), 0);
}

TEST(DaemonSave, FailingSaverKeepsTheOldFile)
{
  zt::Root root;
  root.write(kSettings, kOld);
  Testd d(root, {}, {{"TESTD_FAIL_SAVER", "1"}});
  ASSERT_TRUE(d.ready()) << d.proc->err();
  d.exchange("<item name=\"new\" />");
  EXPECT_EQ(d.exchange("<save />"), "<error type='fail save' />");
  EXPECT_EQ(root.read(kSettings), kOld);
  EXPECT_EQ(names_in(root, "/mnt/jffs/etc"), std::vector<std::string>{"testd.xml"});

  // Switched back, the same daemon saves.
  EXPECT_EQ(d.exchange("<failsave on=\"0\" />"), "<error type=\"no error\" />");
  EXPECT_EQ(d.exchange("<save />"), "<error type='no error' />");
  EXPECT_NE(root.read(kSettings).find("<item name=\"new\" />"), std::string::npos);
  EXPECT_EQ(d.exchange("<failsave on=\"1\" />"), "<error type=\"no error\" />");
  std::string saved = root.read(kSettings);
  EXPECT_EQ(d.exchange("<save />"), "<error type='fail save' />");
  EXPECT_EQ(root.read(kSettings), saved);
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonSave, RenameThatFailsKeepsTheOldEntry)
{
  // The settings path names a folder: the temporary file is written beside
  // it, but it cannot replace a folder.
  zt::Root root;
  root.write("/mnt/jffs/etc/testd.xml/keep", "kept");
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  EXPECT_EQ(d.exchange("<save />"), "<error type='fail save' />");
  EXPECT_EQ(root.read("/mnt/jffs/etc/testd.xml/keep"), "kept");
  EXPECT_EQ(names_in(root, "/mnt/jffs/etc"), std::vector<std::string>{"testd.xml"});
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonSave, FolderThatCannotTakeAFile)
{
  // The settings path lies under a regular file: nothing can be created.
  zt::Root root;
  root.write("/var/tmp/blocker", "x");
  Testd d(root, {"-f", root.file("/var/tmp/blocker/testd.xml")});
  ASSERT_TRUE(d.ready()) << d.proc->err();
  EXPECT_EQ(d.exchange("<save />"), "<error type='fail opening the file' />");
  EXPECT_EQ(root.read("/var/tmp/blocker"), "x");
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonSave, NewFileKeepsTheOldOnesOwnerModeAndLink)
{
  zt::Root root;
  // The settings path is a link to the real file, which belongs to another
  // user (as a file that a program of that user reads).
  root.write("/var/tmp/real.xml", kOld);
  const std::string real = root.file("/var/tmp/real.xml");
  ASSERT_EQ(chmod(real.c_str(), 0604), 0);
  const bool as_root = geteuid() == 0;
  if (as_root) {
    ASSERT_EQ(chown(real.c_str(), 99, 98), 0);
  }
  ASSERT_EQ(symlink(real.c_str(), root.file(kSettings).c_str()), 0);

  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  d.exchange("<item name=\"new\" />");
  EXPECT_EQ(d.exchange("<save />"), "<error type='no error' />");
  EXPECT_EQ(d.stop(), 0);

  struct stat st;
  ASSERT_EQ(lstat(root.file(kSettings).c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(root.read("/var/tmp/real.xml").find("<item name=\"new\" />"), std::string::npos);
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  if (as_root) {
    EXPECT_EQ(st.st_uid, 99u);
    EXPECT_EQ(st.st_gid, 98u);
  }
  EXPECT_EQ(names_in(root, "/var/tmp"), std::vector<std::string>{"real.xml"});
}

TEST(DaemonSave, StartRemovesOnlyTheTemporariesOfCutShortSaves)
{
  zt::Root root;
  root.write(kSettings, kOld);
  const std::string etc = "/mnt/jffs/etc/";
  // What a save killed before its rename leaves behind.
  for (const char *stale : {"testd.xml.saving-Ab3xZ9", "testd.xml.saving-000000"})
    root.write(etc + stale, kOld);
  // Everything else stays: other names, other daemons, and a folder and a
  // link of the pattern (a save leaves only regular files).
  const std::vector<std::string> kept = {
      "heraldd.xml.saving-Ab3xZ9", "testd.xml.backup",         "testd.xml.bak",
      "testd.xml.saving-Ab3xZ",    "testd.xml.saving-Ab3xZ90", "testd.xml.saving-Ab_xZ9",
      "xtestd.xml.saving-Ab3xZ9",  "testd.xml.saving-dir000",  "testd.xml.saving-link00",
  };
  for (size_t i = 0; i < kept.size() - 2; i++)  // all but the folder and the link
    root.write(etc + kept[i], "x");
  root.write(etc + "testd.xml.saving-dir000/inside", "x");
  root.write("/var/tmp/target", "x");
  ASSERT_EQ(symlink(root.file("/var/tmp/target").c_str(), root.file(etc + "testd.xml.saving-link00").c_str()), 0);

  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  std::vector<std::string> expected = kept;
  expected.push_back("testd.xml");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(root, "/mnt/jffs/etc"), expected);
  EXPECT_EQ(root.read("/var/tmp/target"), "x");
  EXPECT_EQ(d.stop(), 0);
}

// Makes a folder refuse new entries, also to root (the immutable attribute);
// undone when it goes out of scope.
class ReadOnlyFolder {
public:
  explicit ReadOnlyFolder(const std::string &path) : path_(path)
  {
    if (geteuid() != 0) {
      ok_ = chmod(path.c_str(), 0555) == 0;
      return;
    }
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
      return;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags_) == 0) {
      int set = flags_ | FS_IMMUTABLE_FL;
      ok_ = ioctl(fd, FS_IOC_SETFLAGS, &set) == 0;
    }
    close(fd);
  }
  ~ReadOnlyFolder()
  {
    if (!ok_)
      return;
    if (geteuid() != 0) {
      chmod(path_.c_str(), 0755);
      return;
    }
    int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
      ioctl(fd, FS_IOC_SETFLAGS, &flags_);
      close(fd);
    }
  }
  bool ok() const { return ok_; }

private:
  std::string path_;
  int flags_ = 0;
  bool ok_ = false;
};

TEST(DaemonSave, ReadOnlyFolderKeepsTheOldFile)
{
  zt::Root root;
  root.write(kSettings, kOld);
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  d.exchange("<item name=\"new\" />");
  {
    ReadOnlyFolder ro(root.file("/mnt/jffs/etc"));
    if (!ro.ok())
      GTEST_SKIP() << "this file system cannot make a folder read-only to root";
    EXPECT_EQ(d.exchange("<save />"), "<error type='fail opening the file' />");
    EXPECT_EQ(root.read(kSettings), kOld);
  }
  EXPECT_EQ(names_in(root, "/mnt/jffs/etc"), std::vector<std::string>{"testd.xml"});
  EXPECT_EQ(d.stop(), 0);
}

}  // namespace
