// Users: local login against the account database, the RADIUS server
// setting, and the access lists behind the module, element and group checks.
#include "errors.h"
#include "sql3.h"
#include "uds.h"
#include "zun_text.h"
#include "zunusers.h"
#include "digest.h"

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr const char *USERS_TABLE = "SystemUsers";
constexpr const char *STEWARDD_SOCKET = "/tmp/stewardd.socket";

// Column numbers of SystemUsers, in the table's order.
enum users_column {
  COL_ID,
  COL_VALID,
  COL_NAME,
  COL_PASS,
  COL_REGDATE,
  COL_SREAD,
  COL_SWRITE,
  COL_CREAD,
  COL_CWRITE,
  COL_GREAD,
  COL_GWRITE,
  COL_RFU1,
  COL_RFU2,
};

// Where each text column of a row goes in the record (cut to the field).
struct text_target {
  users_column column;
  size_t offset;
  size_t size;
};
#define ZUN_TEXT_TARGET(col, member) {col, offsetof(zunuser, member), sizeof(zunuser::member)}
constexpr text_target ROW_TEXTS[] = {
    ZUN_TEXT_TARGET(COL_NAME, name),     ZUN_TEXT_TARGET(COL_PASS, pass),
    ZUN_TEXT_TARGET(COL_REGDATE, regdate), ZUN_TEXT_TARGET(COL_SREAD, sread),
    ZUN_TEXT_TARGET(COL_SWRITE, swrite), ZUN_TEXT_TARGET(COL_CREAD, cread),
    ZUN_TEXT_TARGET(COL_CWRITE, cwrite), ZUN_TEXT_TARGET(COL_GREAD, gread),
    ZUN_TEXT_TARGET(COL_GWRITE, gwrite), ZUN_TEXT_TARGET(COL_RFU1, rfu1),
    ZUN_TEXT_TARGET(COL_RFU2, rfu2),
};
#undef ZUN_TEXT_TARGET

// A whole decimal number in [min, max]; false for anything else.
bool parse_int(std::string_view s, long min, long max, long *out)
{
  if (s.empty() || s.size() > 12)
    return false;
  char text[16];
  std::memcpy(text, s.data(), s.size());
  text[s.size()] = '\0';
  char *end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > max)
    return false;
  *out = v;
  return true;
}

// Compares a stored password value with the one given without an early exit
// on the first differing byte.
bool same_secret(const char *stored, const char *given)
{
  size_t ls = std::strlen(stored), lg = std::strlen(given);
  if (ls != lg)
    return false;
  return zun_equal_ct(reinterpret_cast<const uint8_t *>(stored),
                      reinterpret_cast<const uint8_t *>(given), ls);
}

void fill_from_row(sql3 *db, zunuser *user)
{
  zunusers_clear(user);
  long v = 0;
  user->id = parse_int(sql3_get(db, COL_ID), INT32_MIN, INT32_MAX, &v) ? int32_t(v) : -1;
  user->valid = parse_int(sql3_get(db, COL_VALID), INT32_MIN, INT32_MAX, &v) ? int32_t(v) : 0;
  char *base = reinterpret_cast<char *>(user);
  for (const text_target &t : ROW_TEXTS)
    utf8_strlcpy(base + t.offset, sql3_get(db, t.column), t.size);
  strlcpy(user->remote, "NULL", sizeof user->remote);
  if (zunusers_pass_mark(user->pass, user->pass_mark, sizeof user->pass_mark) != 0)
    user->pass_mark[0] = '\0';
}

// ---- access lists ----------------------------------------------------------

// One list of the record: the ids it names, or "all".
struct id_set {
  int32_t *all;
  int32_t *count;
  int32_t *ids;
};

bool set_has(const id_set &set, int32_t id)
{
  for (int32_t i = 0; i < *set.count; i++)
    if (set.ids[i] == id)
      return true;
  return false;
}

// Adds the entries of one list text: "all" grants everything of the kind;
// other entries are decimal ids separated by commas (blanks ignored). An
// entry that is not a positive id grants nothing. More distinct ids than an
// access list holds: -1.
int add_list(const char *text, const id_set &set)
{
  std::string_view rest(text);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
      item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
      item.remove_suffix(1);
    if (item == "all") {
      *set.all = 1;
      continue;
    }
    long id = 0;
    if (!parse_int(item, 1, INT32_MAX, &id) || set_has(set, int32_t(id)))
      continue;
    if (*set.count >= ZUN_ACCESS_MAX)
      return -1;
    set.ids[(*set.count)++] = int32_t(id);
  }
  return 0;
}

// Which lists make up the access list at each level.
struct level_lists {
  int32_t level;
  bool with_read;
};
constexpr level_lists LEVELS[] = {{0, true}, {2, false}};

}  // namespace

void zunusers_clear(zunuser *user)
{
  std::memset(user, 0, sizeof *user);
  user->id = -1;
}

int zunusers_auth_local(const char *name, const char *pass, zunuser *user)
{
  if (name == nullptr || pass == nullptr || name[0] == '\0' || pass[0] == '\0')
    return ZUN_ERR_LOGIN;
  sql3 db;
  if (sql3_open(&db, USERS_DB_PATH) != 0)
    return ZUN_ERR_LOGIN;
  // A name may have several rows (disabled ones stay): the first enabled row
  // with the password wins, else the first disabled one, so that the caller
  // can tell a disabled account from a wrong password.
  bool found = false;
  for (int rc = sql3_select(&db, USERS_TABLE, "Name", name); rc == 0; rc = sql3_select_next(&db)) {
    if (!same_secret(sql3_get(&db, COL_PASS), pass))
      continue;
    long valid = 0;
    bool enabled = parse_int(sql3_get(&db, COL_VALID), LONG_MIN / 2, LONG_MAX / 2, &valid) &&
                   valid != 0;
    if (!found || enabled) {
      fill_from_row(&db, user);
      found = true;
    }
    if (enabled)
      break;
  }
  sql3_close(&db);
  return found ? 0 : ZUN_ERR_LOGIN;
}

void zunusers_take_account(zunuser *session, const zunuser *account)
{
  char *to = reinterpret_cast<char *>(session);
  const char *from = reinterpret_cast<const char *>(account);
  for (const text_target &t : ROW_TEXTS)
    if (t.column != COL_PASS)
      std::memcpy(to + t.offset, from + t.offset, t.size);
  session->valid = account->valid;
  std::memcpy(session->pass_mark, account->pass_mark, sizeof session->pass_mark);
}

int zunusers_refresh_local(zunuser *user)
{
  sql3 db;
  if (sql3_open(&db, USERS_DB_PATH) != 0)
    return 0;
  static zunuser row;
  bool found = sql3_select_int(&db, USERS_TABLE, "ID", user->id) == 0;
  if (found)
    fill_from_row(&db, &row);
  sql3_close(&db);
  if (!found || row.valid == 0 || row.pass_mark[0] == '\0' ||
      std::strcmp(row.pass_mark, user->pass_mark) != 0)
    return ZUN_ERR_NO_SESSION;
  zunusers_take_account(user, &row);
  return 0;
}

int zunusers_get_radius_server(char *buf, size_t size)
{
  if (buf == nullptr || size == 0)
    return -1;
  BoundedText cmd(buf, size);
  if (!cmd.append("<getradius />")) {
    buf[0] = '\0';
    return -1;
  }
  if (udsclient_exchange(STEWARDD_SOCKET, buf, size) != 0) {
    buf[0] = '\0';
    return -1;
  }
  size_t n = std::strlen(buf);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' '))
    buf[--n] = '\0';
  // The description is plain text; an XML reply (an error) is not one.
  if (n == 0 || buf[0] == '<') {
    buf[0] = '\0';
    return -1;
  }
  return 0;
}

int zunusers_create_access_list(zunuser *user, char *work, size_t work_size)
{
  (void)work;  // the lists are read in place
  (void)work_size;
  const level_lists *lv = nullptr;
  for (const level_lists &l : LEVELS)
    if (l.level == user->level)
      lv = &l;
  zun_access_list &acc = user->access;
  std::memset(&acc, 0, sizeof acc);
  if (lv == nullptr)
    return ZUN_ERR_ACCESS_LIST;
  const id_set components{&acc.all_components, &acc.ncomponents, acc.components};
  const id_set groups{&acc.all_groups, &acc.ngroups, acc.groups};
  int rc = add_list(user->cwrite, components) | add_list(user->gwrite, groups);
  if (lv->with_read)
    rc |= add_list(user->cread, components) | add_list(user->gread, groups);
  if (rc != 0) {
    std::memset(&acc, 0, sizeof acc);
    return ZUN_ERR_ACCESS_LIST;
  }
  return 0;
}

namespace {

// The counts come from a file: never trust them past the arrays.
bool listed(int32_t all, int32_t count, const int32_t *ids, int32_t id)
{
  if (all != 0)
    return true;
  if (count < 0 || count > ZUN_ACCESS_MAX)
    return false;
  for (int32_t i = 0; i < count; i++)
    if (ids[i] == id)
      return true;
  return false;
}

}  // namespace

int zunusers_check_module(const zunuser *user, int module)
{
  const zun_access_list &a = user->access;
  return listed(a.all_components, a.ncomponents, a.components, module) ? 0 : ZUN_ERR_ACCESS;
}

int zunusers_check_element(const zunuser *user, int element, int module)
{
  const zun_access_list &a = user->access;
  return listed(a.all_components, a.ncomponents, a.components, element) ||
                 listed(a.all_components, a.ncomponents, a.components, module)
             ? 0
             : ZUN_ERR_ACCESS;
}

int zunusers_check_group(const zunuser *user, int group)
{
  const zun_access_list &a = user->access;
  return listed(a.all_groups, a.ngroups, a.groups, group) ? 0 : ZUN_ERR_ACCESS;
}
