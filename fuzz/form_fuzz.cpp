// Fuzz target for the request parameters: the form splitter over a query
// string or body, the look-up by name, and the decoder and trimmer that
// handlers run over values.
#include "params.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

const char *const names[] = {"querytype", "k", "QueryType", "", "a", "true"};

// Decoding never lengthens a text and always leaves it terminated.
void check_decode(const char *text)
{
  std::string copy(text);
  size_t before = copy.size();
  url_decode(copy.data());
  if (std::strlen(copy.c_str()) > before)
    std::abort();
}

// Trimming returns a pointer inside the text with no blank at either end.
void check_trim(const char *text)
{
  std::string copy(text);
  char *t = text_trim(copy.data());
  if (t < copy.data() || t > copy.data() + copy.size())
    std::abort();
  size_t n = std::strlen(t);
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  if (n > 0 && (blank(t[0]) || blank(t[n - 1])))
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string text(reinterpret_cast<const char *>(data), size);  // NUL-terminated copy
  std::string original(text.c_str());
  params_parse_form(text.data());

  // Every entry points into the text (or is the value of a pair without
  // '='), and a name is found again by param_get.
  const char *first = text.data();
  const char *last = first + text.size();
  size_t count = 0;
  for (param_entry *e = params_head(); e != nullptr; e = e->next) {
    if (e->name < first || e->name > last || e->value == nullptr)
      std::abort();
    if (param_get(e->name) == nullptr)
      std::abort();
    if (++count > original.size())
      std::abort();  // at most one entry per byte of the text
  }
  for (const char *name : names) {
    const char *v = param_get(name);
    if (v != nullptr)
      check_decode(v);
  }

  // The decoder and trimmer over the whole text and over each value.
  check_decode(original.c_str());
  check_trim(original.c_str());
  for (param_entry *e = params_head(); e != nullptr; e = e->next) {
    check_decode(e->value);
    check_trim(e->value);
  }

  params_reset();
  if (params_head() != nullptr)
    std::abort();
  return 0;
}
