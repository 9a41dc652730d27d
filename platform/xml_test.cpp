// XML helpers: tag-table dispatch over texts and channels, escaping, the
// attribute walker and the settings-file reader.
#include "uds.h"
#include "uds_testing.h"
#include "xmlhelpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Every handler appends "tag(name=value,...)" to `calls`.
std::vector<std::string> calls;

std::string describe(const char *tag, const char **attrs)
{
  std::string s = std::string(tag) + "(";
  for (size_t i = 0; attrs[i] != nullptr; i += 2) {
    if (i > 0)
      s += ",";
    s += std::string(attrs[i]) + "=" + attrs[i + 1];
  }
  return s + ")";
}

int on_a(xml_channel *, const char **attrs)
{
  calls.push_back(describe("a", attrs));
  return 0;
}
int on_b(xml_channel *, const char **attrs)
{
  calls.push_back(describe("b", attrs));
  return 0;
}
int on_fail(xml_channel *, const char **attrs)
{
  calls.push_back(describe("fail", attrs));
  return -7;
}
int on_fail2(xml_channel *, const char **attrs)
{
  calls.push_back(describe("fail2", attrs));
  return -9;
}
// One handler for several rows: it names itself by its row's context.
int on_context(xml_channel *ch, const char **attrs)
{
  const char *context = static_cast<const char *>(ch->context);
  calls.push_back(describe(context ? context : "no context", attrs));
  return 0;
}

const xml_tag tags[] = {
    {"a", on_a, nullptr},
    {"b", on_b, nullptr},
    {"fail", on_fail, nullptr},
    {"fail2", on_fail2, nullptr},
    {"ctx1", on_context, "first"},
    {"ctx2", on_context, "second"},
    {"ctx0", on_context, nullptr},
};
const xml_tag_table table = {sizeof tags / sizeof tags[0], tags};

// A channel reading a text in pieces of `step` bytes.
struct TextSource {
  std::string text;
  size_t pos = 0;
  size_t step = 7;
  bool fail_at_end = false;  // the read fails instead of reporting the end
};

ssize_t text_read(void *ctx, void *buf, size_t size)
{
  auto *src = static_cast<TextSource *>(ctx);
  size_t left = src->text.size() - src->pos;
  if (left == 0 && src->fail_at_end) {
    errno = EIO;
    return -1;
  }
  size_t n = left < size ? left : size;
  if (n > src->step)
    n = src->step;
  std::memcpy(buf, src->text.data() + src->pos, n);
  src->pos += n;
  return static_cast<ssize_t>(n);
}

int parse_channel(const std::string &text, size_t step = 7, bool fail_at_end = false,
                  int (*parse)(xml_channel *) = helpers_xml_parse)
{
  TextSource src{text, 0, step, fail_at_end};
  xml_channel ch = {&table, text_read, &src, nullptr, nullptr, nullptr};
  return parse(&ch);
}

int parse_string(const std::string &text)
{
  xml_channel ch = {&table, nullptr, nullptr, nullptr, nullptr, nullptr};
  return helpers_xml_parse_string(&ch, text.data(), text.size());
}

enum Outcome { ZERO, NEGATIVE, FAIL7, FAIL9 };

struct DispatchCase {
  const char *name;
  const char *text;
  std::vector<std::string> calls;
  Outcome outcome;
};

const DispatchCase dispatch_cases[] = {
    {"one command", "<a id=\"1\" />", {"a(id=1)"}, ZERO},
    {"single quotes", "<a id='1' name='x y'/>", {"a(id=1,name=x y)"}, ZERO},
    {"entities decoded", "<a v=\"&lt;&amp;&quot;&apos;&gt;\"/>", {"a(v=<&\"'>)"}, ZERO},
    {"prolog", "<?xml version=\"1.0\"?>\n<a/>\n", {"a()"}, ZERO},
    {"grouping descended",
     "<settings>\n<mails>\n<a id=\"1\" />\n<b />\n</mails>\n<traps><a id=\"2\"/></traps>\n</settings>\n",
     {"a(id=1)", "b()", "a(id=2)"},
     ZERO},
    {"exact names only", "<r><ab/><A/><aa x='1'/><b_/></r>", {}, ZERO},
    {"nested tags both run", "<a id='1'><b id='2'/></a>", {"a(id=1)", "b(id=2)"}, ZERO},
    {"unknown command", "<nothing here='1' />", {}, ZERO},
    {"malformed after handlers", "<r><a id=\"1\"/><b></r>", {"a(id=1)", "b()"}, NEGATIVE},
    {"truncated inside a tag", "<r><a id=\"1\"/><b", {"a(id=1)"}, NEGATIVE},
    {"truncated inside a value", "<r><a id=\"1\"/><b x=\"", {"a(id=1)"}, NEGATIVE},
    {"unclosed root", "<r><a/>", {"a()"}, NEGATIVE},
    {"empty input", "", {}, NEGATIVE},
    {"text only", "hello", {}, NEGATIVE},
    {"junk after the command", "<a/>junk", {"a()"}, NEGATIVE},
    {"second root refused", "<a/><b/>", {"a()"}, NEGATIVE},
    {"document type refused", "<!DOCTYPE r [<!ENTITY e \"x\">]><r><a v='&e;'/></r>", {}, NEGATIVE},
    {"undefined entity", "<r><a/><b v='&nope;'/></r>", {"a()"}, NEGATIVE},
    {"handler result", "<r><fail/><a/></r>", {"fail()", "a()"}, FAIL7},
    {"first handler result wins", "<r><fail2/><fail/></r>", {"fail2()", "fail()"}, FAIL9},
    {"handler result before a fault", "<r><fail/><a/>", {"fail()", "a()"}, FAIL7},
    {"each row's context", "<r><ctx2 n='1'/><ctx1/><ctx0/><ctx2/></r>",
     {"second(n=1)", "first()", "no context()", "second()"}, ZERO},
    {"binary junk", "<r>\x01\xff</r>", {}, NEGATIVE},
};

void check(const DispatchCase &c, int r)
{
  EXPECT_EQ(calls, c.calls);
  switch (c.outcome) {
  case ZERO: EXPECT_EQ(r, 0); break;
  case NEGATIVE: EXPECT_LT(r, 0); break;
  case FAIL7: EXPECT_EQ(r, -7); break;
  case FAIL9: EXPECT_EQ(r, -9); break;
  }
}

TEST(XmlDispatch, OverText)
{
  for (const DispatchCase &c : dispatch_cases) {
    SCOPED_TRACE(c.name);
    calls.clear();
    check(c, parse_string(c.text));
  }
}

TEST(XmlDispatch, OverChannelInPieces)
{
  for (size_t step : {1, 3, 7, 4096}) {
    for (const DispatchCase &c : dispatch_cases) {
      SCOPED_TRACE(std::string(c.name) + " step " + std::to_string(step));
      calls.clear();
      check(c, parse_channel(c.text, step));
    }
  }
}

// A read function that claims more bytes than it was asked for.
ssize_t boastful_read(void *, void *buf, size_t size)
{
  std::memset(buf, ' ', size);
  std::memcpy(buf, "<a/>", 4);
  return static_cast<ssize_t>(size + 1);
}

TEST(XmlDispatch, ReadClaimingMoreThanAskedIsAFailure)
{
  xml_channel ch = {&table, boastful_read, nullptr, nullptr, nullptr, nullptr};
  calls.clear();
  EXPECT_EQ(helpers_xml_parse(&ch), -3);  // read failed; nothing of it parsed
  EXPECT_TRUE(calls.empty());
}

// Counts the elements named "a" without keeping anything per call.
size_t a_count = 0;
int count_a(xml_channel *, const char **)
{
  a_count++;
  return 0;
}
const xml_tag count_tags[] = {{"a", count_a, nullptr}};
const xml_tag_table count_table = {1, count_tags};

// An endless document: "<r>" and then "<a/>" for ever.
ssize_t endless_read(void *ctx, void *buf, size_t size)
{
  auto *pos = static_cast<size_t *>(ctx);
  char *out = static_cast<char *>(buf);
  for (size_t i = 0; i < size; i++, ++*pos)
    out[i] = *pos < 3 ? "<r>"[*pos] : "<a/>"[(*pos - 3) % 4];
  return static_cast<ssize_t>(size);
}

// A connection's command: the first handled element runs, nothing after it;
// the result is that handler's. Input without one ends as a whole parse does.
TEST(XmlDispatch, CommandRunsTheFirstHandledElementOnly)
{
  for (size_t step : {1, 7, 4096}) {
    for (DispatchCase c : dispatch_cases) {
      SCOPED_TRACE(std::string(c.name) + " step " + std::to_string(step));
      if (!c.calls.empty()) {
        c.calls.resize(1);
        c.outcome = c.calls[0] == "fail()" ? FAIL7 : c.calls[0] == "fail2()" ? FAIL9 : ZERO;
      }
      calls.clear();
      check(c, parse_channel(c.text, step, false, helpers_xml_parse_command));
    }
  }
  // The rest of the request is not even read.
  size_t pos = 0;
  a_count = 0;
  xml_channel ch = {&count_table, endless_read, &pos, nullptr, nullptr, nullptr};
  EXPECT_EQ(helpers_xml_parse_command(&ch), 0);
  EXPECT_EQ(a_count, 1u);
  EXPECT_LE(pos, 4096u);
}

TEST(XmlDispatch, ReadFailureIsNegativeAfterEarlierHandlers)
{
  calls.clear();
  EXPECT_LT(parse_channel("<r><a/>", 7, true), 0);
  EXPECT_EQ(calls, std::vector<std::string>{"a()"});
  xml_channel no_read = {&table, nullptr, nullptr, nullptr, nullptr, nullptr};
  EXPECT_LT(helpers_xml_parse(&no_read), 0);
  EXPECT_LT(helpers_xml_parse(nullptr), 0);
}

TEST(XmlDispatch, NoTableRunsNothing)
{
  xml_channel ch = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  calls.clear();
  EXPECT_EQ(helpers_xml_parse_string(&ch, "<a/>", 4), 0);
  EXPECT_TRUE(calls.empty());
}

// A channel (a settings file replayed at start) may be far longer than one
// socket request and is read whole; an endless one stops at the channel
// limit and counts as truncated.
TEST(XmlDispatch, ChannelIsReadUpToTheChannelLimit)
{
  std::string element = "<a/>";
  std::string text = "<r>";
  while (text.size() < 4 * UDS_MAX_REQUEST)
    text += element;
  text += "</r>";
  size_t count = (text.size() - 7) / element.size();
  calls.clear();
  EXPECT_EQ(parse_channel(text, 4096), 0);
  EXPECT_EQ(calls.size(), count);

  size_t pos = 0;
  a_count = 0;
  xml_channel ch = {&count_table, endless_read, &pos, nullptr, nullptr, nullptr};
  EXPECT_LT(helpers_xml_parse(&ch), 0);
  EXPECT_EQ(pos, XML_CHANNEL_MAX);
  EXPECT_EQ(a_count, (XML_CHANNEL_MAX - 3) / element.size());

  // A text is not limited.
  calls.clear();
  EXPECT_EQ(parse_string(text), 0);
  EXPECT_EQ(calls.size(), count);
}

TEST(XmlKeyFind, Table)
{
  const char *attrs[] = {"id", "5", "name", "x", "empty", "", nullptr};
  struct {
    const char *name;
    const char *value;
  } cases[] = {{"id", "5"}, {"name", "x"}, {"empty", ""}, {"nam", nullptr}, {"names", nullptr},
               {"ID", nullptr}, {"5", nullptr}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    const char *v = key_find(attrs, c.name);
    if (c.value == nullptr)
      EXPECT_EQ(v, nullptr);
    else
      EXPECT_STREQ(v, c.value);
  }
  const char *none[] = {nullptr};
  EXPECT_EQ(key_find(none, "id"), nullptr);
  EXPECT_EQ(key_find(nullptr, "id"), nullptr);
  EXPECT_EQ(key_find(attrs, nullptr), nullptr);
}

TEST(XmlName, EscapesAndCutsAtWholeEntities)
{
  struct Case {
    const char *text;
    size_t size;
    const char *out;
  } cases[] = {
      {"plain", 64, "plain"},
      {"a&b", 64, "a&amp;b"},
      {"<>\"'", 64, "&lt;&gt;&quot;&apos;"},
      {"a&b", 8, "a&amp;b"},
      {"a&b", 7, "a&amp;"},
      {"a&b", 6, "a"},
      {"a&b", 5, "a"},
      {"'", 6, ""},
      {"'", 7, "&apos;"},
      {"abc", 1, ""},
      {"abc", 3, "ab"},
      {"\xc3\xa9t\xc3\xa9", 3, "\xc3\xa9"},            // é is 2 bytes
      {"\xc3\xa9t\xc3\xa9", 5, "\xc3\xa9t"},
      {"\xe2\x82\xac!", 3, ""},                         // € is 3 bytes
      {"\xe2\x82\xac!", 4, "\xe2\x82\xac"},
      {"\xf0\x9f\x98\x80x", 4, ""},                     // 4-byte character
      {"\xf0\x9f\x98\x80x", 5, "\xf0\x9f\x98\x80"},
      {"", 4, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " in " + std::to_string(c.size));
    std::vector<char> region(c.size + 32, '\x5a');
    char *dest = region.data() + 16;
    EXPECT_EQ(helpers_xml_name(c.text, dest, c.size), dest);
    EXPECT_STREQ(dest, c.out);
    for (size_t i = 0; i < 16; i++) {
      EXPECT_EQ(region[i], '\x5a');
      EXPECT_EQ(region[16 + c.size + i], '\x5a');
    }
  }
  char small[4] = "xyz";
  EXPECT_STREQ(helpers_xml_name(nullptr, small, sizeof small), "");
  EXPECT_EQ(helpers_xml_name("abc", small, 0), small);
  EXPECT_STREQ(small, "");
}

// The escaped text reads back as the original inside a double-quoted value.
TEST(XmlName, RoundTripsThroughTheParser)
{
  const char *text = "Tom & \"Jerry\" <it's> \xc3\xa9";
  char escaped[256];
  helpers_xml_name(text, escaped, sizeof escaped);
  std::string doc = std::string("<a v=\"") + escaped + "\"/>";
  calls.clear();
  EXPECT_EQ(parse_string(doc), 0);
  EXPECT_EQ(calls, std::vector<std::string>{std::string("a(v=") + text + ")"});
}

struct Param {
  std::string name, value;
};

std::vector<Param> walk(const char *text, char quote, size_t name_size = 64, size_t value_size = 64)
{
  std::vector<Param> out;
  const char *cursor = text;
  std::vector<char> name(name_size + 1), value(value_size + 1);
  for (int guard = 0; guard < 100; guard++) {
    const char *before = cursor;
    if (zunutils_xml_get_param(&cursor, name.data(), name_size, value.data(), value_size, quote) != 0)
      break;
    EXPECT_GT(cursor, before);  // the cursor always moves on
    out.push_back({name.data(), value.data()});
  }
  return out;
}

bool operator==(const Param &a, const Param &b) { return a.name == b.name && a.value == b.value; }

TEST(XmlGetParam, Table)
{
  struct Case {
    const char *text;
    char quote;
    std::vector<Param> params;
  } cases[] = {
      {"<getelement id=\"5\" name='x y' empty=\"\" />", 0, {{"id", "5"}, {"name", "x y"}, {"empty", ""}}},
      {"<getelement id=\"5\" name='x y' empty=\"\" />", '"', {{"id", "5"}, {"empty", ""}}},
      {"<getelement id=\"5\" name='x y' empty=\"\" />", '\'', {{"name", "x y"}}},
      {" a = \"1\"\tb=\n'2' ", 0, {{"a", "1"}, {"b", "2"}}},
      {"x=\"a'b\" y='c\"d'", 0, {{"x", "a'b"}, {"y", "c\"d"}}},
      {"bare u=v c=\"d\"", 0, {{"c", "d"}}},
      {"k=\"never closed", 0, {}},
      {"a=\"1\" k=\"never closed", 0, {{"a", "1"}}},
      {"skip='x=\"1\"' real=\"2\"", '"', {{"real", "2"}}},
      // Quoted text that belongs to no attribute is stepped over whole.
      {"\"id='9'\" name='x'", 0, {{"name", "x"}}},
      {"<e>'a=\"1\"'</e> b=\"2\"", 0, {{"b", "2"}}},
      {"<error type=\"no error\" />", 0, {{"type", "no error"}}},
      {"ns:attr=\"1\" data-x=\"2\"", 0, {{"ns:attr", "1"}, {"data-x", "2"}}},
      {"", 0, {}},
      {"<none/>", 0, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " quote " + (c.quote ? std::string(1, c.quote) : "any"));
    EXPECT_EQ(walk(c.text, c.quote), c.params);
  }
}

TEST(XmlGetParam, CutsNameAndValueToTheirSizes)
{
  std::vector<Param> got = walk("longname=\"123456\" b=\"\xc3\xa9\xc3\xa9\"", 0, 5, 4);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].name, "long");
  EXPECT_EQ(got[0].value, "123");
  EXPECT_EQ(got[1].value, "\xc3\xa9");  // no half character
  const char *cursor = nullptr;
  char n[8], v[8];
  EXPECT_NE(zunutils_xml_get_param(&cursor, n, sizeof n, v, sizeof v, 0), 0);
  EXPECT_NE(zunutils_xml_get_param(nullptr, n, sizeof n, v, sizeof v, 0), 0);
}

class ConfRead : public ::testing::Test {
protected:
  zunt::TempRoot root;
  void write(const char *rel, const std::string &content)
  {
    FILE *f = std::fopen(root.file(rel).c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }
  int read(const char *path, std::string &out, size_t size = 256, const char *separator = " ")
  {
    std::vector<char> buf(size + 16, '\x5a');
    buf[0] = 'x';
    conf_read rec = {"<language", separator, ">", buf.data(), size};
    int r = helpers_conf_read(&rec, path);
    for (size_t i = size; i < buf.size(); i++)
      EXPECT_EQ(buf[i], '\x5a');
    out = buf.data();
    return r;
  }
};

TEST_F(ConfRead, Table)
{
  struct Case {
    const char *content;
    int result;
    const char *out;
  } cases[] = {
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<language name=\"English\" code=\"en\">\n<t k=\"a\"/>\n</language>\n",
       0, "name=\"English\" code=\"en\""},
      {"<languages>\n<language name='Deutsch'>\n</language></languages>", 0, "name='Deutsch'"},
      {"<language>\n</language>", 0, ""},
      {"<language name=\"a>b\" />", 0, "name=\"a>b\""},
      {"<language name='a>b' x=\"1\">", 0, "name='a>b' x=\"1\""},
      {"<languages lang=\"x\"/><language name=\"y\"/>", 0, "name=\"y\""},
      {"<languages name=\"x\"/>", -1, ""},
      {"<language name=\"x\"/>", 0, "name=\"x\""},
      {"<other name=\"x\"/>", -1, ""},
      {"<language name=\"never ends\"", -1, ""},
      {"", -1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content);
    write("/tmp/lang.xml", c.content);
    std::string out;
    EXPECT_EQ(read("/tmp/lang.xml", out), c.result);
    EXPECT_EQ(out, c.out);
  }
}

// Without a separator only an element with no attributes follows start with
// end: a longer name that merely begins with start is never taken.
TEST_F(ConfRead, NoSeparatorTakesNoLongerName)
{
  struct Case {
    const char *separator;
    const char *content;
    int result;
    const char *out;
  } cases[] = {
      {"", "<languages name=\"x\"/>", -1, ""},
      {nullptr, "<languages name=\"x\"/>", -1, ""},
      {"", "<languages name=\"x\"/><language>", 0, ""},
      {"", "<language name=\"x\">", -1, ""},
      {"\t", "<languages\tname=\"x\"/><language\tname=\"y\"/>", 0, "name=\"y\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(!c.separator ? "null" : *c.separator ? c.separator : "empty") + " over " +
                 c.content);
    write("/tmp/lang.xml", c.content);
    std::string out;
    EXPECT_EQ(read("/tmp/lang.xml", out, 256, c.separator), c.result);
    EXPECT_EQ(out, c.out);
  }
}

TEST_F(ConfRead, CutsToTheBufferAndMissingFileIsEmpty)
{
  write("/tmp/lang.xml", "<language name=\"" + std::string(1000, 'n') + "\">");
  std::string out;
  EXPECT_EQ(read("/tmp/lang.xml", out, 16), 0);
  EXPECT_EQ(out, "name=\"nnnnnnnnn");
  EXPECT_EQ(read("/tmp/missing.xml", out), -1);
  EXPECT_EQ(out, "");
  // The path is read under the root, as written by the caller.
  write("/tmp/lang.xml", "<language a='1'>");
  EXPECT_EQ(read(("/tmp/" + std::string("lang.xml")).c_str(), out), 0);
  EXPECT_EQ(out, "a='1'");
}

}  // namespace

// The attribute form escapes only what would end or break a double-quoted
// value, so ordinary stored texts come back byte for byte.
TEST(XmlAttr, EscapesOnlyWhatEndsTheAttribute)
{
  struct Case {
    const char *text;
    size_t size;
    const char *out;
  } cases[] = {
      {"O'Brien > 3", 64, "O'Brien > 3"},
      {"a&b<c\"d", 64, "a&amp;b&lt;c&quot;d"},
      {"ab\"", 8, "ab"},  // the entity does not fit whole
  };
  for (const Case &c : cases) {
    char dest[64];
    EXPECT_STREQ(helpers_xml_attr(c.text, dest, c.size), c.out) << c.text;
  }
  char escaped[64];
  helpers_xml_attr("Tom & \"Jerry\" <it's>", escaped, sizeof escaped);
  calls.clear();
  EXPECT_EQ(parse_string(std::string("<a v=\"") + escaped + "\"/>"), 0);
  EXPECT_EQ(calls, std::vector<std::string>{"a(v=Tom & \"Jerry\" <it's>)"});
}
