// SMS notifiers: the record's attributes, description and settings line;
// one addsms command per phone for the modem daemon, and how its answer is
// logged.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "heraldd.h"
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

constexpr size_t COMMAND_AREA = 2176;  // the longest command and the modem daemon's answer
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

// One addsms command per phone, the ready text escaped and cut (at a whole
// entity) so that the command fits.
int commands(const notifier &n, const send_job &job, std::vector<send_command> &out)
{
  const auto &s = reinterpret_cast<const sms_notifier &>(n);
  char escaped[2 * TEXT_SIZE];
  for (size_t i = 0; i < NOTIFIER_RECIPIENTS && s.phones[i] != nullptr; i++) {
    std::string command = "<addsms to_phone=\"";
    command += helpers_xml_name(s.phones[i], escaped, sizeof escaped);
    command += "\" message=\"";
    const char *tail = "\" />";
    size_t room = COMMAND_AREA - command.size() - std::strlen(tail);
    helpers_xml_name(job.text.c_str(), escaped, room < sizeof escaped ? room : sizeof escaped);
    command += escaped;
    command += tail;
    if (command.size() < COMMAND_AREA)
      out.push_back({s.phones[i], std::move(command)});
  }
  return 0;
}

// Hands one command to the modem daemon (an exchange bounded by its own
// time limit).
bool forward(sender &, const char *name, const send_command &c, std::atomic<pid_t> *)
{
  char area[COMMAND_AREA] = {};
  strlcpy(area, c.line.c_str(), sizeof area);
  if (udsclient_exchange(CELLULARD_SOCKET, area, sizeof area) != 0) {
    heraldd_log("send sms error", "GSM module is not loaded");
    return false;
  }
  xml_channel reply{&sms_reply_table, nullptr, nullptr, nullptr, nullptr, nullptr};
  if (helpers_xml_parse_string(&reply, area, std::strlen(area)) != 0) {
    heraldd_log("send sms error", "SMS '%s' failed to add", name);
    return false;
  }
  heraldd_log("send sms", "SMS '%s' was added to send queue", name);
  return true;
}

constexpr const char *SNMP_COLUMNS[] = {"to_phone", "message"};

// The modem daemon takes one message at a time and keeps its own send queue.
sender sms_sender{"sms", 1, 32768, false, forward};

}  // namespace

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
    .ready = nullptr,
    .out = &sms_sender,
    .text_size = TEXT_SIZE,
    .fired_field = NO_FIELD,
    .fired_size = 0,
    .commands = commands,
    .pulse = nullptr,
    .test_text = nullptr,
    .test_message = NO_FIELD,
    .test_id = 0,
    .snmp_columns = SNMP_COLUMNS,
    .description = DESCRIPTION,
    .description_end = "\" />",
    .group_open = "\t<smses>\n",
    .group_close = "\t</smses>\n",
    .settings = SETTINGS,
    .settings_end = "\" />\n",
};
