// The querytype table and the XML interface role that walks it.
#include "querytypes.h"

#include <cstdio>
#include <strings.h>

#include "errors.h"
#include "families.h"
#include "params.h"
#include "request.h"

namespace {

constexpr int R = LEVEL_READ;
constexpr int W = LEVEL_WRITE;

// In the order tested.
constexpr qt_row kQuerytypes[] = {
    {"auth", SEC_NONE, R, auth_login, nullptr},
    {"getmodules", SEC_SESSION_ONLY, R, modules_getmodules, nullptr},
    {"getsystem", SEC_SESSION_ONLY, R, modules_getsystem, nullptr},
    {"updatemodule", SEC_MODULES, W, forward_handler, &modules_updatemodule},
    {"getmodule", SEC_SESSION_ONLY, R, modules_getmodule, nullptr},
    {"ctlmodule", SEC_MODULES, W, forward_handler, &modules_ctlmodule},
    {"getelement", SEC_SESSION_ONLY, R, modules_getelement, nullptr},
    {"updateelement", SEC_ELEMENTS, W, modules_updateelement, nullptr},
    {"setelementpos", SEC_ELEMENTS, W, forward_handler, &modules_setelementpos},
    {"getelementpos", SEC_SESSION_ONLY, R, forward_handler, &modules_getelementpos},
    {"getsettings", SEC_SYSTEM, R, forward_handler, &settings_getsettings},
    {"setsettings", SEC_SYSTEM, W, forward_handler, &settings_setsettings},
    {"getsnmp", SEC_SYSTEM, R, forward_handler, &settings_getsnmp},
    {"setsnmp", SEC_SYSTEM, W, forward_handler, &settings_setsnmp},
    {"gethttpd", SEC_SYSTEM, R, forward_handler, &settings_gethttpd},
    {"sethttpd", SEC_SYSTEM, W, forward_handler, &settings_sethttpd},
    {"adduser", SEC_USERS, W, user_add, nullptr},
    {"getuser", SEC_USERS, R, user_get, nullptr},
    {"deluser", SEC_USERS, W, user_del, nullptr},
    {"getradius", SEC_ALL, R, keys_getradius, nullptr},
    {"setradius", SEC_ALL, W, keys_setradius, nullptr},
    {"getdb", SEC_ACCESSKEYS, R, forward_handler, &keys_getdb},
    {"getdblog", SEC_ACCESSKEYS, R, forward_handler, &keys_getdblog},
    {"adddbuser", SEC_ACCESSKEYS, W, forward_handler, &keys_adddbuser},
    {"deldbuser", SEC_ACCESSKEYS, W, forward_handler, &keys_deldbuser},
    {"getdbstate", SEC_ACCESSKEYS, R, forward_handler, &keys_getdbstate},
    {"setdbstate", SEC_ACCESSKEYS, W, forward_handler, &keys_setdbstate},
    {"addgroup", SEC_GROUPS, W, modules_addgroup, nullptr},
    {"getgroup", SEC_SESSION_ONLY, R, modules_getgroup, nullptr},
    {"delgroup", SEC_GROUPS, W, modules_delgroup, nullptr},
    {"getlogic", SEC_LOGICS, R, virtual_getlogic, nullptr},
    {"dellogic", SEC_LOGICS, W, forward_handler, &virtual_dellogic},
    {"addlogic", SEC_LOGICS, W, virtual_addlogic, nullptr},
    {"disablelogic", SEC_LOGICS, W, forward_handler, &virtual_disablelogic},
    {"offlogics", SEC_LOGICS, W, forward_handler, &virtual_offlogics},
    {"onlogics", SEC_LOGICS, W, forward_handler, &virtual_onlogics},
    {"addtimer", SEC_DEVVIRT, W, forward_handler, &virtual_addtimer},
    {"deltimer", SEC_DEVVIRT, W, forward_handler, &virtual_deltimer},
    {"addping", SEC_DEVVIRT, W, forward_handler, &virtual_addping},
    {"delping", SEC_DEVVIRT, W, forward_handler, &virtual_delping},
    {"addtrigger", SEC_DEVVIRT, W, forward_handler, &virtual_addtrigger},
    {"deltrigger", SEC_DEVVIRT, W, forward_handler, &virtual_deltrigger},
    {"addsnmpget", SEC_DEVVIRT, W, forward_handler, &virtual_addsnmpget},
    {"delsnmpget", SEC_DEVVIRT, W, forward_handler, &virtual_delsnmpget},
    {"getcan", SEC_CANBUS, R, forward_handler, &device_getcan},
    {"deldevicecan", SEC_CANBUS, W, forward_handler, &device_deldevicecan},
    {"savecan", SEC_CANBUS, W, forward_handler, &device_savecan},
    {"ctlcan", SEC_CANBUS, W, forward_handler, &device_ctlcan},
    {"loglevel", SEC_ALL, W, forward_handler, &log_loglevel},
    {"loglevelget", SEC_ALL, W, forward_handler, &log_loglevelget},
    {"log", SEC_LOG, R, forward_handler, &log_log},
    {"logdate", SEC_LOG, R, forward_handler, &log_logdate},
    {"clearlog", SEC_LOG, W, forward_handler, &log_clearlog},
    {"getsdcard", SEC_SDCARD, R, forward_handler, &device_getsdcard},
    {"setsdcard", SEC_SDCARD, W, forward_handler, &device_setsdcard},
    {"send_sms_message", SEC_NOTIFY, W, notify_send_sms, nullptr, SEC_GSM, W},
    {"addsms", SEC_NOTIFY, W, forward_handler, &notify_addsms},
    {"delsms", SEC_NOTIFY, W, forward_handler, &notify_delsms},
    {"addmail", SEC_NOTIFY, W, forward_handler, &notify_addmail},
    {"delmail", SEC_NOTIFY, W, forward_handler, &notify_delmail},
    {"addtrap", SEC_NOTIFY, W, forward_handler, &notify_addtrap},
    {"deltrap", SEC_NOTIFY, W, forward_handler, &notify_deltrap},
    {"testmessage", SEC_NOTIFY, W, notify_testmessage, nullptr},
    {"setdigitalsensor", SEC_ALL, W, qt_setdigitalsensor, nullptr},
    {"switchpower", SEC_ALL, W, forward_handler, &device_switchpower},
    {"sendpulse", SEC_ALL, W, forward_handler, &device_sendpulse},
    {"fulloff", SEC_ALL, W, device_fulloff, nullptr},
    {"addwebcam", SEC_CAMERAS, W, forward_handler, &device_addwebcam},
    {"delwebcam", SEC_CAMERAS, W, forward_handler, &device_delwebcam},
    {"reboot", SEC_SYSTEM, W, forward_handler, &settings_reboot},
    {"recovery", SEC_SYSTEM, W, settings_recovery, nullptr},
    {"settime", SEC_SYSTEM, W, settings_settime, nullptr},
    {"synctime", SEC_SYSTEM, W, forward_handler, &settings_synctime},
    {"gettimeconf", SEC_SYSTEM, R, forward_handler, &settings_gettimeconf},
    {"settimeconf", SEC_SYSTEM, W, forward_handler, &settings_settimeconf},
    {"hdaemonstatus", SEC_ALL, R, qt_rights_only, nullptr},
    {"savetoflash", SEC_ELEMENTS, W, settings_savetoflash, nullptr},
    {"setmode", SEC_ALL, W, qt_rights_only, nullptr},
    {"getftpbackup", SEC_ALL, W, forward_handler, &settings_getftpbackup},
    {"setftpbackup", SEC_ALL, W, forward_handler, &settings_setftpbackup},
    {"upgrade", SEC_ALL, W, forward_handler, &settings_upgrade},
    {"getlanguage", SEC_NONE, R, files_getlanguage, nullptr},
    {"dellanguage", SEC_LANGUAGES, W, files_dellanguage, nullptr},
};

}  // namespace

std::span<const qt_row> querytype_table() { return kQuerytypes; }

const qt_row *querytype_find(const char *querytype)
{
  for (const qt_row &row : kQuerytypes)
    if (strcasecmp(row.name, querytype) == 0)
      return &row;
  return nullptr;
}

// querytype hdaemonstatus, setmode: the rights check is the whole answer.
int qt_rights_only(const fwd_command *) { return 0; }

// querytype setdigitalsensor [type]: success when `type` is given.
int qt_setdigitalsensor(const fwd_command *)
{
  error_print(param_get("type") != nullptr ? 0 : ZUN_ERR_NO_PARAM);
  return 0;
}

void print_xml_headers()
{
  std::fputs("Expires: -1\r\n"
             "Cache-Control:no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
             "Pragma: no-cache\r\n"
             "Content-Type: text/xml\r\n"
             "\r\n",
             stdout);
}

int xml_interface()
{
  print_xml_headers();
  request_parse_body(0);

  const char *querytype = param_get("querytype");
  const qt_row *row = querytype != nullptr ? querytype_find(querytype) : nullptr;
  if (row == nullptr) {
    error_printstr("invalid request");
    return 0;
  }
  if (row->section != SEC_NONE && rights_check_reply(querytype, row->section, row->level) != 0)
    return 0;
  if (row->section2 != SEC_NONE && rights_check_reply(querytype, row->section2, row->level2) != 0)
    return 0;
  row->handler(row->cmd);
  return 0;
}
