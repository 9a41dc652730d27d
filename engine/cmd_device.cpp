// Device control: power, pulses, outlets, cameras (opticd), the CAN bus
// (busstate) and the SD card (chronicled).
#include <cstdio>

#include "families.h"

namespace {

constexpr fwd_attr kPulseAttrs[] = {{"pulse"}};

// The camera's address is decoded once more and not escaped; its password
// goes as parsed.
constexpr fwd_attr kAddcameraAttrs[] = {
    {"id"},     {"name", fwd_form::escaped}, {"url", fwd_form::decoded}, {"fps"}, {"resolution"},
    {"height"}, {"width"},                   {"username"},               {"password"},
};

constexpr fwd_attr kCtlcanAttrs[] = {{"if"}, {"mode"}};
constexpr fwd_attr kDeldevicecanAttrs[] = {{"if"}, {"node_id"}};
constexpr fwd_attr kSetsdcardAttrs[] = {{"cmd"}};

// A whole command for the CAN bus service that names its interface `if`.
constexpr fwd_command can_if(const char *text)
{
  return fwd_command{.required = {"if"}, .opening = text, .open_args = {fwd_arg::param("if")},
          .socket = SOCKET_BUSSTATE};
}

constexpr fwd_command can(const char *opening, std::span<const fwd_attr> attrs)
{
  return fwd_command{.opening = opening, .attrs = attrs, .close = "/>", .socket = SOCKET_BUSSTATE};
}

// fulloff's first step: the logics stop before the outlets go off.
constexpr fwd_command kOfflogics = {.opening = "<offlogics />"};

constexpr fwd_command kFulloff = {.opening = "<fulloff />", .socket = SOCKET_MAINSD};

}  // namespace

// switchpower
extern const fwd_command device_switchpower = {.opening = "<switchpower />", .socket = SOCKET_BASEIOD};

// sendpulse?id=N[&pulse]: to the daemon that serves the element (no output
// when id is missing or the element unknown).
extern const fwd_command device_sendpulse = {
    .required = {"id"},
    .on_missing = fwd_missing::silent,
    .opening = "<updateelement element=\"%s\"",
    .open_args = {fwd_arg::param("id")},
    .attrs = kPulseAttrs,
    .close = " value=\"pulse\" />",
    .route = fwd_route::element_socket,
};

// addwebcam[?id&name&url&fps&resolution&height&width&username&password]
extern const fwd_command device_addwebcam = {
    .opening = "<addcamera ",
    .attrs = kAddcameraAttrs,
    .close = " />",
    .socket = SOCKET_OPTICD,
};

// delwebcam?id=N
extern const fwd_command device_delwebcam = {
    .required = {"id"},
    .opening = "<delcamera id=\"%s\" />",
    .open_args = {fwd_arg::param("id")},
    .socket = SOCKET_OPTICD,
};

// getcan?if=N, savecan?if=N
extern const fwd_command device_getcan = can_if("<getcan if=\"%s\" />");
extern const fwd_command device_savecan = can_if("<savecan if=\"%s\" />");
// ctlcan[?if&mode]
extern const fwd_command device_ctlcan = can("<ctlcan ", kCtlcanAttrs);
// deldevicecan[?if&node_id]
extern const fwd_command device_deldevicecan = can("<deldevicecan ", kDeldevicecanAttrs);

// getsdcard, setsdcard[?cmd]: exchanged, the reply shown only when it came.
extern const fwd_command device_getsdcard = {
    .opening = "<getsdcard />",
    .socket = SOCKET_CHRONICLED,
    .delivery = fwd_delivery::exchanged_printed,
};
extern const fwd_command device_setsdcard = {
    .opening = "<setsdcard ",
    .attrs = kSetsdcardAttrs,
    .close = "/>",
    .socket = SOCKET_CHRONICLED,
    .delivery = fwd_delivery::exchanged_printed,
};

// fulloff: every logic off, then every outlet; mainsd is never asked when
// registryd did not take the first step.
int device_fulloff(const fwd_command *)
{
  if (forward_compose(kOfflogics) != 0)
    return -1;
  if (forward_deliver(SOCKET_REGISTRYD, fwd_delivery::exchanged_only) != 0) {
    std::fputs(command_buffer, stdout);
    return -1;
  }
  return forward_run(&kFulloff);
}
