// The access database: iButton keys that are granted access (table keys) and
// user names with their read and write rights (table users), in one SQLite
// file. Operations run one at a time through the single statement slot of
// the litedb record; callers serialise them with the command lock (the
// reader thread already holds the reader lock when it takes it).
#pragma once
#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

inline constexpr const char *ACCESS_DB_PATH = "/mnt/jffs/etc/access.sqlite";

// Owner (user and group id) of the database file.
inline constexpr int ACCESS_DB_OWNER = 99;

// How long a statement waits while another process holds the file (a backup
// or download reading it, an engine writing it) before it fails. Short: the
// command lock is held meanwhile.
inline constexpr int ACCESS_DB_BUSY_MS = 1000;

// Name stored for a key added without one (learning mode).
inline constexpr const char *ACCESS_NEWKEY = "newkey";

// Returned by the user lookup (and stored in the record's id) when no row
// matches: the 32-bit pattern 0xFF452453.
inline constexpr int32_t ACCESS_USER_NOT_FOUND = -12245933;

// The database record, one per process.
struct litedb {
  std::string path;              // mapped path of the database file
  sqlite3 *db = nullptr;
  sqlite3_stmt *stmt = nullptr;  // the statement in progress
  bool done = false;             // the statement in progress has run to its end
};

// One record per table; the name is a label that no statement reads.
struct db_table {
  litedb *db;
  const char *name;
  std::string statement;  // text of the statement in progress
};

// A user as the commands pass it: id > 0 names the user by id, otherwise
// auth names it. Texts are cut to the sizes below when copied in.
struct access_user {
  int32_t id = -1;
  char auth[32] = "";
  char read[128] = "";
  char write[128] = "";
};

// Copies src into one of the record's texts, cut to its size.
void access_user_set(char *field, size_t size, const char *src);
template <size_t N> void access_user_set(char (&field)[N], const char *src)
{
  access_user_set(field, N, src);
}

// The process's database and its two tables.
litedb &access_litedb();
db_table &access_keys_table();
db_table &access_users_table();

// Statement helpers. Failures print "%s failed with status %d: %s\n" on
// standard error (the operation, the SQLite status, SQLite's message).
// open: sqlite3_open on db.path (created when missing), with the busy
// time-out above; then the file is given to user and group 99 whether or not
// the open failed. SQLite status.
int litedb_open(litedb &db);
int litedb_close(litedb &db);                    // SQLite status
int litedb_prepare(db_table &t);                 // prepares t.statement; SQLite status
// Runs (a change) or ends (a selection run to its end) the statement and
// releases it: 0; -1 without a statement; the SQLite status of a step that
// failed (its error line printed with the statement text).
int litedb_finish(litedb &db);

// Opens the database at the mapped ACCESS_DB_PATH and creates both tables
// (users, then keys). Creating an existing table prints its error line and
// changes nothing. Returns the status of the open.
int access_db_start(litedb &db);
// The same on a given (already mapped) path; for tests and tools.
int access_db_start_at(litedb &db, const std::string &path);
void access_db_stop(litedb &db);

// Table creation: the SQLite status of the prepare.
int access_keys_create(db_table &t);
int access_users_create(db_table &t);

// Key operations.
// Appends one <e k="KEY" n="NAME" /> per row to out (texts XML-escaped).
// 0; -1 (and "Failed.\n") when the row loop does not end normally.
int access_keys_list(db_table &t, std::string &out);
// 0 when at least one row holds the key; the name of the last such row is
// copied into name (cut to name_size) when name is given. -1 otherwise.
int access_key_find(db_table &t, const char *key, char *name, size_t name_size);
// Changes return 0 when the statement ran, also when it matched no row, and
// -1 when nothing was changed: no memory, a statement that could not be
// prepared, or a step that failed (the file stayed locked past the busy
// time-out, the flash is full).
int access_key_delete(db_table &t, const char *key);
// Replaces any row of the key by a new one (name "newkey" when null), in one
// transaction: on failure the old row is still there.
int access_key_add(db_table &t, const char *key, const char *name);

// User operations.
// Appends one <user id="" auth="" read="" write="" />\n per row.
int access_users_list(db_table &t, std::string &out);
// The number of users; 0 when they cannot be counted.
int access_users_count(db_table &t);
// Fills user from its row (by id when > 0, else by auth). 0 when found,
// ACCESS_USER_NOT_FOUND when no row matched, -1 when the statement failed.
int access_user_get(db_table &t, access_user &user);
// get user, then appends <user id="%i" read="" write="" />\n. 0 or -1.
int access_user_describe(db_table &t, access_user &user, std::string &out);
// 0 when the stored user grants the requested read and write texts, -1 not.
int access_user_check(db_table &t, const access_user &request);
// 0, also when no row matched; -1 when nothing was changed (as above).
int access_user_delete(db_table &t, const access_user &user);
// Adds a new user (request id <= 0 and the name unknown) or updates the user
// of the request's id. 0; -1 when the id is unknown or the name exists under
// another id without the id given, or when the change did not happen (as
// above); -2 when renaming onto another user's name.
int access_user_add_or_update(db_table &t, const access_user &request);
