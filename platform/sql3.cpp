// Small SQLite wrapper for the account database.
//
// Values always travel as bound parameters; table and column names come from
// the calling code and are checked to be plain identifiers before they are
// put into a statement. The one place where SQL text from the caller enters a
// statement is sql3_insert's value list, which callers build with sql3_quote;
// it must compile to exactly one statement without parameters.
//
// Results: 0 success / a row is current; 1 no (further) row; negative on
// failure (file, statement or identifier).
#include "sql3.h"

#include "zun_fault.h"
#include "zun_path.h"
#include "zun_text.h"

#include <climits>
#include <cstring>
#include <sqlite3.h>
#include <string>

namespace {

constexpr int SQL3_NO_ROW = 1;
constexpr int SQL3_BUSY_MS = 2000;  // other engine processes may hold the file
constexpr size_t SQL3_STATEMENT_MAX = 4096;

bool ident_char(char c, bool first)
{
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_')
    return true;
  return !first && c >= '0' && c <= '9';
}

// A table or column name: letters, digits and '_', not starting with a digit.
bool is_identifier(std::string_view s)
{
  if (s.empty() || s.size() > 64)
    return false;
  for (size_t i = 0; i < s.size(); i++)
    if (!ident_char(s[i], i == 0))
      return false;
  return true;
}

// "A,B, C": identifiers separated by commas (blanks around them allowed).
bool is_identifier_list(std::string_view s)
{
  if (s.empty())
    return false;
  for (;;) {
    size_t comma = s.find(',');
    std::string_view item = s.substr(0, comma);
    while (!item.empty() && item.front() == ' ')
      item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ')
      item.remove_suffix(1);
    if (!is_identifier(item))
      return false;
    if (comma == std::string_view::npos)
      return true;
    s.remove_prefix(comma + 1);
  }
}

void finalize_selection(sql3 *h)
{
  if (h->stmt != nullptr) {
    sqlite3_finalize(h->stmt);
    h->stmt = nullptr;
  }
}

// Prepares text as exactly one statement; anything but blanks after it is
// refused, so a value can never add a statement of its own.
int prepare_one(sql3 *h, const char *text, sqlite3_stmt **out)
{
  *out = nullptr;
  const char *tail = nullptr;
  if (sqlite3_prepare_v2(h->db, text, -1, out, &tail) != SQLITE_OK || *out == nullptr) {
    sqlite3_finalize(*out);
    *out = nullptr;
    return -1;
  }
  for (; tail != nullptr && *tail != '\0'; tail++) {
    if (*tail != ' ' && *tail != '\t' && *tail != '\n' && *tail != '\r') {
      sqlite3_finalize(*out);
      *out = nullptr;
      return -1;
    }
  }
  return 0;
}

// Runs a write statement to its end.
int run_to_done(sqlite3_stmt *stmt)
{
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE ? 0 : -1;
}

}  // namespace

int sql3_open(sql3 *h, const char *path)
{
  h->db = nullptr;
  h->stmt = nullptr;
  char mapped[PATH_MAX];
  if (path == nullptr || zunpath_map(path, mapped, sizeof mapped) != 0)
    return -1;
  zun_fault_sqlite();
  if (sqlite3_open_v2(mapped, &h->db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sql3_close(h);
    return -1;
  }
  sqlite3_busy_timeout(h->db, SQL3_BUSY_MS);
  // Opening is lazy: read the schema now so that a file which is not a
  // database is refused here rather than at the first statement.
  sqlite3_stmt *probe = nullptr;
  if (prepare_one(h, "PRAGMA schema_version", &probe) != 0 || sqlite3_step(probe) != SQLITE_ROW) {
    sqlite3_finalize(probe);
    sql3_close(h);
    return -1;
  }
  sqlite3_finalize(probe);
  return 0;
}

namespace {

// A key value of a statement: a text, or (text null) an integer.
struct key_value {
  const char *text;
  long long number;
};

int bind_key(sqlite3_stmt *stmt, int index, const key_value &key)
{
  return key.text != nullptr ? sqlite3_bind_text(stmt, index, key.text, -1, SQLITE_TRANSIENT)
                             : sqlite3_bind_int64(stmt, index, key.number);
}

int select_by(sql3 *h, const char *table, const char *column, const key_value &key)
{
  if (h->db == nullptr)
    return -1;
  finalize_selection(h);
  if (table == nullptr || column == nullptr || !is_identifier(table) || !is_identifier(column))
    return -1;
  char text[SQL3_STATEMENT_MAX];
  if (!zun_format(text, sizeof text, "SELECT * FROM \"%s\" WHERE \"%s\" = ?1", table, column))
    return -1;
  if (prepare_one(h, text, &h->stmt) != 0)
    return -1;
  if (bind_key(h->stmt, 1, key) != SQLITE_OK) {
    finalize_selection(h);
    return -1;
  }
  return sql3_select_next(h);
}

int update_by(sql3 *h, const char *table, const char *keycol, const key_value &key,
              const char *column, const char *newval)
{
  if (h->db == nullptr || table == nullptr || keycol == nullptr || column == nullptr ||
      newval == nullptr || !is_identifier(table) || !is_identifier(keycol) || !is_identifier(column))
    return -1;
  char text[SQL3_STATEMENT_MAX];
  if (!zun_format(text, sizeof text, "UPDATE \"%s\" SET \"%s\" = ?1 WHERE \"%s\" = ?2", table,
                  column, keycol))
    return -1;
  sqlite3_stmt *stmt = nullptr;
  if (prepare_one(h, text, &stmt) != 0)
    return -1;
  if (sqlite3_bind_text(stmt, 1, newval, -1, SQLITE_TRANSIENT) != SQLITE_OK ||
      bind_key(stmt, 2, key) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return -1;
  }
  return run_to_done(stmt);
}

}  // namespace

int sql3_select(sql3 *h, const char *table, const char *column, const char *value)
{
  return value != nullptr ? select_by(h, table, column, {value, 0}) : -1;
}

int sql3_select_int(sql3 *h, const char *table, const char *column, long long value)
{
  return select_by(h, table, column, {nullptr, value});
}

int sql3_select_next(sql3 *h)
{
  if (h->db == nullptr || h->stmt == nullptr)
    return -1;
  int rc = sqlite3_step(h->stmt);
  if (rc == SQLITE_ROW)
    return 0;
  finalize_selection(h);
  return rc == SQLITE_DONE ? SQL3_NO_ROW : -1;
}

const char *sql3_get(sql3 *h, int column)
{
  if (h->stmt == nullptr || column < 0 || column >= sqlite3_data_count(h->stmt))
    return "";
  const unsigned char *text = sqlite3_column_text(h->stmt, column);
  return text != nullptr ? reinterpret_cast<const char *>(text) : "";
}

int sql3_update(sql3 *h, const char *table, const char *keycol, const char *keyval,
                const char *column, const char *newval)
{
  return keyval != nullptr ? update_by(h, table, keycol, {keyval, 0}, column, newval) : -1;
}

int sql3_update_int(sql3 *h, const char *table, const char *keycol, long long keyval,
                    const char *column, const char *newval)
{
  return update_by(h, table, keycol, {nullptr, keyval}, column, newval);
}

namespace {

int run_text(sql3 *h, const char *text)
{
  sqlite3_stmt *stmt = nullptr;
  return h->db == nullptr || prepare_one(h, text, &stmt) != 0 ? -1 : run_to_done(stmt);
}

}  // namespace

int sql3_begin(sql3 *h) { return run_text(h, "BEGIN IMMEDIATE"); }

int sql3_commit(sql3 *h)
{
  if (run_text(h, "COMMIT") == 0)
    return 0;
  if (h->db != nullptr && sqlite3_get_autocommit(h->db) == 0)
    run_text(h, "ROLLBACK");
  return -1;
}

int sql3_insert(sql3 *h, const char *table, const char *columns, const char *values)
{
  if (h->db == nullptr || table == nullptr || columns == nullptr || values == nullptr ||
      !is_identifier(table) || !is_identifier_list(columns))
    return -1;
  // Quoted lists may double in length: the text is built to its full size.
  std::string text = "INSERT INTO \"";
  text.append(table).append("\" (").append(columns).append(") VALUES (").append(values).append(")");
  sqlite3_stmt *stmt = nullptr;
  if (prepare_one(h, text.c_str(), &stmt) != 0)
    return -1;
  // The values are literals and expressions only: a parameter would stay NULL.
  if (sqlite3_bind_parameter_count(stmt) != 0) {
    sqlite3_finalize(stmt);
    return -1;
  }
  return run_to_done(stmt);
}

void sql3_close(sql3 *h)
{
  finalize_selection(h);
  if (h->db != nullptr) {
    sqlite3_close_v2(h->db);
    h->db = nullptr;
  }
}

bool sql3_quote(const char *value, char *out, size_t size)
{
  if (size == 0)
    return false;
  size_t n = 0;
  auto put = [&](char c) {
    if (n + 1 >= size)
      return false;
    out[n++] = c;
    return true;
  };
  bool ok = put('\'');
  for (const char *p = value; ok && *p != '\0'; p++) {
    ok = put(*p);
    if (ok && *p == '\'')
      ok = put('\'');
  }
  ok = ok && put('\'');
  out[ok ? n : 0] = '\0';
  return ok;
}
