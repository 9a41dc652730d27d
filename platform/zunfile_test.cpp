// Files of the appliance by their fixed paths, under a private root.
#include "zunfile.h"

#include "harness.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class Zunfile : public ::testing::Test {
protected:
  void SetUp() override { setenv("APPLIANCE_ROOT", root.path().c_str(), 1); }
  void TearDown() override { unsetenv("APPLIANCE_ROOT"); }
  zt::Root root;
};

// A folder's entries, read to the end of the folder, or a failure: on a
// 32-bit build an entry whose inode number or folder position does not fit
// 32 bits (ext4's hashed folders, as a 64-bit kernel gives them to a program
// under emulation) neither ends the list early nor passes for an empty one.
TEST_F(Zunfile, ListGivesEveryEntrySortedOrFails)
{
  root.write("/etc/list/b", "");
  root.write("/etc/list/a.sqlite", "x");
  root.write("/etc/list/C", "");
  root.write("/etc/list/sub/inner", "");
  root.write("/etc/empty/.keep", "");
  root.remove("/etc/empty/.keep");
  struct Row {
    const char *path;
    int rc;
    std::vector<std::string> names;
  };
  const Row rows[] = {
      {"/etc/list", 0, {"C", "a.sqlite", "b", "sub"}},  // bytewise: capitals first
      {"/etc/list/", 0, {"C", "a.sqlite", "b", "sub"}},
      {"/etc/empty", 0, {}},
      {"/etc/missing", -1, {}},
      {"/etc/list/b", -1, {}},  // a file, not a folder
  };
  for (const Row &row : rows) {
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(zunfile_list(row.path, names), row.rc) << row.path;
    EXPECT_EQ(names, row.names) << row.path;
  }
}

}  // namespace
