// XML helpers on Expat.
//
// Tag-table dispatch: a handler runs when the start tag of an element whose
// name equals one of the table's tags has been read, so the handler of a
// command answers and closes the connection while the parser is still inside
// the document. Everything else (the root of a settings file, grouping
// elements, unknown commands) is descended into and runs nothing.
//
// Result of a parse: the first non-zero handler result if there is one;
// otherwise 0 for well-formed input, and a negative XML_PARSE_* code for
// input that is malformed, truncated, longer than XML_CHANNEL_MAX or carries a
// document type declaration (commands and settings never do, and refusing it
// keeps entity expansion out of the daemons). Input that holds no element of
// the table and is well formed gives 0.
#include "xmlhelpers.h"
#include "zun_fault.h"
#include "zun_text.h"

#include "uds.h"
#include "zun_path.h"
#include "zunutils.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <expat.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace {

enum : int {
  XML_PARSE_MALFORMED = -2,  // not well formed, or truncated
  XML_PARSE_READ = -3,       // the channel's read failed
  XML_PARSE_NO_MEMORY = -4,
};

struct ParseState {
  xml_channel *ch;
  XML_Parser parser;
  int handler_result = 0;  // first non-zero handler result
  bool first_only = false;  // a connection's command: one handler at most
  bool done = false;        // the parser was stopped after that handler
};

void XMLCALL on_start(void *data, const XML_Char *name, const XML_Char **attrs)
{
  auto *st = static_cast<ParseState *>(data);
  const xml_tag_table *table = st->ch->table;
  if (table == nullptr || table->tags == nullptr)
    return;
  for (size_t i = 0; i < table->count; i++) {
    const xml_tag &tag = table->tags[i];
    if (tag.name == nullptr || tag.handler == nullptr || std::strcmp(tag.name, name) != 0)
      continue;
    st->ch->context = tag.context;
    ZunFaultScope scope(tag.name);  // a test may make this command's calls fail
    int r = tag.handler(st->ch, attrs);
    if (r != 0 && st->handler_result == 0)
      st->handler_result = r;
    if (st->first_only) {
      st->done = true;
      XML_StopParser(st->parser, XML_FALSE);
    }
    return;
  }
}

void XMLCALL on_doctype(void *data, const XML_Char *, const XML_Char *, const XML_Char *, int)
{
  auto *st = static_cast<ParseState *>(data);
  XML_StopParser(st->parser, XML_FALSE);
}

// A parser kept by each thread between parses and reset for the next one: a
// daemon's command then costs no parser allocation, and the salt of Expat's
// hash tables is drawn from the kernel once per thread instead of once per
// parse. A parse inside a handler's parse finds none kept and makes its own.
struct KeptParser {
  XML_Parser parser = nullptr;
  unsigned long salt = 0;
  ~KeptParser()
  {
    if (parser != nullptr)
      XML_ParserFree(parser);
  }
};
thread_local KeptParser kept;

// One Expat parser with our handlers, handed back to the thread (or freed)
// with its owner.
class Parser {
public:
  explicit Parser(xml_channel *ch, bool first_only = false)
  {
    st_.ch = ch;
    st_.first_only = first_only;
    p_ = std::exchange(kept.parser, nullptr);
    if (p_ != nullptr && XML_ParserReset(p_, nullptr) != XML_TRUE) {
      XML_ParserFree(p_);
      p_ = nullptr;
    }
    if (p_ == nullptr)
      p_ = XML_ParserCreate(nullptr);
    st_.parser = p_;
    if (p_ == nullptr)
      return;
    if (kept.salt == 0)  // never 0, which would have Expat draw one per parse
      kept.salt = ((static_cast<unsigned long>(zunutils_random_uint()) << 31) ^ zunutils_random_uint()) | 1;
    XML_SetHashSalt(p_, kept.salt);
    XML_SetUserData(p_, &st_);
    XML_SetStartElementHandler(p_, on_start);
    XML_SetStartDoctypeDeclHandler(p_, on_doctype);
  }
  ~Parser()
  {
    if (p_ == nullptr)
      return;
    if (kept.parser == nullptr)
      kept.parser = p_;
    else
      XML_ParserFree(p_);
  }
  Parser(const Parser &) = delete;
  Parser &operator=(const Parser &) = delete;

  XML_Parser get() const { return p_; }
  // True once the one command of a connection has run: the rest is not read.
  bool done() const { return st_.done; }
  int result(int parse_status) const
  {
    if (st_.handler_result != 0)
      return st_.handler_result;
    return parse_status;
  }

private:
  XML_Parser p_ = nullptr;
  ParseState st_{};
};

bool is_name_start(unsigned char c)
{
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool is_name_char(unsigned char c)
{
  return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

namespace {

int parse_channel(xml_channel *ch, bool first_only)
{
  if (ch == nullptr || ch->read == nullptr)
    return XML_PARSE_READ;
  Parser parser(ch, first_only);
  XML_Parser p = parser.get();
  if (p == nullptr)
    return XML_PARSE_NO_MEMORY;
  constexpr size_t chunk = 4096;
  size_t total = 0;
  for (;;) {
    void *buf = XML_GetBuffer(p, chunk);
    if (buf == nullptr)
      return parser.result(XML_PARSE_NO_MEMORY);
    size_t want = XML_CHANNEL_MAX - total;
    if (want > chunk)
      want = chunk;
    ssize_t n = 0;
    if (want > 0) {
      do
        n = ch->read(ch->read_ctx, buf, want);
      while (n < 0 && errno == EINTR);
      if (n < 0)
        return parser.result(XML_PARSE_READ);
      if (static_cast<size_t>(n) > want)
        return parser.result(XML_PARSE_READ);  // a read that claims more than asked
    }
    total += static_cast<size_t>(n);
    // The end of input, or the channel limit: what has come is all there is.
    bool final = n == 0;
    if (XML_ParseBuffer(p, static_cast<int>(n), final) != XML_STATUS_OK)
      return parser.result(parser.done() ? 0 : XML_PARSE_MALFORMED);
    if (final)
      return parser.result(0);
  }
}

}  // namespace

int helpers_xml_parse(xml_channel *ch)
{
  return parse_channel(ch, false);
}

int helpers_xml_parse_command(xml_channel *ch)
{
  return parse_channel(ch, true);
}

int helpers_xml_parse_string(xml_channel *ch, const char *text, size_t len)
{
  if (ch == nullptr || (text == nullptr && len > 0))
    return XML_PARSE_MALFORMED;
  Parser parser(ch);
  XML_Parser p = parser.get();
  if (p == nullptr)
    return XML_PARSE_NO_MEMORY;
  constexpr size_t piece = 1 << 20;  // Expat takes an int length
  do {
    size_t n = len < piece ? len : piece;
    bool final = n == len;
    if (XML_Parse(p, text, static_cast<int>(n), final) != XML_STATUS_OK)
      return parser.result(XML_PARSE_MALFORMED);
    text += n;
    len -= n;
  } while (len > 0);
  return parser.result(0);
}

const char *key_find(const char **attrs, const char *name)
{
  if (attrs == nullptr || name == nullptr)
    return nullptr;
  for (size_t i = 0; attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2)
    if (std::strcmp(attrs[i], name) == 0)
      return attrs[i + 1];
  return nullptr;
}

// The entity for a character that must be escaped, or null.
static const char *xml_entity(char c, bool minimal)
{
  switch (c) {
  case '&': return "&amp;";
  case '<': return "&lt;";
  case '"': return "&quot;";
  case '>': return minimal ? nullptr : "&gt;";
  case '\'': return minimal ? nullptr : "&apos;";
  default: return nullptr;
  }
}

// Escapes text into dest; `minimal` leaves '>' and '\'' as they are.
static char *xml_escape(const char *text, char *dest, size_t size, bool minimal)
{
  if (dest == nullptr || size == 0)
    return dest;
  size_t len = 0;
  dest[0] = '\0';
  if (text == nullptr)
    return dest;
  for (const char *s = text; *s != '\0';) {
    const char *piece = xml_entity(*s, minimal);
    size_t n;
    if (piece != nullptr) {
      n = std::strlen(piece);
    } else {
      piece = s;
      n = utf8_seq_len(static_cast<unsigned char>(*s));
      for (size_t k = 1; k < n; k++)
        if (s[k] == '\0') {  // a sequence cut short by the end of the text
          n = k;
          break;
        }
    }
    if (len + n > size - 1)
      break;  // the entity or character does not fit whole
    std::memcpy(dest + len, piece, n);
    len += n;
    s += piece == s ? n : 1;
  }
  dest[len] = '\0';
  return dest;
}

char *helpers_xml_name(const char *text, char *dest, size_t size)
{
  return xml_escape(text, dest, size, false);
}

char *helpers_xml_attr(const char *text, char *dest, size_t size)
{
  return xml_escape(text, dest, size, true);
}

int helpers_conf_read(conf_read *rec, const char *path)
{
  if (rec == nullptr)
    return -1;
  if (rec->out != nullptr && rec->size > 0)
    rec->out[0] = '\0';
  if (path == nullptr || rec->start == nullptr || rec->start[0] == '\0' || rec->end == nullptr ||
      rec->end[0] == '\0')
    return -1;
  const char *sep = rec->separator != nullptr ? rec->separator : "";

  // The element sits at the head of the file; a bounded read keeps a large
  // or endless file from costing more.
  std::string mapped = zunpath(path);
  int fd = ::open(mapped.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  std::string text;
  char chunk[4096];
  while (text.size() < UDS_MAX_REQUEST) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  if (text.size() > UDS_MAX_REQUEST)
    text.resize(UDS_MAX_REQUEST);

  std::string_view all(text);
  std::string_view start(rec->start), separator(sep), end(rec->end);
  for (size_t at = all.find(start); at != std::string_view::npos; at = all.find(start, at + 1)) {
    std::string_view rest = all.substr(at + start.size());
    size_t from;
    if (rest.substr(0, end.size()) == end) {
      from = 0;  // the element has no attributes
    } else if (!separator.empty() && rest.substr(0, separator.size()) == separator) {
      from = separator.size();
    } else {
      continue;  // a longer name that merely begins with start ("<languages")
    }
    // The end text counts outside quoted values only.
    char quote = 0;
    size_t i = from;
    for (; i < rest.size(); i++) {
      char c = rest[i];
      if (quote != 0) {
        if (c == quote)
          quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (rest.substr(i, end.size()) == end) {
        break;
      }
    }
    if (i >= rest.size())
      return -1;  // the element never ends
    size_t stop = i;
    while (stop > from && (is_space(static_cast<unsigned char>(rest[stop - 1])) || rest[stop - 1] == '/'))
      stop--;  // the blank and slash of an empty-element tag belong to no attribute
    while (from < stop && is_space(static_cast<unsigned char>(rest[from])))
      from++;
    utf8_copy(rec->out, rec->size, rest.data() + from, stop - from);
    return 0;
  }
  return -1;
}

int zunutils_xml_get_param(const char **cursor, char *name, size_t name_size, char *value,
                           size_t value_size, char quote)
{
  if (cursor == nullptr || *cursor == nullptr)
    return -1;
  const char *s = *cursor;
  while (*s != '\0') {
    if (*s == '"' || *s == '\'') {  // a stray quoted text: step over it whole
      const char *close = std::strchr(s + 1, *s);
      if (close == nullptr)
        break;
      s = close + 1;
      continue;
    }
    if (!is_name_start(static_cast<unsigned char>(*s))) {
      s++;
      continue;
    }
    const char *name_begin = s;
    while (is_name_char(static_cast<unsigned char>(*s)))
      s++;
    const char *name_end = s;
    const char *t = s;
    while (is_space(static_cast<unsigned char>(*t)))
      t++;
    if (*t != '=')
      continue;  // an element name or a bare word
    t++;
    while (is_space(static_cast<unsigned char>(*t)))
      t++;
    char q = *t;
    if (q != '"' && q != '\'') {
      s = t;  // an unquoted value is no attribute
      continue;
    }
    const char *close = std::strchr(t + 1, q);
    if (close == nullptr)
      break;  // the value never ends
    if (quote != 0 && q != quote) {
      s = close + 1;  // quoted the other way: not what the caller reads
      continue;
    }
    utf8_copy(name, name_size, name_begin, static_cast<size_t>(name_end - name_begin));
    utf8_copy(value, value_size, t + 1, static_cast<size_t>(close - (t + 1)));
    *cursor = close + 1;
    return 0;
  }
  *cursor = s + std::strlen(s);
  return 1;
}
