// querytype "auth": the login, its sessions and their aliases.
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "errors.h"
#include "forward.h"
#include "params.h"
#include "request.h"
#include "rights.h"
#include "zun_fault.h"
#include "zun_path.h"
#include "zun_text.h"
#include "zunutils.h"

namespace {

constexpr time_t ALIAS_IDLE_SECONDS = 180;

struct dir_closer {
  DIR *d;
  ~dir_closer()
  {
    if (d != nullptr)
      closedir(d);
  }
};

// Session keys: uniform over 1 to 10^15-1, so that guessing one of a few
// live sessions takes far more requests than a LAN can carry, while a
// browser that reads the key as a number still reads it exactly.
constexpr uint64_t SESSION_KEY_BOUND = 999999999999999ull;

void new_key(zunuser &user)
{
  zun_format(user.key, sizeof user.key, "%llu",
             static_cast<unsigned long long>(1 + zunutils_random_below(SESSION_KEY_BOUND)));
}

// The user element of a successful login, no line end.
void print_login_reply(const zunuser &u)
{
  std::printf("<user id=\"%i\" k=\"", u.id);
  print_attr_text(u.key);
  const struct {
    const char *attr;
    const char *text;
  } fields[] = {
      {"\" name=\"", u.name},     {"\" sread=\"", u.sread}, {"\" swrite=\"", u.swrite},
      {"\" cread=\"", u.cread},   {"\" cwrite=\"", u.cwrite}, {"\" gread=\"", u.gread},
      {"\" gwrite=\"", u.gwrite},
  };
  for (const auto &f : fields) {
    std::fputs(f.attr, stdout);
    print_attr_text(f.text);
  }
  std::fputs("\" />", stdout);
}

// A temporary session file younger than this may still be in the hands of
// the request writing it.
constexpr time_t TEMP_STALE_SECONDS = 10;

bool ends_with(const char *text, std::string_view tail)
{
  size_t n = std::strlen(text);
  return n >= tail.size() && std::memcmp(text + n - tail.size(), tail.data(), tail.size()) == 0;
}

// Calls fn(rel, path, st) for every entry of the session folder whose name
// holds ".session": rel as the session calls take it, path under the root,
// st the entry itself (links not followed).
template <class Fn>
void for_each_session(DIR *dir, const char *folder, Fn fn)
{
  rewinddir(dir);
  while (struct dirent *ent = readdir(dir)) {
    if (std::strstr(ent->d_name, ".session") == nullptr)
      continue;
    char rel[1024];
    char path[1024];
    struct stat st;
    if (zun_format(rel, sizeof rel, "%s%s", SESSION_FOLDER, ent->d_name) &&
        zun_format(path, sizeof path, "%s%s", folder, ent->d_name) && lstat(path, &st) == 0)
      fn(rel, path, st);
  }
}

// Looks through the session folder: when the user already has a session
// file, makes a new alias to it for this login; and cleans up: session files
// that no longer load (expired or damaged), stale temporary files, idle
// aliases and aliases whose file is gone are removed, so the folder (RAM on
// the board) does not grow with every login. Returns 1 when an alias was
// made (user then holds that session with the new key), 0 when none, -1
// when the folder cannot be opened.
int reuse_session(zunuser &user)
{
  char folder[1024];
  if (zunpath_map(SESSION_FOLDER, folder, sizeof folder) != 0)
    return -1;
  dir_closer dir{opendir(folder)};
  if (dir.d == nullptr)
    return -1;
  static zunuser other;
  static zunuser account;
  int aliased = 0;
  time_t now = time(nullptr);
  std::string temp_tail = std::string(SESSION_TEMP_SUFFIX) + ".session";
  // The files first, so that the links are judged against what stays.
  for_each_session(dir.d, folder, [&](const char *rel, const char *path, const struct stat &st) {
    if (!S_ISREG(st.st_mode))
      return;
    if (ends_with(path, temp_tail)) {
      if (now - st.st_mtime > TEMP_STALE_SECONDS)
        zf::unlink(path);
      return;
    }
    if (zunusers_load_user(&other, rel) != 0) {
      zf::unlink(path);
      return;
    }
    // Only the same account's session: a RADIUS user named like a local
    // account (or another account of that name) never joins its session.
    if (strcasecmp(other.name, user.name) != 0 || other.radius != user.radius || other.id != user.id)
      return;
    if (user.radius == 0 && std::strcmp(other.pass_mark, user.pass_mark) != 0) {
      zf::unlink(path);  // opened with a password that has since changed: ended
      return;
    }
    // The session's record, with the account as the login just found it (a
    // right taken away since is not handed back).
    account = user;
    user = other;
    zunusers_take_account(&user, &account);
    new_key(user);
    // The alias names the file under the root, so that it resolves.
    char alias_rel[1024];
    char alias[1024];
    if (session_path(user.key, "", alias_rel, sizeof alias_rel) != 0 ||
        zunpath_map(alias_rel, alias, sizeof alias) != 0 || zf::symlink(path, alias) != 0) {
      zf::unlink(path);
      return;
    }
    aliased = 1;
  });
  for_each_session(dir.d, folder, [&](const char *, const char *path, const struct stat &st) {
    struct stat target;
    if (S_ISLNK(st.st_mode) && (now - st.st_atime > ALIAS_IDLE_SECONDS || stat(path, &target) != 0))
      zf::unlink(path);
  });
  return aliased;
}

void reply_code(int rc)
{
  if (rc < 0)
    error_print(rc);
}

}  // namespace

// auth?name=NAME&h=PASSWORD-VALUE
int auth_login(const fwd_command *)
{
  static zunuser user;
  zunusers_clear(&user);
  const char *name = param_get("name");
  const char *h = param_get("h");
  const char *remote = request().remote_addr;
  if (name == nullptr || h == nullptr) {
    error_print(ZUN_ERR_NO_PARAM);
    return -1;
  }
  int rc = zunusers_auth_local(name, h, &user);
  if (rc != 0) {
    char server[1024] = "";
    if (zunusers_get_radius_server(server, sizeof server) != 0) {
      reply_code(rc);
      return -1;
    }
    rc = zunusers_auth_radius(server, name, h, &user);
    if (rc != 0) {
      reply_code(rc);
      return -1;
    }
  }
  if (user.valid == 0) {
    error_print(ZUN_ERR_DISABLED);
    return -1;
  }

  int reused = reuse_session(user);
  if (reused < 0) {
    error_print(ZUN_ERR_SESSION_DIR);
    return -1;
  }
  if (reused == 0) {
    strlcpy(user.remote, remote != nullptr ? remote : "NULL", sizeof user.remote);
    new_key(user);
    rc = zunusers_create_access_list(&user, command_buffer, COMMAND_AREA);
    if (rc != 0) {
      reply_code(rc);
      return -1;
    }
    char rel[1024];
    char path[1024];
    if (session_path(user.key, "", rel, sizeof rel) != 0 || zunpath_map(rel, path, sizeof path) != 0 ||
        session_store(user, user.key, path) != 0) {
      error_print(ZUN_ERR_SESSION_SAVE);
      return -1;
    }
  }
  print_login_reply(user);
  return 0;
}
