// The forwarding mechanism: a command row becomes one XML command for one
// daemon (see forward.h for the walk).
#include "forward.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "errors.h"
#include "params.h"
#include "rights.h"
#include "uds.h"
#include "xmlhelpers.h"
#include "zundb.h"
#include "zunusers.h"

char command_buffer[COMMAND_BUFFER_SIZE];

int reply_text(const char *text)
{
  error_printstr(text);
  return -1;
}

long long forward_number_auto(const char *text)
{
  return text != nullptr ? std::strtoll(text, nullptr, 0) : 0;
}

int forward_read_id(const char *text)
{
  if (text == nullptr)
    return -1;
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 0);
  if (end == text || errno == ERANGE || v < 0 || v > 0x7fffffffLL)
    return -1;
  return static_cast<int>(v);
}

int forward_number_dec(const char *text)
{
  return text != nullptr ? zun_strtol32(text, nullptr, 10) : 0;
}

// The length of the entity reference that `text` begins with (one of the
// five predefined entities, or a decimal or hexadecimal character reference,
// with its ';'); 0 when it begins none. The daemons' parser knows no other
// entities.
static size_t entity_length(const char *text)
{
  if (text[0] != '&')
    return 0;
  if (text[1] == '#') {
    bool hex = text[2] == 'x';
    const char *digits = text + (hex ? 3 : 2);
    size_t n = std::strspn(digits, hex ? "0123456789abcdefABCDEF" : "0123456789");
    return n > 0 && digits[n] == ';' ? static_cast<size_t>(digits + n + 1 - text) : 0;
  }
  for (const char *name : {"amp;", "lt;", "gt;", "quot;", "apos;"})
    if (std::strncmp(text + 1, name, std::strlen(name)) == 0)
      return 1 + std::strlen(name);
  return 0;
}

bool forward_append_value(BoundedText &out, const char *value)
{
  const char *run = value;
  for (const char *p = value;; p++) {
    if (*p == '&' && entity_length(p) > 0)
      continue;
    if (*p == '"' || *p == '<' || *p == '&' || *p == '\0') {
      if (!out.append(std::string_view(run, static_cast<size_t>(p - run))))
        return false;
      if (*p == '\0')
        return true;
      if (!out.append(*p == '"' ? "&quot;" : *p == '<' ? "&lt;" : "&amp;"))
        return false;
      run = p + 1;
    }
  }
}

bool forward_append_attr(BoundedText &out, const fwd_attr &attr)
{
  char *value = param_get(attr.name);
  if (value == nullptr)
    return true;
  fwd_form form = attr.form;
  if (form == fwd_form::escaped_if_func_addmail) {
    const char *func = param_get("func");
    form = func != nullptr && strcasecmp(func, "addmail") == 0 ? fwd_form::escaped : fwd_form::plain;
  }
  out.append(" ");
  out.append(attr.name);
  out.append("=\"");
  switch (form) {
  case fwd_form::decoded:
    forward_append_value(out, url_decode(value));
    break;
  case fwd_form::escaped:
    helpers_xml_name(url_decode(value), escape_area(), ESCAPE_AREA);
    out.append(escape_area());
    break;
  default:
    forward_append_value(out, value);
    break;
  }
  return out.append("\"");
}

bool forward_shell_safe(const char *value)
{
  for (const char *p = value; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && std::strchr(" ._-:/@=,+%", c) == nullptr)
      return false;
  }
  return true;
}

int forward_require(const fwd_command &cmd)
{
  for (const char *name : cmd.required) {
    if (name != nullptr && param_get(name) == nullptr) {
      if (cmd.on_missing == fwd_missing::report)
        reply_text(TXT_MISSING);
      return -1;
    }
  }
  for (const char *name : cmd.shell_args) {
    const char *value = name != nullptr ? param_get(name) : nullptr;
    if (value != nullptr && !forward_shell_safe(value))
      return reply_text(TXT_BAD_VALUE);
  }
  return 0;
}

int forward_compose(const fwd_command &cmd)
{
  BoundedText out(command_buffer, COMMAND_AREA);
  const char *text = cmd.opening;
  size_t arg = 0;
  for (;;) {
    const char *mark = std::strstr(text, "%s");
    if (mark == nullptr) {
      out.append(text);
      break;
    }
    out.append(std::string_view(text, static_cast<size_t>(mark - text)));
    if (arg < FWD_MAX_OPEN_ARGS) {
      const fwd_arg &a = cmd.open_args[arg++];
      const char *value = "";
      if (a.what == fwd_arg::kind::session_key)
        value = current_user.key;
      else if (a.what == fwd_arg::kind::param && param_get(a.name) != nullptr)
        value = param_get(a.name);
      forward_append_value(out, value);
    }
    text = mark + 2;
  }
  if (cmd.close != nullptr) {
    for (const fwd_attr &attr : cmd.attrs)
      forward_append_attr(out, attr);
    out.append(cmd.close);
  }
  if (out.truncated()) {
    command_buffer[0] = '\0';
    return reply_text(TXT_TOO_LONG);
  }
  return 0;
}

int forward_deliver(const char *socket, fwd_delivery delivery)
{
  switch (delivery) {
  case fwd_delivery::streamed:
    if (udsclient_stdout(socket, command_buffer) < 0)
      return reply_text(TXT_NOT_LOADED);
    return 0;
  case fwd_delivery::streamed_quiet:
    return udsclient_stdout(socket, command_buffer) < 0 ? -1 : 0;
  case fwd_delivery::exchanged_printed: {
    // A listing may be far longer than the command area: it is kept whole
    // and shown only once it arrived whole.
    std::string reply;
    if (udsclient_exchange_all(socket, command_buffer, reply) != 0)
      return reply_text(TXT_NOT_LOADED);
    std::fwrite(reply.data(), 1, std::strlen(reply.c_str()), stdout);
    return 0;
  }
  case fwd_delivery::exchanged_only:
    return udsclient_exchange(socket, command_buffer, COMMAND_AREA) != 0 ? -1 : 0;
  }
  return -1;
}

// The module number of element `id` as registryd tells it (0 when it cannot).
static int element_module(const char *id)
{
  BoundedText cmd(command_buffer, COMMAND_AREA);
  cmd.append("<getelement id=\"");
  forward_append_value(cmd, id);
  cmd.append("\" />");
  if (cmd.truncated() || udsclient_exchange(REGISTRYD_SOCKET, command_buffer, COMMAND_AREA) != 0)
    return 0;
  const char *cursor = command_buffer;
  char name[64];
  char value[64];
  while (zunutils_xml_get_param(&cursor, name, sizeof name, value, sizeof value, '"') == 0)
    if (strcasecmp(name, "module") == 0)
      return forward_number_dec(value);
  return 0;
}

int forward_route(const fwd_command &cmd, char *path, size_t size)
{
  const char *id = param_get("id");
  if (id == nullptr)
    id = "";
  zundb_item item;
  switch (cmd.route) {
  case fwd_route::fixed:
    strlcpy(path, cmd.socket != nullptr ? cmd.socket : "", size);
    return 0;
  case fwd_route::module_lookup:
  case fwd_route::module_lookup_or_fallback: {
    if (zunusers_check_module(&current_user, forward_read_id(id)) != 0)
      return reply_text(TXT_ACCESS);
    // The path buffer of the lookup: 32 bytes, 64 where a fallback exists.
    size_t lookup_size = cmd.route == fwd_route::module_lookup ? 32 : 64;
    if (lookup_size > size)
      lookup_size = size;
    zundb_item_init(&item);
    item.module_num = forward_read_id(id);
    path[0] = '\0';
    item.socket = path;
    item.socket_size = lookup_size;
    int rc = zundb_module_socket(&item);
    if (cmd.route == fwd_route::module_lookup) {
      if (rc != 0)
        return reply_text(TXT_NOT_FOUNDED);
    } else if (path[0] == '\0') {
      strlcpy(path, cmd.socket != nullptr ? cmd.socket : REGISTRYD_SOCKET, size);
    }
    return 0;
  }
  case fwd_route::element_lookup:
  case fwd_route::element_socket:
    if (cmd.route == fwd_route::element_lookup &&
        zunusers_check_element(&current_user, forward_read_id(id), element_module(id)) != 0)
      return reply_text(TXT_ACCESS);
    zundb_item_init(&item);
    item.element_num = forward_read_id(id);
    path[0] = '\0';
    item.socket = path;
    item.socket_size = size < 32 ? size : 32;
    return zundb_element_socket(&item) == 0 ? 0 : -1;
  }
  return -1;
}

std::string forward_hide_attrs(std::string_view reply, const char *const *names, size_t count)
{
  auto secret = [&](std::string_view name) {
    for (size_t i = 0; i < count; i++)
      if (names[i] != nullptr && name == names[i])
        return true;
    return false;
  };
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  std::string out;
  out.reserve(reply.size());
  size_t i = 0;
  while (i < reply.size()) {
    // Text between elements; comments and declarations pass whole.
    size_t open = reply.find('<', i);
    if (open == std::string_view::npos || open + 1 >= reply.size() || reply[open + 1] == '!' ||
        reply[open + 1] == '?' || reply[open + 1] == '/') {
      size_t end = open == std::string_view::npos ? reply.size() : reply.find('>', open);
      end = end == std::string_view::npos ? reply.size() : end + 1;
      out.append(reply.substr(i, end - i));
      i = end;
      continue;
    }
    // A start tag: its attributes one by one, a quoted value skipped whole.
    out.append(reply.substr(i, open + 1 - i));
    i = open + 1;
    while (i < reply.size() && reply[i] != '>') {
      if (blank(reply[i]) || reply[i] == '/') {
        out += reply[i++];
        continue;
      }
      size_t name = i;
      while (i < reply.size() && !blank(reply[i]) && reply[i] != '=' && reply[i] != '>' && reply[i] != '/')
        i++;
      std::string_view attr = reply.substr(name, i - name);
      while (i < reply.size() && (blank(reply[i]) || reply[i] == '='))
        i++;
      out.append(reply.substr(name, i - name));
      if (i < reply.size() && (reply[i] == '"' || reply[i] == '\'')) {
        char quote = reply[i];
        size_t close = reply.find(quote, i + 1);
        if (close == std::string_view::npos)  // a reply cut inside a value: nothing more of it
          return out;
        if (secret(attr))
          out.append(2, quote);
        else
          out.append(reply.substr(i, close + 1 - i));
        i = close + 1;
      }
    }
  }
  return out;
}

namespace {

// The row's reply taken whole, its secrets emptied, then shown; a failure
// reported as the delivery reports it.
int deliver_hiding(const fwd_command &cmd, const char *socket)
{
  std::string reply;
  if (udsclient_exchange_all(socket, command_buffer, reply) != 0)
    return cmd.delivery == fwd_delivery::streamed_quiet || cmd.delivery == fwd_delivery::exchanged_only
               ? -1
               : reply_text(TXT_NOT_LOADED);
  if (cmd.delivery == fwd_delivery::exchanged_only)
    return 0;
  std::string shown = forward_hide_attrs(reply.c_str(), cmd.secrets, FWD_MAX_SECRETS);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  return 0;
}

}  // namespace

int forward_run(const fwd_command *cmd)
{
  if (cmd == nullptr || forward_require(*cmd) != 0)
    return -1;
  char path[64];
  if (forward_route(*cmd, path, sizeof path) != 0)
    return -1;
  if (forward_compose(*cmd) != 0)
    return -1;
  if (cmd->secrets[0] != nullptr && !rights_may(cmd->secret_section, LEVEL_WRITE))
    return deliver_hiding(*cmd, path);
  return forward_deliver(path, cmd->delivery);
}

int forward_handler(const fwd_command *cmd) { return forward_run(cmd); }

void print_attr_text(const char *text)
{
  const char *run = text;
  for (const char *p = text;; p++) {
    if (*p == '"' || *p == '<' || *p == '&' || *p == '\0') {
      std::fwrite(run, 1, static_cast<size_t>(p - run), stdout);
      if (*p == '\0')
        return;
      std::fputs(*p == '"' ? "&quot;" : *p == '<' ? "&lt;" : "&amp;", stdout);
      run = p + 1;
    }
  }
}
