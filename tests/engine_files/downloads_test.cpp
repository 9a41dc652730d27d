// File downloads run directly as the web server runs them: headers and
// status lines byte for byte, the daemons' commands, log entries, refusals,
// and the language file names every language endpoint refuses.
#include <regex>

#include "../engine_families/families_env.h"
#include "files_env.h"

namespace {

const std::string kNotLoaded = "<error type=\"module is not loaded\" />";

using Downloads = fe::FilesTest;

TEST_F(Downloads, RssStreamsTheLogFeedOrItsText)
{
  zt::exchange(root, "chronicled", "<entry type=\"message\" message=\"door open\" level=\"8\" />");
  struct {
    std::string query, headers, command;
  } cases[] = {
      {"", "Content-Type: application/rss+xml\r\n\r\n", "<rss />"},
      {"save&", "Content-Type: text/plain\r\nContent-Disposition: attachment; filename=syslog.txt\r\n\r\n",
       "<savetxt />"},
  };
  for (const auto &c : cases) {
    std::string reply = zt::exchange(root, "chronicled", c.command);
    ASSERT_NE(reply.find("door open"), std::string::npos);
    sim.clear_journal();
    EXPECT_EQ(get("rss", c.query + "k=" + key["reader"]), c.headers + reply);
    EXPECT_EQ(sim.journal_of("chronicled"), std::vector<std::string>{c.command});
    sim.fault("chronicled", "close");
    EXPECT_EQ(get("rss", c.query + "k=" + key["reader"]), c.headers + kNotLoaded);
    sim.fault("chronicled", "none");
  }
}

// The time stamp is written as S, the clock and the report's time as @T.
TEST_F(Downloads, DumpXmlAndTextForms)
{
  const std::string settings = zt::exchange(root, "stewardd", "<getsettings />");
  const std::string net = zt::exchange(root, "stewardd", "<txtsettings />");
  const std::string head = "Status: 200\r\nContent-Type: text/";
  struct {
    std::string query, dump_cmd, head, body, steward;
  } cases[] = {
      {"", "<dump />", "xml\r\nContent-Disposition: attachment; filename=dumplog_S.xml\r\n\r\n",
       "<system mode=\"normal\" version=\"2.5.1 b314 (base)\" @T sms=\"true\" optime=\"1234\" >" +
           settings,
       "<getsettings />"},
      {"txt&id=100&", "<dump  id=\"100\" txt=\"true\"/>",
       "plain\r\nContent-Disposition: attachment; filename=dumplog_S.csv\r\n\r\n",
       "# system: Monitoring system, version: 2.5.1 b314 (base)\n# current @T operation time: 1234 hours\n"
       "# " + net + "\r\n",
       "<txtsettings />"},
  };
  for (const auto &c : cases) {
    std::string dump = zt::exchange(root, "registryd", c.dump_cmd);
    sim.clear_journal();
    std::string out = get("dump", c.query + "k=" + key["admin"]);
    out = std::regex_replace(out, std::regex("_\\d{4}-\\d\\d-\\d\\d_\\d\\d:\\d\\d:\\d\\d\\."), "_S.");
    out = std::regex_replace(out, std::regex(" time=\"[0-9]+\"| time: [0-9: -]+,"), " @T");
    EXPECT_EQ(out, head + c.head + c.body + dump + (c.dump_cmd == "<dump />" ? "</system>\r\n" : "\r\n"));
    EXPECT_EQ(sim.journal_of("stewardd"), (std::vector<std::string>{"<optime />", c.steward}));
    EXPECT_EQ(sim.journal_of("registryd").back(), c.dump_cmd);
  }
}

// The archive that backup.sh makes, sent whole with its true length, and
// the log entry of every download.
TEST_F(Downloads, SettingsArchive)
{
  root.write("/mnt/jffs/etc/map", fe::random_bytes(100000));
  zt::RunResult r = zt::cgi(root, "k=" + key["admin"], "", "settings");
  std::string archive = root.read("/var/tmp/settings.orv");
  ASSERT_GT(archive.size(), 100000u);
  EXPECT_TRUE(r.out == "HTTP/1.0 200 OK\r\nContent-Type: application/force-download\r\n"
                   "Content-Disposition: attachment; filename=settings.orv\r\nContent-Length: " +
                       std::to_string(archive.size()) + "\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
                       archive);
  EXPECT_NE(archive.find("etc/map"), std::string::npos);
  EXPECT_EQ(sim.journal_of("stewardd"), std::vector<std::string>{"<exepipe cmd=\"backup.sh\" />"});
  auto log = sim.journal_of("chronicled");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "<entry type=\"message\" message=\"File settings settings.orv(" +
                            std::to_string(archive.size()) + " bytes) was downloaded\\n\" level=\"8\" />");

  sim.clear_journal();
  sim.fault("stewardd", "close");
  EXPECT_EQ(get("settings", "k=" + key["admin"]), kNotLoaded);
  EXPECT_TRUE(sim.journal_of("chronicled").empty());
}

// A backup that left no archive, or an empty one (stewardd's stand-in here
// answers without touching the file).
TEST_F(Downloads, SettingsArchiveMissingOrEmpty)
{
  sim.stop();
  zt::Sim others(root, {"--except", "stewardd"});
  ft::FakeDaemon stewardd(root, "stewardd", "<error type=\"no error\" />");
  struct {
    bool present;
    std::string entry;
  } cases[] = {
      {false, "<entry type=\"error\" message=\"File /var/tmp/settings.orv not found\" level=\"8\" />"},
      {true, "<entry type=\"message\" message=\"File settings settings.orv(0 bytes) was downloaded\\n\" "
             "level=\"8\" />"},
  };
  for (const auto &c : cases) {
    root.remove("/var/tmp/settings.orv");
    if (c.present)
      root.write("/var/tmp/settings.orv", "");
    others.clear_journal();
    EXPECT_EQ(get("settings", "k=" + key["admin"]), "Status: 500\r\n\r\n");
    EXPECT_EQ(others.journal_of("chronicled"), std::vector<std::string>{c.entry});
  }
}

// map, image, db and language: whole files beyond the command buffer, and
// the answers for missing and empty files.
TEST_F(Downloads, WholeFiles)
{
  const std::string data = fe::random_bytes(200000, 7);
  auto direct = [&](const std::string &head) { return "HTTP/1.0 200 OK\r\n" + head; };
  const std::string length = "Content-Length: " + std::to_string(data.size());
  struct {
    std::string role, query, file, ok, missing, empty;
  } cases[] = {
      {"map", "k=" + key["plain"], "/mnt/jffs/etc/map", "Status: 200\r\n\r\n", "Status: 404\r\n\r\n",
       "Status: 200\r\n\r\n"},
      {"image", "", "/tmp/picture.jpg",
       direct("Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\nCache-Control: no-store, no-cache, "
              "must-revalidate, post-check=0, pre-check=0\r\nPragma: no-cache\r\nContent-Type: "
              "image/jpeg\r\n" + length + "\r\n\r\n"),
       "HTTP/1.0 Status: 500\r\n\r\n", "HTTP/1.0 Status: 500\r\n\r\n"},
      {"db", "k=" + key["reader"], "/mnt/jffs/etc/access.sqlite",
       direct("Content-Type: application/force-download\r\nContent-Disposition: attachment; "
              "filename=access.sqlite\r\n" + length + "\r\nContent-Transfer-Encoding: binary\r\n\r\n"),
       "HTTP/1.0 Status: 500\r\n\r\n", "HTTP/1.0 Status: 500\r\n\r\n"},
      {"language", "filename=de_DE-1.xml", "/mnt/jffs/etc/languages/de_DE-1.xml",
       direct("Content-Type: text/xml\r\nContent-Disposition: attachment; filename=de_DE-1.xml\r\n\r\n"),
       "HTTP/1.0 Status: 500\r\n\r\n", "HTTP/1.0 Status: 500\r\n\r\n"},
  };
  for (const auto &c : cases) {
    root.write(c.file, data);
    EXPECT_TRUE(get(c.role, c.query) == c.ok + data) << c.role;
    root.write(c.file, "");
    EXPECT_EQ(get(c.role, c.query), c.empty) << c.role;
    root.remove(c.file);
    EXPECT_EQ(get(c.role, c.query), c.missing) << c.role;
  }
}

// The parameters in a form body (the console's way: no key in the address)
// are answered as in the query string, and a body pair hides a query pair of
// the same name. Only the body of a form POST is read.
TEST_F(Downloads, FormBodyAnsweredAsTheQueryForm)
{
  for (const char *file : {"/mnt/jffs/etc/map", "/mnt/jffs/etc/access.sqlite", "/tmp/picture.jpg",
                           "/mnt/jffs/etc/languages/a.xml", "/mnt/jffs/etc/languages/b.xml"})
    root.write(file, file);
  const std::string admin = "k=" + key["admin"], reader = "k=" + key["reader"], plain = "k=" + key["plain"];
  struct {
    std::string role, body, query, as_query;  // as_query: the query form answered alike
    std::map<std::string, std::string> env = {};
  } cases[] = {
      {"rss", "save&" + reader, "", "save&" + reader},
      {"dump", admin, "", admin},
      {"dump", "txt&id=100&" + admin, "", "txt&id=100&" + admin},
      {"settings", admin, "", admin},
      {"map", plain, "", plain},
      {"db", reader, "", reader},
      {"language", "filename=b.xml", "", "filename=b.xml"},
      {"image", admin, "", ""},
      {"db", reader, plain, reader},
      {"db", plain, reader, plain},
      {"language", "filename=b.xml", "filename=a.xml", "filename=b.xml"},
      {"db", reader, "", "", {{"REQUEST_METHOD", "GET"}}},
      {"db", reader, "", "", {{"CONTENT_TYPE", "text/plain"}}},
      {"db", reader, "", "", {{"CONTENT_TYPE", "multipart/form-data; boundary=x"}}},
      {"db", reader, "", "", {{"CONTENT_LENGTH", "0"}}},
  };
  auto stamps = [](const std::string &out) {
    return std::regex_replace(out, std::regex("\\d{4}-\\d\\d-\\d\\d_\\d\\d:\\d\\d:\\d\\d|time=\"[0-9]+\"|"
                                              " time: [0-9: -]+,"), "@T");
  };
  for (const auto &c : cases) {
    std::string want = stamps(get(c.role, c.as_query));
    ASSERT_FALSE(want.empty()) << c.role;
    EXPECT_TRUE(stamps(post(c.role, c.body, c.query, c.env)) == want) << c.role << " " << c.body;
  }
}

TEST_F(Downloads, GetlanguageListsAndSendsLanguageFiles)
{
  auto ask = [&](const std::string &form) { return et::body(zt::cgi(root, "", form)); };
  root.remove("/mnt/jffs/etc/languages");
  EXPECT_EQ(ask("querytype=getlanguage"), "<error type=\"no languages installed\" />");
  root.write("/mnt/jffs/etc/languages/en.xml",
             "<?xml version=\"1.0\"?>\n<language name=\"English\" code=\"en\">\n");
  root.write("/mnt/jffs/etc/languages/de.xml.old", "<language name=\"Deutsch\" />");
  root.write("/mnt/jffs/etc/languages/notes.txt", "<language name=\"none\" />");
  root.write("/mnt/jffs/etc/languages/x.xml", "no element");
  EXPECT_EQ(ask("querytype=getlanguage"), "<languages>\n"
                                          "<language filename=\"de.xml.old\" name=\"Deutsch\" />\n"
                                          "<language filename=\"en.xml\" name=\"English\" code=\"en\" />\n"
                                          "<language filename=\"x.xml\"  />\n"
                                          "</languages>\n");
  const std::string big = "<language name=\"big\">" + std::string(100000, 'x');
  root.write("/mnt/jffs/etc/languages/big.xml", big);
  EXPECT_TRUE(ask("querytype=getlanguage&filename=big.xml") == big);
  root.write("/mnt/jffs/etc/languages/empty.xml", "");
  for (const char *name : {"empty.xml", "none.xml"})
    EXPECT_EQ(ask(std::string("querytype=getlanguage&filename=") + name),
              "<error type=\"wrong file of language\" />");
}

TEST_F(Downloads, DellanguageAsksStewarddToRemoveTheFile)
{
  root.write("/mnt/jffs/etc/languages/en.xml", "<language />");
  std::string form = "k=" + key["langs"] + "&querytype=dellanguage";
  EXPECT_EQ(et::body(zt::cgi(root, "", form + "&filename=en.xml")), ft::kNoError);
  EXPECT_EQ(sim.journal_of("stewardd"),
            std::vector<std::string>{"<execute cmd='rm -f /mnt/jffs/etc/languages/en.xml' />"});
  EXPECT_FALSE(root.exists("/mnt/jffs/etc/languages/en.xml"));
  EXPECT_EQ(et::body(zt::cgi(root, "", form)), "<error type=\"wrong filename of language\" />");
  sim.fault("stewardd", "close");
  EXPECT_EQ(et::body(zt::cgi(root, "", form + "&filename=en.xml")), kNotLoaded);
}

// A name that leaves the folder, that a shell would read, or that makes the
// path longer than 269 characters is refused by every language endpoint
// with its own refusal; nothing is read, written or sent for it.
TEST_F(Downloads, LanguageNamesRefusedEverywhere)
{
  const std::string longest(269 - 24, 'a');  // "/mnt/jffs/etc/languages/" is 24
  root.write("/mnt/jffs/etc/languages/" + longest, "L");
  root.write("/mnt/jffs/etc/secret", "S");
  EXPECT_EQ(get("language", "filename=" + longest),
            "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Disposition: attachment; filename=" +
                longest + "\r\n\r\nL");
  const std::string upload = fe::multipart("", "<language />");
  const std::vector<std::string> refused = {"..%2Fsecret", "..", ".", "", "a%2Fb", "a%3Bb", "%24(id)",
                                            "a%20b", "x%60id%60", "a'b", "a%22b", "a%26b", "a%7Cb",
                                            "a%0Ab", "a%3Eb", "a*", longest + "a"};
  for (const std::string &name : refused) {
    sim.clear_journal();
    std::string q = "filename=" + name;
    EXPECT_EQ(get("language", q), "HTTP/1.0 Status: 403\r\n\r\n") << name;
    EXPECT_EQ(fe::upload(root, "upload-language", upload, q).out, fe::status_response("language denied"))
        << name;
    EXPECT_EQ(et::ask(root, key["langs"], "querytype=getlanguage&" + q),
              "<error type=\"wrong file of language\" />")
        << name;
    EXPECT_EQ(et::ask(root, key["langs"], "querytype=dellanguage&" + q),
              "<error type=\"wrong filename of language\" />")
        << name;
    EXPECT_TRUE(sim.journal_of("stewardd").empty()) << name;
  }
  EXPECT_EQ(root.read("/mnt/jffs/etc/secret"), "S");
}

}  // namespace
