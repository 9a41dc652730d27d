// Applying attributes to a notifier through its kind's setter rows, and
// writing its description and settings line from its kind's line formats.
#include "notifier.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sender.h"
#include "xmlhelpers.h"
#include "zun_text.h"
#include "zundb.h"

namespace {

template <class T> T &field(notifier &n, size_t offset)
{
  return *reinterpret_cast<T *>(reinterpret_cast<char *>(&n) + offset);
}

template <class T> const T &field(const notifier &n, size_t offset)
{
  return *reinterpret_cast<const T *>(reinterpret_cast<const char *>(&n) + offset);
}

bool is_true(const char *value) { return std::strncmp(value, "true", 4) == 0; }

// A new name is published to the element database (which escapes it on the
// wire: the name stored there is the one given).
void set_name(notifier &n, const char *value)
{
  if (std::strncmp(n.name, value, sizeof n.name) == 0)
    return;
  utf8_strlcpy(n.name, value, sizeof n.name);
  // An id the element database did not give (a test notification's, or one
  // made up while it was down) may be another element's there.
  if (!n.registered)
    return;
  zundb_item item;
  zundb_item_init(&item);
  item.element_id = static_cast<int>(n.id);
  item.name = n.name;
  zundb_element_update(&item);
}

// A recipient list: kept whole, and its first five tokens (separated by
// blanks, commas and semicolons) referenced in a working copy.
void set_list(notifier &n, const notifier_attr &row, const char *value)
{
  utf8_strlcpy(&field<char>(n, row.field), value, row.size);
  char *buffer = &field<char>(n, row.buffer);
  char **refs = &field<char *>(n, row.refs);
  utf8_strlcpy(buffer, value, row.size);
  for (size_t i = 0; i < NOTIFIER_RECIPIENTS; i++)
    refs[i] = nullptr;
  char *save = nullptr;
  size_t count = 0;
  for (char *token = strtok_r(buffer, " ,;", &save); token != nullptr && count < NOTIFIER_RECIPIENTS;
       token = strtok_r(nullptr, " ,;", &save))
    refs[count++] = token;
}

// Only what XML can carry goes out: a description stays readable and a
// settings line loads again at the next start, whatever a field holds. A
// tab or line end is written as a character reference: a parser reads a
// raw one in an attribute as a blank, and a line end would split the
// settings line, which is read a line at a time.
void put_text(std::string &out, const char *text)
{
  char escaped[6 * 1024];
  std::string clean;
  if (!utf8_xml_valid(text, std::strlen(text)))
    text = (clean = utf8_xml_clean(text)).c_str();
  const char *p = helpers_xml_name(text, escaped, sizeof escaped);
  for (size_t run = std::strcspn(p, "\t\n\r");; run = std::strcspn(p, "\t\n\r")) {
    out.append(p, run);
    p += run;
    if (*p == '\0')
      return;
    out += *p == '\t' ? "&#9;" : *p == '\n' ? "&#10;" : "&#13;";
    p++;
  }
}

void put_line(const notifier &n, std::span<const line_field> fields, const char *end, std::string &out)
{
  char number[16];
  for (const line_field &f : fields) {
    out += f.before;
    switch (f.kind) {
    case out_kind::u32:
      std::snprintf(number, sizeof number, "%u", field<uint32_t>(n, f.field));
      out += number;
      break;
    case out_kind::i32:
      std::snprintf(number, sizeof number, "%i", field<int32_t>(n, f.field));
      out += number;
      break;
    case out_kind::text:
      put_text(out, &field<char>(n, f.field));
      break;
    case out_kind::flag:
      out += field<bool>(n, f.field) ? "true" : "false";
      break;
    case out_kind::clas:
      out += zunelement_clas2str(NOTIFIER_CLASS);
      break;
    case out_kind::type:
      out += zunelement_type2str(NOTIFIER_CLASS, static_cast<int>(n.type));
      break;
    case out_kind::state:
      out += zunelement_state2str(static_cast<int>(n.state), NOTIFIER_CLASS);
      break;
    }
  }
  out += end;
}

// The kind's default name ("Email-%u", ...) when the name is empty.
void default_name(notifier &n)
{
  if (n.name[0] != '\0')
    return;
  char name[sizeof n.name];
  std::snprintf(name, sizeof name, notifier_kind_of(n).default_name, static_cast<unsigned>(n.num));
  set_name(n, name);
}

}  // namespace

int notifier_set(notifier &n, const notifier_attr &row, const char *value)
{
  switch (row.kind) {
  case set_kind::name:
    set_name(n, value);
    break;
  case set_kind::text:  // cut at a whole character, so that it stays text
    utf8_strlcpy(&field<char>(n, row.field), value, row.size);
    break;
  case set_kind::number:
    field<int32_t>(n, row.field) = zun_strtol32(value, nullptr, 0);
    break;
  case set_kind::ssl_active: {
    auto &m = reinterpret_cast<mail_notifier &>(n);
    m.ssl_active = is_true(value);
    if (!m.ssl_active)
      m.starttls = false;
    break;
  }
  case set_kind::starttls: {
    auto &m = reinterpret_cast<mail_notifier &>(n);
    m.starttls = is_true(value);
    if (m.starttls)
      m.ssl_active = true;
    break;
  }
  case set_kind::list:
    set_list(n, row, value);
    break;
  case set_kind::state:
    field<uint32_t>(n, row.field) = static_cast<uint32_t>(zunelement_str2state(value));
    break;
  case set_kind::inner: {
    size_t len = std::strlen(value);
    char *to = &field<char>(n, row.field);
    to[0] = '\0';
    if (len >= 2)
      utf8_copy(to, row.size, value + 1, len - 2);
    break;
  }
  }
  return 0;
}

bool notifier_is_option(std::string_view word)
{
  return !word.empty() && word[0] == '-';
}

namespace {

constexpr std::string_view LIST_SEPARATORS = " ,;";

// Calls fn(ctx, token, at) for every token of a list value, as the list
// setter cuts it.
template <class Fn> void each_token(std::string_view value, Fn fn)
{
  size_t at = value.find_first_not_of(LIST_SEPARATORS);
  while (at != std::string_view::npos) {
    size_t end = value.find_first_of(LIST_SEPARATORS, at);
    size_t len = (end == std::string_view::npos ? value.size() : end) - at;
    fn(value.substr(at, len), at);
    at = end == std::string_view::npos ? end : value.find_first_not_of(LIST_SEPARATORS, end);
  }
}

std::string_view as_stored(std::string_view value)
{
  return value.substr(0, value.find('\0'));
}

}  // namespace

bool notifier_value_refused(const notifier_attr &row, std::string_view value)
{
  if ((row.flags & ATTR_WORD) == 0)
    return false;
  value = as_stored(value);
  if (row.kind != set_kind::list)
    return notifier_is_option(value);
  bool refused = false;
  each_token(value, [&](std::string_view token, size_t) { refused = refused || notifier_is_option(token); });
  return refused;
}

std::string notifier_value_cleaned(const notifier_attr &row, std::string_view value,
                                   void (*refused)(void *ctx, std::string_view word), void *ctx)
{
  value = as_stored(value);
  if (!notifier_value_refused(row, value))
    return std::string(value);
  if (row.kind != set_kind::list) {
    refused(ctx, value);
    return "";
  }
  // Each refused token goes with the separators that follow it.
  std::string out;
  size_t kept = 0;
  each_token(value, [&](std::string_view token, size_t at) {
    if (!notifier_is_option(token))
      return;
    refused(ctx, token);
    out += value.substr(kept, at - kept);
    size_t next = value.find_first_not_of(LIST_SEPARATORS, at + token.size());
    kept = next == std::string_view::npos ? value.size() : next;
    if (next == std::string_view::npos)  // the last token: no separator left behind
      out.erase(std::min(out.size(), out.find_last_not_of(LIST_SEPARATORS) + 1));
  });
  return out + std::string(value.substr(kept));
}

const char *notifier_attrs_refused(const notifier_kind &kind, const char **attrs)
{
  for (size_t i = 0; attrs != nullptr && attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2)
    for (const notifier_attr &row : kind.attrs)
      if (std::strcmp(row.name, attrs[i]) == 0 && notifier_value_refused(row, attrs[i + 1]))
        return attrs[i];
  return nullptr;
}

int notifier_apply(notifier &n, const char **attrs)
{
  const notifier_kind &kind = notifier_kind_of(n);
  ZunLock hold(n.lock);
  if (kind.begin_command != nullptr)
    kind.begin_command(n);
  for (size_t i = 0; attrs != nullptr && attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2)
    for (const notifier_attr &row : kind.attrs)
      if (std::strcmp(row.name, attrs[i]) == 0)
        notifier_set(n, row, attrs[i + 1]);
  default_name(n);
  int result = kind.ready != nullptr ? kind.ready(n) : 0;
  if (result == 0 && n.value == STATE_ON) {
    const char *text = key_find(attrs, "textready");
    std::string ready = text != nullptr ? text : "";
    if (kind.text_size != 0 && ready.size() >= kind.text_size) {  // cut at a whole character
      std::vector<char> cut(kind.text_size);
      utf8_strlcpy(cut.data(), ready.c_str(), cut.size());
      ready = cut.data();
    }
    notifier_send(n, std::move(ready), false);
  } else if (result == 0 && n.value == STATE_PULSE && kind.pulse != nullptr) {
    notifier_send(n, "", true);
  }
  n.value = STATE_OFF;
  return result;
}

int notifier_send(notifier &n, std::string text, bool pulse)
{
  return sender_queue(*notifier_kind_of(n).out, n, n.listed, pulse, std::move(text));
}

notifier_ptr notifier_copy(const notifier &from)
{
  const notifier_kind &kind = notifier_kind_of(from);
  notifier_ptr to(notifier_new(kind));
  if (to == nullptr)
    return to;
  // The head field by field (its lock is the copy's own), then the rest.
  to->id = from.id;
  to->module = from.module;
  to->num = from.num;
  to->type = from.type;
  std::memcpy(to->name, from.name, sizeof to->name);
  to->state = from.state;
  to->value = from.value;
  to->registered = from.registered;
  to->listed = false;
  std::memcpy(reinterpret_cast<char *>(to.get()) + sizeof(notifier),
              reinterpret_cast<const char *>(&from) + sizeof(notifier), kind.record_size - sizeof(notifier));
  // A list's references point into the copy's own working copy.
  for (const notifier_attr &row : kind.attrs) {
    if (row.kind != set_kind::list)
      continue;
    auto *refs = &field<char *>(*to, row.refs);
    const char *from_buffer = &field<char>(from, row.buffer);
    for (size_t i = 0; i < NOTIFIER_RECIPIENTS; i++)
      if (refs[i] != nullptr)
        refs[i] = &field<char>(*to, row.buffer) + (refs[i] - from_buffer);
  }
  return to;
}

std::string notifier_describe(notifier &n)
{
  const notifier_kind &kind = notifier_kind_of(n);
  std::string out;
  ZunLock hold(n.lock);
  default_name(n);
  put_line(n, kind.description, kind.description_end, out);
  return out;
}

void notifier_settings_line(notifier &n, std::string &out)
{
  const notifier_kind &kind = notifier_kind_of(n);
  ZunLock hold(n.lock);
  put_line(n, kind.settings, kind.settings_end, out);
}
