// Shared set-up of the gateway's system tests: the account database, logins
// and the response header block.
#pragma once
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "harness.h"

namespace et {

inline const std::string kXmlHeaders =
    "Expires: -1\r\n"
    "Cache-Control:no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
    "Pragma: no-cache\r\n"
    "Content-Type: text/xml\r\n"
    "\r\n";

struct Account {
  std::string valid, name, pass, sread, swrite, cread = "all", cwrite = "all", gread = "all",
                                                gwrite = "all";
};

// Runs SQL on the root's account database (created when missing).
inline void users_sql(const zt::Root &root, const std::string &sql)
{
  root.write("/mnt/jffs/etc/.keep", "");
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(root.file("/mnt/jffs/etc/users.sqlite").c_str(), &db), SQLITE_OK);
  char *err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  std::string msg = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << msg;
}

inline std::string q(const std::string &s)
{
  std::string out = "'";
  for (char c : s)
    out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// Creates SystemUsers with the accounts, ids 1, 2, ... in order.
inline void make_users(const zt::Root &root, const std::vector<Account> &accounts)
{
  std::string sql =
      "CREATE TABLE IF NOT EXISTS SystemUsers (ID INTEGER PRIMARY KEY AUTOINCREMENT, Valid TEXT, "
      "Name TEXT, Pass TEXT, RegDate TEXT, SRead TEXT, SWrite TEXT, CRead TEXT, CWrite TEXT, "
      "GRead TEXT, GWrite TEXT, RFU1 TEXT, RFU2 TEXT);";
  for (const Account &a : accounts)
    sql += "INSERT INTO SystemUsers (Valid,Name,Pass,RegDate,SRead,SWrite,CRead,CWrite,GRead,GWrite,"
           "RFU1,RFU2) VALUES (" +
           q(a.valid) + "," + q(a.name) + "," + q(a.pass) + ",'2024-01-01 00:00:00'," + q(a.sread) +
           "," + q(a.swrite) + "," + q(a.cread) + "," + q(a.cwrite) + "," + q(a.gread) + "," +
           q(a.gwrite) + ",'','');";
  users_sql(root, sql);
}

// One column of the rows a query selects, joined by '|'.
inline std::string users_query(const zt::Root &root, const std::string &sql)
{
  sqlite3 *db = nullptr;
  std::string out;
  if (sqlite3_open_v2(root.file("/mnt/jffs/etc/users.sqlite").c_str(), &db, SQLITE_OPEN_READONLY,
                      nullptr) != SQLITE_OK)
    return "<no db>";
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    bool first = true;
    while (sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char *t = sqlite3_column_text(st, 0);
      out += (first ? "" : "|") + std::string(t ? reinterpret_cast<const char *>(t) : "");
      first = false;
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// The standard output after the XML header block ("<no headers>" when the
// block is not there).
inline std::string body(const zt::RunResult &r)
{
  if (r.out.compare(0, kXmlHeaders.size(), kXmlHeaders) != 0)
    return "<no headers>" + r.out;
  return r.out.substr(kXmlHeaders.size());
}

inline std::string attr(const std::string &text, const std::string &name)
{
  std::string key = " " + name + "=\"";
  size_t p = text.find(key);
  if (p == std::string::npos)
    return "";
  p += key.size();
  return text.substr(p, text.find('"', p) - p);
}

// Logs in through querytype auth; the session key, "" when refused.
inline std::string login(const zt::Root &root, const std::string &name, const std::string &h)
{
  zt::RunResult r = zt::cgi(root, "", "querytype=auth&name=" + name + "&h=" + h);
  return attr(body(r), "k");
}

// Runs one XML interface request with the session key.
inline std::string ask(const zt::Root &root, const std::string &key, const std::string &form)
{
  return body(zt::cgi(root, "", "k=" + key + "&" + form));
}

}  // namespace et
