// Socket exchange: framing, limits and failure paths of client and server,
// against an in-process server under a private root.
#include "uds.h"
#include "uds_testing.h"
#include "xmlhelpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *SOCK = "/tmp/unit.socket";

// What the handlers saw, for the test thread to check.
std::mutex seen_mutex;
std::vector<std::string> seen;
std::atomic<size_t> reply_size{0};
std::atomic<ssize_t> last_send{0};
std::atomic<bool> release{false};

void reset_seen()
{
  std::lock_guard<std::mutex> lock(seen_mutex);
  seen.clear();
}

std::vector<std::string> seen_copy()
{
  std::lock_guard<std::mutex> lock(seen_mutex);
  return seen;
}

std::string read_all(int conn)
{
  std::string cmd;
  char buf[1000];  // an odd size, so the command comes in several pieces
  ssize_t n;
  while ((n = udsserver_recv(&conn, buf, sizeof buf)) > 0)
    cmd.append(buf, static_cast<size_t>(n));
  return cmd;
}

// Reads the command and records it.
std::string read_and_remember(int conn)
{
  std::string cmd = read_all(conn);
  std::lock_guard<std::mutex> lock(seen_mutex);
  seen.push_back(cmd);
  return cmd;
}

// Records the command and answers "got:" and its length.
int echo_handler(int conn)
{
  std::string cmd = read_and_remember(conn);
  std::string reply = "got:" + std::to_string(cmd.size());
  udsserver_send(&conn, reply.data(), reply.size());
  return udsserver_close(&conn);
}

// Answers reply_size bytes of a counting pattern.
int big_handler(int conn)
{
  read_all(conn);
  std::string reply(reply_size.load(), '\0');
  for (size_t i = 0; i < reply.size(); i++)
    reply[i] = static_cast<char>('a' + i % 26);
  udsserver_send(&conn, reply.data(), reply.size());
  return udsserver_close(&conn);
}

// Answers without closing: the server ends the connection after the handler.
int no_close_handler(int conn)
{
  read_all(conn);
  udsserver_send(&conn, "open", 4);
  return 0;
}

// Keeps sending to a client that has gone away: every send must fail, not
// kill the process.
int vanished_handler(int conn)
{
  read_all(conn);
  char block[4096];
  std::memset(block, 'x', sizeof block);
  ssize_t r = 0;
  for (int i = 0; i < 1000 && r >= 0; i++)
    r = udsserver_send(&conn, block, sizeof block);
  last_send.store(r);
  udsserver_close(&conn);
  release.store(true);
  return 0;
}

// The daemon's connection handler shape: the channel and the tag table.
int test_tag(xml_channel *ch, const char **)
{
  const char reply[] = "<error type='Test ok' />";
  ch->write(ch->write_ctx, reply, sizeof reply - 1);
  return ch->close(ch->write_ctx);
}
const xml_tag test_tags[] = {{"test", test_tag, nullptr}};
const xml_tag_table test_table = {1, test_tags};
std::atomic<int> parse_result{1};

int xml_handler_conn(int conn)
{
  xml_channel ch = {&test_table, udsserver_recv, &conn, udsserver_send, &conn, udsserver_close};
  int r = helpers_xml_parse(&ch);
  parse_result.store(r);
  return r;
}

// A raw client: connects to the mapped path, returns the descriptor.
int raw_connect(const zunt::TempRoot &root, const char *path)
{
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string mapped = root.file(path);
  std::strncpy(addr.sun_path, mapped.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class Uds : public ::testing::Test {
protected:
  void SetUp() override
  {
    reset_seen();
    udsclient_set_timeout_ms(0);
  }
  void TearDown() override { udsclient_set_timeout_ms(0); }
  zunt::TempRoot root;
};

TEST_F(Uds, RoundTripCarriesCommandWithoutTheNul)
{
  zunt::ServerThread server(SOCK, echo_handler);
  char buf[512];
  std::strcpy(buf, "<test />");
  ASSERT_EQ(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "got:8");
  ASSERT_EQ(seen_copy(), std::vector<std::string>{"<test />"});
  EXPECT_TRUE(server.stop());
  EXPECT_EQ(server.result(), 0);
}

// A buffer without a terminator is sent as far as it goes, never further.
TEST_F(Uds, UnterminatedCommandIsReadOnlyToTheBufferEnd)
{
  zunt::ServerThread server(SOCK, echo_handler);
  std::vector<char> region(64, 'z');
  char *buf = region.data();
  std::memcpy(buf, "abcdefgh", 8);
  ASSERT_EQ(udsclient_exchange(SOCK, buf, 8), 0);
  EXPECT_STREQ(buf, "got:8");
  EXPECT_EQ(seen_copy(), std::vector<std::string>{"abcdefgh"});
}

TEST_F(Uds, EmptyCommandIsNotDispatched)
{
  zunt::ServerThread server(SOCK, echo_handler);
  char buf[64] = "";
  EXPECT_EQ(udsclient_exchange(SOCK, buf, sizeof buf), 0);  // read, closed: the empty reply
  EXPECT_STREQ(buf, "");
  EXPECT_TRUE(seen_copy().empty());
  std::strcpy(buf, "x");
  EXPECT_EQ(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_EQ(seen_copy(), std::vector<std::string>{"x"});
}

// Callers hold 512, 2176 and 32768 bytes; a longer reply is cut there and
// nothing past the buffer is touched.
TEST_F(Uds, LongReplyIsCutAndTerminatedInsideTheBuffer)
{
  zunt::ServerThread server(SOCK, big_handler);
  struct Case {
    size_t size;
    size_t reply;
  } cases[] = {{512, 5000}, {2176, 2176}, {2176, 2175}, {32768, 100000}, {2, 10}};
  constexpr size_t guard = 64;
  for (const Case &c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + " reply " + std::to_string(c.reply));
    reply_size.store(c.reply);
    std::vector<char> region(c.size + 2 * guard, '\x5a');
    char *buf = region.data() + guard;
    buf[0] = 'x';
    buf[1] = '\0';
    ASSERT_EQ(udsclient_exchange(SOCK, buf, c.size), 0);
    size_t expect = c.reply < c.size - 1 ? c.reply : c.size - 1;
    ASSERT_EQ(std::strlen(buf), expect);
    for (size_t i = 0; i < expect; i++)
      ASSERT_EQ(buf[i], static_cast<char>('a' + i % 26)) << i;
    for (size_t i = 0; i < guard; i++) {
      ASSERT_EQ(region[i], '\x5a') << "before the buffer, byte " << i;
      ASSERT_EQ(region[guard + c.size + i], '\x5a') << "after the buffer, byte " << i;
    }
  }
}

TEST_F(Uds, DaemonDownFails)
{
  char buf[64] = "<test />";
  EXPECT_NE(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  // A socket file left by a dead daemon: nobody listens.
  {
    zunt::ServerThread server(SOCK, echo_handler);
  }
  std::strcpy(buf, "<test />");
  EXPECT_NE(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_LT(udsclient_stdout(SOCK, "<test />"), 0);
  // A path that does not fit a socket address.
  std::string long_path = "/tmp/" + std::string(200, 'p');
  std::strcpy(buf, "<test />");
  EXPECT_NE(udsclient_exchange(long_path.c_str(), buf, sizeof buf), 0);
}

// A listener that accepts nothing and never answers: the client gives up.
TEST_F(Uds, SilentDaemonGivesUpWithinTheLimit)
{
  int l = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, root.file(SOCK).c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(l, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(l, 4), 0);
  udsclient_set_timeout_ms(300);
  char buf[64] = "<test />";
  EXPECT_NE(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_LT(udsclient_stdout(SOCK, "<test />"), 0);
  ::close(l);
}

// Starts a reply and holds the connection until released.
int stalling_handler(int conn)
{
  read_all(conn);
  udsserver_send(&conn, "<partial", 8);
  zunt::poll_until([] { return release.load(); });
  return udsserver_close(&conn);
}

// A daemon that begins its reply and never finishes it: the client gives up
// at its time limit and keeps nothing of the half reply.
TEST_F(Uds, UnfinishedReplyGivesUpWithinTheLimit)
{
  release.store(false);
  zunt::ServerThread server(SOCK, stalling_handler);
  udsclient_set_timeout_ms(300);
  char buf[64] = "<test />";
  EXPECT_NE(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  release.store(true);
}

// Clients that connect and stall, silent or half-way through their command,
// hold up no other: the others are served while they wait (within a client
// time-out far below the server's read limit), and each stalled one is
// served when its command completes. A stop ends the server while they wait.
TEST_F(Uds, StalledClientsHoldUpNoOther)
{
  zunt::ServerThread server(SOCK, echo_handler);
  std::vector<int> idle;
  for (int i = 0; i < 10; i++) {
    idle.push_back(raw_connect(root, SOCK));
    ASSERT_GE(idle.back(), 0);
  }
  int half = raw_connect(root, SOCK);
  ASSERT_GE(half, 0);
  ASSERT_EQ(::write(half, "<ha", 3), 3);
  udsclient_set_timeout_ms(2000);
  for (int i = 0; i < 5; i++) {
    char buf[64] = "after";
    EXPECT_EQ(udsclient_exchange(SOCK, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "got:5");
  }
  ASSERT_EQ(::write(half, "lf />", 6), 6);  // the rest and the NUL
  char reply[16] = "";
  EXPECT_EQ(::read(half, reply, sizeof reply - 1), 5);
  EXPECT_STREQ(reply, "got:8");
  EXPECT_EQ(seen_copy(), (std::vector<std::string>{"after", "after", "after", "after", "after", "<half />"}));
  EXPECT_TRUE(server.stop());
  EXPECT_EQ(server.result(), 0);
  for (int fd : idle)
    ::close(fd);
  ::close(half);
}

// Counts the connections the server accepted.
std::atomic<int> admitted{0};
int count_admit(udsserver *, int)
{
  admitted++;
  return 0;
}

// A flood of silent clients cannot take every descriptor: beyond
// UDS_MAX_READING commands being read, clients wait in the listen queue, and
// each one that ends makes room for one more.
TEST_F(Uds, CommandsReadAtOnceAreBounded)
{
  admitted.store(0);
  zunt::ServerThread server(SOCK, echo_handler, count_admit);
  const int cap = static_cast<int>(UDS_MAX_READING);
  std::vector<int> silent;
  for (int i = 0; i < cap + 4; i++) {
    silent.push_back(raw_connect(root, SOCK));
    ASSERT_GE(silent.back(), 0) << i;
  }
  ASSERT_TRUE(zunt::poll_until([&] { return admitted.load() == cap; }));
  ::close(silent[0]);  // the oldest goes: one more is accepted, not all
  ASSERT_TRUE(zunt::poll_until([&] { return admitted.load() == cap + 1; }));
  char buf[64] = "probe";
  udsclient_set_timeout_ms(200);  // still waiting behind the others
  EXPECT_NE(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_EQ(admitted.load(), cap + 1);
  for (size_t i = 1; i < silent.size(); i++)
    ::close(silent[i]);
  udsclient_set_timeout_ms(0);
  std::strcpy(buf, "after");
  EXPECT_EQ(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "got:5");
}

// A command without its NUL ends at end of input.
TEST_F(Uds, CommandEndsAtEndOfInput)
{
  zunt::ServerThread server(SOCK, echo_handler);
  int fd = raw_connect(root, SOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "abc", 3), 3);
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char buf[64];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0)
    reply.append(buf, static_cast<size_t>(n));
  ::close(fd);
  EXPECT_EQ(reply, "got:3");
  EXPECT_EQ(seen_copy(), std::vector<std::string>{"abc"});
}

TEST_F(Uds, RequestIsLimitedTo64KiB)
{
  zunt::ServerThread server(SOCK, echo_handler);
  std::vector<char> buf(100 * 1024 + 1, 'q');
  buf.back() = '\0';
  udsclient_exchange(SOCK, buf.data(), buf.size());  // reply may be lost to the reset
  ASSERT_TRUE(zunt::poll_until([] { return !seen_copy().empty(); }));
  EXPECT_EQ(seen_copy()[0], std::string(UDS_MAX_REQUEST, 'q'));
  // And the server goes on serving.
  char small[64] = "next";
  EXPECT_EQ(udsclient_exchange(SOCK, small, sizeof small), 0);
  EXPECT_STREQ(small, "got:4");
}

TEST_F(Uds, HandlerThatDoesNotCloseIsClosedByTheServer)
{
  zunt::ServerThread server(SOCK, no_close_handler);
  char buf[64] = "x";
  EXPECT_EQ(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "open");
}

TEST_F(Uds, SendToVanishedClientFailsWithoutKillingTheServer)
{
  release.store(false);
  zunt::ServerThread server(SOCK, vanished_handler);
  int fd = raw_connect(root, SOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "bye", 4), 4);
  ::close(fd);
  ASSERT_TRUE(zunt::poll_until([] { return release.load(); }, 20000));
  EXPECT_LT(last_send.load(), 0);
  // The server goes on: a client that takes only what fits also ends the
  // handler's sending early.
  release.store(false);
  char buf[64] = "x";
  EXPECT_EQ(udsclient_exchange(SOCK, buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), std::string(63, 'x'));
  ASSERT_TRUE(zunt::poll_until([] { return release.load(); }, 20000));
  EXPECT_LT(last_send.load(), 0);
}

TEST_F(Uds, ConnectionCallsRefuseUnknownHandles)
{
  int bogus = 12345678;
  char buf[8];
  EXPECT_LT(udsserver_recv(&bogus, buf, sizeof buf), 0);
  EXPECT_LT(udsserver_send(&bogus, "x", 1), 0);
  EXPECT_LT(udsserver_close(&bogus), 0);
  EXPECT_LT(udsserver_recv(nullptr, buf, sizeof buf), 0);
}

// The parser runs the handler at the start tag; the handler answers and
// closes while the parser still has the rest of the command to read.
TEST_F(Uds, XmlHandlerAnswersAndClosesInsideTheDocument)
{
  zunt::ServerThread server(SOCK, xml_handler_conn);
  struct Case {
    const char *command;
    const char *reply;
    int result;  // 0 or negative
  } cases[] = {
      {"<test />", "<error type='Test ok' />", 0},
      {"<test></test>", "<error type='Test ok' />", 0},
      {"<test><", "<error type='Test ok' />", -1},
      {"<nothing />", "", 0},  // no handler ran: closed by the server, the empty reply
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command);
    parse_result.store(1);
    char buf[256];
    std::strcpy(buf, c.command);
    EXPECT_EQ(udsclient_exchange(SOCK, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, c.reply);
    ASSERT_TRUE(zunt::poll_until([] { return parse_result.load() != 1; }));
    if (c.result == 0)
      EXPECT_EQ(parse_result.load(), 0);
    else
      EXPECT_LT(parse_result.load(), 0);
  }
}

// What udsclient_stdout(SOCK, command) writes between two printf texts, and
// its result.
std::string stdout_between(const char *command, int *result)
{
  std::fflush(stdout);
  FILE *tmp = std::tmpfile();
  if (tmp == nullptr)
    return "no tmpfile";
  int saved = ::dup(1);
  ::dup2(::fileno(tmp), 1);
  std::printf("before|");
  *result = udsclient_stdout(SOCK, command);
  std::printf("|after");
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  std::rewind(tmp);
  char out[128] = "";
  size_t n = std::fread(out, 1, sizeof out - 1, tmp);
  out[n] = '\0';
  std::fclose(tmp);
  return out;
}

TEST_F(Uds, StdoutKeepsItsPlaceAmongPrintfOutput)
{
  zunt::ServerThread server(SOCK, echo_handler);
  int r = 1;
  EXPECT_EQ(stdout_between("hello", &r), "before|got:5|after");
  EXPECT_EQ(r, 0);
}

// Reads the command and closes without a byte of reply.
int reply_nothing_handler(int conn)
{
  read_and_remember(conn);
  return udsserver_close(&conn);
}

// Looks at the command, leaves it unread and has the connection closed.
std::string peeked;
int refuse_admit(udsserver *, int fd)
{
  char buf[64];
  ssize_t n = udsserver_peek(fd, buf, sizeof buf);
  std::lock_guard<std::mutex> lock(seen_mutex);
  peeked.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return -1;
}

// A daemon that read the command and closed has answered the empty text; one
// that closed with the command unread has reset the connection: a failure.
TEST_F(Uds, EmptyReplyIsAReplyAndAResetIsNot)
{
  struct Case {
    udsserver_admit admit;
    bool ok;
    std::vector<std::string> handled;
  } cases[] = {
      {nullptr, true, {"<getradius />", "<getradius />"}},
      {refuse_admit, false, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ok ? "read" : "refused");
    reset_seen();
    peeked = "none";
    zunt::ServerThread server(SOCK, reply_nothing_handler, c.admit);
    char buf[64] = "<getradius />";
    EXPECT_EQ(udsclient_exchange(SOCK, buf, sizeof buf) == 0, c.ok);
    EXPECT_STREQ(buf, "");
    int r = 1;
    EXPECT_EQ(stdout_between("<getradius />", &r), "before||after");
    EXPECT_EQ(r == 0, c.ok);
    EXPECT_LE(r, 0);
    EXPECT_EQ(seen_copy(), c.handled);
    std::lock_guard<std::mutex> lock(seen_mutex);
    EXPECT_EQ(peeked, c.ok ? "none" : "<getradius />");
  }
}

// Several servers in one process, each on its own thread, clients at once.
TEST_F(Uds, ServersOnSeveralThreadsKeepTheirConnectionsApart)
{
  zunt::ServerThread a("/tmp/a.socket", echo_handler);
  zunt::ServerThread b("/tmp/b.socket", big_handler);
  reply_size.store(3000);
  std::atomic<int> failures{0};
  auto client_a = [&] {
    for (int i = 0; i < 50; i++) {
      char buf[64];
      std::string cmd = "a" + std::to_string(i);
      std::strcpy(buf, cmd.c_str());
      if (udsclient_exchange("/tmp/a.socket", buf, sizeof buf) != 0 ||
          std::string(buf) != "got:" + std::to_string(cmd.size()))
        failures++;
    }
  };
  auto client_b = [&] {
    for (int i = 0; i < 50; i++) {
      std::vector<char> buf(4096);
      std::strcpy(buf.data(), "b");
      if (udsclient_exchange("/tmp/b.socket", buf.data(), buf.size()) != 0 ||
          std::strlen(buf.data()) != 3000)
        failures++;
    }
  };
  std::thread t1(client_a), t2(client_b), t3(client_a);
  t1.join();
  t2.join();
  t3.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(seen_copy().size(), 100u);
}

TEST_F(Uds, StopWakesTheServerAndResetAllowsAnotherRun)
{
  udsserver srv{};
  srv.path = SOCK;
  srv.handler = echo_handler;
  std::atomic<int> result{1};
  std::thread t([&] { result.store(udsserver_run(&srv)); });
  ASSERT_TRUE(zunt::poll_until([&] {
    char buf[16] = "up";
    return udsclient_exchange(SOCK, buf, sizeof buf) == 0;
  }));
  udsserver_stop(&srv);
  ASSERT_TRUE(zunt::poll_until([&] { return result.load() != 1; }));
  t.join();
  EXPECT_EQ(result.load(), 0);

  udsserver_reset(&srv);
  result.store(1);
  std::thread t2([&] { result.store(udsserver_run(&srv)); });
  char buf[16] = "again";
  ASSERT_TRUE(zunt::poll_until([&] {
    std::strcpy(buf, "again");
    return udsclient_exchange(SOCK, buf, sizeof buf) == 0;
  }));
  EXPECT_STREQ(buf, "got:5");
  udsserver_stop(&srv);
  ASSERT_TRUE(zunt::poll_until([&] { return result.load() != 1; }));
  t2.join();
  EXPECT_EQ(result.load(), 0);
  udsserver_reset(&srv);
}

TEST_F(Uds, StopBeforeRunReturnsAtOnce)
{
  udsserver srv{};
  srv.path = SOCK;
  srv.handler = echo_handler;
  udsserver_stop(&srv);
  EXPECT_EQ(udsserver_run(&srv), 0);
  udsserver_reset(&srv);
}

TEST_F(Uds, RunRefusesARecordWithoutHandlerOrUsablePath)
{
  udsserver srv{};
  srv.path = SOCK;
  EXPECT_LT(udsserver_run(&srv), 0);
  std::string long_path = "/tmp/" + std::string(200, 'p');
  srv.path = long_path.c_str();
  srv.handler = echo_handler;
  EXPECT_LT(udsserver_run(&srv), 0);
  udsserver_reset(&srv);
}

}  // namespace
