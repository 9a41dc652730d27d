// SMS notifiers: the record's attributes, description and settings line;
// firing, which queues one addsms command per phone for the modem daemon;
// the SMS sender, which hands them to it in order and logs each outcome.
#include <cstddef>
#include <cstring>
#include <string>

#include "notifier.h"
#include "sender.h"
#include "uds.h"
#include "zun_text.h"

namespace {

#define S(f) offsetof(sms_notifier, f)
#define H(f) offsetof(sms_notifier, head.f)

constexpr notifier_attr ATTRS[] = {
    {"name", set_kind::name, H(name), sizeof(notifier::name)},
    {"to_phone", set_kind::list, S(to_phone), sizeof(sms_notifier::to_phone), S(phone_buffer), S(phones)},
    {"message", set_kind::text, S(message), sizeof(sms_notifier::message)},
    {"value", set_kind::state, H(value), sizeof(uint32_t)},
};

constexpr line_field DESCRIPTION[] = {
    {"<element id=\"", out_kind::u32, H(id)}, {"\" module =\"", out_kind::u32, H(module)},
    {"\" num=\"", out_kind::u32, H(num)},     {"\" clas=\"", out_kind::clas, 0},
    {"\" type=\"", out_kind::type, 0},        {"\" name=\"", out_kind::text, H(name)},
    {"\" state=\"", out_kind::state, 0},      {"\" to_phone=\"", out_kind::text, S(to_phone)},
    {"\" message=\"", out_kind::text, S(message)},
};

constexpr line_field SETTINGS[] = {
    {"\t\t<sms module =\"", out_kind::u32, H(module)}, {"\" num=\"", out_kind::u32, H(num)},
    {"\" name=\"", out_kind::text, H(name)},          {"\" to_phone=\"", out_kind::text, S(to_phone)},
    {"\" message=\"", out_kind::text, S(message)},
};

#undef S
#undef H

void defaults(notifier &) {}

constexpr size_t RECORD_SIZE = 2240;
constexpr size_t COMMAND_AREA = RECORD_SIZE - RECORD_NAME;
constexpr size_t TEXT_SIZE = 2048;
constexpr const char *CELLULARD_SOCKET = "/tmp/cellulard.socket";

// The modem daemon's answer: one error element, "no error" when it took the
// message.
int reply_error(xml_channel *, const char **attrs)
{
  const char *type = key_find(attrs, "type");
  return type != nullptr && std::strcmp(type, "no error") == 0 ? 0 : -1;
}
constexpr xml_tag REPLY_TAGS[] = {{"error", reply_error, nullptr}};
constexpr xml_tag_table sms_reply_table = {1, REPLY_TAGS};

// Hands one record's command to the modem daemon.
void zunsms_forward(sender &, char *record)
{
  const char *name = record;
  char *area = record + RECORD_NAME;
  if (udsclient_exchange(CELLULARD_SOCKET, area, COMMAND_AREA) != 0) {
    heraldd_log("send sms error", "GSM module is not loaded");
    return;
  }
  xml_channel reply{&sms_reply_table, nullptr, nullptr, nullptr, nullptr, nullptr};
  if (helpers_xml_parse_string(&reply, area, std::strlen(area)) == 0)
    heraldd_log("send sms", "SMS '%s' was added to send queue", name);
  else
    heraldd_log("send sms error", "SMS '%s' failed to add", name);
}

// Value 5 sends the command's ready text to every phone.
int fire(notifier &n, const char **attrs)
{
  if (n.value != STATE_ON)
    return 0;
  auto &s = reinterpret_cast<sms_notifier &>(n);
  char text[TEXT_SIZE];
  const char *ready = key_find(attrs, "textready");
  strlcpy(text, ready != nullptr ? ready : "", sizeof text);
  s.text = text;
  zunsms_queue(s);
  s.text = nullptr;
  return 0;
}

}  // namespace

sender sms_sender{"sms", RECORD_SIZE, 32768, zunsms_forward};

int zunsms_queue(sms_notifier &s)
{
  char record[RECORD_SIZE];
  char escaped[2 * TEXT_SIZE];
  for (size_t i = 0; i < NOTIFIER_RECIPIENTS && s.phones[i] != nullptr; i++) {
    std::memset(record, 0, sizeof record);
    strlcpy(record, s.head.name, RECORD_NAME);
    std::string head = "<addsms to_phone=\"";
    head += helpers_xml_name(s.phones[i], escaped, sizeof escaped);
    head += "\" message=\"";
    const char *tail = "\" />";
    // The escaped text is cut (at a whole entity) so the command fits.
    size_t room = COMMAND_AREA - head.size() - std::strlen(tail);
    helpers_xml_name(s.text != nullptr ? s.text : "", escaped, room < sizeof escaped ? room : sizeof escaped);
    BoundedText command(record + RECORD_NAME, COMMAND_AREA);
    command.append(head);
    command.append(escaped);
    command.append(tail);
    if (!command.truncated())
      sender_queue(sms_sender, record);
  }
  return 0;
}

extern const notifier_kind sms_kind = {
    .noun = "sms",
    .type = 3,
    .module_num = 3,
    .module_name = "SMSs",
    .default_name = "SMS-%u",
    .record_size = sizeof(sms_notifier),
    .defaults = defaults,
    .attrs = ATTRS,
    .begin_command = nullptr,
    .fire = fire,
    .description = DESCRIPTION,
    .description_end = "\" />",
    .group_open = "\t<smses>\n",
    .group_close = "\t</smses>\n",
    .settings = SETTINGS,
    .settings_end = "\" />\n",
};
