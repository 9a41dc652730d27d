// System settings and maintenance (stewardd): network, web server, SNMP
// agent, time, FTP backup, reboot, recovery, upgrade, and the save of every
// daemon's settings to flash.
#include <cstdio>
#include <ctime>

#include "families.h"
#include "params.h"
#include "rights.h"
#include "zunlog.h"

namespace {

constexpr fwd_form E = fwd_form::escaped;
constexpr fwd_delivery PRINTED = fwd_delivery::exchanged_printed;

// A whole command for stewardd whose reply is shown.
constexpr fwd_command steward(const char *text)
{
  return fwd_command{.opening = text, .socket = SOCKET_STEWARDD, .delivery = PRINTED};
}

// A whole reading command for stewardd whose reply holds secrets, shown only
// to a session that may write `section`.
constexpr fwd_command steward_secret(const char *text, int section, const char *a, const char *b = nullptr,
                                     const char *c = nullptr)
{
  return fwd_command{.opening = text, .socket = SOCKET_STEWARDD, .delivery = PRINTED, .secrets = {a, b, c},
                     .secret_section = section};
}

// A command for stewardd with attributes; `close` ends it.
constexpr fwd_command steward(const char *opening, std::span<const fwd_attr> attrs, const char *close)
{
  return fwd_command{.opening = opening, .attrs = attrs, .close = close, .socket = SOCKET_STEWARDD,
          .delivery = PRINTED};
}

constexpr fwd_attr kSetsettingsAttrs[] = {
    {"ip"},            {"netmask"},       {"broadcast"},      {"gateway"},
    {"dns1"},          {"dns2"},          {"dns3"},           {"ssl"},
    {"port"},          {"mac"},           {"ftp"},            {"syslog_server"},
    {"ftplog_server"}, {"dhcp_active"},   {"hostname"},       {"can_active"},
    {"dyndns_active"}, {"dyndns_service"}, {"dyndns_user"},   {"dyndns_pass"},
    {"dyndns_host"},
};

constexpr fwd_attr kSethttpdAttrs[] = {{"ssl"}, {"port"}};

constexpr fwd_attr kSetsnmpAttrs[] = {
    {"version"},   {"rocommunity"}, {"rwcommunity"}, {"user"},      {"level"},
    {"auth_type"}, {"auth_pass"},   {"priv_type"},   {"priv_pass"},
};

constexpr fwd_attr kSettimeconfAttrs[] = {
    {"time"}, {"gmtofs"},  {"name"}, {"dst"},  {"inw"},  {"onw", E},     {"atw"},
    {"ins"},  {"ons", E},  {"ats"},  {"ntp1"}, {"ntp2"}, {"ntp_period"},
};

constexpr fwd_attr kSetftpbackupAttrs[] = {
    {"address"}, {"port"}, {"rdir"}, {"username"}, {"password"}, {"interval"}, {"day"}, {"hour"},
};

// recovery.sh's argument list: refused when a shell would read more into it.
constexpr fwd_command kRecovery = {
    .opening = "<execute cmd=\"recovery.sh %s\" />",
    .open_args = {fwd_arg::param("param")},
    .socket = SOCKET_STEWARDD,
    .delivery = PRINTED,
    .shell_args = {"param"},
};

constexpr fwd_command kSave = {.opening = "<save />"};

// After the saves: flush the file systems and drop the page cache (stewardd
// turns the entities back into ampersands before its shell runs the line).
constexpr fwd_command kSync = {
    .opening = "<execute cmd='sync &amp;&amp; echo 1 > /proc/sys/vm/drop_caches' />",
};

// Daemons whose save is asked but never reported.
constexpr const char *kSilentSavers[] = {
    SOCKET_WARDERD, SOCKET_BUSSTATE, SOCKET_CELLULARD, SOCKET_MAINSD,
};

struct saver {
  const char *name;  // as the report names it
  const char *socket;
};

// Daemons whose save is reported, in the report's order.
constexpr saver kReportedSavers[] = {
    {"registryd", SOCKET_REGISTRYD}, {"chronicled", SOCKET_CHRONICLED},
    {"baseiod", SOCKET_BASEIOD},     {"phantomd", SOCKET_PHANTOMD},
    {"heraldd", SOCKET_HERALDD},     {"opticd", SOCKET_OPTICD},
};

// One whole command exchanged with a socket; 0 when the daemon answered.
int exchange_row(const fwd_command &row, const char *socket)
{
  if (forward_compose(row) != 0)
    return -1;
  return forward_deliver(socket, fwd_delivery::exchanged_only);
}

}  // namespace

extern const fwd_command settings_getsettings = steward_secret("<getsettings />", SEC_SYSTEM, "dyndns_pass");
extern const fwd_command settings_gethttpd = steward("<gethttpd />");
// The write community opens the notifier tables to writes: a secret.
extern const fwd_command settings_getsnmp =
    steward_secret("<getsnmp />", SEC_SYSTEM, "rwcommunity", "auth_pass", "priv_pass");
extern const fwd_command settings_gettimeconf = steward("<gettimeconf />");
extern const fwd_command settings_getftpbackup = steward_secret("<getftpbackup />", SEC_ALL, "password");
extern const fwd_command settings_synctime = steward("<synctime />");
extern const fwd_command settings_reboot = steward("<reboot />");

// setsettings[?ip&netmask&...&dyndns_host]
extern const fwd_command settings_setsettings = steward("<setsettings ", kSetsettingsAttrs, "/>");
// sethttpd[?ssl&port]
extern const fwd_command settings_sethttpd = steward("<sethttpd ", kSethttpdAttrs, "/>");
// setsnmp[?version&rocommunity&rwcommunity&user&level&auth_type&...]
extern const fwd_command settings_setsnmp = steward("<setsnmp ", kSetsnmpAttrs, "/>");
// settimeconf[?time&gmtofs&name&dst&inw&onw&atw&ins&ons&ats&ntp1&ntp2&ntp_period]
extern const fwd_command settings_settimeconf = steward("<settimeconf ", kSettimeconfAttrs, "/>");
// setftpbackup[?address&port&rdir&username&password&interval&day&hour]
extern const fwd_command settings_setftpbackup = steward("<setftpbackup ", kSetftpbackupAttrs, "/>");

// upgrade?ftp=LOCATION: offsite.sh with the location; a location that a
// shell would read more into is refused.
extern const fwd_command settings_upgrade = {
    .required = {"ftp"},
    .opening = "<execute cmd=\"offsite.sh %s\" />",
    .open_args = {fwd_arg::param("ftp")},
    .socket = SOCKET_STEWARDD,
    .delivery = PRINTED,
    .shell_args = {"ftp"},
};

// settime?time=SECONDS (0x hexadecimal and 0 octal read too): set the clock
// and log it. A time the command's unsigned 32 bits cannot hold (negative,
// or past 2106) is refused rather than sent wrapped around as another time.
int settings_settime(const fwd_command *)
{
  const char *time = param_get("time");
  if (time == nullptr)
    return reply_text(TXT_MISSING);
  long long seconds = forward_number_auto(time);
  if (seconds < 0 || seconds > UINT32_MAX)
    return reply_text(TXT_BAD_VALUE);
  BoundedText cmd(command_buffer, COMMAND_AREA);
  cmd.appendf("<settime time=\"%u\" />", static_cast<uint32_t>(seconds));
  if (forward_deliver(SOCKET_STEWARDD, fwd_delivery::exchanged_only) != 0) {
    zunlog_message("error", "Setup time fault\n", 8);
    return reply_text(TXT_NOT_LOADED);
  }
  char now[64] = "";
  std::time_t t = std::time(nullptr);
  struct tm tm;
  if (localtime_r(&t, &tm) != nullptr)
    std::strftime(now, sizeof now, "%T %D", &tm);
  char line[128];
  zun_format(line, sizeof line, "Setup time to %s\n", now);
  zunlog_message("message", line, 8);
  std::fputs(command_buffer, stdout);
  return 0;
}

// recovery[?param=ARGS]: run recovery.sh with the arguments, then log it.
int settings_recovery(const fwd_command *)
{
  if (forward_run(&kRecovery) != 0)
    return -1;
  zunlog_message("message", "Recovery running\n", 8);
  return 0;
}

// savetoflash: every daemon writes its settings; six of them are reported.
int settings_savetoflash(const fwd_command *)
{
  for (const char *socket : kSilentSavers)
    exchange_row(kSave, socket);

  char report[256];
  BoundedText failed(report, sizeof report);
  failed.append("module(s) is not loaded:");
  bool all_saved = true;
  for (const saver &s : kReportedSavers) {
    if (exchange_row(kSave, s.socket) != 0) {
      all_saved = false;
      failed.append(" ");
      failed.append(s.name);
    }
  }
  reply_text(all_saved ? TXT_NO_ERROR : report);

  exchange_row(kSync, SOCKET_STEWARDD);
  return 0;
}
