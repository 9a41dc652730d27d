// Modules, elements, element positions and groups (registryd and the
// daemons that serve the modules), and the system tree.
#include <cstdio>

#include "families.h"
#include "params.h"
#include "rights.h"
#include "sysinfo.h"
#include "uds.h"
#include "zun_text.h"
#include "zunlog.h"
#include "zunusers.h"

namespace {

using F = fwd_form;
constexpr F E = F::escaped;
constexpr F D = F::decoded;

constexpr fwd_command kGetmoduleByKey = {
    .opening = "<getmodule k=\"%s\" />",
    .open_args = {fwd_arg::key()},
    .socket = REGISTRYD_SOCKET,
    .delivery = fwd_delivery::streamed_quiet,
};

constexpr fwd_attr kGetmoduleAttrs[] = {{"id"}, {"mode"}, {"period"}};
constexpr fwd_command kGetmoduleById = {
    .required = {"id"},
    .opening = "<getmodule shortcut=\"1\" ",
    .attrs = kGetmoduleAttrs,
    .close = "/>",
    .route = fwd_route::module_lookup,
};

constexpr fwd_command kGetelementByKey = {
    .opening = "<getelement k=\"%s\" />",
    .open_args = {fwd_arg::key()},
    .socket = REGISTRYD_SOCKET,
    .delivery = fwd_delivery::streamed_quiet,
};

constexpr fwd_attr kGetelementAttrs[] = {{"period"}};
constexpr fwd_command kGetelementById = {
    .required = {"id"},
    .opening = "<getelement k=\"%s\" id=\"%s\" element=\"%s\" ",
    .open_args = {fwd_arg::key(), fwd_arg::param("id"), fwd_arg::param("id")},
    .attrs = kGetelementAttrs,
    .close = " mode=\"xml\" />",
    .route = fwd_route::element_lookup,
    // A notifier's or a camera's passwords, for those who may change it.
    .secrets = {"password", "auth_pass", "priv_pass"},
    .secret_section = FWD_SECTION_OF_ITEM,
};

constexpr fwd_attr kUpdateelementAttrs[] = {
    {"name", E},      {"utype"},      {"low"},       {"high"},     {"low_alarm"},
    {"low_warning"},  {"high_warning"}, {"high_alarm"}, {"pulse"},  {"reset"},
    {"value"},        {"reverse"},    {"initial"},   {"at0"},      {"at75"},
    {"expr"},         {"resolution"}, {"fps"},       {"username"}, {"password"},
    {"allowed"},      {"sms_centre"}, {"pin"},       {"balance"},  {"verbosity"},
    {"operator"},     {"ctrl"},       {"to_phone"},  {"message"},
};
constexpr fwd_command kUpdateelement = {
    .required = {"id"},
    .on_missing = fwd_missing::silent,
    .opening = "<updateelement id=\"%s\" element=\"%s\"",
    .open_args = {fwd_arg::param("id"), fwd_arg::param("id")},
    .attrs = kUpdateelementAttrs,
    .close = "/>",
    .route = fwd_route::element_lookup,
};

// The change record that chronicled keeps of an element change: the name
// decoded once more and not escaped; utype, to_phone and message left out.
constexpr fwd_attr kChangeRecordAttrs[] = {
    {"name", D},     {"low"},       {"high"},      {"low_alarm"}, {"low_warning"},
    {"high_warning"}, {"high_alarm"}, {"pulse"},   {"reset"},     {"value"},
    {"reverse"},     {"initial"},   {"at0"},       {"at75"},      {"expr"},
    {"resolution"},  {"fps"},       {"username"},  {"password"},  {"allowed"},
    {"sms_centre"},  {"pin"},       {"balance"},   {"verbosity"}, {"operator"},
    {"ctrl"},
};

constexpr fwd_command kGetgroupByKey = {
    .opening = "<getgroup k=\"%s\" />",
    .open_args = {fwd_arg::key()},
    .socket = REGISTRYD_SOCKET,
    .delivery = fwd_delivery::streamed_quiet,
};

constexpr fwd_command kGetgroupById = {
    .opening = "<getgroup id=\"%s\" />",
    .open_args = {fwd_arg::param("id")},
    .socket = REGISTRYD_SOCKET,
};

constexpr fwd_command kDelgroup = {
    .required = {"id"},
    .opening = "<delgroup id=\"%s\" />",
    .open_args = {fwd_arg::param("id")},
    .socket = REGISTRYD_SOCKET,
};

constexpr fwd_attr kAddgroupAttrs[] = {
    {"id"},      {"name", E},   {"descr", E}, {"image"},     {"elements", E},
    {"modules", E}, {"ignore", E}, {"smask", E}, {"notifiers", E},
};
constexpr fwd_command kAddgroup = {
    .opening = "<addgroup ",
    .attrs = kAddgroupAttrs,
    .close = "/>",
    .socket = REGISTRYD_SOCKET,
};

constexpr fwd_attr kUpdatemoduleAttrs[] = {{"id"}, {"size"}, {"interval"}, {"relval"}, {"relmask"}};

constexpr fwd_attr kCtlmoduleAttrs[] = {
    {"id"},         {"func"},     {"idelem"},   {"local"},     {"name"},
    {"to_phone"},   {"message", E}, {"logic", E}, {"timeout"}, {"begin"},
    {"end"},        {"days"},     {"mode"},     {"period"},    {"rtt"},
    {"server"},     {"reset"},    {"value"},    {"reverse"},   {"port"},
    {"ssl_active"}, {"login"},    {"from"},     {"to"},        {"version"},
    {"comunity"},   {"user"},     {"level"},    {"auth_type"}, {"auth_pass"},
    {"priv_type"},  {"priv_pass"}, {"url", D},  {"fps"},       {"resolution"},
    {"height"},     {"width"},    {"username"}, {"num"},
    {"password", F::escaped_if_func_addmail},
};

constexpr fwd_attr kSetelementposAttrs[] = {
    {"x"}, {"y"}, {"fpi"}, {"gpi"}, {"cpi"}, {"width"}, {"height"}, {"view"}, {"size"},
};

// After a delivered updateelement: the log entry and the change record.
void record_element_change(const char *id)
{
  char line[512];
  zun_format(line, sizeof line, "Settings of element (id=%s) has been changed by '%s(id=%i)'", id,
             current_user.name, current_user.id);
  zunlog_message("message", line, 8);

  BoundedText rec(command_buffer, COMMAND_AREA);
  rec.append("<fulldump><element id=\"");
  forward_append_value(rec, id);
  rec.append("\"");
  for (const fwd_attr &attr : kChangeRecordAttrs)
    forward_append_attr(rec, attr);
  rec.appendf(" user_id=\"%i\" user_name=\"", current_user.id);
  forward_append_value(rec, current_user.name);
  rec.append("\" /></fulldump>");
  if (!rec.truncated())
    udsclient_exchange(CHRONICLED_SOCKET, command_buffer, COMMAND_AREA);
}

}  // namespace

// updatemodule?id=N[&size&interval&relval&relmask]
extern const fwd_command modules_updatemodule = {
    .required = {"id"},
    .opening = "<updatemodule ",
    .attrs = kUpdatemoduleAttrs,
    .close = "/>",
    .route = fwd_route::module_lookup,
};

// ctlmodule?id=N&func=...[&...]: to the module's daemon, registryd when unknown.
extern const fwd_command modules_ctlmodule = {
    .required = {"id"},
    .opening = "<ctlmodule ",
    .attrs = kCtlmoduleAttrs,
    .close = "/>",
    .route = fwd_route::module_lookup_or_fallback,
    .socket = REGISTRYD_SOCKET,
};

// setelementpos?id=N[&x&y&fpi&gpi&cpi&width&height&view&size]
extern const fwd_command modules_setelementpos = {
    .required = {"id"},
    .on_missing = fwd_missing::silent,
    .opening = "<setelement id=\"%s\"",
    .open_args = {fwd_arg::param("id")},
    .attrs = kSetelementposAttrs,
    .close = "/>",
    .socket = REGISTRYD_SOCKET,
};

// getelementpos?id=N
extern const fwd_command modules_getelementpos = {
    .required = {"id"},
    .on_missing = fwd_missing::silent,
    .opening = "<getelement id=\"%s\" />",
    .open_args = {fwd_arg::param("id")},
    .socket = REGISTRYD_SOCKET,
};

// getmodule[?id=N&mode&period]: all modules of the session, or one module.
int modules_getmodule(const fwd_command *)
{
  return forward_run(param_get("id") != nullptr ? &kGetmoduleById : &kGetmoduleByKey);
}

// getelement[?id=N&period]: all elements of the session, or one element.
int modules_getelement(const fwd_command *)
{
  return forward_run(param_get("id") != nullptr ? &kGetelementById : &kGetelementByKey);
}

// updateelement?id=N[&name&utype&...]: change an element, then log and record it.
int modules_updateelement(const fwd_command *)
{
  if (forward_run(&kUpdateelement) != 0)
    return -1;
  record_element_change(param_get("id"));
  return 0;
}

// getgroup[?id=N]: all groups of the session, or one group.
int modules_getgroup(const fwd_command *)
{
  const char *id = param_get("id");
  if (id == nullptr)
    return forward_run(&kGetgroupByKey);
  if (zunusers_check_group(&current_user, forward_read_id(id)) != 0)
    return reply_text(TXT_ACCESS);
  return forward_run(&kGetgroupById);
}

// delgroup?id=N
int modules_delgroup(const fwd_command *)
{
  if (zunusers_check_group(&current_user, 0) != 0)
    return reply_text(TXT_ACCESS);
  return forward_run(&kDelgroup);
}

// addgroup[?id&name&descr&image&elements&modules&ignore&smask&notifiers]
int modules_addgroup(const fwd_command *)
{
  if (zunusers_check_group(&current_user, 0) != 0)
    return reply_text(TXT_ACCESS);
  return forward_run(&kAddgroup);
}

// getsystem: the system element, closed.
int modules_getsystem(const fwd_command *)
{
  print_system_element(false);
  return 0;
}

// getmodules: the whole system tree in one document.
int modules_getmodules(const fwd_command *)
{
  print_system_element(true);
  modules_getmodule(nullptr);
  modules_getgroup(nullptr);
  modules_getelement(nullptr);
  std::fputs("</system>", stdout);
  return 0;
}
