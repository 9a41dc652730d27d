// Login that falls back to the RADIUS server which stewardd describes: Debian's
// freeradius accepting and rejecting, a port where nothing answers, and an
// in-test server that forges its replies.
#include "engine_env.h"
#include "radius_fixture.h"

#include <dirent.h>
#include <unistd.h>

#include <memory>
#include <regex>

namespace {

using zt::radius::FakeServer;
using zt::radius::reply_shape;
using zt::radius::server_text;

constexpr const char *kSecret = "s3:cret";
constexpr const char *kLocalRefusal = "<error type=\"wrong login or password\" code=\"-106\" />";
constexpr const char *kServerRefused =
    "<error type=\"authentication server refused\" code=\"-108\" />";
constexpr const char *kServerDown =
    "<error type=\"authentication server not responding\" code=\"-107\" />";

// The login reply of a user that the RADIUS server accepted.
const std::regex kRadiusUser(
    "<user id=\"0\" k=\"([0-9]+)\" name=\"anna\" sread=\"all\" swrite=\"all\" cread=\"all\" "
    "cwrite=\"all\" gread=\"all\" gwrite=\"all\" />");

class AuthRadius : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(sim.ok());
    et::make_users(root, {{"1", "admin", "pw", "all", "all"}});
  }

  // Tells stewardd which RADIUS server the appliance uses ("" : none).
  void set_radius(const std::string &description)
  {
    ASSERT_EQ(zt::exchange(root, "stewardd", "<setradius srv1=\"" + description + "\" />"),
              "<error type=\"no error\" />");
  }

  std::string auth(const std::string &form)
  {
    return et::body(zt::cgi(root, "", "querytype=auth&" + form));
  }

  // Names of the session files under /var/users.
  std::vector<std::string> sessions() const
  {
    std::vector<std::string> out;
    DIR *d = opendir(root.file("/var/users").c_str());
    if (d == nullptr)
      return out;
    while (dirent *e = readdir(d))
      if (std::string(e->d_name).find(".session") != std::string::npos)
        out.push_back(e->d_name);
    closedir(d);
    return out;
  }

  // The key of an accepted RADIUS login reply; "" (and a failure) otherwise.
  static std::string radius_key(const std::string &reply)
  {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(reply, m, kRadiusUser)) << reply;
    return m.size() > 1 ? m[1].str() : "";
  }

  zt::Root root;
  zt::Sim sim{root};
};

TEST_F(AuthRadius, WithoutAServerTheLocalRefusalStands)
{
  EXPECT_EQ(auth("name=anna&h=pw"), kLocalRefusal);
  EXPECT_EQ(auth("name=admin&h=wrong"), kLocalRefusal);
  set_radius("");
  EXPECT_EQ(auth("name=anna&h=pw"), kLocalRefusal);
  EXPECT_TRUE(sessions().empty());
}

TEST_F(AuthRadius, LocalSuccessNeverAsksTheServer)
{
  FakeServer srv(kSecret, FakeServer::mode::answer);
  ASSERT_TRUE(srv.ok());
  set_radius(server_text(srv.port(), kSecret));
  std::string reply = auth("name=admin&h=pw");
  EXPECT_EQ(reply.rfind("<user id=\"1\" k=\"", 0), 0u) << reply;
  EXPECT_TRUE(srv.requests().empty());
}

// ---- Debian's freeradius --------------------------------------------------------

constexpr const char *kFrSecret = "t3st:s3cret";

class AuthFreeRadius : public AuthRadius {
protected:
  void SetUp() override
  {
    AuthRadius::SetUp();
    if (HasFatalFailure())
      return;
    if (!zt::radius::FreeRadius::installed())
      GTEST_SKIP() << zt::radius::FreeRadius::kProgram << " is not installed";
    server = std::make_unique<zt::radius::FreeRadius>(
        root, kFrSecret,
        "anna Cleartext-Password := \"p4ss'w\\\"ord\"\n"
        "admin Cleartext-Password := \"radius-pw\"\n");
    ASSERT_TRUE(server->ok()) << server->log();
    set_radius(server->server(kFrSecret));
  }

  std::unique_ptr<zt::radius::FreeRadius> server;
};

TEST_F(AuthFreeRadius, AcceptedLoginOpensASessionThatWorks)
{
  std::string k = radius_key(auth("name=anna&h=p4ss%27w%22ord"));
  ASSERT_FALSE(k.empty()) << server->log();
  EXPECT_EQ(sessions(), std::vector<std::string>{k + ".session"});
  EXPECT_EQ(et::ask(root, k, "querytype=getsystem").rfind("<system ", 0), 0u);
  // The server's user holds every right, the "all" section included.
  EXPECT_EQ(et::ask(root, k, "querytype=getradius"),
            "<radius enable=\"1\" addr=\"127.0.0.1\" port=\"" + std::to_string(server->port()) +
                "\" />");
  // A second login of the same name is an alias to the same session.
  std::string k2 = radius_key(auth("name=anna&h=p4ss%27w%22ord"));
  ASSERT_FALSE(k2.empty());
  EXPECT_NE(k, k2);
  EXPECT_EQ(et::ask(root, k2, "querytype=getsystem").rfind("<system ", 0), 0u);
}

TEST_F(AuthFreeRadius, RefusedPasswordsGiveTheServersCodeAndNoSession)
{
  const char *forms[] = {
      "name=anna&h=p4ss%27w",        // wrong password
      "name=anna&h=pw",              // wrong password
      "name=nobody&h=p4ss%27w%22ord",  // unknown to both
      "name=admin&h=radius-pwx",     // neither the local nor the server's password
  };
  for (const char *form : forms) {
    SCOPED_TRACE(form);
    EXPECT_EQ(auth(form), kServerRefused) << server->log();
  }
  EXPECT_TRUE(sessions().empty());
}

TEST_F(AuthFreeRadius, LocalAccountWithTheServersPasswordIsTheServersUser)
{
  // The local check fails, the server accepts: the record is the server's
  // (id 0, every right), not the local row.
  std::string reply = auth("name=admin&h=radius-pw");
  EXPECT_EQ(reply.rfind("<user id=\"0\" k=\"", 0), 0u) << reply;
  EXPECT_NE(reply.find(" name=\"admin\" sread=\"all\" swrite=\"all\" "), std::string::npos) << reply;
}

TEST_F(AuthFreeRadius, WrongSharedSecretIsNoLogin)
{
  set_radius(server->server("not-the-secret"));
  std::string reply = auth("name=anna&h=p4ss%27w%22ord");
  EXPECT_TRUE(reply == kServerRefused || reply == kServerDown) << reply;
  EXPECT_TRUE(sessions().empty());
}

// ---- a port where nothing answers -------------------------------------------------

TEST_F(AuthRadius, SilentServerFailsTheLogin)
{
  FakeServer srv(kSecret, FakeServer::mode::silent);
  ASSERT_TRUE(srv.ok());
  set_radius(server_text(srv.port(), kSecret));
  EXPECT_EQ(auth("name=anna&h=pw"), kServerDown);
  EXPECT_EQ(srv.requests().size(), 2u);  // the request and one retry
  EXPECT_TRUE(sessions().empty());
}

TEST_F(AuthRadius, ClosedPortFailsTheLogin)
{
  uint16_t port = 0;
  int fd = zt::radius::udp_socket(&port);
  ASSERT_GE(fd, 0);
  close(fd);
  set_radius(server_text(port, kSecret));
  EXPECT_EQ(auth("name=anna&h=pw"), kServerDown);
  EXPECT_TRUE(sessions().empty());
}

// ---- a forging server -----------------------------------------------------------

TEST_F(AuthRadius, GenuineAcceptFromTheTestServerLogsIn)
{
  FakeServer srv(kSecret, FakeServer::mode::answer);
  ASSERT_TRUE(srv.ok());
  set_radius(server_text(srv.port(), kSecret));
  std::string k = radius_key(auth("name=anna&h=pw"));
  ASSERT_FALSE(k.empty());
  EXPECT_EQ(et::ask(root, k, "querytype=getsystem").rfind("<system ", 0), 0u);
  std::vector<zt::radius::bytes> reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 1u);
  zt::radius::request_view v = zt::radius::read_request(reqs[0], kSecret);
  EXPECT_TRUE(v.ma_valid);
  EXPECT_EQ(v.name, "anna");
  EXPECT_EQ(v.pass, "pw");
}

TEST_F(AuthRadius, ForgedAcceptsAreRefused)
{
  for (const auto &r : zt::radius::FORGED_ACCEPTS) {
    SCOPED_TRACE(r.what);
    reply_shape shape;
    r.spoil(shape);
    FakeServer srv(kSecret, FakeServer::mode::answer, shape);
    ASSERT_TRUE(srv.ok());
    set_radius(server_text(srv.port(), kSecret));
    EXPECT_EQ(auth("name=anna&h=pw"), kServerRefused);
    EXPECT_EQ(srv.requests().size(), 1u);
    EXPECT_TRUE(sessions().empty());
  }
}

TEST_F(AuthRadius, ForgedReplyFromAnotherPortIsNotTaken)
{
  FakeServer srv(kSecret, FakeServer::mode::from_other_port);
  ASSERT_TRUE(srv.ok());
  set_radius(server_text(srv.port(), kSecret));
  EXPECT_EQ(auth("name=anna&h=pw"), kServerRefused);
  EXPECT_TRUE(sessions().empty());
}

}  // namespace
