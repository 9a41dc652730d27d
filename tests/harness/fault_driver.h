// Shared pieces of the drivers that run an operation with each of its
// fallible calls failing in turn (the fault seam's APPLIANCE_FAULT plans).
#pragma once
#include <sqlite3.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace zt {

// Every plan for an operation of `calls` fallible calls: each call failing
// with EIO, ENOSPC, EINTR, and cut short.
inline std::vector<std::string> fault_plans(long calls)
{
  std::vector<std::string> plans;
  for (const char *form : {"fail:%ld:EIO", "fail:%ld:ENOSPC", "fail:%ld:EINTR", "short:%ld"})
    for (long n = 1; n <= calls; n++) {
      char plan[64];
      std::snprintf(plan, sizeof plan, form, n);
      plans.push_back(plan);
    }
  return plans;
}

// The seam's report on standard error: the calls counted and the kind of
// the call that failed ("none"); calls is -1 without a report.
struct SeamReport {
  long calls = -1;
  std::string hit = "none";
};
inline SeamReport seam_report(const std::string &err)
{
  static const std::regex re("fault-seam: calls=([0-9]+) hit=([a-z_]+)");
  std::smatch m;
  SeamReport r;
  if (std::regex_search(err, m, re)) {
    r.calls = std::stol(m[1]);
    r.hit = m[2];
  }
  return r;
}

// A failure after the new state was put in place: the last folder flush
// (the file is in place, but a power cut may take it back) or the command
// to the daemon that takes it over. The state is then the old or the new
// one, whole.
inline bool after_the_store(const std::string &hit)
{
  return hit == "fsync_dir" || hit == "connect" || hit == "send";
}

// A database's integrity check and the rows of `select`, read as the
// programs read it (a read-write connection, which takes back a change a
// hot journal records).
inline std::string db_rows(const Root &root, const std::string &rel, const std::string &select)
{
  sqlite3 *db = nullptr;
  std::string out;
  sqlite3_open_v2(root.file(rel).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  auto add = [](void *o, int n, char **values, char **) {
    for (int i = 0; i < n; i++)
      *static_cast<std::string *>(o) += (values[i] ? values[i] : "NULL") + std::string(i + 1 < n ? "|" : "\n");
    return 0;
  };
  sqlite3_exec(db, ("PRAGMA integrity_check; " + select).c_str(), add, &out, nullptr);
  sqlite3_close(db);
  return out;
}

}  // namespace zt
