// What each command family exports to the querytype table: its command rows
// (walked by forward_handler) and its handlers of the one qt_handler
// signature. One line per export; a family adds its lines here and its
// querytype lines to engine/querytypes.cpp (see forward.h).
#pragma once
#include "forward.h"

// engine/cmd_modules.cpp: modules, elements, groups, the system tree.
int modules_getmodules(const fwd_command *cmd);
int modules_getsystem(const fwd_command *cmd);
int modules_getmodule(const fwd_command *cmd);
extern const fwd_command modules_updatemodule;
extern const fwd_command modules_ctlmodule;
int modules_getelement(const fwd_command *cmd);
int modules_updateelement(const fwd_command *cmd);
extern const fwd_command modules_setelementpos;
extern const fwd_command modules_getelementpos;
int modules_addgroup(const fwd_command *cmd);
int modules_getgroup(const fwd_command *cmd);
int modules_delgroup(const fwd_command *cmd);

// engine/users.cpp: local accounts.
int user_get(const fwd_command *cmd);
int user_add(const fwd_command *cmd);
int user_del(const fwd_command *cmd);

// engine/querytypes.cpp: rows answered inline.
int qt_rights_only(const fwd_command *cmd);
int qt_setdigitalsensor(const fwd_command *cmd);

// engine/cmd_settings.cpp: system settings and maintenance (stewardd).
extern const fwd_command settings_getsettings;
extern const fwd_command settings_setsettings;
extern const fwd_command settings_getsnmp;
extern const fwd_command settings_setsnmp;
extern const fwd_command settings_gethttpd;
extern const fwd_command settings_sethttpd;
extern const fwd_command settings_synctime;
extern const fwd_command settings_reboot;
extern const fwd_command settings_gettimeconf;
extern const fwd_command settings_settimeconf;
extern const fwd_command settings_getftpbackup;
extern const fwd_command settings_setftpbackup;
extern const fwd_command settings_upgrade;
int settings_settime(const fwd_command *cmd);
int settings_recovery(const fwd_command *cmd);
int settings_savetoflash(const fwd_command *cmd);

// engine/cmd_keys.cpp: access keys (warderd) and the RADIUS server (stewardd).
int keys_getradius(const fwd_command *cmd);
int keys_setradius(const fwd_command *cmd);
extern const fwd_command keys_getdb;
extern const fwd_command keys_getdblog;
extern const fwd_command keys_adddbuser;
extern const fwd_command keys_deldbuser;
extern const fwd_command keys_getdbstate;
extern const fwd_command keys_setdbstate;

// engine/cmd_virtual.cpp: logics (registryd) and virtual devices (phantomd).
int virtual_getlogic(const fwd_command *cmd);
extern const fwd_command virtual_dellogic;
int virtual_addlogic(const fwd_command *cmd);
extern const fwd_command virtual_disablelogic;
extern const fwd_command virtual_offlogics;
extern const fwd_command virtual_onlogics;
extern const fwd_command virtual_addtimer;
extern const fwd_command virtual_deltimer;
extern const fwd_command virtual_addping;
extern const fwd_command virtual_delping;
extern const fwd_command virtual_addtrigger;
extern const fwd_command virtual_deltrigger;
extern const fwd_command virtual_addsnmpget;
extern const fwd_command virtual_delsnmpget;

// engine/cmd_device.cpp: CAN bus, SD card, power, pulse, cameras.
extern const fwd_command device_getcan;
extern const fwd_command device_deldevicecan;
extern const fwd_command device_savecan;
extern const fwd_command device_ctlcan;
extern const fwd_command device_getsdcard;
extern const fwd_command device_setsdcard;
extern const fwd_command device_switchpower;
extern const fwd_command device_sendpulse;
int device_fulloff(const fwd_command *cmd);
extern const fwd_command device_addwebcam;
extern const fwd_command device_delwebcam;

// engine/cmd_log.cpp: the event log and its levels (chronicled).
extern const fwd_command log_loglevel;
extern const fwd_command log_loglevelget;
extern const fwd_command log_log;
extern const fwd_command log_logdate;
extern const fwd_command log_clearlog;

// engine/cmd_notify.cpp: notifiers (heraldd) and SMS (cellulard).
int notify_send_sms(const fwd_command *cmd);
extern const fwd_command notify_addsms;
extern const fwd_command notify_delsms;
extern const fwd_command notify_addmail;
extern const fwd_command notify_delmail;
extern const fwd_command notify_addtrap;
extern const fwd_command notify_deltrap;
int notify_testmessage(const fwd_command *cmd);

// Language rows (getlanguage, dellanguage) belong to the file endpoints
// (engine/files_download.cpp, engine/files_upload.cpp).
int files_getlanguage(const fwd_command *cmd);
int files_dellanguage(const fwd_command *cmd);

// Invocation roles of the file endpoints (engine/main.cpp's role table):
// downloads in engine/files_download.cpp, uploads in engine/files_upload.cpp.
using role_handler = int (*)();
int files_rss();
int files_image();
int files_dump();
int files_settings();
int files_map();
int files_upload_map();
int files_db();
int files_upload_db();
int files_upload_firmware();
int files_language();
int files_upload_language();
