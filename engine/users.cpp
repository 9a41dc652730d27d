// Local accounts: the SystemUsers table of the account database.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "families.h"
#include "params.h"
#include "rights.h"
#include "sql3.h"
#include "zun_text.h"
#include "zunusers.h"

namespace {

constexpr const char *TABLE = "SystemUsers";
constexpr const char *TXT_WRONG_FILE = "wrong userlist file";
constexpr const char *TXT_NOT_FOUND = "user not found";
constexpr const char *TXT_EXISTS = "user already exists";

constexpr size_t NAME_SIZE = 64;    // name and password value: 63 characters
constexpr size_t LIST_SIZE = 1024;  // rights lists: 1,023 characters

// Columns of SystemUsers by number.
enum { COL_ID = 0, COL_VALID = 1, COL_NAME = 2, COL_SREAD = 5 };

// The account fields a request may set, in the order they are applied, with
// the column each one sets and the size it is cut to.
struct account_field {
  const char *param;
  const char *column;
  size_t size;
};
constexpr account_field kFields[] = {
    {"name", "Name", NAME_SIZE},     {"h", "Pass", NAME_SIZE},
    {"sread", "SRead", LIST_SIZE},   {"swrite", "SWrite", LIST_SIZE},
    {"cread", "CRead", LIST_SIZE},   {"cwrite", "CWrite", LIST_SIZE},
    {"gread", "GRead", LIST_SIZE},   {"gwrite", "GWrite", LIST_SIZE},
    {"rfu1", "RFU1", LIST_SIZE},     {"rfu2", "RFU2", LIST_SIZE},
};
constexpr size_t FIELD_COUNT = sizeof kFields / sizeof kFields[0];

// The database handle, closed whatever way a handler leaves.
struct account_db {
  sql3 h;
  bool open = false;
  int open_file() { return (open = sql3_open(&h, USERS_DB_PATH) == 0) ? 0 : -1; }
  ~account_db()
  {
    if (open)
      sql3_close(&h);
  }
  void close()
  {
    if (open)
      sql3_close(&h);
    open = false;
  }
};


// One user element of the current row, no line end.
void print_user_row(sql3 &h)
{
  char name[NAME_SIZE];
  char list[LIST_SIZE];
  std::printf("<user id=\"%i\" name=\"", zun_strtol32(sql3_get(&h, COL_ID), nullptr, 10));
  strlcpy(name, sql3_get(&h, COL_NAME), sizeof name);
  print_attr_text(name);
  static const char *const attrs[] = {"sread", "swrite", "cread", "cwrite", "gread", "gwrite"};
  for (int i = 0; i < 6; i++) {
    std::printf("\" %s=\"", attrs[i]);
    strlcpy(list, sql3_get(&h, COL_SREAD + i), sizeof list);
    print_attr_text(list);
  }
  std::fputs("\" />", stdout);
}

}  // namespace

// getuser[?id=N]: one account (enabled or not), or every enabled account.
int user_get(const fwd_command *)
{
  account_db db;
  if (db.open_file() != 0)
    return reply_text(TXT_WRONG_FILE);
  const char *id = param_get("id");
  if (id != nullptr) {
    // The account number as the rights check read it, bound as a number.
    int number = forward_read_id(id);
    if (number < 0 || sql3_select_int(&db.h, TABLE, "ID", number) != 0) {
      db.close();
      return reply_text(TXT_NOT_FOUND);
    }
    std::fputs("<users>\n", stdout);
    print_user_row(db.h);
    std::fputs("</users>\n", stdout);
    return 0;
  }
  if (sql3_select(&db.h, TABLE, "Valid", "1") != 0)
    return 0;
  std::fputs("<users>\n", stdout);
  do
    print_user_row(db.h);
  while (sql3_select_next(&db.h) == 0);
  std::fputs("</users>\n", stdout);
  return 0;
}

// adduser?[id=N&]name&h&sread&swrite[&cread&cwrite&gread&gwrite&rfu1&rfu2]
int user_add(const fwd_command *)
{
  if (current_user.id == 0)
    return reply_text(TXT_ACCESS);
  const char *given[FIELD_COUNT];
  static char values[FIELD_COUNT][LIST_SIZE];
  for (size_t i = 0; i < FIELD_COUNT; i++) {
    given[i] = param_get(kFields[i].param);
    strlcpy(values[i], given[i] != nullptr ? given[i] : "", kFields[i].size);
  }
  account_db db;
  if (db.open_file() != 0)
    return reply_text(TXT_WRONG_FILE);

  const char *id = param_get("id");
  if (id != nullptr) {
    int number = forward_read_id(id);
    if (number < 0 || sql3_select_int(&db.h, TABLE, "ID", number) != 0 ||
        zun_strtol32(sql3_get(&db.h, COL_VALID), nullptr, 10) == 0) {
      db.close();
      return reply_text(TXT_NOT_FOUND);
    }
    // All the given fields or none of them.
    int rc = sql3_begin(&db.h);
    for (size_t i = 0; i < FIELD_COUNT && rc == 0; i++)
      if (given[i] != nullptr)
        rc = sql3_update_int(&db.h, TABLE, "ID", number, kFields[i].column, values[i]);
    rc = rc == 0 ? sql3_commit(&db.h) : rc;
    db.close();
    return reply_text(rc == 0 ? TXT_NO_ERROR : TXT_WRONG_FILE);
  }

  for (size_t i = 0; i < 4; i++) {  // name, h, sread, swrite
    if (given[i] == nullptr) {
      db.close();
      return reply_text(TXT_MISSING);
    }
  }
  if (sql3_select(&db.h, TABLE, "Name", values[0]) == 0) {
    do {
      if (zun_strtol32(sql3_get(&db.h, COL_VALID), nullptr, 10) != 0) {
        db.close();
        return reply_text(TXT_EXISTS);
      }
    } while (sql3_select_next(&db.h) == 0);
  }
  // Every value as an SQL string literal: no value can change the statement.
  static char sql[FIELD_COUNT * (2 * LIST_SIZE + 4) + 128];
  BoundedText out(sql, sizeof sql);
  out.append("'1'");
  for (size_t i = 0; i < FIELD_COUNT; i++) {
    char quoted[2 * LIST_SIZE + 4];
    if (!sql3_quote(values[i], quoted, sizeof quoted))
      return 0;
    out.append(",");
    out.append(quoted);
    if (i == 1)
      out.append(",datetime('now', 'localtime')");
  }
  if (out.truncated())
    return 0;
  int rc = sql3_insert(&db.h, TABLE, "Valid,Name,Pass,RegDate,SRead,SWrite,CRead,CWrite,GRead,GWrite,RFU1,RFU2",
                       sql);
  db.close();
  return reply_text(rc == 0 ? TXT_NO_ERROR : TXT_WRONG_FILE);
}

// deluser?id=N: disable an account (never the caller's own).
int user_del(const fwd_command *)
{
  const char *id = param_get("id");
  if (id == nullptr)
    return reply_text(TXT_MISSING);
  int number = forward_read_id(id);
  if (current_user.id == 0 || number == current_user.id)
    return reply_text(TXT_ACCESS);
  account_db db;
  if (db.open_file() != 0)
    return reply_text(TXT_WRONG_FILE);
  int rc = number >= 0 ? sql3_update_int(&db.h, TABLE, "ID", number, "Valid", "0") : 0;
  db.close();
  return reply_text(rc == 0 ? TXT_NO_ERROR : TXT_WRONG_FILE);
}
