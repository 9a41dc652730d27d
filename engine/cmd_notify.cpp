// Notifiers of heraldd (mail, SMS, trap), their test notifications, and a
// free SMS text queued with cellulard.
#include <cstring>

#include "families.h"
#include "params.h"

namespace {

constexpr fwd_form E = fwd_form::escaped;

// send_sms_message: the work buffer of the number list and how many numbers
// of it are sent.
constexpr size_t SMS_PHONES_SIZE = 2048;
constexpr int SMS_MAX_NUMBERS = 5;
// Numbers are separated by blanks (tab and line ends too), commas and
// semicolons.
constexpr const char *SMS_SEPARATORS = " \t\r\n,;";

constexpr fwd_attr kAddmailAttrs[] = {
    {"id"},    {"name", E}, {"server"}, {"port"}, {"ssl_active"},  {"starttls"},
    {"login"}, {"password", E}, {"from"}, {"to"}, {"message", E},
};

constexpr fwd_attr kAddsmsAttrs[] = {{"id"}, {"name", E}, {"to_phone"}, {"message", E}};

constexpr fwd_attr kAddtrapAttrs[] = {
    {"id"},    {"name", E},   {"server"},    {"port"},      {"version"},
    {"comunity"}, {"user"},   {"level"},     {"auth_type"}, {"auth_pass"},
    {"priv_type"}, {"priv_pass"}, {"message", E},
};

// The mail test carries its message as parsed, not escaped.
constexpr fwd_attr kTestmailAttrs[] = {
    {"name", E}, {"server"}, {"port"}, {"ssl_active"}, {"starttls"},
    {"login"},   {"password", E}, {"from"}, {"to"},    {"message"},
};

constexpr fwd_attr kTesttrapAttrs[] = {
    {"server"}, {"port"},      {"version"},   {"comunity"},  {"user"},
    {"level"},  {"auth_type"}, {"auth_pass"}, {"priv_type"}, {"priv_pass"},
};

constexpr fwd_command kTestmail = {
    .opening = "<testmail ",
    .attrs = kTestmailAttrs,
    .close = " />",
    .socket = SOCKET_HERALDD,
};

constexpr fwd_command kTesttrap = {
    .opening = "<testtrap ",
    .attrs = kTesttrapAttrs,
    .close = " />",
    .socket = SOCKET_HERALDD,
};

// One SMS for cellulard: number and message as parsed.
int queue_sms(const char *number, const char *message)
{
  BoundedText cmd(command_buffer, COMMAND_AREA);
  cmd.append("<addsms to_phone=\"");
  forward_append_value(cmd, number);
  cmd.append("\" message=\"");
  forward_append_value(cmd, message);
  cmd.append("\" />");
  if (cmd.truncated())
    return reply_text(TXT_TOO_LONG);
  if (forward_deliver(SOCKET_CELLULARD, fwd_delivery::exchanged_only) != 0)
    return reply_text(TXT_NOT_LOADED);
  return 0;
}

}  // namespace

// addmail[?id&name&server&port&ssl_active&starttls&login&password&from&to&message]
extern const fwd_command notify_addmail = {
    .opening = "<addmail ",
    .attrs = kAddmailAttrs,
    .close = " />",
    .socket = SOCKET_HERALDD,
};

// delmail?id=N
extern const fwd_command notify_delmail = {
    .required = {"id"},
    .opening = "<delmail id=\"%s\" />",
    .open_args = {fwd_arg::param("id")},
    .socket = SOCKET_HERALDD,
};

// addsms[?id&name&to_phone&message]
extern const fwd_command notify_addsms = {
    .opening = "<addsms ",
    .attrs = kAddsmsAttrs,
    .close = " />",
    .socket = SOCKET_HERALDD,
};

// delsms?id=N
extern const fwd_command notify_delsms = {
    .required = {"id"},
    .opening = "<delsms id=\"%s\" />",
    .open_args = {fwd_arg::param("id")},
    .socket = SOCKET_HERALDD,
};

// addtrap[?id&name&server&port&version&comunity&user&level&auth_type&...&message]
extern const fwd_command notify_addtrap = {
    .opening = "<addtrap ",
    .attrs = kAddtrapAttrs,
    .close = " />",
    .socket = SOCKET_HERALDD,
};

// deltrap?id=N
extern const fwd_command notify_deltrap = {
    .required = {"id"},
    .opening = "<deltrap id=\"%s\" />",
    .open_args = {fwd_arg::param("id")},
    .socket = SOCKET_HERALDD,
};

// testmessage?type=mail|trap&...: the type is compared with its case.
int notify_testmessage(const fwd_command *)
{
  const char *type = param_get("type");
  if (type != nullptr && std::strcmp(type, "mail") == 0)
    return forward_run(&kTestmail);
  if (type != nullptr && std::strcmp(type, "trap") == 0)
    return forward_run(&kTesttrap);
  return reply_text("Invalid notification");
}

// send_sms_message?to_phone=N[ ,;N...]&message=TEXT: one SMS per number, at
// most five, stopping at the first that cellulard does not take.
int notify_send_sms(const fwd_command *)
{
  const char *to_phone = param_get("to_phone");
  const char *message = param_get("message");
  if (to_phone == nullptr || message == nullptr)
    return reply_text(TXT_MISSING);
  char phones[SMS_PHONES_SIZE];
  if (strlcpy(phones, to_phone, sizeof phones) >= sizeof phones)
    return reply_text(TXT_BAD_VALUE);

  const char *numbers[SMS_MAX_NUMBERS];
  int count = 0;
  char *save = nullptr;
  for (char *n = strtok_r(phones, SMS_SEPARATORS, &save); n != nullptr && count < SMS_MAX_NUMBERS;
       n = strtok_r(nullptr, SMS_SEPARATORS, &save))
    numbers[count++] = n;
  if (count == 0)
    return 0;
  for (int i = 0; i < count; i++)
    if (queue_sms(numbers[i], message) != 0)
      return -1;
  reply_text(TXT_NO_ERROR);
  return 0;
}
