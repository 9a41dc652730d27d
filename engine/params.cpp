// Request parameters: split and decoded in place over the request text.
#include "params.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {
param_entry *g_head = nullptr;
char g_true[] = "true";  // the value of a pair without '='
}  // namespace

int hex_digit_value(int c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

char *url_decode(char *text)
{
  char *out = text;
  const char *in = text;
  while (*in != '\0') {
    if (*in == '+') {
      *out++ = ' ';
      in++;
    } else if (*in == '%' && hex_digit_value(in[1]) >= 0 && hex_digit_value(in[2]) >= 0) {
      *out++ = static_cast<char>(16 * hex_digit_value(in[1]) + hex_digit_value(in[2]));
      in += 3;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
  return text;
}

char *text_trim(char *text)
{
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (blank(*text))
    text++;
  size_t n = std::strlen(text);
  while (n > 0 && blank(text[n - 1]))
    text[--n] = '\0';
  return text;
}

void param_add(char *pair, bool decode)
{
  auto *entry = static_cast<param_entry *>(std::calloc(1, sizeof(param_entry)));
  if (entry == nullptr)
    return;
  entry->name = pair;
  char *eq = std::strchr(pair, '=');
  if (eq != nullptr) {
    *eq = '\0';
    entry->value = eq + 1;
  } else {
    entry->value = g_true;
  }
  if (decode) {
    if (entry->value != g_true)
      url_decode(entry->value);
    url_decode(entry->name);
  }
  entry->next = g_head;
  g_head = entry;
}

param_entry *params_parse_form(char *text)
{
  char *piece = text;
  for (;;) {
    char *amp = std::strchr(piece, '&');
    if (amp != nullptr)
      *amp = '\0';
    if (*piece != '\0')
      param_add(piece, true);
    if (amp == nullptr)
      break;
    piece = amp + 1;
  }
  return g_head;
}

char *param_get(const char *name)
{
  for (param_entry *e = g_head; e != nullptr; e = e->next)
    if (strcasecmp(e->name, name) == 0)
      return e->value;
  return nullptr;
}

param_entry *params_head() { return g_head; }

void params_reset()
{
  while (g_head != nullptr) {
    param_entry *next = g_head->next;
    std::free(g_head);
    g_head = next;
  }
}
