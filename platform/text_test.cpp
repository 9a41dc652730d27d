// Bounded texts: copies and appends are cut, never written past the buffer.
#include "zun_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t GUARD = 16;

// A buffer of `size` bytes between two guard regions.
struct Guarded {
  explicit Guarded(size_t size) : size(size), region(size + 2 * GUARD, '\x5a') {}
  char *buf() { return region.data() + GUARD; }
  bool intact() const
  {
    for (size_t i = 0; i < GUARD; i++)
      if (region[i] != '\x5a' || region[GUARD + size + i] != '\x5a')
        return false;
    return true;
  }
  size_t size;
  std::vector<char> region;
};

TEST(Strlcpy, CutsAndReturnsTheSourceLength)
{
  struct Case {
    const char *src;
    size_t size;
    const char *out;
  } cases[] = {
      {"hello", 16, "hello"}, {"hello", 6, "hello"}, {"hello", 5, "hell"},
      {"hello", 2, "h"},      {"hello", 1, ""},      {"", 4, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.src) + " in " + std::to_string(c.size));
    Guarded g(c.size);
    EXPECT_EQ(strlcpy(g.buf(), c.src, c.size), std::strlen(c.src));
    EXPECT_STREQ(g.buf(), c.out);
    EXPECT_TRUE(g.intact());
  }
  Guarded g(4);
  EXPECT_EQ(strlcpy(g.buf(), "abc", 0), 3u);  // size 0 writes nothing
  EXPECT_TRUE(g.intact());
  EXPECT_EQ(g.buf()[0], '\x5a');
}

TEST(Utf8Strlcpy, NeverSplitsACharacter)
{
  struct Case {
    const char *src;
    size_t size;
    const char *out;
  } cases[] = {
      {"abc", 4, "abc"},
      {"abc", 3, "ab"},
      {"a\xc3\xa9", 3, "a"},                      // 2-byte sequence does not fit
      {"a\xc3\xa9", 4, "a\xc3\xa9"},
      {"ab\xe2\x82\xac", 5, "ab"},                // 3-byte sequence
      {"ab\xe2\x82\xac", 6, "ab\xe2\x82\xac"},
      {"\xe2\x82\xac", 3, ""},
      {"x\xf0\x9f\x98\x80y", 5, "x"},             // 4-byte sequence
      {"x\xf0\x9f\x98\x80y", 6, "x\xf0\x9f\x98\x80"},
      {"x\xf0\x9f\x98\x80y", 7, "x\xf0\x9f\x98\x80y"},
      {"\xc3\xa9\xc3\xa9\xc3\xa9", 6, "\xc3\xa9\xc3\xa9"},
      {"\xc3\xa9\xc3\xa9\xc3\xa9", 1, ""},
      {"a\x80" "b", 3, "a\x80"},                  // a stray byte counts as one
      {"a\xc3", 8, "a\xc3"},                      // sequence cut by the end of the text
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.size));
    Guarded g(c.size);
    EXPECT_EQ(utf8_strlcpy(g.buf(), c.src, c.size), std::strlen(c.out));
    EXPECT_STREQ(g.buf(), c.out);
    EXPECT_TRUE(g.intact());
  }
  Guarded g(4);
  EXPECT_EQ(utf8_strlcpy(g.buf(), "abc", 0), 0u);
  EXPECT_TRUE(g.intact());
}

// A sequence cut by the terminator: the copy ends there and takes none of the
// bytes that follow it in the source's buffer. The source holds exactly its
// bytes, so that the sanitizer build reports a read past them.
TEST(Utf8Strlcpy, SequenceCutByTheTerminatorEndsThere)
{
  struct Case {
    std::string src;
    const char *out;
  } cases[] = {
      {std::string("ab\xc3\0\xa9zz", 7), "ab\xc3"},
      {std::string("ab\xe2\0\x82\xac", 6), "ab\xe2"},
      {std::string("ab\xf0\x9f\0", 5), "ab\xf0\x9f"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.out);
    std::unique_ptr<char[]> src(new char[c.src.size()]);
    std::memcpy(src.get(), c.src.data(), c.src.size());
    Guarded g(16);
    EXPECT_EQ(utf8_strlcpy(g.buf(), src.get(), g.size), std::strlen(c.out));
    std::string untouched(g.size - std::strlen(c.out) - 1, '\x5a');
    EXPECT_EQ(std::string(g.buf(), g.size), c.out + std::string(1, '\0') + untouched);
    EXPECT_TRUE(g.intact());
  }
}

// A sequence cut by the end of the counted bytes: nothing past them is read.
TEST(Utf8Copy, StopsAtTheEndOfTheCountedBytes)
{
  const std::string text = "a\xc3\xa9";
  for (size_t n : {size_t(2), size_t(1)}) {
    std::unique_ptr<char[]> src(new char[n]);  // exactly n bytes: a read past them is caught
    std::memcpy(src.get(), text.data(), n);
    Guarded g(8);
    EXPECT_EQ(utf8_copy(g.buf(), 8, src.get(), n), n);
    EXPECT_EQ(std::string(g.buf()), text.substr(0, n));
    EXPECT_TRUE(g.intact());
  }
}

TEST(BoundedText, AppendCutsAndStaysTruncated)
{
  Guarded g(8);
  BoundedText t(g.buf(), g.size);
  EXPECT_TRUE(t.append("abc"));
  EXPECT_TRUE(t.appendf("%d", 42));
  EXPECT_EQ(t.view(), "abc42");
  EXPECT_FALSE(t.truncated());
  EXPECT_FALSE(t.append("xyz"));
  EXPECT_STREQ(t.c_str(), "abc42xy");
  EXPECT_EQ(t.length(), 7u);
  EXPECT_TRUE(t.truncated());
  EXPECT_FALSE(t.append("z"));
  EXPECT_TRUE(t.append(""));
  EXPECT_TRUE(t.truncated());  // stays cut
  EXPECT_TRUE(g.intact());
  t.clear();
  EXPECT_STREQ(t.c_str(), "");
  EXPECT_FALSE(t.truncated());
  EXPECT_FALSE(t.appendf("%s", "0123456789"));
  EXPECT_STREQ(t.c_str(), "0123456");
  EXPECT_TRUE(g.intact());
}

TEST(BoundedText, FormatIsNeverInterpretedTwice)
{
  Guarded g(32);
  BoundedText t(g.buf(), g.size);
  t.appendf("%s", "%n%s%d");
  EXPECT_STREQ(t.c_str(), "%n%s%d");
  EXPECT_TRUE(g.intact());
}

TEST(BoundedText, ZeroSizeWritesNothing)
{
  Guarded g(0);
  BoundedText t(g.buf(), 0);
  EXPECT_FALSE(t.append("a"));
  EXPECT_FALSE(t.appendf("%d", 1));
  EXPECT_TRUE(t.append(""));
  EXPECT_TRUE(g.intact());
}

TEST(ZunFormat, ReportsTheCut)
{
  Guarded g(6);
  EXPECT_TRUE(zun_format(g.buf(), g.size, "%s", "abcde"));
  EXPECT_STREQ(g.buf(), "abcde");
  EXPECT_FALSE(zun_format(g.buf(), g.size, "%s-%d", "abcde", 7));
  EXPECT_STREQ(g.buf(), "abcde");
  EXPECT_TRUE(g.intact());
}

// The same number on the development machine (64-bit long) and the board
// (32-bit long): beyond 32 bits it saturates, it never wraps around.
TEST(Strtol32, SaturatesAtTheInt32RangeOnEveryArchitecture)
{
  struct Case {
    const char *text;
    int base;
    int32_t value;
    size_t used;  // characters read
    bool range;   // errno ERANGE
  } cases[] = {
      {"2147483647", 10, INT32_MAX, 10, false},  {"2147483648", 10, INT32_MAX, 10, true},
      {"4294967297", 10, INT32_MAX, 10, true},   {"-2147483648", 10, INT32_MIN, 11, false},
      {"-2147483649", 10, INT32_MIN, 11, true},  {"99999999999999999999", 10, INT32_MAX, 20, true},
      {"0xFFFFFFFF", 0, INT32_MAX, 10, true},    {"0x7fffffff", 0, INT32_MAX, 10, false},
      {"017", 0, 15, 3, false},                  {" -12x", 0, -12, 4, false},
      {"", 0, 0, 0, false},                      {"x", 10, 0, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    char *end = nullptr;
    errno = 0;
    EXPECT_EQ(zun_strtol32(c.text, &end, c.base), c.value);
    EXPECT_EQ(static_cast<size_t>(end - c.text), c.used);
    EXPECT_EQ(errno == ERANGE, c.range);
  }
}

}  // namespace
