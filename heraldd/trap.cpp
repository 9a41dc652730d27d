// Trap notifiers: the record's attributes (and the macro values of the
// current command), description and settings line; the snmptrap command
// line, and how its outcome is logged.
#include <cstddef>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "heraldd.h"
#include "notifier.h"
#include "sender.h"
#include "zun_path.h"
#include "zun_text.h"
#include "zunrun.h"

namespace {

#define T(f) offsetof(trap_notifier, f)
#define H(f) offsetof(trap_notifier, head.f)
#define TEXT(f) T(f), sizeof(trap_notifier::f)
#define MACRO(i, how) {"macro" #i, how, T(macro) + (i - 3) * sizeof(trap_notifier::macro[0]), \
                       sizeof(trap_notifier::macro[0])}

constexpr notifier_attr ATTRS[] = {
    {"name", set_kind::name, H(name), sizeof(notifier::name)},
    {"server", set_kind::text, TEXT(server), 0, 0, ATTR_WORD},
    {"port", set_kind::number, T(port), sizeof(int32_t)},
    {"version", set_kind::text, TEXT(version)},
    {"comunity", set_kind::text, TEXT(comunity)},
    {"user", set_kind::text, TEXT(user)},
    {"level", set_kind::text, TEXT(level)},
    {"auth_type", set_kind::text, TEXT(auth_type)},
    {"auth_pass", set_kind::text, TEXT(auth_pass), 0, 0, ATTR_SECRET},
    {"priv_type", set_kind::text, TEXT(priv_type)},
    {"priv_pass", set_kind::text, TEXT(priv_pass), 0, 0, ATTR_SECRET},
    {"value", set_kind::state, H(value), sizeof(uint32_t)},
    {"message", set_kind::text, TEXT(message)},
    // macro3 whole, macro4 to macro8 without their first and last character.
    MACRO(3, set_kind::text),  MACRO(4, set_kind::inner), MACRO(5, set_kind::inner),
    MACRO(6, set_kind::inner), MACRO(7, set_kind::inner), MACRO(8, set_kind::inner),
};

constexpr line_field DESCRIPTION[] = {
    {"<element id=\"", out_kind::u32, H(id)},     {"\" module=\"", out_kind::u32, H(module)},
    {"\" num=\"", out_kind::u32, H(num)},         {"\" clas=\"", out_kind::clas, 0},
    {"\" type=\"", out_kind::type, 0},            {"\" name=\"", out_kind::text, H(name)},
    {"\" state=\"", out_kind::state, 0},          {"\" server=\"", out_kind::text, T(server)},
    {"\" port=\"", out_kind::i32, T(port)},       {"\" version=\"", out_kind::text, T(version)},
    {"\" comunity=\"", out_kind::text, T(comunity)}, {"\"  user=\"", out_kind::text, T(user)},
    {"\" level=\"", out_kind::text, T(level)},    {"\"  auth_type=\"", out_kind::text, T(auth_type)},
    {"\" auth_pass=\"", out_kind::text, T(auth_pass)}, {"\"  priv_type=\"", out_kind::text, T(priv_type)},
    {"\" priv_pass=\"", out_kind::text, T(priv_pass)}, {"\"  message=\"", out_kind::text, T(message)},
};

constexpr line_field SETTINGS[] = {
    {"\t\t<trap module=\"", out_kind::u32, H(module)}, {"\" num=\"", out_kind::u32, H(num)},
    {"\" name=\"", out_kind::text, H(name)},          {"\" server=\"", out_kind::text, T(server)},
    {"\" port=\"", out_kind::i32, T(port)},           {"\" version=\"", out_kind::text, T(version)},
    {"\" comunity=\"", out_kind::text, T(comunity)},  {"\" user=\"", out_kind::text, T(user)},
    {"\" level=\"", out_kind::text, T(level)},        {"\"  auth_type=\"", out_kind::text, T(auth_type)},
    {"\" auth_pass=\"", out_kind::text, T(auth_pass)}, {"\"  priv_type=\"", out_kind::text, T(priv_type)},
    {"\" priv_pass=\"", out_kind::text, T(priv_pass)}, {"\"  message=\"", out_kind::text, T(message)},
};

#undef MACRO
#undef TEXT
#undef T
#undef H

void defaults(notifier &n)
{
  auto &t = reinterpret_cast<trap_notifier &>(n);
  t.port = 25;
  strlcpy(t.version, "1", sizeof t.version);
  strlcpy(t.message, "Time: %3 Logic: %4, Element: %5, in state: %6, value: %7", sizeof t.message);
}

// The macro values belong to one command.
void begin_command(notifier &n)
{
  std::memset(reinterpret_cast<trap_notifier &>(n).macro, 0, sizeof(trap_notifier::macro));
}

constexpr size_t COMMAND_AREA = 4352;  // the longest command line, as on the board
constexpr const char *SNMPTRAP = "/usr/bin/snmptrap";
constexpr const char *TRAP_OID = ".1.3.6.1.4.1.99999.1.5";
constexpr const char *ROW_OID = ".1.3.6.1.4.1.99999.2.2.1.1";

// The security part of a version 3 inform; false for an unknown level.
bool security(const trap_notifier &t, std::string &out)
{
  std::string user = zunrun_arg(t.user);
  if (std::strcmp(t.level, "noauth") == 0)
    out = "-l noAuthNoPriv -u " + user;
  else if (std::strcmp(t.level, "auth") == 0)
    out = "-a " + zunrun_arg(t.auth_type) + " -A " + zunrun_arg(t.auth_pass) + " -l authNoPriv -u " + user;
  else if (std::strcmp(t.level, "priv") == 0)
    out = "-a " + zunrun_arg(t.auth_type) + " -A " + zunrun_arg(t.auth_pass) + " -x " +
          zunrun_arg(t.priv_type) + " -X " + zunrun_arg(t.priv_pass) + " -l authPriv -u " + user;
  else
    return false;
  return true;
}

// Appends ` PREFIX"TEXT"` with the text in double quotes, cut (at a whole
// character, never inside a quote) so that `reserve` bytes stay free.
void append_quoted(std::string &command, const std::string &prefix, const char *text, size_t reserve)
{
  size_t fixed = command.size() + prefix.size() + 2 + reserve;
  if (fixed >= COMMAND_AREA)
    return;
  command += prefix + "\"" + zunrun_fit(text, COMMAND_AREA - 1 - fixed, zunrun_in_double_quotes) + "\"";
}

// The one snmptrap command of a job: 0; the access result when the trap
// program is missing; -1 for a server that would be an option, an unknown
// version or security level.
int commands(const notifier &n, const send_job &job, std::vector<send_command> &out)
{
  const auto &t = reinterpret_cast<const trap_notifier &>(n);
  int missing = access(zunpath(SNMPTRAP).c_str(), F_OK);
  if (missing != 0) {
    heraldd_log("error", "Send trap error: \"/usr/bin/snmptrap\" not found");
    return missing;
  }
  if (notifier_is_option(t.server)) {  // refused where it is set; never an option
    heraldd_log("error", "Send SNMP trap '%s' error: server '%s' refused", t.head.name, t.server);
    return -1;
  }
  std::string target = zunrun_arg(t.server) + ":" + std::to_string(t.port);
  std::string command;
  std::string secure;
  switch (t.version[0]) {
  case '1':
    command = "snmptrap -v1 -c " + zunrun_arg(t.comunity) + " " + target + " " + TRAP_OID + " \"\" 6 1 \"\"";
    break;
  case '2':
    command = "snmptrap -v2c -c " + zunrun_arg(t.comunity) + " " + target + " \"\" " + TRAP_OID;
    break;
  case '3':
    if (!security(t, secure))
      return -1;
    command = "snmptrap -Ci -v3 " + secure + " " + target + " \"\" " + TRAP_OID;
    break;
  default:
    return -1;
  }
  std::string id = std::to_string(t.head.id);
  command += std::string(" ") + ROW_OID + "." + id + " i " + id;
  // The text binding (the id signed there), then the macro values, each kept
  // whole or cut so that the end of the command always fits.
  const std::string end = " 2>&1";
  std::string text = std::string("Trap (name: ") + t.head.name + ", ID: " +
                     std::to_string(static_cast<int32_t>(t.head.id)) + ") was worked. " + job.text;
  append_quoted(command, std::string(" ") + TRAP_OID + " s ", text.c_str(), end.size());
  for (size_t i = 0; i < TRAP_MACROS; i++) {
    if (t.macro[i][0] == '\0')
      continue;
    std::string prefix = std::string(" ") + TRAP_OID + "." + std::to_string(i + 3) + (i + 3 == 8 ? " i " : " s ");
    append_quoted(command, prefix, t.macro[i], end.size());
  }
  command += end;
  if (command.size() >= COMMAND_AREA)
    return -1;
  out.push_back({t.server + (":" + std::to_string(t.port)), std::move(command)});
  return 0;
}

constexpr shell_outcome OUTCOME = {"The SNMP trap '%s' was sent", "Send SNMP trap '%s' error: %s",
                                   "Send SNMP trap '%s' error", nullptr};

bool run(sender &s, const char *name, const send_command &c, std::atomic<pid_t> *running)
{
  return sender_run_shell(s, name, c.line, OUTCOME, COMMAND_AREA, running);
}

constexpr const char *SNMP_COLUMNS[] = {"server", "port", "version", "comunity"};

sender trap_sender{"trap", 4, 32768, true, run};

}  // namespace

extern const notifier_kind trap_kind = {
    .noun = "trap",
    .type = 2,
    .module_num = 2,
    .module_name = "Traps",
    .default_name = "SNMP-%u",
    .record_size = sizeof(trap_notifier),
    .defaults = defaults,
    .attrs = ATTRS,
    .begin_command = begin_command,
    .ready = nullptr,
    .out = &trap_sender,
    .text_size = 1024,
    .fired_field = offsetof(trap_notifier, macro),
    .fired_size = sizeof(trap_notifier::macro),
    .commands = commands,
    .pulse = nullptr,
    .test_text = "This is a test message",
    .test_message = NO_FIELD,
    .test_id = 0xffffffffu,
    .snmp_columns = SNMP_COLUMNS,
    .description = DESCRIPTION,
    .description_end = "\"  />",
    .group_open = "\t<traps>\n",
    .group_close = "\t</traps>\n",
    .settings = SETTINGS,
    .settings_end = "\" />\n",
};
