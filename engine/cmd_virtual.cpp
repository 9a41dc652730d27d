// Virtual devices of phantomd (timers, ping probes, triggers, SNMP-get
// probes) and the logics that registryd keeps and runs.
#include "families.h"
#include "params.h"

namespace {

constexpr fwd_form E = fwd_form::escaped;

// A device command for phantomd, streamed.
constexpr fwd_command phantom(const char *opening, std::span<const fwd_attr> attrs, const char *close)
{
  return fwd_command{.opening = opening, .attrs = attrs, .close = close, .socket = SOCKET_PHANTOMD};
}

// A whole command that names one device or logic by `id` (required).
constexpr fwd_command by_id(const char *text, const char *socket)
{
  return fwd_command{.required = {"id"}, .opening = text, .open_args = {fwd_arg::param("id")}, .socket = socket};
}

constexpr fwd_attr kAddtimerAttrs[] = {{"id"}, {"name", E}, {"begin"}, {"end"}, {"days"}, {"mode"}};
constexpr fwd_attr kAddpingAttrs[] = {{"id"}, {"name", E}, {"period"}, {"rtt"}, {"server"}, {"reset"}};
constexpr fwd_attr kAddtriggerAttrs[] = {{"id"}, {"name", E}, {"value"}, {"reverse"}};
constexpr fwd_attr kAddsnmpgetAttrs[] = {
    {"id"},        {"name", E},     {"period"},       {"server"},     {"port"},
    {"comunity"},  {"oid"},         {"vartype"},      {"low_alarm"},  {"low_warning"},
    {"high_warning"}, {"high_alarm"}, {"expr"},       {"reset"},
};

// The rule text goes as parsed; only the name is decoded again and escaped.
constexpr fwd_attr kAddlogicAttrs[] = {{"logic"}, {"name", E}, {"timeout"}};
constexpr fwd_attr kTimeoutAttrs[] = {{"timeout"}};

// getlogic: the opening "<getlogic " meets the close " />", and an id stands
// between blanks on both sides.
constexpr fwd_command kGetlogicAll = {.opening = "<getlogic  />", .socket = SOCKET_REGISTRYD};
constexpr fwd_command kGetlogicOne = {
    .opening = "<getlogic  id=\"%s\"  />",
    .open_args = {fwd_arg::param("id")},
    .socket = SOCKET_REGISTRYD,
};

constexpr fwd_command kAddlogicNew = {
    .opening = "<addlogic",
    .attrs = kAddlogicAttrs,
    .close = " />",
    .socket = SOCKET_REGISTRYD,
};
constexpr fwd_command kAddlogicById = {
    .opening = "<addlogic id=\"%s\" ",
    .open_args = {fwd_arg::param("id")},
    .attrs = kAddlogicAttrs,
    .close = " />",
    .socket = SOCKET_REGISTRYD,
};

}  // namespace

// addtimer[?id&name&begin&end&days&mode]
extern const fwd_command virtual_addtimer = phantom("<addtimer ", kAddtimerAttrs, "/>");
// addping[?id&name&period&rtt&server&reset]
extern const fwd_command virtual_addping = phantom("<addping ", kAddpingAttrs, " />");
// addtrigger[?id&name&value&reverse]
extern const fwd_command virtual_addtrigger = phantom("<addtrigger ", kAddtriggerAttrs, " />");
// addsnmpget[?id&name&period&server&port&comunity&oid&vartype&...&expr&reset]
extern const fwd_command virtual_addsnmpget = phantom("<addsnmpget ", kAddsnmpgetAttrs, " />");
// deltimer, delping, deltrigger, delsnmpget ?id=N
extern const fwd_command virtual_deltimer = by_id("<deltimer id=\"%s\" />", SOCKET_PHANTOMD);
extern const fwd_command virtual_delping = by_id("<delping id=\"%s\" />", SOCKET_PHANTOMD);
extern const fwd_command virtual_deltrigger = by_id("<deltrigger id=\"%s\" />", SOCKET_PHANTOMD);
extern const fwd_command virtual_delsnmpget = by_id("<delsnmpget id=\"%s\" />", SOCKET_PHANTOMD);

// dellogic?id=N
extern const fwd_command virtual_dellogic = by_id("<dellogic id=\"%s\" />", SOCKET_REGISTRYD);

// disablelogic?id=N[&timeout]: an addlogic that carries only the id and the timeout.
extern const fwd_command virtual_disablelogic = {
    .required = {"id"},
    .opening = "<addlogic id=\"%s\" ",
    .open_args = {fwd_arg::param("id")},
    .attrs = kTimeoutAttrs,
    .close = " />",
    .socket = SOCKET_REGISTRYD,
};

// offlogics[?timeout]
extern const fwd_command virtual_offlogics = {
    .opening = "<offlogics ",
    .attrs = kTimeoutAttrs,
    .close = " />",
    .socket = SOCKET_REGISTRYD,
};

// onlogics
extern const fwd_command virtual_onlogics = {.opening = "<onlogics />", .socket = SOCKET_REGISTRYD};

// getlogic[?id=N]: every logic, or one.
int virtual_getlogic(const fwd_command *)
{
  return forward_run(param_get("id") != nullptr ? &kGetlogicOne : &kGetlogicAll);
}

// addlogic[?id&logic&name&timeout]: a new logic, or a change of logic `id`.
int virtual_addlogic(const fwd_command *)
{
  return forward_run(param_get("id") != nullptr ? &kAddlogicById : &kAddlogicNew);
}
