// querytype "auth": the login, its sessions and their aliases.
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "errors.h"
#include "forward.h"
#include "params.h"
#include "request.h"
#include "rights.h"
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

void new_key(zunuser &user) { zun_format(user.key, sizeof user.key, "%u", zunutils_random_uint()); }

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

// Looks through the session folder: drops idle aliases and, when the user
// already has a session file, makes a new alias to it for this login.
// Returns 1 when an alias was made (user then holds that session with the
// new key), 0 when none, -1 when the folder cannot be opened.
int reuse_session(zunuser &user)
{
  constexpr const char *FOLDER = "/var/users/";
  char folder[1024];
  if (zunpath_map(FOLDER, folder, sizeof folder) != 0)
    return -1;
  dir_closer dir{opendir(folder)};
  if (dir.d == nullptr)
    return -1;
  static zunuser other;
  int aliased = 0;
  time_t now = time(nullptr);
  while (struct dirent *ent = readdir(dir.d)) {
    if (std::strstr(ent->d_name, ".session") == nullptr)
      continue;
    char rel[1024];  // as the session calls take it
    char path[1024];  // under the root
    if (!zun_format(rel, sizeof rel, "%s%s", FOLDER, ent->d_name) ||
        !zun_format(path, sizeof path, "%s%s", folder, ent->d_name))
      continue;
    struct stat st;
    if (lstat(path, &st) != 0)
      continue;
    if (S_ISLNK(st.st_mode)) {
      if (now - st.st_atime > ALIAS_IDLE_SECONDS)
        unlink(path);
      continue;
    }
    if (!S_ISREG(st.st_mode))
      continue;
    if (zunusers_load_user(&other, rel) != 0 || strcasecmp(other.name, user.name) != 0)
      continue;
    if (zunusers_load_user(&user, rel) != 0) {
      unlink(path);
      continue;
    }
    new_key(user);
    // The alias names the file under the root, so that it resolves.
    char alias_rel[1024];
    char alias[1024];
    if (session_path(user.key, "", alias_rel, sizeof alias_rel) != 0 ||
        zunpath_map(alias_rel, alias, sizeof alias) != 0 || symlink(path, alias) != 0) {
      unlink(path);
      continue;
    }
    aliased = 1;
  }
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
    char path[1024];
    if (session_path(user.key, "", path, sizeof path) != 0 || zunusers_save_user(&user, path) != 0) {
      error_print(ZUN_ERR_SESSION_SAVE);
      return -1;
    }
  }
  print_login_reply(user);
  return 0;
}
