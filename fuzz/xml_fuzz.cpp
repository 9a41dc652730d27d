// Fuzz target for the XML helpers that read outside input: tag-table
// dispatch over a text and a connection's one command, the attribute walker
// and the escaper.
#include "xmlhelpers.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Checks what a handler may rely on: names and values in pairs, each name
// found again by key_find.
int check_attrs(xml_channel *, const char **attrs)
{
  size_t i = 0;
  for (; attrs[i] != nullptr; i += 2) {
    if (attrs[i + 1] == nullptr)
      std::abort();
    if (key_find(attrs, attrs[i]) == nullptr)
      std::abort();
  }
  return 0;
}

int fails(xml_channel *ch, const char **attrs)
{
  check_attrs(ch, attrs);
  return -5;
}

const xml_tag tags[] = {
    {"a", check_attrs, nullptr},
    {"settings", check_attrs, nullptr},
    {"f", fails, nullptr},
};
const xml_tag_table table = {sizeof tags / sizeof tags[0], tags};

// A connection's command runs one handler at most.
int commands_run = 0;
int count_command(xml_channel *ch, const char **attrs)
{
  commands_run++;
  return check_attrs(ch, attrs);
}
const xml_tag command_tags[] = {{"a", count_command, nullptr}, {"f", count_command, nullptr}};
const xml_tag_table command_table = {sizeof command_tags / sizeof command_tags[0], command_tags};

// The text as a channel, in pieces of 7 bytes.
struct TextReader {
  const std::string &text;
  size_t pos = 0;
};
ssize_t read_text(void *ctx, void *buf, size_t size)
{
  auto *r = static_cast<TextReader *>(ctx);
  size_t n = std::min({size, size_t(7), r->text.size() - r->pos});
  std::memcpy(buf, r->text.data() + r->pos, n);
  r->pos += n;
  return static_cast<ssize_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size == 0)
    return 0;
  const char quotes[] = {0, '"', '\''};
  char quote = quotes[data[0] % 3];
  size_t out_size = 1 + data[0] / 3 % 64;
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

  xml_channel ch = {&table, nullptr, nullptr, nullptr, nullptr, nullptr};
  int r = helpers_xml_parse_string(&ch, text.data(), text.size());
  if (r > 0)
    std::abort();  // results are 0 or negative

  TextReader reader{text};
  xml_channel conn = {&command_table, read_text, &reader, nullptr, nullptr, nullptr};
  commands_run = 0;
  if (helpers_xml_parse_command(&conn) > 0 || commands_run > 1)
    std::abort();

  // The walker over the text as a C string: every step moves the cursor on
  // and stays inside the text.
  const char *cursor = text.c_str();
  const char *end = cursor + std::strlen(cursor);
  std::vector<char> name(out_size), value(out_size);
  while (zunutils_xml_get_param(&cursor, name.data(), name.size(), value.data(), value.size(),
                                quote) == 0) {
    if (cursor > end || std::strlen(name.data()) >= out_size || std::strlen(value.data()) >= out_size)
      std::abort();
  }

  // The escaper never writes past its size and always terminates.
  std::vector<char> escaped(out_size + 8, '\x5a');
  helpers_xml_name(text.c_str(), escaped.data(), out_size);
  if (std::strlen(escaped.data()) >= out_size)
    std::abort();
  for (size_t i = out_size; i < escaped.size(); i++)
    if (escaped[i] != '\x5a')
      std::abort();
  return 0;
}
