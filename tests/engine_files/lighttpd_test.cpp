// Every file endpoint through lighttpd and curl, as the browser reaches
// them: downloads compared byte for byte, uploads sent as curl -F sends them
// (a 5 MiB one among them), and a running warderd that answers from a key
// database uploaded this way.
#include "../warderd/warderd_fixture.h"
#include "files_env.h"
#include "lighttpd_fixture.h"

namespace {

constexpr size_t MiB = 1024 * 1024;

std::string header(const std::string &headers, const std::string &name)
{
  size_t p = headers.find("\r\n" + name + ": ");
  if (p == std::string::npos)
    return "<none>";
  p += name.size() + 4;
  return headers.substr(p, headers.find("\r\n", p) - p);
}

class ThroughLighttpd : public fe::FilesTest {
protected:
  void SetUp() override
  {
    fe::FilesTest::SetUp();
    ASSERT_TRUE(web.ok()) << web.error_log();
  }
  zt::HttpReply at(const std::string &path, const std::vector<std::string> &extra = {})
  {
    return zt::http(root, web.url(path), extra);
  }
  // curl -F parts: the session key, then the file.
  std::vector<std::string> form(const std::string &user, const std::string &file) const
  {
    return {"-F", "k=" + key.at(user), "-F", "filedata=@" + root.file(file)};
  }
  zt::Lighttpd web{root};
};

TEST_F(ThroughLighttpd, Downloads)
{
  const std::string big = fe::random_bytes(MiB, 11);
  const std::string k = "k=" + key["admin"];
  root.write("/mnt/jffs/etc/map", big);
  root.write("/tmp/picture.jpg", big);
  root.write("/mnt/jffs/etc/access.sqlite", big);
  root.write("/mnt/jffs/etc/languages/en.xml", big);
  struct {
    std::string path, file, type;
  } cases[] = {
      {"/cgi-bin/map.cgi?" + k, "/mnt/jffs/etc/map", "<none>"},
      {"/cgi-bin/image.cgi", "/tmp/picture.jpg", "image/jpeg"},
      {"/cgi-bin/db.cgi?" + k, "/mnt/jffs/etc/access.sqlite", "application/force-download"},
      {"/cgi-bin/language.cgi?filename=en.xml", "/mnt/jffs/etc/languages/en.xml", "text/xml"},
      // The archive holds the 1 MiB map: more than a megabyte.
      {"/cgi-bin/settings.cgi?" + k, "/var/tmp/settings.orv", "application/force-download"},
  };
  for (const auto &c : cases) {
    zt::HttpReply r = at(c.path);
    EXPECT_EQ(r.code, 200) << c.path;
    std::string want = root.read(c.file);
    EXPECT_GE(want.size(), MiB) << c.path;
    EXPECT_TRUE(r.body == want) << c.path << ": " << r.body.size() << " bytes of " << want.size();
    EXPECT_EQ(header(r.headers, "Content-Length"), std::to_string(want.size())) << c.path;
    EXPECT_EQ(header(r.headers, "Content-Type"), c.type) << c.path;
  }
  // The console's form: the key in the body, none in the address.
  zt::HttpReply posted = at("/cgi-bin/db.cgi", {"-d", k});
  EXPECT_EQ(posted.code, 200);
  EXPECT_TRUE(posted.body == big) << posted.body.size() << " bytes";
  zt::HttpReply rss = at("/cgi-bin/rss.cgi?save&" + k);
  EXPECT_EQ(rss.code, 200);
  EXPECT_EQ(header(rss.headers, "Content-Disposition"), "attachment; filename=syslog.txt");
  zt::HttpReply dump = at("/cgi-bin/dump.cgi?" + k);
  EXPECT_EQ(dump.code, 200);
  EXPECT_EQ(dump.body.rfind("<system mode=\"normal\" version=\"2.5.1 b314 (base)\" ", 0), 0u) << dump.body;
  EXPECT_EQ(dump.body.substr(dump.body.size() - 11), "</system>\r\n");
  zt::HttpReply list = at("/cgi-bin/engine.cgi", {"-d", "querytype=getlanguage"});
  EXPECT_EQ(list.body, "<languages>\n<language filename=\"en.xml\"  />\n</languages>\n");
}

// What the browser gets for the refusals and missing files: each is an
// error status (lighttpd answers 502 to a status line it cannot read).
TEST_F(ThroughLighttpd, RefusalsAreErrors)
{
  struct {
    std::string path;
    int code;
  } cases[] = {
      {"/cgi-bin/map.cgi", 403},
      {"/cgi-bin/map.cgi?k=" + key["plain"], 404},
      {"/cgi-bin/dump.cgi?k=" + key["plain"], 403},
      {"/cgi-bin/db.cgi?k=" + key["plain"], 403},
      {"/cgi-bin/settings.cgi?k=" + key["reader"], 403},
      {"/cgi-bin/language.cgi", 502},
      {"/cgi-bin/language.cgi?filename=..%2Fusers.sqlite", 502},
      {"/cgi-bin/image.cgi", 502},
  };
  for (const auto &c : cases)
    EXPECT_EQ(at(c.path).code, c.code) << c.path;
}

TEST_F(ThroughLighttpd, Uploads)
{
  const std::string five = "GIF89a" + fe::random_bytes(5 * MiB - 1024, 13);
  root.write("/tmp/five.gif", five);
  root.write("/tmp/keys.db", "");
  fe::keys_db(root, "/tmp/keys.db", {{"0A0B0C0D0E0F", "bob"}});
  root.write("/tmp/fr.txt", "<language name=\"fr\" />");
  struct {
    std::string path, user, file, stored;
  } cases[] = {
      {"/cgi-bin/upload-map.cgi", "admin", "/tmp/five.gif", "/mnt/jffs/etc/map"},
      {"/cgi-bin/upload-firmware.cgi", "admin", "/tmp/five.gif", "/var/tmp/firmware.zun"},
      {"/cgi-bin/upload-db.cgi", "keys", "/tmp/keys.db", "/mnt/jffs/etc/access.sqlite"},
      {"/cgi-bin/upload-language.cgi?filename=fr.xml", "langs", "/tmp/fr.txt",
       "/mnt/jffs/etc/languages/fr.xml"},
  };
  for (const auto &c : cases) {
    zt::HttpReply r = at(c.path, form(c.user, c.file));
    EXPECT_EQ(r.code, 200) << c.path;
    EXPECT_EQ(header(r.headers, "Content-Type"), "text/xml") << c.path;
    EXPECT_EQ(r.body, fe::status_element("no error")) << c.path;
    EXPECT_TRUE(root.read(c.stored) == root.read(c.file)) << c.path;
  }
  EXPECT_EQ(sim.journal_of("stewardd"),
            (std::vector<std::string>{"<execute cmd=\"update.sh\" />",
                                      "<execute cmd='mv /tmp/upload-language/fr.xml /mnt/jffs/etc/languages/' />"}));
  // One byte over the limit, counted with the multipart framing.
  root.write("/tmp/over.gif", five + std::string(2000, 'x'));
  EXPECT_EQ(at("/cgi-bin/upload-map.cgi", form("admin", "/tmp/over.gif")).body,
            fe::status_element("wrong format"));
  EXPECT_EQ(at("/cgi-bin/upload-map.cgi", form("keys", "/tmp/fr.txt")).body,
            fe::status_element("access denied"));
  zt::HttpReply del =
      at("/cgi-bin/engine.cgi", {"-d", "querytype=dellanguage&filename=fr.xml&k=" + key["langs"]});
  EXPECT_EQ(del.body, "<error type=\"no error\" />");
  EXPECT_FALSE(root.exists("/mnt/jffs/etc/languages/fr.xml"));
}

// warderd keeps the key database open; a database uploaded through the web
// server is what it answers from at once, without a restart.
TEST(ThroughLighttpdToWarderd, RunningWarderdSeesTheUploadedKeys)
{
  wt::Warderd warderd;
  ASSERT_TRUE(warderd.up());
  const zt::Root &root = warderd.root();
  fe::make_accounts(root);
  std::string k = et::login(root, "keys", "pw");
  ASSERT_FALSE(k.empty());
  ASSERT_EQ(warderd.cmd("<keysadd key=\"111111111111\" name=\"old\" />"), "<error type=\"no error\" />");
  root.write("/tmp/made.db", root.read("/mnt/jffs/etc/access.sqlite"));  // as warderd made it
  fe::keys_db(root, "/tmp/new.db", {{"0A0B0C0D0E0F", "bob"}, {"0A0B0C0D0E10", "ann"}});
  zt::Lighttpd web(root);
  ASSERT_TRUE(web.ok()) << web.error_log();
  auto upload = [&](const std::string &file) {
    return zt::http(root, web.url("/cgi-bin/upload-db.cgi"),
                    {"-F", "k=" + k, "-F", "filedata=@" + root.file(file)})
        .body;
  };
  EXPECT_EQ(upload("/tmp/new.db"), fe::status_element("no error"));
  EXPECT_EQ(warderd.cmd("<keyslist />"),
            "<database><e k=\"0A0B0C0D0E0F\" n=\"bob\" /><e k=\"0A0B0C0D0E10\" n=\"ann\" /></database>");
  // And a later change made by warderd lands in the new database.
  EXPECT_EQ(warderd.cmd("<keysdelete key=\"0A0B0C0D0E0F\" />"), "<error type=\"no error\" />");
  EXPECT_EQ(fe::keys_in(root, "/mnt/jffs/etc/access.sqlite"), "0A0B0C0D0E10=ann");
  // A database that warderd made itself goes back in (a kept copy restored).
  EXPECT_EQ(upload("/tmp/made.db"), fe::status_element("no error"));
  EXPECT_EQ(warderd.cmd("<keyslist />"), "<database><e k=\"111111111111\" n=\"old\" /></database>");
}

}  // namespace
