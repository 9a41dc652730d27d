// Parameters, URL decoding, trimming, the multipart reader and the content
// checks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "params.h"
#include "upload.h"

namespace {

// Parses a form text held for the rest of the process.
void parse(const std::string &text)
{
  static std::string held;  // the list points into it until the next parse
  params_reset();
  held = text;
  params_parse_form(held.data());
}

std::string get(const char *name)
{
  const char *v = param_get(name);
  return v ? v : "<none>";
}

TEST(Params, FormTexts)
{
  struct {
    const char *form, *name, *value;
  } cases[] = {
      {"a=1&a=2", "a", "2"},
      {"flag", "flag", "true"},
      {"a=", "a", ""},
      {"&&a=1&", "a", "1"},
      {"querytype=getsystem", "QueryType", "getsystem"},
      {"a=b=c", "a", "b=c"},
      {"v=50%25+off", "v", "50% off"},
      {"v=%zz%4", "v", "%zz%4"},
      {"v=%41%2b", "v", "A+"},
      {"v=ab%00cd", "v", "ab"},
      {"n%61me=x", "name", "x"},
      {"v=%", "v", "%"},
      {"v=%4g", "v", "%4g"},
  };
  for (const auto &c : cases) {
    parse(c.form);
    EXPECT_EQ(get(c.name), c.value) << c.form;
  }
}

TEST(Params, PairCountAndOrder)
{
  parse("&&a=1&");
  int n = 0;
  for (param_entry *e = params_head(); e; e = e->next)
    n++;
  EXPECT_EQ(n, 1);
  parse("=");
  ASSERT_NE(params_head(), nullptr);
  EXPECT_STREQ(params_head()->name, "");
  EXPECT_STREQ(params_head()->value, "");
  parse("x=1&y=2");
  EXPECT_STREQ(params_head()->name, "y");  // head is the pair added last
  EXPECT_EQ(get("z"), "<none>");
}

TEST(Params, UrlDecodeTwice)
{
  char text[] = "%2541";
  EXPECT_STREQ(url_decode(text), "%41");
  EXPECT_STREQ(url_decode(text), "A");
}

TEST(Params, HexDigitValue)
{
  const std::string digits = "0123456789ABCDEFabcdef";
  const int values[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
  for (size_t i = 0; i < digits.size(); i++)
    EXPECT_EQ(hex_digit_value(digits[i]), values[i]);
  for (int c : {int('g'), int('G'), int(' '), int('%'), int('/'), int(':'), int('@'), int('`'), 0})
    EXPECT_EQ(hex_digit_value(c), -1);
}

TEST(Params, TextTrim)
{
  struct {
    const char *in, *out;
  } cases[] = {{"  \r\n", ""}, {"", ""}, {" \tab c\r\n", "ab c"}, {"x", "x"}};
  for (const auto &c : cases) {
    std::string buf = c.in;
    EXPECT_STREQ(text_trim(buf.data()), c.out);
  }
}

// Runs upload_read_file over a body written into a pipe.
struct Upload {
  long rc;
  int err;
  std::string data;
};

Upload upload(const std::string &type, const std::string &body, const char *length = nullptr)
{
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], body.data(), body.size()), static_cast<ssize_t>(body.size()));
  close(fds[1]);
  std::string len = length ? length : std::to_string(body.size());
  char *data = nullptr;
  errno = 0;
  Upload u;
  u.rc = upload_read_file(type.empty() ? nullptr : type.c_str(), len.c_str(), &data, fds[0]);
  u.err = errno;
  close(fds[0]);
  if (u.rc >= 0) {
    u.data.assign(data, static_cast<size_t>(u.rc));
    std::free(data);
  }
  return u;
}

const std::string kType = "multipart/form-data; boundary=XyZ";

std::string part(const std::string &name, const std::string &content)
{
  return "--XyZ\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"a.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content;
}

TEST(Upload, FileDataBetweenDelimiters)
{
  params_reset();
  std::string data("PNG\0\x01\x02 bytes", 12);
  Upload u = upload(kType, part("filedata", data) + "\r\n--XyZ--\r\n");
  ASSERT_EQ(u.rc, 12);
  EXPECT_EQ(u.data, data);
  EXPECT_EQ(get("k"), "<none>");
}

TEST(Upload, LineEndsBeforeTheDelimiter)
{
  struct {
    const char *tail;
    const char *data;
  } cases[] = {
      {"abc\r\n--XyZ--", "abc"},
      {"abc\n--XyZ--", "abc\n"},   // a lone LF stays
      {"abc\r--XyZ--", "abc\r"},   // a lone CR stays
      {"abc\n\n--XyZ--", "abc"},   // two line-end bytes of any kind go
      {"abc", "abc"},              // no closing delimiter: to the end
      {"\r\n--XyZ--", ""},
  };
  for (const auto &c : cases) {
    Upload u = upload(kType, part("filedata", c.tail));
    EXPECT_EQ(u.data, c.data) << c.tail;
  }
}

TEST(Upload, KeyPartBeforeTheFile)
{
  params_reset();
  std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\n12345\r\n" +
                     part("filedata", "DATA") + "\r\n--XyZ--\r\n";
  Upload u = upload(kType, body);
  EXPECT_EQ(u.data, "DATA");
  EXPECT_EQ(get("k"), "12345");

  params_reset();
  body = part("filedata", "DATA") + "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\n999\r\n--XyZ--";
  u = upload(kType, body);
  EXPECT_EQ(u.data, "DATA");
  EXPECT_EQ(get("k"), "<none>");

  params_reset();  // unquoted k, and a digit run longer than the key buffer
  body = "--XyZ\r\nContent-Disposition: form-data; name=k\r\n\r\nx" + std::string(200, '7') + "\r\n" +
         part("filedata", "D") + "\r\n--XyZ--";
  u = upload(kType, body);
  EXPECT_EQ(u.data, "D");
  EXPECT_EQ(get("k"), std::string(127, '7'));
  params_reset();
}

TEST(Upload, RefusedWith400)
{
  const std::string good = part("filedata", "abc") + "\r\n--XyZ--";
  struct {
    const char *why;
    std::string type, body;
    const char *length;
  } cases[] = {
      {"no type", "", good, nullptr},
      {"length 0", kType, good, "0"},
      {"length too big", kType, good, "5242881"},
      {"no separator", "multipart/form-data", good, nullptr},
      {"other media", "text/plain; boundary=XyZ", good, nullptr},
      {"no boundary", "multipart/form-data; charset=x", good, nullptr},
      {"empty boundary", "multipart/form-data; boundary=", good, nullptr},
      {"quoted boundary", "multipart/form-data; boundary=\"XyZ\"", good, nullptr},
      {"no file part", kType, part("other", "abc") + "\r\n--XyZ--", nullptr},
      {"filename before name", kType,
       "--XyZ\r\nContent-Disposition: form-data; filename=\"x\"; name=\"filedata\"\r\n\r\nabc\r\n--XyZ--",
       nullptr},
      {"not form-data", kType, "--XyZ\r\nContent-Disposition: attachment; name=\"filedata\"\r\n\r\nabc",
       nullptr},
      {"headers never end", kType, "--XyZ\r\nContent-Disposition: form-data; name=\"filedata\"\r\n",
       nullptr},
      {"body not longer than the delimiter", kType, "--XyZ", nullptr},
  };
  for (const auto &c : cases) {
    Upload u = upload(c.type, c.body, c.length);
    EXPECT_EQ(u.rc, -1) << c.why;
    EXPECT_EQ(u.err, 400) << c.why;
  }
}

TEST(Upload, TypeVariants)
{
  for (const char *type : {"Multipart/Form-Data ; Boundary=XyZ", "multipart/form-data, boundary=XyZ",
                           "multipart/form-data; charset=utf-8; boundary=XyZ  "}) {
    Upload u = upload(type, part("filedata", "abc") + "\r\n--XyZ--");
    EXPECT_EQ(u.data, "abc") << type;
  }
  // Upper-case FILEDATA unquoted is the file part too.
  Upload u = upload(kType, "--XyZ\r\ncontent-disposition: FORM-DATA ;name=FILEDATA\r\n\r\nxy\r\n--XyZ--");
  EXPECT_EQ(u.data, "xy");
  // A delimiter is only looked for where more than its length remains: one
  // that ends the body exactly is data.
  u = upload(kType, "--XyZ\r\nContent-Disposition: form-data; name=filedata\r\n\r\nxy\r\n--XyZ");
  EXPECT_EQ(u.data, "xy\r\n--XyZ");
}

TEST(Upload, ReadsAtMostLengthPlusOne)
{
  std::string body = part("filedata", "abcdefgh");
  Upload u = upload(kType, body + "tail beyond the length", std::to_string(body.size()).c_str());
  EXPECT_EQ(u.data, "abcdefgh" + std::string("t"));
}

TEST(Upload, ContentChecks)
{
  const std::string jpeg = "\xFF\xD8xxxxxxxx";
  EXPECT_TRUE(upload_is_jpeg(jpeg.data(), 10));
  EXPECT_FALSE(upload_is_jpeg(jpeg.data(), 9));
  EXPECT_FALSE(upload_is_jpeg("\xFF\xD9xxxxxxxx", 10));
  const char png[] = "\x89PNG\r\n\x1a\n";
  EXPECT_TRUE(upload_is_png(png, 8));
  EXPECT_FALSE(upload_is_png(png, 7));
  EXPECT_TRUE(upload_is_gif("GIF89a", 6));
  EXPECT_TRUE(upload_is_gif("GIF", 3));
  EXPECT_FALSE(upload_is_gif("GI", 2));
  const char sqlite[] = "SQLite format 3\0rest";
  EXPECT_TRUE(upload_is_sqlite(sqlite, sizeof sqlite));
  EXPECT_TRUE(upload_is_sqlite("SQLite f", 8));
  EXPECT_FALSE(upload_is_sqlite("SQLite format 4", 15));
  EXPECT_FALSE(upload_is_sqlite("SQLite format 3x", 16));
}

}  // namespace
