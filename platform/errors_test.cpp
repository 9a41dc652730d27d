// Error replies: the exact bytes on standard output.
#include "errors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

// Runs fn with standard output sent to a temporary file; returns the bytes.
std::string capture(const std::function<void()> &fn)
{
  std::fflush(stdout);
  FILE *tmp = std::tmpfile();
  if (tmp == nullptr)
    return "<no temporary file>";
  int saved = ::dup(1);
  ::dup2(::fileno(tmp), 1);
  fn();
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  std::string out;
  std::rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
    out.append(buf, n);
  std::fclose(tmp);
  return out;
}

TEST(Errors, PrintCode)
{
  struct Case {
    int code;
    const char *reply;
  } cases[] = {
      {0, "<error type=\"no error\" />"},
      {-1, "<error type=\"account disabled\" code=\"-1\" />"},
      {-101, "<error type=\"access denied\" code=\"-101\" />"},
      {-102, "<error type=\"session not found\" code=\"-102\" />"},
      {-103, "<error type=\"missing parameter\" code=\"-103\" />"},
      {-104, "<error type=\"session not saved\" code=\"-104\" />"},
      {-105, "<error type=\"session folder not available\" code=\"-105\" />"},
      {-106, "<error type=\"wrong login or password\" code=\"-106\" />"},
      {-107, "<error type=\"authentication server not responding\" code=\"-107\" />"},
      {-108, "<error type=\"authentication server refused\" code=\"-108\" />"},
      {-109, "<error type=\"access list not built\" code=\"-109\" />"},
      {-7, "<error type=\"error -7\" code=\"-7\" />"},
      {5, "<error type=\"error 5\" code=\"5\" />"},
      {-2147483647 - 1, "<error type=\"error -2147483648\" code=\"-2147483648\" />"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(capture([&] { error_print(c.code); }), c.reply);
  }
}

TEST(Errors, TextOfCode)
{
  EXPECT_STREQ(error_text(0), "no error");
  EXPECT_STREQ(error_text(ZUN_ERR_ACCESS), "access denied");
  EXPECT_STREQ(error_text(-42), "error -42");
}

TEST(Errors, PrintText)
{
  struct Case {
    const char *text;
    const char *reply;
  } cases[] = {
      {"invalid request", "<error type=\"invalid request\" />"},
      {"module is not loaded", "<error type=\"module is not loaded\" />"},
      {"module(s) is not loaded: heraldd", "<error type=\"module(s) is not loaded: heraldd\" />"},
      {"", "<error type=\"\" />"},
      {"a<b>&\"c'", "<error type=\"a&lt;b&gt;&amp;&quot;c&apos;\" />"},
      {"100%s %n", "<error type=\"100%s %n\" />"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(capture([&] { error_printstr(c.text); }), c.reply);
  }
}

// A reply keeps its place among the other output of the request and adds no
// line end.
TEST(Errors, RepliesFollowEarlierOutputWithoutLineEnd)
{
  std::string out = capture([] {
    std::printf("Content-Type: text/xml\r\n\r\n");
    error_printstr("no error");
    error_print(-101);
  });
  EXPECT_EQ(out, "Content-Type: text/xml\r\n\r\n<error type=\"no error\" />"
                 "<error type=\"access denied\" code=\"-101\" />");
}

TEST(Errors, LongTextIsCutWhole)
{
  std::string text(5000, '&');
  std::string out = capture([&] { error_printstr(text.c_str()); });
  ASSERT_GT(out.size(), 20u);
  EXPECT_EQ(out.substr(0, 13), "<error type=\"");
  EXPECT_EQ(out.substr(out.size() - 4), "\" />");
  std::string body = out.substr(13, out.size() - 17);
  ASSERT_EQ(body.size() % 5, 0u);
  for (size_t i = 0; i < body.size(); i += 5)
    ASSERT_EQ(body.substr(i, 5), "&amp;");
}

}  // namespace
