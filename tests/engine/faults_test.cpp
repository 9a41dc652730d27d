// Save paths under failing system calls: each operation is run once counting
// its fallible calls, then once with each of them failing in turn. "No error"
// must mean stored; a failure must leave the old state whole and nothing
// behind.
#include "../engine_files/files_env.h"
#include "fault_driver.h"

#include <dirent.h>

#include <cstring>
#include <filesystem>

#include <functional>

namespace {

const std::string kNoError = "<error type=\"no error\" />";

// Every file of a folder that holds state, name -> bytes (a link: "->" and
// its target); the databases as their rows. None for no folder.
std::map<std::string, std::string> snapshot(const zt::Root &root, const char *folder_name)
{
  std::map<std::string, std::string> out;
  if (folder_name == nullptr)
    return out;
  const std::string folder = folder_name;
  if (folder == "/mnt/jffs/etc/") {
    out["rows"] = zt::db_rows(root, "/mnt/jffs/etc/users.sqlite", "SELECT ID, Valid, Name, SRead, SWrite FROM SystemUsers");
    if (root.exists("/mnt/jffs/etc/access.sqlite"))
      out["keys"] = zt::db_rows(root, "/mnt/jffs/etc/access.sqlite", "SELECT key, name FROM keys ORDER BY key");
  }
  DIR *d = opendir(root.file(folder).c_str());
  while (const dirent *e = d != nullptr ? readdir(d) : nullptr) {
    std::string rel = folder + e->d_name, target(1024, '\0');
    ssize_t n = readlink(root.file(rel).c_str(), target.data(), target.size());
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      out[rel] = n >= 0 ? "->" + target.substr(0, size_t(n)) : rel.ends_with(".sqlite") ? "" : root.read(rel);
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
  const char *role = "engine";  // an upload's name: `form` is then the file, sent with the key
  const char *query = "";
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

// An upload's file, and the stored file that must then be it.
const std::string kMap = "GIF89a a new floor map";
const std::string kFirmware = "firmware image, whole";
const std::string kLanguage = "<language name=\"fr\" />";
const std::string kUploaded = fe::status_element("no error");

std::string admin_with_old_files(const zt::Root &root)
{
  root.write("/mnt/jffs/etc/map", "GIF89a the old map");
  root.write("/var/tmp/firmware.zun", "old firmware");
  root.write("/mnt/jffs/etc/languages/fr.xml", "<language name=\"old\" />");
  fe::keys_db(root, "/mnt/jffs/etc/access.sqlite", {{"0102030405AA", "old"}});
  return admin_key(root);
}

bool holds(const zt::Root &root, const char *rel, const std::string &bytes) { return root.read(rel) == bytes; }

const std::string kKeysImage = [] {
  zt::Root scratch;
  return fe::keys_db(scratch, "/image.sqlite", {{"0A0B0C0D0E0F", "new"}, {"0102030405AA", "kept"}});
}();

const Operation kOperations[] = {
    {"login, new session", "/var/users/", no_key, "querytype=auth&name=admin&h=pw", "<user id=\"1\" k=\"", key_works},
    {"login, alias", "/var/users/", admin_key, "querytype=auth&name=admin&h=pw", "<user id=\"1\" k=\"", key_works},
    // A failed refresh is no failure of the request: it answers, and the
    // session goes on from its old file. A failed exchange after it fails
    // the request, the session goes on from either file.
    {"refresh", nullptr, settled_key, "k=KEY&querytype=getsettings", "<settings",
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
    {"upload map", "/mnt/jffs/etc/", admin_with_old_files, kMap, kUploaded,
     [](const zt::Root &root, const std::string &) { return holds(root, "/mnt/jffs/etc/map", kMap); }, "upload-map"},
    {"upload firmware", "/var/tmp/", admin_with_old_files, kFirmware, kUploaded,
     [](const zt::Root &root, const std::string &) { return holds(root, "/var/tmp/firmware.zun", kFirmware); },
     "upload-firmware"},
    {"upload language", "/mnt/jffs/etc/languages/", admin_with_old_files, kLanguage, kUploaded,
     [](const zt::Root &root, const std::string &) {
       return holds(root, "/mnt/jffs/etc/languages/fr.xml", kLanguage);
     },
     "upload-language", "filename=fr.xml"},
    {"upload key database", "/mnt/jffs/etc/", admin_with_old_files, kKeysImage, kUploaded,
     [](const zt::Root &root, const std::string &) {
       return fe::keys_in(root, "/mnt/jffs/etc/access.sqlite") == "0102030405AA=kept 0A0B0C0D0E0F=new";
     },
     "upload-db"},
};

// The folders that hold what the operations change, emptied before each run.
const char *const kFolders[] = {"/var/users/", "/mnt/jffs/etc/", "/var/tmp/", "/tmp/upload-language/"};

// The reply after the response headers (an upload's are its own).
std::string reply_of(const Operation &op, const zt::RunResult &r)
{
  if (std::string_view(op.role) == "engine")
    return et::body(r);
  if (r.out.compare(0, fe::kStatusHeaders.size(), fe::kStatusHeaders) != 0)
    return "<no headers>" + r.out;
  return r.out.substr(fe::kStatusHeaders.size());
}

class Faults : public ::testing::Test {
protected:
  // The state before the operation; the key (also in tmp/key as k="...").
  std::string reset(const Operation &op)
  {
    for (const char *folder : kFolders) {
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
    if (std::string_view(op.role) != "engine")
      return fe::upload(root, op.role, fe::multipart(key, op.form), op.query, {{"APPLIANCE_FAULT", plan}});
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
    const long calls = zt::seam_report(counted.err).calls;
    ASSERT_EQ(reply_of(op, counted).rfind(op.success, 0), 0u) << op.name << ": " << counted.out;
    ASSERT_TRUE(op.stored(root, reply_of(op, counted))) << op.name;
    ASSERT_GT(calls, 0) << op.name << ": " << counted.err;
    const std::map<std::string, std::string> done = snapshot(root, op.guarded);
    const std::vector<std::string> plans = zt::fault_plans(calls);
    for (const std::string &plan : plans) {
      std::string key = reset(op);
      std::map<std::string, std::string> before = snapshot(root, op.guarded);
      zt::RunResult r = run(op, key, plan);
      std::string reply = reply_of(op, r);
      std::string where = std::string(op.name) + " " + plan + " " + r.err + reply;
      EXPECT_EQ(r.status, 0) << where;
      EXPECT_NE(reply, "") << where;  // a failure is answered too
      std::map<std::string, std::string> after = without_new_secret(snapshot(root, op.guarded), before);
      if (reply.rfind(op.success, 0) == 0 || op.guarded == nullptr)
        EXPECT_TRUE(op.stored(root, reply)) << where;
      else if (zt::after_the_store(zt::seam_report(r.err).hit))
        EXPECT_TRUE(changed(after, before).empty() ||
                    changed(without_new_secret(after, {}), without_new_secret(done, {})).empty())
            << where;
      else
        EXPECT_EQ(changed(after, before), "") << where;
      for (const char *folder : kFolders)
        for (const auto &[name, bytes] : snapshot(root, folder))
          EXPECT_TRUE(name.find("_tmp") == std::string::npos && name.find("/.") == std::string::npos &&
                      name.find("-journal") == std::string::npos && name.find(".tmp") == std::string::npos)
              << where << " left " << name;
    }
    std::printf("%s: %ld calls, %zu runs\n", op.name, calls, plans.size());
  }
}

}  // namespace
