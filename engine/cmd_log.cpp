// The event log of chronicled and its severity levels. Every value goes as
// parsed; every reply is streamed.
#include "families.h"

namespace {

constexpr fwd_attr kLogAttrs[] = {{"time"}, {"offset"}, {"count"}};

// The eight syslog severities; a request parameter matches without case,
// the attribute is written as here.
constexpr fwd_attr kLoglevelAttrs[] = {
    {"Emergency"}, {"Alert"},  {"Critical"},      {"Error"},
    {"Warning"},   {"Notice"}, {"Informational"}, {"Debug"},
};

constexpr fwd_command chronicle(const char *text)
{
  return fwd_command{.opening = text, .socket = SOCKET_CHRONICLED};
}

}  // namespace

// log[?time&offset&count]
extern const fwd_command log_log = {
    .opening = "<log ",
    .attrs = kLogAttrs,
    .close = " />",
    .socket = SOCKET_CHRONICLED,
};

// loglevel[?Emergency&Alert&Critical&Error&Warning&Notice&Informational&Debug]
extern const fwd_command log_loglevel = {
    .opening = "<loglevel ",
    .attrs = kLoglevelAttrs,
    .close = " />",
    .socket = SOCKET_CHRONICLED,
};

extern const fwd_command log_logdate = chronicle("<datelog />");
extern const fwd_command log_clearlog = chronicle("<clearlog />");
extern const fwd_command log_loglevelget = chronicle("<loglevelget />");
