// The file endpoints' own rights checks: one row per (endpoint, user), with
// the endpoint's refusal byte for byte. A user that holds the right gets
// past it; after a refusal nothing is stored and nothing but the check's own
// traffic reaches a daemon.
#include "files_env.h"

namespace {

using FileRights = fe::FilesTest;

TEST_F(FileRights, EveryEndpointChecksAndRefusesInItsOwnForm)
{
  const std::string rss = "<error type=\"access error\" />";
  const std::string s403 = "Status: 403\r\n\r\n";
  const std::string settings = s403 + "You don't have administrative privileges to download this file\r\n";
  const std::string db = s403 + "HTTP/1.0 ";
  const std::string denied = fe::status_response("access denied");
  const std::string xml_denied = et::kXmlHeaders + "<error type=\"access denied\" code=\"-101\" />";
  struct Row {
    std::string role, user, refusal;
    bool refused;
  } rows[] = {
      {"rss", "plain", rss, true},          {"rss", "", rss, true},
      {"rss", "reader", rss, false},        {"dump", "plain", s403, true},
      {"dump", "reader", s403, false},      {"settings", "reader", settings, true},
      {"settings", "keys", settings, true}, {"settings", "admin", settings, false},
      {"map", "", s403, true},              {"map", "plain", s403, false},
      {"db", "plain", db, true},            {"db", "langs", db, true},
      {"db", "reader", db, false},          {"upload-map", "keys", denied, true},
      {"upload-map", "", denied, true},     {"upload-map", "admin", denied, false},
      {"upload-db", "reader", denied, true}, {"upload-db", "keys", denied, false},
      {"upload-firmware", "keys", denied, true}, {"upload-firmware", "admin", denied, false},
      {"dellanguage", "reader", xml_denied, true}, {"dellanguage", "langs", xml_denied, false},
  };
  const std::vector<std::string> stored = {"/mnt/jffs/etc/map", "/mnt/jffs/etc/access.sqlite",
                                           "/var/tmp/firmware.zun"};
  for (const Row &r : rows) {
    for (const std::string &f : stored)
      root.write(f, "old " + f);
    sim.clear_journal();
    // No key, or the key of a session that does not exist, for "".
    std::string k = r.user.empty() ? "12345" : key[r.user];
    std::string out;
    if (r.role.rfind("upload-", 0) == 0)
      out = fe::upload(root, r.role, fe::multipart(k, "GIF89a")).out;
    else if (r.role == "dellanguage")
      out = zt::cgi(root, "", "querytype=dellanguage&filename=en.xml&k=" + k).out;
    else
      out = zt::cgi(root, r.user.empty() ? "" : "k=" + k, "", r.role).out;
    std::string what = r.role + " by " + r.user;
    if (!r.refused) {
      EXPECT_NE(out, r.refusal) << what;
      continue;
    }
    EXPECT_EQ(out, r.refusal) << what;
    for (const std::string &f : stored)
      EXPECT_EQ(root.read(f), "old " + f) << what;
    for (const std::string &line : sim.journal())
      EXPECT_TRUE(line.find("\t<entry ") != std::string::npos || line.find("\t<dbtype ") != std::string::npos)
          << what << ": " << line;
  }
}

}  // namespace
