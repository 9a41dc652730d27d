// Small SQLite wrapper for the account database.
#pragma once
#include <cstddef>
#include <span>

struct sqlite3;
struct sqlite3_stmt;

struct sql3 {
  sqlite3 *db = nullptr;
  sqlite3_stmt *stmt = nullptr;  // the current selection
};

// Opens the file (mapped under APPLIANCE_ROOT; not created when missing). 0 ok.
int sql3_open(sql3 *h, const char *path);
// Selects the rows of `table` whose `column` equals `value` (bound, never
// spliced). 0 when a row is current.
int sql3_select(sql3 *h, const char *table, const char *column, const char *value);
// The same with an integer value: a key column compares as a number, never
// as a text that SQLite might read as another number ("1000e-3" as 1).
int sql3_select_int(sql3 *h, const char *table, const char *column, long long value);
int sql3_select_next(sql3 *h);  // 0 when a further row is current
// Text of a column of the current row ("" for NULL or out of range).
const char *sql3_get(sql3 *h, int column);
// UPDATE table SET column=newval WHERE keycol=keyval (values bound). 0 ok.
int sql3_update(sql3 *h, const char *table, const char *keycol, const char *keyval,
                const char *column, const char *newval);
int sql3_update_int(sql3 *h, const char *table, const char *keycol, long long keyval,
                    const char *column, const char *newval);
// Several changes as one: sql3_begin takes the write lock at once; nothing
// of them is stored unless sql3_commit returns 0 (a failed commit, or a
// close without one, takes all of them back). 0 ok.
int sql3_begin(sql3 *h);
int sql3_commit(sql3 *h);
// INSERT INTO table (columns) VALUES (values): `values` is SQL text; callers
// build it with sql3_quote. 0 ok.
int sql3_insert(sql3 *h, const char *table, const char *columns, const char *values);
void sql3_close(sql3 *h);

// Writes value as an SQL string literal ('...' with quotes doubled) into out;
// false when it does not fit.
bool sql3_quote(const char *value, char *out, size_t size);

// A column that an installed image's table must have: its name (exact), its
// declared type (as SQLite reads it: case aside) and its place in the
// primary key (0: none; 1 on an INTEGER column makes it the row id).
struct sql3_column {
  const char *name;
  const char *type;
  int pk;
};

// A table that an installed image must hold, with exactly these columns in
// this order (at least one).
struct sql3_table {
  const char *name;
  std::span<const sql3_column> columns;
};

// Installs an SQLite database image (n bytes, as a download of a database
// file holds it) as the database file `path` (mapped under the root). The
// image must be whole (its length is the page count its header gives times
// its page size), pass SQLite's quick check and hold exactly `tables`, by
// name: ordinary tables with a row id (not virtual, WITHOUT ROWID or STRICT),
// each with exactly its columns, none of them NOT NULL, with a default or
// generated. Indexes on them may come along; a trigger or a view (code that
// would run inside the owning daemon's statements) or any other table is
// refused. Anything refused leaves everything untouched. A live file is
// changed in place in one transaction (the backup interface), so that a
// process which keeps it open reads the new content at its next statement
// and a failure leaves the old content whole. A missing file, or one that is
// not a database, is replaced whole (temporary file and rename, with `mode`;
// its stale journals removed). 0 on success, -1 otherwise.
int sql3_install_image(const char *path, const void *data, size_t n,
                       std::span<const sql3_table> tables, unsigned mode);
