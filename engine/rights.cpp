// Sessions and rights: the one question "may this session do this to that?"
#include "rights.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errors.h"
#include "params.h"
#include "zun_fault.h"
#include "zun_path.h"
#include "zun_text.h"
#include "zundb.h"
#include "zunlog.h"

zunuser current_user;

namespace {

// Texts searched in the rights lists, by section index.
constexpr const char *kSectionNames[] = {
    "all,",     "accesskeys,", "cameras,", "canbus,",  "devvirt,", "elements,",
    "groups,",  "gsm,",        "languages,", "log,",   "logics,",  "modules,",
    "notify,",  "relays,",     "sdcard,",  "system,",  "users,",   "view,",
};

constexpr size_t MAX_KEY_DIGITS = 20;
constexpr size_t LOG_LINE_SIZE = 512;  // log lines are cut at 511 characters

bool list_has(const char *list, const char *text) { return std::strstr(list, text) != nullptr; }

bool granted(const zunuser &user, int section, int level)
{
  const char *p = kSectionNames[section];
  if (level == LEVEL_READ)
    return list_has(user.sread, p) || list_has(user.sread, "all") || list_has(user.swrite, p) ||
           list_has(user.swrite, "all");
  if (level == LEVEL_WRITE)
    return list_has(user.swrite, p) || list_has(user.swrite, "all");
  return false;
}

// True when the file `a` was last changed strictly before the file `b`
// (both mapped paths; links followed). False when either cannot be asked.
bool changed_before(const char *a, const char *b)
{
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0)
    return false;
  if (sa.st_mtim.tv_sec != sb.st_mtim.tv_sec)
    return sa.st_mtim.tv_sec < sb.st_mtim.tv_sec;
  return sa.st_mtim.tv_nsec < sb.st_mtim.tv_nsec;
}

// A local account's session follows its row: it ends when the row is gone,
// disabled or has another password, and it takes the row's rights lists, so
// a right taken away is gone from every session at once. RADIUS users have
// no row. Without an account database there is no row to ask: the session
// stays, and the account commands answer "wrong userlist file".
//
// A session file is written only by a login that read the row or by a check
// that did; so when the account database has not changed since the session
// file was last written, the record still matches the row and the row is not
// read again (the database costs dozens of system calls on every request).
// Equal times count as a change, so a file system that keeps whole seconds
// only still asks.
bool account_current(zunuser &user, const char *session_file)
{
  if (user.radius != 0)
    return true;
  char db_path[1024];
  char session_mapped[1024];
  if (zunpath_map(USERS_DB_PATH, db_path, sizeof db_path) == 0 &&
      zunpath_map(session_file, session_mapped, sizeof session_mapped) == 0 &&
      changed_before(db_path, session_mapped))
    return true;
  return zunusers_refresh_local(&user) == 0;
}

// Writes the record back onto the session file of `key` or, for an alias,
// onto the file the alias names.
void session_refresh(const zunuser &user, const char *key)
{
  char rel[1024];
  char path[1024];
  if (session_path(key, "", rel, sizeof rel) != 0 || zunpath_map(rel, path, sizeof path) != 0)
    return;
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    char target[1025];
    ssize_t n = readlink(path, target, 1024);
    if (n <= 0)
      return;
    target[n] = '\0';
    // The login drops aliases by the link's own access time. Following a
    // link updates it only now and then (relatime, noatime), so a use of
    // the alias is written down here, or a busy alias would be dropped.
    const struct timespec used[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
    utimensat(AT_FDCWD, path, used, AT_SYMLINK_NOFOLLOW);
    strlcpy(path, target, sizeof path);
  }
  session_store(user, key, path);
}

}  // namespace

int session_store(const zunuser &user, const char *key, const char *mapped_path)
{
  // Several requests of one session run at once: each writes a temporary
  // file of its own, so that none truncates another's before the rename.
  char suffix[32];
  char tmp[1024];
  char mapped_tmp[1024];
  zun_format(suffix, sizeof suffix, "_%d%s", static_cast<int>(getpid()), SESSION_TEMP_SUFFIX);
  if (session_path(key, suffix, tmp, sizeof tmp) != 0 ||
      zunpath_map(tmp, mapped_tmp, sizeof mapped_tmp) != 0)
    return -1;
  if (zunusers_save_user(&user, tmp) != 0 || zf::rename(mapped_tmp, mapped_path) != 0) {
    zf::unlink(mapped_tmp);
    return -1;
  }
  return 0;
}

int session_path(const char *key, const char *suffix, char *out, size_t size)
{
  size_t n = std::strlen(key);
  if (n == 0 || n > MAX_KEY_DIGITS || std::strspn(key, "0123456789") != n)
    return -1;
  return zun_format(out, size, "%s%s%s.session", SESSION_FOLDER, key, suffix) ? 0 : -1;
}

int rights_remap_section(int section, int id)
{
  // The account commands (section users) carry an account number in `id`:
  // no item of the element database, whatever number it shares with one.
  if (section < 1 || section > 17 || section == SEC_USERS || id <= 0)
    return section;
  int kind = 0, clas = 0, type = 0;
  if (zunelement_type_by_id(id, &kind, &clas, &type) != 0)
    return section;
  if (kind == ZUNDB_KIND_GROUP)
    return SEC_GROUPS;
  if (kind == ZUNDB_KIND_MODULE)
    return SEC_MODULES;
  if (clas == 4 && (type == 2 || type == 3))
    return SEC_CAMERAS;
  if (clas == 4 && type == 4)
    return SEC_GSM;
  if (clas == 5)
    return type == 3 ? SEC_LOGICS : SEC_DEVVIRT;
  if (clas == 3 && (type == 1 || type == 2))
    return SEC_RELAYS;
  if (clas == 6)
    return SEC_NOTIFY;
  return section;
}

int rights_check(const char *querytype, int section, int level)
{
  zunusers_clear(&current_user);
  const char *key = param_get("k");
  const char *id_text = param_get("id");
  int id = forward_read_id(id_text);
  char line[LOG_LINE_SIZE];

  if (key == nullptr) {
    zun_format(line, sizeof line, "No user identify for querystr=%s", querytype);
    zunlog_message(nullptr, line, 7);
    return ZUN_ERR_NO_PARAM;
  }
  static zunuser user;
  char path[1024];
  if (session_path(key, "", path, sizeof path) != 0 || zunusers_load_user(&user, path) != 0 ||
      !account_current(user, path))
    return ZUN_ERR_NO_SESSION;

  section = rights_remap_section(section, id);
  if (section != SEC_SESSION_ONLY && (section < 0 || section > 17 || !granted(user, section, level))) {
    zun_format(line, sizeof line, "Access denied for user ID='%i', IP: '%s'", user.id, user.remote);
    zunlog_message("access", line, 8);
    return ZUN_ERR_ACCESS;
  }
  user.level = level;
  int rc = zunusers_create_access_list(&user, command_buffer, COMMAND_AREA);
  if (rc != 0)
    return rc;
  session_refresh(user, key);
  current_user = user;
  return 0;
}

bool rights_may(int section, int level)
{
  if (section == FWD_SECTION_OF_ITEM)
    section = rights_remap_section(SEC_ELEMENTS, forward_read_id(param_get("id")));
  return section == SEC_SESSION_ONLY || (section >= 0 && section <= 17 && granted(current_user, section, level));
}

int rights_check_reply(const char *querytype, int section, int level)
{
  int rc = rights_check(querytype, section, level);
  if (rc != 0)
    error_print(rc);
  return rc;
}
