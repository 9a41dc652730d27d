// RADIUS login against Debian's freeradius on a loopback port, and against an
// in-process server that answers in every wrong way a forger could.
#include "errors.h"
#include "radius_fixture.h"
#include "zunusers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using zt::radius::build_reply;
using zt::radius::bytes;
using zt::radius::FakeServer;
using zt::radius::read_request;
using zt::radius::reply_shape;
using zt::radius::request_view;
using zt::radius::server_text;

constexpr const char *SECRET = "s3cr:et";

int login(uint16_t port, const char *name, const char *pass, zunuser *u,
          const std::string &secret = SECRET)
{
  zunusers_clear(u);
  return zunusers_auth_radius(server_text(port, secret).c_str(), name, pass, u);
}

// Every read list "all"; the write lists "all" for an administrator of the
// server, empty for anyone else.
void expect_radius_user(const zunuser &u, const char *name, bool admin)
{
  EXPECT_EQ(u.id, 0);
  EXPECT_EQ(u.valid, 1);
  EXPECT_EQ(u.radius, 1);
  EXPECT_STREQ(u.name, name);
  EXPECT_STREQ(u.remote, "NULL");
  for (const char *list : {u.sread, u.cread, u.gread})
    EXPECT_STREQ(list, "all");
  for (const char *list : {u.swrite, u.cwrite, u.gwrite})
    EXPECT_STREQ(list, admin ? "all" : "");
}

// A login that gets no genuine reply ends after the whole wait: keep it short
// where that is the expected end.
class ShortWait {
public:
  ShortWait() { setenv("APPLIANCE_RADIUS_WAIT_MS", "200", 1); }
  ~ShortWait() { unsetenv("APPLIANCE_RADIUS_WAIT_MS"); }
};

constexpr uint32_t ADMINISTRATIVE_USER = 6, LOGIN_USER = 1, NAS_PROMPT_USER = 7;

TEST(RadiusFake, GenuineAcceptAndTheRequestAsSent)
{
  for (std::string pass : {std::string("p"), std::string(15, 'a'), std::string(16, 'b'),
                           std::string(17, 'c'), std::string(128, 'd'), std::string("p'w\"<&>")}) {
    SCOPED_TRACE(pass);
    FakeServer srv(SECRET, FakeServer::mode::answer);
    zunuser u;
    ASSERT_EQ(login(srv.port(), "anna", pass.c_str(), &u), 0);
    expect_radius_user(u, "anna", false);
    std::vector<bytes> reqs = srv.requests();
    ASSERT_EQ(reqs.size(), 1u);
    request_view v = read_request(reqs[0], SECRET);
    ASSERT_TRUE(v.well_formed);
    EXPECT_TRUE(v.ma_valid);
    EXPECT_EQ(v.name, "anna");
    EXPECT_EQ(v.pass, pass);
    EXPECT_EQ(v.nas.s_addr, htonl(INADDR_LOOPBACK));
    // The password never travels in the clear (too short ones could
    // occur in the random bytes by chance).
    std::string raw(reqs[0].begin(), reqs[0].end());
    if (pass.size() >= 6) {
      EXPECT_EQ(raw.find(pass), std::string::npos);
    }
  }
}

// Genuine replies: an Accept admits (an administrator only with Service-Type
// Administrative-User and no other), with or without a Message-Authenticator;
// a Reject or a Challenge refuses.
TEST(RadiusFake, GenuineRepliesDecide)
{
  constexpr uint8_t ACCEPT = 2, REJECT = 3, CHALLENGE = 11;
  struct {
    const char *what;
    uint8_t code;
    std::vector<uint32_t> service_types;
    bool with_ma;
    int rc;
    bool admin;
  } rows[] = {
      {"accept", ACCEPT, {}, true, 0, false},
      {"accept without message authenticator", ACCEPT, {}, false, 0, false},
      {"administrator", ACCEPT, {ADMINISTRATIVE_USER}, true, 0, true},
      {"administrator without message authenticator", ACCEPT, {ADMINISTRATIVE_USER}, false, 0,
       true},
      {"login user", ACCEPT, {LOGIN_USER}, true, 0, false},
      {"NAS prompt user", ACCEPT, {NAS_PROMPT_USER}, false, 0, false},
      {"administrator and login user", ACCEPT, {ADMINISTRATIVE_USER, LOGIN_USER}, true, 0, false},
      {"Access-Reject", REJECT, {}, true, ZUN_ERR_RADIUS_REJECT, false},
      {"Access-Reject without message authenticator", REJECT, {}, false, ZUN_ERR_RADIUS_REJECT,
       false},
      {"Access-Reject of an administrator", REJECT, {ADMINISTRATIVE_USER}, false,
       ZUN_ERR_RADIUS_REJECT, false},
      {"Access-Challenge", CHALLENGE, {}, true, ZUN_ERR_RADIUS_REJECT, false},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    reply_shape shape;
    shape.code = r.code;
    shape.service_types = r.service_types;
    shape.with_ma = r.with_ma;
    FakeServer srv(SECRET, FakeServer::mode::answer, shape);
    zunuser u;
    ASSERT_EQ(login(srv.port(), "anna", "pw", &u), r.rc);
    if (r.rc == 0)
      expect_radius_user(u, "anna", r.admin);
    else
      EXPECT_EQ(u.id, -1);
    EXPECT_EQ(srv.requests().size(), 1u);
  }
}

// Each datagram that is no genuine reply is ignored: alone, the login runs
// out of time as "not responding" (never refused, never admitted); followed
// by the server's genuine answer, that answer decides.
TEST(RadiusFake, StrayRepliesAreIgnored)
{
  for (const auto &r : zt::radius::STRAY_REPLIES) {
    SCOPED_TRACE(r.what);
    reply_shape stray;
    r.spoil(stray);
    {
      ShortWait short_wait;
      FakeServer alone(SECRET, FakeServer::mode::silent, {}, {stray});
      zunuser u;
      EXPECT_EQ(login(alone.port(), "anna", "pw", &u), ZUN_ERR_RADIUS_DOWN);
      EXPECT_EQ(u.id, -1);
      EXPECT_FALSE(alone.requests().empty());
    }
    reply_shape admin;
    admin.service_types = {ADMINISTRATIVE_USER};
    FakeServer answered(SECRET, FakeServer::mode::answer, admin, {stray});
    zunuser u;
    ASSERT_EQ(login(answered.port(), "anna", "pw", &u), 0);
    expect_radius_user(u, "anna", true);
  }
}

TEST(RadiusFake, AFloodOfJunkDoesNotHoldTheLogin)
{
  // Ends, with "not responding", however much arrives.
  ShortWait short_wait;
  FakeServer srv(SECRET, FakeServer::mode::flood);
  zunuser u;
  EXPECT_EQ(login(srv.port(), "anna", "pw", &u), ZUN_ERR_RADIUS_DOWN);
  EXPECT_EQ(u.id, -1);
  EXPECT_FALSE(srv.requests().empty());
}

TEST(RadiusFake, SilentServerIsDownAfterOneRetry)
{
  FakeServer srv(SECRET, FakeServer::mode::silent);
  zunuser u;
  EXPECT_EQ(login(srv.port(), "anna", "pw", &u), ZUN_ERR_RADIUS_DOWN);
  EXPECT_EQ(u.id, -1);
  std::vector<bytes> reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0], reqs[1]);  // a retransmission is the same packet
}

TEST(RadiusFake, AnswerToTheRetryIsTaken)
{
  FakeServer srv(SECRET, FakeServer::mode::answer_second);
  zunuser u;
  ASSERT_EQ(login(srv.port(), "anna", "pw", &u), 0);
  expect_radius_user(u, "anna", false);
  EXPECT_EQ(srv.requests().size(), 2u);
}

TEST(RadiusFake, EveryRequestHasItsOwnAuthenticator)
{
  FakeServer srv(SECRET, FakeServer::mode::answer);
  zunuser u;
  ASSERT_EQ(login(srv.port(), "anna", "pw", &u), 0);
  ASSERT_EQ(login(srv.port(), "anna", "pw", &u), 0);
  std::vector<bytes> reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_NE(read_request(reqs[0], SECRET).authenticator, read_request(reqs[1], SECRET).authenticator);
}

TEST(RadiusFake, WhatIsNeverSent)
{
  FakeServer srv(SECRET, FakeServer::mode::answer);
  const std::string port = std::to_string(srv.port());
  struct {
    std::string server, name, pass;
    int rc;
  } rows[] = {
      {"", "anna", "pw", ZUN_ERR_RADIUS_DOWN},
      {"127.0.0.1", "anna", "pw", ZUN_ERR_RADIUS_DOWN},
      {"127.0.0.1:" + port, "anna", "pw", ZUN_ERR_RADIUS_DOWN},
      {"127.0.0.1:" + port + ":", "anna", "pw", ZUN_ERR_RADIUS_DOWN},
      {"localhost:" + port + ":s", "anna", "pw", ZUN_ERR_RADIUS_DOWN},  // no name lookup
      {"127.0.0.1:0:s", "anna", "pw", ZUN_ERR_RADIUS_DOWN},
      {"127.0.0.1:65536:s", "anna", "pw", ZUN_ERR_RADIUS_DOWN},
      {"127.0.0.1:18x:s", "anna", "pw", ZUN_ERR_RADIUS_DOWN},
      {"127.0.0.1:" + port + ":" + std::string(129, 's'), "anna", "pw", ZUN_ERR_RADIUS_DOWN},
      {server_text(srv.port(), SECRET), "", "pw", ZUN_ERR_RADIUS_REJECT},
      {server_text(srv.port(), SECRET), std::string(64, 'n'), "pw", ZUN_ERR_RADIUS_REJECT},
      {server_text(srv.port(), SECRET), "anna", "", ZUN_ERR_RADIUS_REJECT},
      {server_text(srv.port(), SECRET), "anna", std::string(129, 'p'), ZUN_ERR_RADIUS_REJECT},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.server + " / " + r.name);
    zunuser u;
    zunusers_clear(&u);
    EXPECT_EQ(zunusers_auth_radius(r.server.c_str(), r.name.c_str(), r.pass.c_str(), &u), r.rc);
    EXPECT_EQ(u.id, -1);
  }
  EXPECT_TRUE(srv.requests().empty());
  // The longest name that fits the record is sent.
  zunuser u;
  std::string name(63, 'n');
  EXPECT_EQ(login(srv.port(), name.c_str(), "pw", &u), 0);
  EXPECT_EQ(std::string(u.name), name);
}

// ---- against freeradius -------------------------------------------------------

constexpr const char *FR_SECRET = "t3st:s3cret";
constexpr const char *FR_PASS = "p4ss'w\"ord";

class FreeRadius : public ::testing::Test {
protected:
  void SetUp() override
  {
    if (!zt::radius::FreeRadius::installed())
      GTEST_SKIP() << zt::radius::FreeRadius::kProgram << " is not installed";
    // An operator's users file: reply items only where the operator wants
    // them, nothing for the client's sake.
    server = std::make_unique<zt::radius::FreeRadius>(root, FR_SECRET,
                                                      "anna Cleartext-Password := \"p4ss'w\\\"ord\"\n"
                                                      "\tService-Type = Administrative-User\n"
                                                      "bert Cleartext-Password := \"other\"\n"
                                                      "carl Cleartext-Password := \"third\"\n"
                                                      "\tService-Type = Login-User\n");
    ASSERT_TRUE(server->ok()) << server->log();
    port = server->port();
  }

  zt::Root root;
  uint16_t port = 0;
  std::unique_ptr<zt::radius::FreeRadius> server;
};

TEST_F(FreeRadius, AcceptsTheRightPasswordWithTheRightsOfItsServiceType)
{
  struct {
    const char *name, *pass;
    bool admin;
  } rows[] = {{"anna", FR_PASS, true}, {"bert", "other", false}, {"carl", "third", false}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    zunuser u;
    ASSERT_EQ(login(port, r.name, r.pass, &u, FR_SECRET), 0) << server->log();
    expect_radius_user(u, r.name, r.admin);
  }
}

TEST_F(FreeRadius, RejectsAWrongPasswordOrUnknownUser)
{
  struct {
    const char *name, *pass;
  } rows[] = {{"anna", "p4ss'w"}, {"anna", "other"}, {"bert", FR_PASS}, {"nobody", FR_PASS}};
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.name) + " / " + r.pass);
    zunuser u;
    EXPECT_EQ(login(port, r.name, r.pass, &u, FR_SECRET), ZUN_ERR_RADIUS_REJECT);
    EXPECT_EQ(u.id, -1);
  }
}

TEST_F(FreeRadius, WrongSharedSecretIsNotAccepted)
{
  // The server cannot check the request and drops it; a reply it signed
  // would fail our checks and be ignored: either way no reply counts.
  ShortWait short_wait;
  zunuser u;
  EXPECT_EQ(login(port, "anna", FR_PASS, &u, "wrong-secret"), ZUN_ERR_RADIUS_DOWN);
  EXPECT_EQ(u.id, -1);
}

}  // namespace
