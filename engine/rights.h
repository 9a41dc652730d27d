// Sessions and rights: may the session of this request do this to that?
#pragma once
#include <cstddef>

#include "forward.h"
#include "zunusers.h"

// Sections of the rights lists, by index (the text searched is the name
// followed by a comma; "all" anywhere in a list grants every section).
enum zun_section : int {
  SEC_NONE = -1,  // no check at all (querytype row without rights)
  SEC_ALL = 0,
  SEC_ACCESSKEYS = 1,
  SEC_CAMERAS = 2,
  SEC_CANBUS = 3,
  SEC_DEVVIRT = 4,
  SEC_ELEMENTS = 5,
  SEC_GROUPS = 6,
  SEC_GSM = 7,
  SEC_LANGUAGES = 8,
  SEC_LOG = 9,
  SEC_LOGICS = 10,
  SEC_MODULES = 11,
  SEC_NOTIFY = 12,
  SEC_RELAYS = 13,
  SEC_SDCARD = 14,
  SEC_SYSTEM = 15,
  SEC_USERS = 16,
  SEC_VIEW = 17,
  SEC_SESSION_ONLY = 18,  // a valid session, no section test
};

enum zun_level : int { LEVEL_READ = 0, LEVEL_WRITE = 2 };

// The user of this request: cleared (id -1) at the start of every check,
// filled with the session's record when a check succeeds.
extern zunuser current_user;

// 0 when the request may proceed; -101 access denied, -102 no loadable
// session (also for a key that is not 1 to 20 decimal digits, and for a
// local account whose row has since been disabled), -103 no key, or the
// access-list step's code. Reads the parameters `k` and `id`. On success
// the session file is rewritten (temporary file and rename) and
// current_user holds the record. `querytype` is used in a log line only.
int rights_check(const char *querytype, int section, int level);

// True when the user of this request (after a successful check) holds the
// right for the section at the level; FWD_SECTION_OF_ITEM asks for the
// section of the item `id` names, as the check remaps elements.
bool rights_may(int section, int level);

// rights_check, and for a non-zero result the error reply for the code.
int rights_check_reply(const char *querytype, int section, int level);

// The section that the dispatcher's section becomes for the element
// database item `id` (kind, class and type of the item); unchanged when the
// lookup fails or no rule fits, outside sections 1 to 17, and for section
// users (an account number is no element id).
int rights_remap_section(int section, int id);

// The folder of the session files, as written.
inline constexpr const char *SESSION_FOLDER = "/var/users/";

// The session file path of key `key` ("/var/users/KEY.session", or with a
// suffix before ".session"), as written (the session calls map it under the
// root), into out. -1 when the key is not 1 to 20 decimal digits or the path
// does not fit.
int session_path(const char *key, const char *suffix, char *out, size_t size);

// Temporary session files end so ("/var/users/KEY_PID_tmp.session"): they
// are never taken for a session, and the login removes stale ones.
inline constexpr const char *SESSION_TEMP_SUFFIX = "_tmp";

// Writes the record whole onto `mapped_path` (a path under the root): saved
// into a temporary file of this process for `key`, then renamed, so that a
// reader sees the old record or the new one, never a part. 0 on success;
// on failure nothing is left behind.
int session_store(const zunuser &user, const char *key, const char *mapped_path);

// querytype "auth": log in by name and `h`, create or reuse a session, write
// the user element.
int auth_login(const fwd_command *cmd);
