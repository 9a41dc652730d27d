// A whole database file received from outside (the key database upload),
// checked and then installed under the feet of the daemon that keeps it open.
#include "sql3.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <sqlite3.h>
#include <string>

#include "zun_fault.h"
#include "zun_path.h"
#include "zunfile.h"

namespace {

constexpr int INSTALL_BUSY_MS = 2000;  // the owning daemon's statements are short
constexpr size_t HEADER_SIZE = 100;

uint32_t be32(const unsigned char *p)
{
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The header's own account of the file's length: a download cut short, even
// at a page boundary, is found here. The page count is only kept up to date
// by writers that also stamp the change counter beside it; without that
// stamp the count is unknown and the length must be whole pages. The file
// format versions must be those of a rollback journal, as the owning daemon
// writes: SQLite opens a file of a newer writer's format read-only (every
// change the daemon makes would then fail), and the copy in place carries
// the header over.
bool whole_image(const unsigned char *d, size_t n)
{
  if (n < HEADER_SIZE || std::memcmp(d, "SQLite format 3", 16) != 0 || d[18] != 1 || d[19] != 1)
    return false;
  uint32_t page = uint32_t(d[16]) << 8 | d[17];
  if (page == 1)
    page = 65536;
  if (page < 512 || (page & (page - 1)) != 0 || n % page != 0)
    return false;
  uint32_t pages = be32(d + 28);
  bool count_valid = pages != 0 && be32(d + 24) == be32(d + 92);
  return !count_valid || uint64_t(pages) * page == n;
}

// One statement over the image, its text parameter bound (never spliced).
struct statement {
  sqlite3_stmt *st = nullptr;
  statement(sqlite3 *db, const char *sql, const char *bind)
  {
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK ||
        (bind != nullptr && sqlite3_bind_text(st, 1, bind, -1, SQLITE_STATIC) != SQLITE_OK)) {
      sqlite3_finalize(st);
      st = nullptr;
    }
  }
  ~statement() { sqlite3_finalize(st); }
  int rc = SQLITE_ERROR;  // of the last step
  bool row() { return st != nullptr && (rc = sqlite3_step(st)) == SQLITE_ROW; }
  // After the last row: the statement ran to its end (no error cut it short).
  bool done() { return !row() && rc == SQLITE_DONE; }
  const char *text(int column)
  {
    const unsigned char *t = sqlite3_column_text(st, column);
    return t != nullptr ? reinterpret_cast<const char *>(t) : "";
  }
};

bool single_row_is(sqlite3 *db, const char *sql, const char *bind, const char *want)
{
  statement s(db, sql, bind);
  return s.row() && std::strcmp(s.text(0), want) == 0 && s.done();
}

// The schema holds listed tables and indexes, nothing else: a trigger or a
// view is code that the owning daemon's own statements would run (a delete
// undone, a key that cannot be revoked), and another table is nothing the
// daemon made (the shadow tables of a virtual one among them). SQLite's own
// tables (sqlite_stat1 of an ANALYZE, sqlite_sequence) hold only data.
bool schema_is_only(sqlite3 *db, std::span<const sql3_table> tables)
{
  statement s(db, "SELECT type, name FROM sqlite_schema", nullptr);
  while (s.row()) {
    if (std::strcmp(s.text(0), "index") == 0 ||
        (std::strcmp(s.text(0), "table") == 0 && std::strncmp(s.text(1), "sqlite_", 7) == 0))
      continue;
    auto listed = [&](const sql3_table &t) { return std::strcmp(s.text(1), t.name) == 0; };
    if (std::strcmp(s.text(0), "table") != 0 || std::none_of(tables.begin(), tables.end(), listed))
      return false;
  }
  return s.rc == SQLITE_DONE;
}

// The table is there with exactly the row's columns, in order: what the
// daemon reads by position and writes by name is there, with the affinity it
// expects and nothing that refuses its rows. That also keeps out a table
// WITHOUT ROWID (its key is NOT NULL) and a STRICT one (it knows no DATE).
bool table_is(sqlite3 *db, const sql3_table &t)
{
  statement s(db,
              "SELECT name, type, pk, \"notnull\" OR dflt_value IS NOT NULL OR hidden != 0 "
              "FROM pragma_table_xinfo(?1)",
              t.name);
  for (const sql3_column &c : t.columns)
    if (!s.row() || std::strcmp(s.text(0), c.name) != 0 || sqlite3_stricmp(s.text(1), c.type) != 0 ||
        sqlite3_column_int(s.st, 2) != c.pk || sqlite3_column_int(s.st, 3) != 0)
      return false;
  return s.done();
}

struct db_closer {
  sqlite3 *db = nullptr;
  ~db_closer() { sqlite3_close(db); }
};

// Copies the checked image into the live file; the SQLite status.
int backup_into(const char *mapped, sqlite3 *image)
{
  db_closer live;
  zun_fault_sqlite();
  int rc = sqlite3_open_v2(mapped, &live.db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK)
    return rc;
  sqlite3_busy_timeout(live.db, INSTALL_BUSY_MS);
  sqlite3_backup *b = sqlite3_backup_init(live.db, "main", image, "main");
  if (b == nullptr)
    return sqlite3_errcode(live.db);
  int step = sqlite3_backup_step(b, -1);
  int finish = sqlite3_backup_finish(b);
  return step == SQLITE_DONE ? finish : step;
}

}  // namespace

int sql3_install_image(const char *path, const void *data, size_t n,
                       std::span<const sql3_table> tables, unsigned mode)
{
  const auto *bytes = static_cast<const unsigned char *>(data);
  if (!whole_image(bytes, n))
    return -1;
  db_closer image;
  // The image comes from outside: SQLite's defensive mode keeps a crafted
  // file from reaching what an ordinary database never needs.
  if (sqlite3_open_v2(":memory:", &image.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
      sqlite3_db_config(image.db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr) != SQLITE_OK ||
      sqlite3_deserialize(image.db, "main", const_cast<unsigned char *>(bytes), sqlite3_int64(n),
                          sqlite3_int64(n), SQLITE_DESERIALIZE_READONLY) != SQLITE_OK)
    return -1;
  auto shaped = [&](const sql3_table &t) { return table_is(image.db, t); };
  if (!single_row_is(image.db, "PRAGMA quick_check", nullptr, "ok") ||
      !schema_is_only(image.db, tables) || !std::all_of(tables.begin(), tables.end(), shaped))
    return -1;

  char mapped[PATH_MAX];
  if (zunpath_map(path, mapped, sizeof mapped) != 0)
    return -1;
  int rc = backup_into(mapped, image.db);
  if (rc == SQLITE_OK)
    return 0;
  if (rc != SQLITE_CANTOPEN && rc != SQLITE_NOTADB && rc != SQLITE_CORRUPT)
    return -1;  // busy, full, read-only: the old content stays
  // Nothing usable to write into: the image becomes the file. A journal left
  // by the old file would be played back into the new one.
  for (const char *suffix : {"-journal", "-wal", "-shm"})
    if (zunfile_remove((std::string(path) + suffix).c_str()) != 0)
      return -1;
  return zunfile_replace(path, data, n, static_cast<mode_t>(mode));
}
