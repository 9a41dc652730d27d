// The access key database of warderd, and the RADIUS server that stewardd
// keeps for logins that fail locally.
#include <cstdio>
#include <cstring>

#include "families.h"
#include "params.h"

namespace {

constexpr fwd_delivery PRINTED = fwd_delivery::exchanged_printed;

// How much of stewardd's server description is read.
constexpr size_t RADIUS_TEXT_SIZE = 256;

// A whole command for warderd whose reply is shown.
constexpr fwd_command warder(const char *text)
{
  return fwd_command{.opening = text, .socket = SOCKET_WARDERD, .delivery = PRINTED};
}

constexpr fwd_command warder(const char *opening, std::span<const fwd_attr> attrs)
{
  return fwd_command{.opening = opening, .attrs = attrs, .close = "/>", .socket = SOCKET_WARDERD,
          .delivery = PRINTED};
}

constexpr fwd_attr kSetdbstateAttrs[] = {{"state"}};
constexpr fwd_attr kAdddbuserAttrs[] = {{"key"}, {"name", fwd_form::decoded}};
constexpr fwd_attr kDeldbuserAttrs[] = {{"key"}};

constexpr fwd_command kGetradius = {.opening = "<getradius />"};

// The server description "addr:port:secret", as given.
constexpr fwd_command kSetradiusOn = {
    .required = {"addr", "port", "secret"},
    .opening = "<setradius srv1=\"%s:%s:%s\" />",
    .open_args = {fwd_arg::param("addr"), fwd_arg::param("port"), fwd_arg::param("secret")},
};

constexpr fwd_command kSetradiusOff = {.opening = "<setradius srv1=\"\" />"};

}  // namespace

extern const fwd_command keys_getdb = warder("<keyslist />");
extern const fwd_command keys_getdblog = warder("<keyslog />");
extern const fwd_command keys_getdbstate = warder("<keysget />");
// setdbstate[?state]
extern const fwd_command keys_setdbstate = warder("<keysset ", kSetdbstateAttrs);
// adddbuser[?key&name]: the holder's name decoded once more, not escaped.
extern const fwd_command keys_adddbuser = warder("<keysadd ", kAdddbuserAttrs);
// deldbuser[?key]
extern const fwd_command keys_deldbuser = warder("<keysdelete ", kDeldbuserAttrs);

// getradius: address and port of the RADIUS server; the shared secret
// never leaves the appliance.
int keys_getradius(const fwd_command *)
{
  if (forward_compose(kGetradius) != 0)
    return -1;
  if (forward_deliver(SOCKET_STEWARDD, fwd_delivery::exchanged_only) != 0)
    return reply_text(TXT_NOT_LOADED);
  if (command_buffer[0] == '\0') {
    std::fputs("<radius enable=\"0\" />", stdout);
    return 0;
  }
  char text[RADIUS_TEXT_SIZE];
  strlcpy(text, command_buffer, sizeof text);
  const char *addr = text;
  const char *port = "";
  if (char *colon = std::strchr(text, ':'); colon != nullptr) {
    *colon = '\0';
    port = colon + 1;
    if (char *second = std::strchr(colon + 1, ':'); second != nullptr)
      *second = '\0';
  }
  std::fputs("<radius enable=\"1\" addr=\"", stdout);
  print_attr_text(addr);
  std::fputs("\" port=\"", stdout);
  print_attr_text(port);
  std::fputs("\" />", stdout);
  return 0;
}

// setradius?enable=1&addr&port&secret, or enable=0 to remove the server.
int keys_setradius(const fwd_command *)
{
  const char *enable = param_get("enable");
  if (enable == nullptr)
    return reply_text(TXT_MISSING);
  const fwd_command &row = forward_number_dec(enable) == 1 ? kSetradiusOn : kSetradiusOff;
  if (forward_require(row) != 0 || forward_compose(row) != 0)
    return -1;
  if (forward_deliver(SOCKET_STEWARDD, fwd_delivery::exchanged_only) != 0)
    return reply_text(TXT_NOT_LOADED);
  reply_text(TXT_NO_ERROR);
  return 0;
}
