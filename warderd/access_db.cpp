#include "access_db.h"

#include "xmlhelpers.h"
#include "zun_path.h"
#include "zun_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sqlite3.h>
#include <unistd.h>

namespace {

litedb g_db;
db_table g_keys{&g_db, "keys", {}};
db_table g_users{&g_db, "users", {}};

void print_error(const char *what, int status, sqlite3 *db)
{
  std::fprintf(stderr, "%s failed with status %d: %s\n", what, status,
               db ? sqlite3_errmsg(db) : sqlite3_errstr(status));
}

// Appends value as an SQL string literal: quotes around it, every single
// quote inside doubled, so that no value can end the literal early.
void append_literal(std::string &out, const char *value)
{
  out += '\'';
  for (const char *p = value; *p; ++p) {
    if (*p == '\'')
      out += '\'';
    out += *p;
  }
  out += '\'';
}

// Appends text with & < " escaped, so that a stored value stays inside its
// attribute of a listing.
void append_xml(std::string &out, const char *text)
{
  size_t len = std::strlen(text);
  std::string buf(len * 6 + 1, '\0');
  helpers_xml_attr(text, buf.data(), buf.size());
  out += buf.c_str();
}

const char *column_text(sqlite3_stmt *stmt, int col)
{
  const unsigned char *t = sqlite3_column_text(stmt, col);
  return t ? reinterpret_cast<const char *>(t) : "";
}

// Builds a statement from pieces: literal SQL text and quoted values.
// Returns false when there is no memory for it.
struct Piece {
  const char *text;
  bool quoted;
};

bool extend(db_table &t, std::initializer_list<Piece> pieces)
{
  try {
    for (const Piece &p : pieces) {
      if (p.quoted)
        append_literal(t.statement, p.text);
      else
        t.statement += p.text;
    }
    return true;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

bool build(db_table &t, std::initializer_list<Piece> pieces)
{
  t.statement.clear();
  return extend(t, pieces);
}

// Releases the statement without stepping it again.
void finalize(litedb &db)
{
  if (db.stmt)
    sqlite3_finalize(db.stmt);
  db.stmt = nullptr;
  db.done = false;
}

// Steps the prepared statement while it yields rows, calling on_row for each.
// Returns the last step status (SQLITE_DONE when the loop ended normally).
template <class F> int row_loop(litedb &db, F on_row)
{
  int rc;
  while ((rc = sqlite3_step(db.stmt)) == SQLITE_ROW)
    on_row(db.stmt);
  if (rc == SQLITE_DONE)
    db.done = true;
  return rc;
}

// A row loop that ended abnormally: "Failed.\n", statement released.
int loop_failed(litedb &db)
{
  std::fputs("Failed.\n", stderr);
  finalize(db);
  return -1;
}

// prepare then finish: the single step of finish executes the statement.
// 0 when it ran, -1 when the change did not happen (not prepared, or the
// step failed, e.g. the file stayed locked past the busy time-out).
int run_change(db_table &t)
{
  if (litedb_prepare(t) != SQLITE_OK)
    return -1;
  return litedb_finish(*t.db) == 0 ? 0 : -1;
}

// Runs change() inside one write transaction, so that its statements take
// effect together or not at all. The commit is where a reader of another
// process (a backup, a download) makes the write wait; a commit that still
// fails rolls everything back. change() returns 0 or -1; so does this.
template <class F> int in_transaction(litedb &db, F change)
{
  int status = sqlite3_exec(db.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (status != SQLITE_OK) {
    print_error("BEGIN IMMEDIATE", status, db.db);
    return -1;
  }
  int rc = change();
  if (rc == 0 && (status = sqlite3_exec(db.db, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK) {
    print_error("COMMIT", status, db.db);
    rc = -1;
  }
  if (rc != 0)
    sqlite3_exec(db.db, "ROLLBACK", nullptr, nullptr, nullptr);
  return rc;
}

// The WHERE part that names a user: by id when it is positive, else by name.
bool build_user_statement(db_table &t, const char *head, const access_user &u)
{
  if (u.id > 0) {
    std::string id = std::to_string(static_cast<uint32_t>(u.id));
    return build(t, {{head, false}, {"id='", false}, {id.c_str(), false}, {"';", false}});
  }
  return build(t, {{head, false}, {"auth=", false}, {u.auth, true}, {";", false}});
}

bool contains(const char *stored, const char *wanted)
{
  return std::strstr(stored, wanted) != nullptr || std::strstr(stored, "all") != nullptr;
}

}  // namespace

void access_user_set(char *field, size_t size, const char *src)
{
  strlcpy(field, src ? src : "", size);
}

litedb &access_litedb() { return g_db; }
db_table &access_keys_table() { return g_keys; }
db_table &access_users_table() { return g_users; }

int litedb_open(litedb &db)
{
  int rc = sqlite3_open(db.path.c_str(), &db.db);
  if (rc != SQLITE_OK)
    print_error("open (litedb->path, &(litedb->db))", rc, db.db);
  else
    sqlite3_busy_timeout(db.db, ACCESS_DB_BUSY_MS);
  if (chown(db.path.c_str(), ACCESS_DB_OWNER, ACCESS_DB_OWNER) != 0) {
    // The file may belong to the web server's user already; nothing to do.
  }
  return rc;
}

int litedb_close(litedb &db)
{
  finalize(db);
  int rc = sqlite3_close(db.db);
  if (rc != SQLITE_OK)
    print_error("close (db)", rc, db.db);
  else
    db.db = nullptr;
  return rc;
}

int litedb_prepare(db_table &t)
{
  litedb &db = *t.db;
  finalize(db);
  // The length handed over includes the terminating zero.
  int rc = sqlite3_prepare_v2(db.db, t.statement.c_str(), static_cast<int>(t.statement.size() + 1),
                              &db.stmt, nullptr);
  if (rc != SQLITE_OK) {
    print_error(t.statement.c_str(), rc, db.db);
    finalize(db);
  }
  return rc;
}

int litedb_finish(litedb &db)
{
  if (!db.stmt)
    return -1;
  // A statement that changes the database is executed by this step; a
  // selection that already ran to its end is not run a second time.
  int rc = SQLITE_DONE;
  if (!db.done)
    rc = sqlite3_step(db.stmt);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW)
    print_error(sqlite3_sql(db.stmt), rc, db.db);
  finalize(db);
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? 0 : rc;
}

int access_db_start_at(litedb &db, const std::string &path)
{
  db.path = path;
  int rc = litedb_open(db);
  db_table users{&db, "users", {}};
  db_table keys{&db, "keys", {}};
  access_users_create(users);
  access_keys_create(keys);
  return rc;
}

int access_db_start(litedb &db)
{
  return access_db_start_at(db, zunpath(ACCESS_DB_PATH));
}

void access_db_stop(litedb &db)
{
  if (db.db)
    litedb_close(db);
}

static int create_table(db_table &t, const char *statement)
{
  if (!build(t, {{statement, false}}))
    return SQLITE_NOMEM;
  int rc = litedb_prepare(t);
  if (rc == SQLITE_OK)
    litedb_finish(*t.db);
  return rc;
}

int access_keys_create(db_table &t)
{
  return create_table(t, "CREATE TABLE keys (id INTEGER PRIMARY KEY, name TEXT, key TEXT, "
                         "timeEnter DATE);");
}

int access_users_create(db_table &t)
{
  return create_table(t, "CREATE TABLE users (id INTEGER PRIMARY KEY, auth TEXT, read TEXT, "
                         "write TEXT, timeEnter DATE);");
}

// A listing: runs the statement and hands every row to on_row, which appends
// to a reply that grows as it needs. 0, or -1 with "Failed.\n" when the loop
// does not end in SQLITE_DONE (or there is no memory for the reply).
template <class F> int list_rows(db_table &t, const char *statement, F on_row)
{
  if (!build(t, {{statement, false}}) || litedb_prepare(t) != SQLITE_OK)
    return -1;
  try {
    if (row_loop(*t.db, on_row) != SQLITE_DONE)
      return loop_failed(*t.db);
  } catch (const std::bad_alloc &) {
    return loop_failed(*t.db);
  }
  litedb_finish(*t.db);
  return 0;
}

int access_keys_list(db_table &t, std::string &out)
{
  return list_rows(t, "SELECT * FROM keys;", [&](sqlite3_stmt *st) {
    out += "<e k=\"";
    append_xml(out, column_text(st, 2));
    out += "\" n=\"";
    append_xml(out, column_text(st, 1));
    out += "\" />";
  });
}

int access_key_find(db_table &t, const char *key, char *name, size_t name_size)
{
  if (!build(t, {{"SELECT * FROM keys WHERE key=", false}, {key, true}, {";", false}}))
    return -1;
  if (litedb_prepare(t) != SQLITE_OK)
    return -1;
  int rows = 0;
  int rc = row_loop(*t.db, [&](sqlite3_stmt *st) {
    if (name && name_size > 0)
      strlcpy(name, column_text(st, 1), name_size);
    rows++;
  });
  if (rc != SQLITE_DONE)
    return loop_failed(*t.db);
  if (rows == 0) {
    finalize(*t.db);
    return -1;
  }
  litedb_finish(*t.db);
  return 0;
}

int access_key_delete(db_table &t, const char *key)
{
  if (!build(t, {{"DELETE FROM keys WHERE key=", false}, {key, true}, {";", false}}))
    return -1;
  return run_change(t);
}

// The old row goes only together with the new one's arrival: a key that is
// replaced is never lost on the way.
int access_key_add(db_table &t, const char *key, const char *name)
{
  return in_transaction(*t.db, [&] {
    if (access_key_delete(t, key) != 0)
      return -1;
    if (!build(t, {{"INSERT INTO keys (name, key, timeEnter) values (", false},
                   {name ? name : ACCESS_NEWKEY, true},
                   {",", false},
                   {key, true},
                   {",datetime('now', 'localtime'));", false}}))
      return -1;
    return run_change(t);
  });
}

int access_users_list(db_table &t, std::string &out)
{
  return list_rows(t, "SELECT * FROM users;", [&](sqlite3_stmt *st) {
    out += "<user id=\"";
    append_xml(out, column_text(st, 0));
    out += "\" auth=\"";
    append_xml(out, column_text(st, 1));
    out += "\" read=\"";
    append_xml(out, column_text(st, 2));
    out += "\" write=\"";
    append_xml(out, column_text(st, 3));
    out += "\" />\n";
  });
}

int access_users_count(db_table &t)
{
  if (!build(t, {{"SELECT COUNT(*) FROM users;", false}}))
    return 0;
  if (litedb_prepare(t) != SQLITE_OK)
    return 0;
  int count = 0;
  int rc = row_loop(*t.db, [&](sqlite3_stmt *st) {
    count = static_cast<int>(std::strtol(column_text(st, 0), nullptr, 10));
  });
  if (rc != SQLITE_DONE) {
    loop_failed(*t.db);
    return 0;
  }
  if (count != 0)
    finalize(*t.db);
  else
    litedb_finish(*t.db);
  return count;
}

int access_user_get(db_table &t, access_user &user)
{
  if (!build_user_statement(t, "SELECT * FROM users WHERE ", user))
    return -1;
  if (litedb_prepare(t) != SQLITE_OK)
    return -1;
  user.id = ACCESS_USER_NOT_FOUND;
  int rows = 0;
  int rc = row_loop(*t.db, [&](sqlite3_stmt *st) {
    user.id = sqlite3_column_int(st, 0);
    access_user_set(user.auth, column_text(st, 1));
    access_user_set(user.read, column_text(st, 2));
    access_user_set(user.write, column_text(st, 3));
    rows++;
  });
  if (rc != SQLITE_DONE)
    return loop_failed(*t.db);
  if (rows == 0) {
    finalize(*t.db);
    return ACCESS_USER_NOT_FOUND;
  }
  litedb_finish(*t.db);
  return 0;
}

int access_user_describe(db_table &t, access_user &user, std::string &out)
{
  if (access_user_get(t, user) != 0)
    return -1;
  try {
    out += "<user id=\"";
    out += std::to_string(user.id);
    out += "\" read=\"";
    append_xml(out, user.read);
    out += "\" write=\"";
    append_xml(out, user.write);
    out += "\" />\n";
  } catch (const std::bad_alloc &) {
    return -1;
  }
  return 0;
}

int access_user_check(db_table &t, const access_user &request)
{
  access_user stored = request;
  if (access_user_get(t, stored) != 0)
    return -1;
  int read_check = 0;
  if (request.read[0] != '\0')
    read_check = contains(stored.read, request.read) ? 1 : -1;
  int write_check = 0;
  if (request.write[0] != '\0') {
    if (!contains(stored.write, request.write))
      return -1;
    write_check = 1;
  }
  if (read_check == -1)
    return -1;
  return (read_check == 1 || write_check == 1) ? 0 : -1;
}

int access_user_delete(db_table &t, const access_user &user)
{
  if (!build_user_statement(t, "DELETE FROM users WHERE ", user))
    return -1;
  return run_change(t);
}

int access_user_add_or_update(db_table &t, const access_user &request)
{
  access_user found = request;
  if (access_user_get(t, found) != 0) {
    if (request.id > 0)
      return -1;
    if (!build(t, {{"INSERT INTO users (auth, read, write, timeEnter) values (", false},
                   {request.auth, true},
                   {",", false},
                   {request.read, true},
                   {",", false},
                   {request.write, true},
                   {",datetime('now', 'localtime'));", false}}))
      return -1;
    return run_change(t);
  }
  if (found.id != request.id)
    return -1;

  access_user by_name;
  by_name.id = -1;
  access_user_set(by_name.auth, request.auth);
  if (access_user_get(t, by_name) == 0 && by_name.id != request.id)
    return -2;

  // Each present field is appended after the text built so far; the write
  // part closes the list, so an update needs a write text.
  std::string id = std::to_string(static_cast<uint32_t>(request.id));
  bool ok = build(t, {{"UPDATE users SET ", false}});
  if (ok && request.auth[0] != '\0')
    ok = extend(t, {{" auth=", false}, {request.auth, true}, {",", false}});
  if (ok && request.read[0] != '\0')
    ok = extend(t, {{" read=", false}, {request.read, true}, {",", false}});
  if (ok && request.write[0] != '\0')
    ok = extend(t, {{" write=", false}, {request.write, true}});
  if (ok)
    ok = extend(t, {{" WHERE id='", false}, {id.c_str(), false}, {"';", false}});
  if (!ok)
    return -1;
  return run_change(t);
}
