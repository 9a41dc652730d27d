// File uploads run directly as the web server runs them: what each accepts,
// the status responses, the daemons' commands, and that a stored file is
// only ever replaced by a whole new one.
#include <filesystem>

#include "../engine_families/families_env.h"
#include "files_env.h"

namespace {

class Uploads : public fe::FilesTest {
protected:
  std::string send(const std::string &role, const std::string &data, const std::string &user = "admin",
                   const std::string &query = "")
  {
    return fe::upload(root, role, fe::multipart(key[user], data), query).out;
  }

  // The role run with writes to files limited to a few KiB (SIGXFSZ
  // ignored, so a write past the limit fails as on a full flash).
  std::string send_limited(const std::string &role, const std::string &data, const std::string &query)
  {
    std::string link = root.file("/cgi-bin/" + role);
    std::error_code ec;
    std::filesystem::create_directories(root.file("/cgi-bin"), ec);
    std::filesystem::create_symlink(zt::bin("engine"), link, ec);
    std::string body = fe::multipart(key["admin"], data);
    return zt::run("/bin/sh", {"sh", "-c", "ulimit -f 4; trap '' XFSZ; exec \"$0\"", link},
                   {{"APPLIANCE_ROOT", root.path()}, {"QUERY_STRING", query},
                    {"CONTENT_LENGTH", std::to_string(body.size())},
                    {"CONTENT_TYPE", "multipart/form-data; boundary=" + fe::kBoundary}},
                   body)
        .out;
  }

  // A key database sent over the live one (key "old"): either taken, in
  // place, or refused with the old database left as it was.
  void expect_keys_upload(const std::string &name, const std::string &data, bool taken)
  {
    const std::string live = "/mnt/jffs/etc/access.sqlite";
    fe::keys_db(root, live, {{"111111111111", "old"}});
    ino_t before = fe::inode_of(root, live);
    EXPECT_EQ(send("upload-db", data, "keys"), fe::status_response(taken ? "no error" : "wrong format"))
        << name;
    EXPECT_EQ(fe::keys_in(root, live), taken ? "0A0B0C0D0E0F=bob" : "111111111111=old") << name;
    EXPECT_EQ(fe::inode_of(root, live), before) << name;
  }

  // Temporary files left beside `file` (".NAME.*").
  std::vector<std::string> temporaries(const std::string &file) const
  {
    std::filesystem::path path(root.file(file));
    std::string prefix = "." + path.filename().string() + ".";
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(path.parent_path(), ec))
      if (e.path().filename().string().rfind(prefix, 0) == 0)
        out.push_back(e.path().string());
    return out;
  }
};

TEST_F(Uploads, MapAcceptsPicturesOnly)
{
  struct {
    std::string data, word;
  } cases[] = {
      {"\xFF\xD8" + std::string(8, 'j'), "no error"}, {"\xFF\xD8" + std::string(7, 'j'), "wrong format"},
      {"\x89PNG\r\n\x1A\n", "no error"},               {"\x89PNG\r\n\x1A", "wrong format"},
      {"GIF", "no error"},                             {"hello, world", "wrong format"},
      {"", "wrong format"},
  };
  for (const auto &c : cases) {
    root.write("/mnt/jffs/etc/map", "old");
    EXPECT_EQ(send("upload-map", c.data), fe::status_response(c.word)) << c.data;
    EXPECT_EQ(root.read("/mnt/jffs/etc/map"), c.word == "no error" ? c.data : "old") << c.data;
    EXPECT_EQ(fe::mode_of(root, "/mnt/jffs/etc/map"), c.word == "no error" ? 0666u : 0644u);
  }
}

// A body the reader refuses is answered before any rights check: "wrong
// format", and "permission denied" with a log entry for the firmware.
TEST_F(Uploads, ReaderRefusalsComeFirst)
{
  const std::string body = fe::multipart("", "GIF89a");
  const std::string type = "multipart/form-data; boundary=" + fe::kBoundary;
  const std::map<std::string, std::string> refusals[] = {
      {{"CONTENT_LENGTH", "0"}},
      {{"CONTENT_LENGTH", "5242881"}},
      {{"CONTENT_TYPE", "text/plain; boundary=" + fe::kBoundary}},
      {{"CONTENT_TYPE", "multipart/form-data; boundary="}},
  };
  const std::string entry = "<entry type=\"update error\" message=\"error parsing input\" />";
  for (const auto &extra : refusals) {
    for (const std::string role : {"upload-map", "upload-db", "upload-language", "upload-firmware"}) {
      sim.clear_journal();
      bool firmware = role == "upload-firmware";
      EXPECT_EQ(fe::upload(root, role, body, "filename=a.xml", extra).out,
                fe::status_response(firmware ? "permission denied" : "wrong format"))
          << role << " " << extra.begin()->second;
      EXPECT_EQ(sim.journal_of("chronicled"), firmware ? std::vector<std::string>{entry}
                                                       : std::vector<std::string>{});
      EXPECT_TRUE(sim.journal_of("stewardd").empty());
    }
  }
  EXPECT_FALSE(root.exists("/var/tmp/firmware.zun"));
}

TEST_F(Uploads, FirmwareStartsTheUpdateOnAWholeImage)
{
  const std::string image = fe::random_bytes(300000, 3);
  EXPECT_EQ(send("upload-firmware", image), fe::status_response("no error"));
  EXPECT_TRUE(root.read("/var/tmp/firmware.zun") == image);
  EXPECT_EQ(fe::mode_of(root, "/var/tmp/firmware.zun"), 0666u);
  EXPECT_EQ(sim.journal_of("stewardd"), std::vector<std::string>{"<execute cmd=\"update.sh\" />"});
  sim.fault("stewardd", "close");
  EXPECT_EQ(send("upload-firmware", image), fe::status_response("fatal error"));
}

TEST_F(Uploads, LanguageIsWrittenWholeThenMovedByStewardd)
{
  const std::string text = "<language name=\"Français\" />" + fe::random_bytes(70000, 5);
  EXPECT_EQ(send("upload-language", text, "langs", "filename=fr.xml"), fe::status_response("no error"));
  EXPECT_EQ(sim.journal_of("stewardd"),
            std::vector<std::string>{
                "<execute cmd='mv /tmp/upload-language/fr.xml /mnt/jffs/etc/languages/' />"});
  EXPECT_TRUE(root.read("/mnt/jffs/etc/languages/fr.xml") == text);
  EXPECT_FALSE(root.exists("/tmp/upload-language/fr.xml"));
  EXPECT_EQ(fe::mode_of(root, "/tmp/upload-language"), 0700u);
  sim.clear_journal();
  EXPECT_EQ(send("upload-language", "", "langs", "filename=fr.xml"), fe::status_response("wrong format"));
  EXPECT_EQ(send("upload-language", text, "langs"), fe::status_response("language denied"));
  EXPECT_TRUE(sim.journal_of("stewardd").empty());
  sim.fault("stewardd", "close");
  EXPECT_EQ(send("upload-language", text, "langs", "filename=fr.xml"), fe::status_response("fatal error"));
}

// An upload may never take the place of another program's file: it needs a
// session that writes languages, a name ending in ".xml", and it waits in a
// folder of its own, never in /tmp itself.
TEST_F(Uploads, LanguageUploadNeedsTheRightAndALanguageName)
{
  root.write("/tmp/heraldd.socket", "socket");
  root.write("/tmp/picture.jpg", "picture");
  struct {
    std::string user, name, word;
  } cases[] = {
      {"", "heraldd.socket", "language denied"},   // no session at all
      {"", "fr.xml", "language denied"},
      {"plain", "fr.xml", "language denied"},       // a session without the right
      {"langs", "heraldd.socket", "language denied"},
      {"langs", "picture.jpg", "language denied"},
      {"admin", "fr.xml.old", "language denied"},
      {"admin", ".xml", "language denied"},
      {"admin", "fr.XML", "language denied"},
      {"admin", "fr.xml", "no error"},
  };
  for (const auto &c : cases) {
    sim.clear_journal();
    std::string body = fe::multipart(c.user.empty() ? "" : key[c.user], "<language />");
    EXPECT_EQ(fe::upload(root, "upload-language", body, "filename=" + c.name).out, fe::status_response(c.word))
        << c.user << " " << c.name;
    bool stored = c.word == "no error";
    EXPECT_EQ(root.exists("/mnt/jffs/etc/languages/" + c.name), stored) << c.user << " " << c.name;
    EXPECT_FALSE(root.exists("/tmp/upload-language/" + c.name)) << c.user << " " << c.name;
    EXPECT_EQ(sim.journal_of("stewardd").size(), stored ? 1u : 0u) << c.user << " " << c.name;
  }
  EXPECT_EQ(root.read("/tmp/heraldd.socket"), "socket");
  EXPECT_EQ(root.read("/tmp/picture.jpg"), "picture");
  // A folder of that name that is not the upload's own is never written through.
  root.remove("/tmp/upload-language");
  std::filesystem::create_directory_symlink(root.file("/mnt/jffs/etc"), root.file("/tmp/upload-language"));
  EXPECT_EQ(send("upload-language", "<language />", "admin", "filename=map.xml"),
            fe::status_response("permission denied"));
  EXPECT_FALSE(root.exists("/mnt/jffs/etc/map.xml"));
}

// A write that fails part way leaves the old file whole and no temporary
// file, answers "permission denied", and nothing is started for it.
TEST_F(Uploads, FailedWriteKeepsTheOldFile)
{
  const std::string data = "GIF89a" + fe::random_bytes(20000, 9);
  struct {
    std::string role, query, file;
  } cases[] = {
      {"upload-map", "", "/mnt/jffs/etc/map"},
      {"upload-firmware", "", "/var/tmp/firmware.zun"},
      {"upload-language", "filename=de.xml", "/tmp/upload-language/de.xml"},
  };
  for (const auto &c : cases) {
    root.write(c.file, "old " + c.role);
    sim.clear_journal();
    EXPECT_EQ(send_limited(c.role, data, c.query), fe::status_response("permission denied")) << c.role;
    EXPECT_TRUE(root.read(c.file) == "old " + c.role) << c.role;
    EXPECT_EQ(temporaries(c.file), std::vector<std::string>{});
    EXPECT_TRUE(sim.journal_of("stewardd").empty()) << c.role;
  }
}

// Only a whole SQLite database holding the keys table replaces the key
// database, in place (a running warderd keeps its file open).
TEST_F(Uploads, KeyDatabaseMustBeWhole)
{
  const std::string live = "/mnt/jffs/etc/access.sqlite";
  const std::string good = fe::keys_db(root, "/tmp/good.db", {{"0A0B0C0D0E0F", "bob"}});
  std::vector<std::pair<std::string, std::string>> many;
  for (int i = 0; i < 400; i++)
    many.emplace_back("K" + std::to_string(100000 + i), "holder " + std::to_string(i));
  const std::string big = fe::keys_db(root, "/tmp/big.db", many);
  ASSERT_GT(big.size(), 3 * 4096u);
  std::string damaged = big;
  damaged.replace(2 * 4096 + 8, 200, std::string(200, '\x7f'));
  // The header's file format versions: SQLite opens a file of a newer
  // writer's format read-only, and one in WAL mode is not what warderd keeps.
  std::string newer_writer = good, wal = good;
  newer_writer[18] = 3;
  wal[18] = wal[19] = 2;
  struct {
    std::string name, data;
    bool taken;
  } cases[] = {
      {"whole", good, true},
      {"cut in a page", big.substr(0, big.size() - 1000), false},
      {"cut at a page", big.substr(0, big.size() - 4096), false},
      // SQLite's check passes over bytes past the pages that the header
      // counts: only the length refuses this one.
      {"a page too long", big + fe::random_bytes(4096, 7), false},
      {"header only", big.substr(0, 100), false},
      {"name only", "SQLi", false},
      {"no keys table", fe::keys_db(root, "/tmp/nokeys.db", {}, fe::kUsersTable), false},
      {"damaged page", damaged, false},
      {"a newer writer's format", newer_writer, false},
      {"WAL mode", wal, false},
      {"empty", "", false},
  };
  for (const auto &c : cases)
    expect_keys_upload(c.name, c.data, c.taken);
  // Over a missing or damaged file the database is installed whole; the
  // damaged file's journal is not played into it.
  for (const std::string old : {"", "not a database at all, but text"}) {
    root.remove(live);
    if (!old.empty()) {
      root.write(live, old + std::string(5000, '.'));
      root.write(live + "-journal", fe::random_bytes(4096));
    }
    EXPECT_EQ(send("upload-db", big, "keys"), fe::status_response("no error"));
    EXPECT_TRUE(root.read(live) == big);
    EXPECT_FALSE(root.exists(live + "-journal"));
    EXPECT_EQ(fe::mode_of(root, live), 0644u);
  }
}

// Only a database of exactly warderd's tables replaces the key database: a
// trigger or a view would run inside warderd's own statements (a deleted key
// put back), and tables of another shape would list empty keys or refuse
// additions.
TEST_F(Uploads, KeyDatabaseMustHoldWarderdsTablesOnly)
{
  const std::string users = fe::kUsersTable, keys = fe::kKeysTable;
  const std::vector<std::pair<std::string, std::string>> bob = {{"0A0B0C0D0E0F", "bob"}};
  auto db = [&](const std::string &schema, bool with_keys = true) {
    return fe::keys_db(root, "/tmp/up.db", with_keys ? bob : decltype(bob){}, schema);
  };
  const std::string keys_as = "CREATE TABLE keys (id INTEGER PRIMARY KEY, ";
  struct {
    std::string name, data;
    bool taken;
  } cases[] = {
      {"warderd's tables", db(users + keys), true},
      {"tables the other way round", db(keys + users), true},
      {"indexes", db(users + keys + "CREATE INDEX k ON keys (key); CREATE UNIQUE INDEX u ON users (auth);"),
       true},
      {"types in small letters", db(users + keys_as + "name text, key text, timeEnter date);"), true},
      // A trigger may take its table's name: only its type tells it apart.
      {"a trigger", db(users + keys + "CREATE TRIGGER keys AFTER DELETE ON keys BEGIN "
                                      "INSERT INTO keys (name, key) VALUES (OLD.name, OLD.key); END;"),
       false},
      {"a view", db(users + keys + "CREATE VIEW names AS SELECT name FROM keys;"), false},
      {"another table", db(users + keys + "CREATE TABLE notes (text TEXT);"), false},
      {"the statistics of an ANALYZE", db(users + keys + "CREATE INDEX k ON keys (key); ANALYZE;"), true},
      {"keys without timeEnter", db(users + keys_as + "name TEXT, key TEXT);"), false},
      {"keys out of order", db(users + keys_as + "key TEXT, name TEXT, timeEnter DATE);"), false},
      {"keys with a further column", db(users + keys_as + "name TEXT, key TEXT, timeEnter DATE, x TEXT);"),
       false},
      {"key as a number", db(users + keys_as + "name TEXT, key INTEGER, timeEnter DATE);"), false},
      {"name required", db(users + keys_as + "name TEXT NOT NULL, key TEXT, timeEnter DATE);"), false},
      {"a default", db(users + keys_as + "name TEXT, key TEXT, timeEnter DATE DEFAULT 0);"), false},
      {"a generated column", db(users + keys_as + "name TEXT, key TEXT, timeEnter DATE AS (0));"), false},
      {"id not the row id",
       db(users + "CREATE TABLE keys (id INTEGER, name TEXT, key TEXT, timeEnter DATE);"), false},
      {"without row id", db(users + keys.substr(0, keys.size() - 1) + " WITHOUT ROWID;", false), false},
      {"Keys", db(users + "CREATE TABLE Keys" + keys.substr(17)), false},
      {"no users table", db(keys), false},
      {"users without timeEnter",
       db("CREATE TABLE users (id INTEGER PRIMARY KEY, auth TEXT, read TEXT, write TEXT);" + keys), false},
  };
  for (const auto &c : cases)
    expect_keys_upload(c.name, c.data, c.taken);
}

// While another connection holds the database, the upload fails and the
// old keys stay.
TEST_F(Uploads, KeyDatabaseHeldElsewhereStaysAsItWas)
{
  const std::string live = "/mnt/jffs/etc/access.sqlite";
  fe::keys_db(root, live, {{"111111111111", "old"}});
  sqlite3 *holder = nullptr;
  ASSERT_EQ(sqlite3_open(root.file(live).c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::string good = fe::keys_db(root, "/tmp/good.db", {{"0A0B0C0D0E0F", "bob"}});
  EXPECT_EQ(send("upload-db", good, "keys"), fe::status_response("wrong format"));
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_EQ(fe::keys_in(root, live), "111111111111=old");
}

}  // namespace
