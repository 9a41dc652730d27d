// Save paths under failing system calls: each operation is run once counting
// its fallible calls, then once with each of them failing in turn. "No error"
// must mean stored; a failure must leave the old state whole and nothing
// behind.
#include "engine_env.h"

#include <dirent.h>

#include <cstring>
#include <filesystem>

#include <functional>

namespace {

const std::string kNoError = "<error type=\"no error\" />";

// The account database's check and rows, read as engine reads it (a
// read-write connection, which takes back a change a hot journal records).
std::string account_rows(const zt::Root &root)
{
  sqlite3 *db = nullptr;
  std::string out;
  sqlite3_open_v2(root.file("/mnt/jffs/etc/users.sqlite").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  auto add = [](void *o, int n, char **values, char **) {
    for (int i = 0; i < n; i++)
      *static_cast<std::string *>(o) += (values[i] ? values[i] : "NULL") + std::string(i + 1 < n ? "|" : "\n");
    return 0;
  };
  sqlite3_exec(db, "PRAGMA integrity_check; SELECT ID, Valid, Name, SRead, SWrite FROM SystemUsers", add, &out,
               nullptr);
  sqlite3_close(db);
  return out;
}

// Every file of a folder that holds state, name -> bytes (a link: "->" and
// its target); the account database as its rows.
std::map<std::string, std::string> snapshot(const zt::Root &root, const std::string &folder)
{
  std::map<std::string, std::string> out;
  if (folder == "/mnt/jffs/etc/")
    out["rows"] = account_rows(root);
  DIR *d = opendir(root.file(folder).c_str());
  while (const dirent *e = d != nullptr ? readdir(d) : nullptr) {
    std::string rel = folder + e->d_name, target(1024, '\0');
    ssize_t n = readlink(root.file(rel).c_str(), target.data(), target.size());
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      out[rel] = n >= 0 ? "->" + target.substr(0, size_t(n)) : rel.ends_with("users.sqlite") ? "" : root.read(rel);
  }
  if (d != nullptr)
    closedir(d);
  return out;
}

// The names that differ between two snapshots.
std::string changed(const std::map<std::string, std::string> &a, const std::map<std::string, std::string> &b)
{
  std::string out;
  for (const auto &[name, bytes] : a)
    if (!b.contains(name) || b.at(name) != bytes)
      out += " " + name;
  for (const auto &[name, bytes] : b)
    if (!a.contains(name))
      out += " +" + name;
  return out;
}

// The session secret is made at the first use and kept: not a change that
// a failed request has to take back.
std::map<std::string, std::string> without_new_secret(std::map<std::string, std::string> after,
                                                      const std::map<std::string, std::string> &before)
{
  if (!before.contains("/mnt/jffs/etc/session.key"))
    after.erase("/mnt/jffs/etc/session.key");
  return after;
}

struct Operation {
  const char *name;
  const char *guarded;  // the folder whose state a failure leaves whole
  std::string (*prepare)(const zt::Root &root);  // the session key to use, or ""
  std::string form;                               // "KEY" replaced by the key
  std::string success;                            // the reply's start when it succeeded
  std::function<bool(const zt::Root &, const std::string &reply)> stored;
};

std::string admin_key(const zt::Root &root) { return et::login(root, "admin", "pw"); }
std::string no_key(const zt::Root &) { return ""; }

// A session written after the last change of the account database: its
// check reads no row, so the refresh's calls are the same on every run.
std::string settled_key(const zt::Root &root)
{
  std::string key = admin_key(root);
  std::filesystem::last_write_time(root.file("/mnt/jffs/etc/users.sqlite"),
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  return key;
}

bool key_works(const zt::Root &root, const std::string &reply)
{
  std::string key = et::attr(reply, "k");
  return !key.empty() && et::ask(root, key, "querytype=getuser&id=2").rfind("<users>", 0) == 0;
}

std::string column(const zt::Root &root, const char *sql) { return et::users_query(root, sql); }

const Operation kOperations[] = {
    {"login, new session", "/var/users/", no_key, "querytype=auth&name=admin&h=pw", "<user id=\"1\" k=\"", key_works},
    {"login, alias", "/var/users/", admin_key, "querytype=auth&name=admin&h=pw", "<user id=\"1\" k=\"", key_works},
    // A failed refresh is no failure of the request: it answers, and the
    // session goes on from its old file.
    {"refresh", "/var/users/", settled_key, "k=KEY&querytype=getsettings", "<settings",
     [](const zt::Root &root, const std::string &) {
       return et::ask(root, et::attr(root.read("/tmp/key"), "k"), "querytype=getuser&id=2")
                  .rfind("<users>", 0) == 0;
     }},
    {"account add", "/mnt/jffs/etc/", admin_key, "k=KEY&querytype=adduser&name=new&h=p&sread=a&swrite=b", kNoError,
     [](const zt::Root &root, const std::string &) {
       return column(root, "SELECT SRead FROM SystemUsers WHERE Name='new' AND Valid='1'") == "a";
     }},
    {"account change", "/mnt/jffs/etc/", admin_key, "k=KEY&querytype=adduser&id=2&sread=zz", kNoError,
     [](const zt::Root &root, const std::string &) {
       return column(root, "SELECT SRead FROM SystemUsers WHERE ID=2") == "zz";
     }},
    {"account disable", "/mnt/jffs/etc/", admin_key, "k=KEY&querytype=deluser&id=2", kNoError,
     [](const zt::Root &root, const std::string &) {
       return column(root, "SELECT Valid FROM SystemUsers WHERE ID=2") == "0";
     }},
};

const char *const kPlans[] = {"fail:%ld:EIO", "fail:%ld:ENOSPC", "fail:%ld:EINTR", "short:%ld"};

class Faults : public ::testing::Test {
protected:
  // The state before the operation; the key (also in tmp/key as k="...").
  std::string reset(const Operation &op)
  {
    for (const char *folder : {"/var/users/", "/mnt/jffs/etc/"}) {
      std::filesystem::remove_all(root.file(folder));
      std::filesystem::create_directories(root.file(folder));
    }
    et::make_users(root, {{"1", "admin", "pw", "all", "all"}, {"1", "second", "pw", "s", "w"}});
    std::string key = op.prepare(root);
    root.remove("/mnt/jffs/etc/.keep");  // the harness's, not a leftover
    root.write("/tmp/key", " k=\"" + key + "\"");
    return key;
  }
  zt::RunResult run(const Operation &op, const std::string &key, const std::string &plan)
  {
    std::string form = op.form;
    if (size_t at = form.find("KEY"); at != std::string::npos)
      form.replace(at, 3, key);
    return zt::cgi(root, "", form, "engine", {{"APPLIANCE_FAULT", plan}});
  }

  zt::Root root;
  zt::Sim sim{root};
};

TEST_F(Faults, NoErrorMeansStoredAndAFailureKeepsTheOldState)
{
  for (const Operation &op : kOperations) {
    zt::RunResult counted = run(op, reset(op), "count");
    long calls = 0;
    ASSERT_EQ(std::sscanf(counted.err.c_str(), "fault-seam: calls=%ld", &calls), 1) << counted.err;
    ASSERT_EQ(et::body(counted).rfind(op.success, 0), 0u) << op.name << ": " << counted.out;
    ASSERT_TRUE(op.stored(root, et::body(counted))) << op.name;
    ASSERT_GT(calls, 0) << op.name;
    for (const char *plan_form : kPlans) {
      for (long n = 1; n <= calls; n++) {
        std::string key = reset(op);
        std::map<std::string, std::string> before = snapshot(root, op.guarded);
        char plan[64];
        std::snprintf(plan, sizeof plan, plan_form, n);
        zt::RunResult r = run(op, key, plan);
        std::string reply = et::body(r);
        std::string where = std::string(op.name) + " " + plan + " " + r.err + reply;
        EXPECT_EQ(r.status, 0) << where;
        EXPECT_NE(reply, "") << where;  // a failure is answered too
        if (reply.rfind(op.success, 0) == 0)
          EXPECT_TRUE(op.stored(root, reply)) << where;
        else
          EXPECT_EQ(changed(without_new_secret(snapshot(root, op.guarded), before), before), "") << where;
        for (const char *folder : {"/var/users/", "/mnt/jffs/etc/"})
          for (const auto &[name, bytes] : snapshot(root, folder))
            EXPECT_TRUE(name.find("_tmp") == std::string::npos && name.find("/.") == std::string::npos &&
                        name.find("-journal") == std::string::npos && name.find(".tmp") == std::string::npos)
                << where << " left " << name;
      }
    }
    std::printf("%s: %ld calls, %ld runs\n", op.name, calls, calls * long(std::size(kPlans)));
  }
}

}  // namespace
