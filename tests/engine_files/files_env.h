// Shared set-up of the file endpoint tests: accounts by what they may do,
// multipart bodies as curl -F sends them, the uploads' status response,
// file contents and key databases.
#pragma once
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "../engine/engine_env.h"

namespace fe {

// admin: every section; reader: reads log, elements and access keys, writes
// nothing; keys: writes access keys only; langs: writes languages only;
// plain: view only (a valid session for session-only endpoints).
inline void make_accounts(const zt::Root &root)
{
  et::make_users(root, {{"1", "admin", "pw", "all,", "all,"},
                        {"1", "reader", "pw", "log,elements,accesskeys,", ""},
                        {"1", "keys", "pw", "", "accesskeys,"},
                        {"1", "langs", "pw", "", "languages,"},
                        {"1", "plain", "pw", "view,", "view,"}});
}

inline const std::string kStatusHeaders =
    "Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
    "Cache-Control:no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
    "Pragma: no-cache\r\n"
    "Content-Type: text/xml\r\n"
    "\r\n";

// The status element of an upload ("no error" is the success form).
inline std::string status_element(const std::string &word)
{
  return word == "no error" ? "<error type=\"no error\" success=\"true\" />\r\n"
                            : "<error type=\"" + word + "\" success=\"false\" />\r\n";
}

inline std::string status_response(const std::string &word)
{
  return kStatusHeaders + status_element(word);
}

inline const std::string kBoundary = "------------------------8d2c5e1f0a7b3c49";

// A multipart/form-data body as curl -F sends it: a "k" part (unless key is
// empty) before the "filedata" part.
inline std::string multipart(const std::string &key, const std::string &data)
{
  std::string b;
  if (!key.empty())
    b += "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\n" + key + "\r\n";
  b += "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"filedata\"; filename=\"f\"\r\n"
       "Content-Type: application/octet-stream\r\n\r\n" + data + "\r\n--" + kBoundary + "--\r\n";
  return b;
}

// Runs an upload role as a web server would: CONTENT_TYPE multipart with
// the boundary, CONTENT_LENGTH of the body unless `extra` sets it.
inline zt::RunResult upload(const zt::Root &root, const std::string &role, const std::string &body,
                            const std::string &query = "",
                            std::map<std::string, std::string> extra = {})
{
  extra.emplace("CONTENT_TYPE", "multipart/form-data; boundary=" + kBoundary);
  return zt::cgi(root, query, body, role, extra);
}

// n bytes that no piece of code would produce by accident.
inline std::string random_bytes(size_t n, unsigned seed = 1)
{
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char &c : s)
    c = static_cast<char>(gen() & 0xff);
  return s;
}

inline unsigned mode_of(const zt::Root &root, const std::string &rel)
{
  struct stat st;
  return stat(root.file(rel).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

inline ino_t inode_of(const zt::Root &root, const std::string &rel)
{
  struct stat st;
  return stat(root.file(rel).c_str(), &st) == 0 ? st.st_ino : 0;
}

// The access database's tables, as warderd creates them.
inline const std::string kUsersTable =
    "CREATE TABLE users (id INTEGER PRIMARY KEY, auth TEXT, read TEXT, write TEXT, timeEnter DATE);";
inline const std::string kKeysTable =
    "CREATE TABLE keys (id INTEGER PRIMARY KEY, name TEXT, key TEXT, timeEnter DATE);";

// A key database holding the given keys (key, name), written at rel under
// the root, its schema as warderd makes it unless given; its bytes are
// returned.
inline std::string keys_db(const zt::Root &root, const std::string &rel,
                           const std::vector<std::pair<std::string, std::string>> &keys,
                           const std::string &schema = kUsersTable + kKeysTable)
{
  root.remove(rel);
  root.write(rel + ".keep", "");
  root.remove(rel + ".keep");
  sqlite3 *db = nullptr;
  sqlite3_open(root.file(rel).c_str(), &db);
  std::string sql = schema;
  for (const auto &[key, name] : keys)
    sql += "INSERT INTO keys (name, key) VALUES ('" + name + "', '" + key + "');";
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  sqlite3_close(db);
  return root.read(rel);
}

// The keys of the database at rel, "KEY=NAME" joined by ' ' in key order;
// "<unreadable>" when it cannot be read.
inline std::string keys_in(const zt::Root &root, const std::string &rel)
{
  sqlite3 *db = nullptr;
  std::string out = "<unreadable>";
  if (sqlite3_open_v2(root.file(rel).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT key, name FROM keys ORDER BY key", -1, &st, nullptr) == SQLITE_OK) {
      out.clear();
      while (sqlite3_step(st) == SQLITE_ROW)
        out += (out.empty() ? "" : " ") +
               std::string(reinterpret_cast<const char *>(sqlite3_column_text(st, 0))) + "=" +
               reinterpret_cast<const char *>(sqlite3_column_text(st, 1));
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

// Accounts logged in (key["admin"], ...) and the stand-ins.
class FilesTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    make_accounts(root);
    std::filesystem::create_directories(root.file("/mnt/jffs/etc/languages"));
    ASSERT_TRUE(sim.ok());
    for (const char *name : {"admin", "reader", "keys", "langs", "plain"})
      key[name] = et::login(root, name, "pw");
    ASSERT_FALSE(key["admin"].empty());
  }
  // A download role's whole output.
  std::string get(const std::string &role, const std::string &query) const
  {
    return zt::cgi(root, query, "", role).out;
  }
  // A download role asked as the console asks it: the parameters in a form
  // body, beside `query`; `extra` adds to the environment or overrides it.
  std::string post(const std::string &role, const std::string &body, const std::string &query = "",
                   std::map<std::string, std::string> extra = {}) const
  {
    extra.emplace("CONTENT_TYPE", "application/x-www-form-urlencoded;charset=UTF-8");
    return zt::cgi(root, query, body, role, extra).out;
  }
  zt::Root root;
  zt::Sim sim{root};
  std::map<std::string, std::string> key;
};

}  // namespace fe
