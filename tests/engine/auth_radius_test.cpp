// Login that falls back to the RADIUS server which stewardd describes: Debian's
// freeradius accepting and rejecting, a port where nothing answers, and an
// in-test server that forges its replies or sends stray datagrams.
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

const std::string kDenied = "<error type=\"access denied\" code=\"-101\" />";
const std::string kNoError = "<error type=\"no error\" />";

// The login reply of a user that the RADIUS server accepted: every right for
// its administrators, read rights only for anyone else.
std::regex radius_user(const std::string &name, bool admin)
{
  const std::string w = admin ? "all" : "";
  return std::regex("<user id=\"0\" k=\"([0-9]+)\" name=\"" + name +
                    "\" sread=\"all\" swrite=\"" + w + "\" cread=\"all\" cwrite=\"" + w +
                    "\" gread=\"all\" gwrite=\"" + w + "\" />");
}

// A login that gets no genuine reply ends after the whole wait: keep it short
// where that is the expected end.
const std::map<std::string, std::string> kShortWait = {{"APPLIANCE_RADIUS_WAIT_MS", "200"}};

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

  std::string auth(const std::string &form, const std::map<std::string, std::string> &env = {})
  {
    return et::body(zt::cgi(root, "", "querytype=auth&" + form, "engine", env));
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
  static std::string radius_key(const std::string &reply, const std::string &name = "anna",
                                bool admin = false)
  {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(reply, m, radius_user(name, admin))) << reply;
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
    // An operator's users file: reply items only where the operator wants
    // them, nothing for the client's sake.
    server = std::make_unique<zt::radius::FreeRadius>(
        root, kFrSecret,
        "anna Cleartext-Password := \"p4ss'w\\\"ord\"\n"
        "\tService-Type = Administrative-User\n"
        "bert Cleartext-Password := \"bert-pw\"\n"
        "\tService-Type = Login-User\n"
        "admin Cleartext-Password := \"radius-pw\"\n");
    ASSERT_TRUE(server->ok()) << server->log();
    set_radius(server->server(kFrSecret));
  }

  std::unique_ptr<zt::radius::FreeRadius> server;
};

TEST_F(AuthFreeRadius, AcceptedLoginOpensASessionThatWorks)
{
  std::string k = radius_key(auth("name=anna&h=p4ss%27w%22ord"), "anna", true);
  ASSERT_FALSE(k.empty()) << server->log();
  EXPECT_EQ(sessions(), std::vector<std::string>{k + ".session"});
  EXPECT_EQ(et::ask(root, k, "querytype=getsystem").rfind("<system ", 0), 0u);
  // The server's user holds every right, the "all" section included.
  EXPECT_EQ(et::ask(root, k, "querytype=getradius"),
            "<radius enable=\"1\" addr=\"127.0.0.1\" port=\"" + std::to_string(server->port()) +
                "\" />");
  // A second login of the same name is an alias to the same session.
  std::string k2 = radius_key(auth("name=anna&h=p4ss%27w%22ord"), "anna", true);
  ASSERT_FALSE(k2.empty());
  EXPECT_NE(k, k2);
  EXPECT_EQ(et::ask(root, k2, "querytype=getsystem").rfind("<system ", 0), 0u);
}

// The server's administrators (Service-Type Administrative-User) hold every
// right; anyone else it admits may read everything and change nothing.
TEST_F(AuthFreeRadius, RightsFollowTheServiceType)
{
  const std::string getradius = "<radius enable=\"1\" addr=\"127.0.0.1\" port=\"" +
                                std::to_string(server->port()) + "\" />";
  struct {
    const char *form, *name;
    bool admin;
  } rows[] = {
      {"name=anna&h=p4ss%27w%22ord", "anna", true},
      {"name=bert&h=bert-pw", "bert", false},     // Login-User
      {"name=admin&h=radius-pw", "admin", false},  // no Service-Type
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::string k = radius_key(auth(r.form), r.name, r.admin);
    ASSERT_FALSE(k.empty()) << server->log();
    EXPECT_EQ(et::ask(root, k, "querytype=getradius"), getradius);
    EXPECT_EQ(et::ask(root, k, "querytype=clearlog"), r.admin ? kNoError : kDenied);
    EXPECT_EQ(et::ask(root, k, "querytype=setradius&enable=0"), r.admin ? kNoError : kDenied);
    if (r.admin)
      set_radius(server->server(kFrSecret));
  }
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
  // (id 0, read rights only: the server does not call it an administrator),
  // not the local row with every right, and the local administrator's live
  // session is not joined (nor the other way round).
  std::string local = et::login(root, "admin", "pw");
  ASSERT_FALSE(local.empty());
  std::string remote = radius_key(auth("name=admin&h=radius-pw"), "admin", false);
  ASSERT_FALSE(remote.empty());
  EXPECT_EQ(et::ask(root, remote, "querytype=clearlog"), kDenied);
  std::string local2 = et::login(root, "admin", "pw");
  EXPECT_EQ(et::ask(root, local2, "querytype=clearlog"), kNoError);
  std::string remote2 = radius_key(auth("name=admin&h=radius-pw"), "admin", false);
  EXPECT_EQ(et::ask(root, remote2, "querytype=clearlog"), kDenied);
  EXPECT_EQ(sessions().size(), 4u);  // two sessions, an alias to each
}

TEST_F(AuthFreeRadius, WrongSharedSecretIsNoLogin)
{
  // The server drops the request it cannot check; a reply signed with
  // another secret would be ignored: either way nothing genuine arrives.
  set_radius(server->server("not-the-secret"));
  EXPECT_EQ(auth("name=anna&h=p4ss%27w%22ord", kShortWait), kServerDown);
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
  EXPECT_EQ(auth("name=anna&h=pw", kShortWait), kServerDown);
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

// Datagrams that are no genuine reply (junk, forgeries, a Proxy-State, the
// wrong port) neither refuse nor admit: alone they leave the login to run
// out of time; before the server's answer they change nothing.
TEST_F(AuthRadius, StrayRepliesAreIgnored)
{
  for (const auto &r : zt::radius::STRAY_REPLIES) {
    SCOPED_TRACE(r.what);
    reply_shape stray;
    r.spoil(stray);
    FakeServer srv(kSecret, FakeServer::mode::silent, {}, {stray});
    ASSERT_TRUE(srv.ok());
    set_radius(server_text(srv.port(), kSecret));
    EXPECT_EQ(auth("name=anna&h=pw", kShortWait), kServerDown);
    EXPECT_FALSE(srv.requests().empty());
    EXPECT_TRUE(sessions().empty());
  }
}

TEST_F(AuthRadius, StraysBeforeTheAnswerDoNotEndTheLogin)
{
  reply_shape genuine;
  genuine.with_ma = false;
  FakeServer srv(kSecret, FakeServer::mode::answer, genuine, zt::radius::stray_shapes());
  ASSERT_TRUE(srv.ok());
  set_radius(server_text(srv.port(), kSecret));
  std::string k = radius_key(auth("name=anna&h=pw"));
  ASSERT_FALSE(k.empty());
  EXPECT_EQ(et::ask(root, k, "querytype=getsystem").rfind("<system ", 0), 0u);
  EXPECT_EQ(srv.requests().size(), 1u);
}

}  // namespace
