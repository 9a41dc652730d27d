// Board type: the devtype file under a private root.
#include "zunboard.h"

#include "harness.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr const char *kDevtype = "/mnt/jffs/etc/devtype";

class BoardTest : public ::testing::Test {
protected:
  void SetUp() override { setenv("APPLIANCE_ROOT", root.path().c_str(), 1); }
  void TearDown() override { unsetenv("APPLIANCE_ROOT"); }
  zt::Root root;
};

struct TypeCase {
  const char *content;  // devtype file content
  int type;
  const char *name;
};

// Every name, with and without line ends and trailing blanks.
const TypeCase kTypeCases[] = {
    {"base", 0, "base"},      {"lite", 1, "lite"},     {"plus\n", 2, "plus"},
    {"pro\n", 3, "pro"},      {"max \t\r\n", 4, "max"}, {"mini", 5, "mini"},
    {"MINI\n", 5, "mini"},    {"Pro", 3, "pro"},
};

TEST_F(BoardTest, ReadsEveryTypeName)
{
  for (const auto &c : kTypeCases) {
    root.write(kDevtype, c.content);
    EXPECT_EQ(zunboard_type_get(), c.type) << "content '" << c.content << "'";
    EXPECT_STREQ(zunboard_type_name(), c.name) << "content '" << c.content << "'";
  }
}

// Texts that name no type read as type 0.
const char *const kUnknown[] = {
    "",          "\n",       "pr",        "prox",     " pro",     "pro\nmax",
    "lite lite", "unknownboardtypename-that-is-far-longer-than-any-name-at-all-xxxx",
};

TEST_F(BoardTest, UnknownNameReadsAsBase)
{
  for (const char *text : kUnknown) {
    root.write(kDevtype, "max");
    ASSERT_EQ(zunboard_type_get(), 4);
    root.write(kDevtype, text);
    EXPECT_EQ(zunboard_type_get(), 0) << "content '" << text << "'";
    EXPECT_STREQ(zunboard_type_name(), "base");
  }
}

TEST_F(BoardTest, EmbeddedNulIsNotAName)
{
  root.write(kDevtype, std::string("max\0", 4));
  EXPECT_EQ(zunboard_type_get(), 0);
}

TEST_F(BoardTest, MissingFileReadsAsBase)
{
  root.remove(kDevtype);
  EXPECT_EQ(zunboard_type_get(), 0);
  EXPECT_STREQ(zunboard_type_name(), "base");
}

TEST_F(BoardTest, SaveKnownNameStoresIt)
{
  const struct {
    const char *given;
    int type;
    const char *stored;
  } cases[] = {
      {"base", 0, "base\n"}, {"lite", 1, "lite\n"}, {"plus", 2, "plus\n"},
      {"pro", 3, "pro\n"},   {"max", 4, "max\n"},   {"mini", 5, "mini\n"},
      {"MAX", 4, "max\n"},   {"Lite", 1, "lite\n"},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(zunboard_save_devtype(c.given), 0) << c.given;
    EXPECT_EQ(root.read(kDevtype), c.stored);
    EXPECT_EQ(zunboard_type_get(), c.type);
    EXPECT_FALSE(root.exists(std::string(kDevtype) + ".tmp"));
  }
}

TEST_F(BoardTest, SaveUnknownNameIsRefusedAndKeepsTheFile)
{
  root.write(kDevtype, "plus\n");
  const char *const refused[] = {"", "prox", "pro ", "mi", "base\n", "lite;reboot"};
  for (const char *name : refused) {
    EXPECT_EQ(zunboard_save_devtype(name), -1) << name;
    EXPECT_EQ(root.read(kDevtype), "plus\n");
  }
  EXPECT_EQ(zunboard_save_devtype(nullptr), -1);
  EXPECT_EQ(zunboard_type_get(), 2);
}

TEST_F(BoardTest, SaveFailsWhenTheFolderIsMissing)
{
  root.remove("/mnt/jffs/etc");
  EXPECT_EQ(zunboard_save_devtype("pro"), -1);
  EXPECT_EQ(zunboard_type_get(), 0);
}

}  // namespace
