// The request server and the shared commands, through testd's socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "testd_fixture.h"

using namespace frame_test;

namespace {

struct Exact {
  const char *command;
  const char *reply;
};

TEST(DaemonCommands, SharedRepliesAreExact)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  const Exact cases[] = {
      {"<test />", "<error type='Test ok' />"},
      {"<test extra=\"1\"/>", "<error type='Test ok' />"},
      {"<updatemodule />", "<error type='no custom parameters' />"},
      {"<updatemodule id=\"3\" name=\"x\" />", "<error type='no custom parameters' />"},
      {"<getmodule />", "<error type='wrong parameters' />"},
      {"<getmodule shortcut=\"1\" />", "<error type='wrong parameters' />"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(d.exchange(c.command), c.reply) << c.command;
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonCommands, UnknownCommandRunsNoHandler)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  EXPECT_EQ(d.exchange("<nosuch name=\"a\" />"), "");
  EXPECT_EQ(d.exchange("<Item name=\"b\" />"), "");   // names match exactly
  EXPECT_EQ(d.exchange("<itemx name=\"c\" />"), "");
  EXPECT_EQ(d.exchange("<items />"), "<items></items>");
  // The server goes on serving after them.
  EXPECT_EQ(d.exchange("<test />"), "<error type='Test ok' />");
  EXPECT_EQ(d.stop(), 0);
}

// One connection carries one command: the first element that names a tag
// runs and answers; whatever follows in the request is ignored.
TEST(DaemonCommands, OnlyTheFirstCommandOfARequestRuns)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  const Exact cases[] = {
      {"<x><item name=\"a\" /><item name=\"b\" /></x>", "<error type=\"no error\" />"},
      {"<item name=\"c\" /><item name=\"d\" />", "<error type=\"no error\" />"},
      {"<x><nosuch /><item name=\"e\" /><test /></x>", "<error type=\"no error\" />"},
      {"<item name=\"f\"><item name=\"g\" /></item>", "<error type=\"no error\" />"},
      {"<test /><item name=\"h\" />", "<error type='Test ok' />"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(d.exchange(c.command), c.reply) << c.command;
  EXPECT_EQ(d.exchange("<items />"),
            "<items><item name=\"a\" /><item name=\"c\" /><item name=\"e\" /><item name=\"f\" /></items>");
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonCommands, MalformedCommandIsSurvived)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  const char *bad[] = {"<item name=\"a", "not xml", "<<>>", "<item name='x' name='y' />"};
  for (const char *b : bad)
    d.exchange(b);
  EXPECT_EQ(d.exchange("<test />"), "<error type='Test ok' />");
  EXPECT_TRUE(d.proc->running());
  EXPECT_EQ(d.stop(), 0);
}

// A raw client that connects and then stays silent.
int connect_silent(const zt::Root &root)
{
  std::string path = root.file(kSocket);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path)
    return -1;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(DaemonCommands, SilentClientDoesNotStopTheNext)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  int silent = connect_silent(root);
  ASSERT_GE(silent, 0);
  // The next client is served while the silent one still holds its
  // connection open (the server gives it at most its read limit).
  EXPECT_EQ(zt::exchange(root, kSocket, "<test />", std::chrono::seconds(9)),
            "<error type='Test ok' />");
  close(silent);
  // A client that goes away before the reply does not end the daemon.
  int gone = connect_silent(root);
  ASSERT_GE(gone, 0);
  ASSERT_EQ(write(gone, "<test />", 9), 9);
  close(gone);
  EXPECT_EQ(d.exchange("<test />"), "<error type='Test ok' />");
  EXPECT_EQ(d.stop(), 0);
}

// Ten clients that connect and stay silent delay no command: the commands
// are read together, so the worst of a hundred round trips stays under
// 100 ms while the ten are still waiting to be read.
TEST(DaemonCommands, SilentClientsDelayNoCommand)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  std::vector<int> silent;
  for (int i = 0; i < 10; i++) {
    silent.push_back(connect_silent(root));
    ASSERT_GE(silent.back(), 0);
  }
  auto worst = std::chrono::steady_clock::duration::zero();
  for (int i = 0; i < 100; i++) {
    auto start = std::chrono::steady_clock::now();
    std::string reply = d.exchange("<test />");
    worst = std::max(worst, std::chrono::steady_clock::now() - start);
    ASSERT_EQ(reply, "<error type='Test ok' />") << i;
  }
  EXPECT_LT(worst, std::chrono::milliseconds(100));
  for (int fd : silent) {
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), -1);  // still held, neither answered nor closed
    close(fd);
  }
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonCommands, StopWhileAClientIsSilent)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  int silent = connect_silent(root);
  ASSERT_GE(silent, 0);
  EXPECT_EQ(d.stop(), 0);
  EXPECT_FALSE(root.exists(kLock));
  close(silent);
}

TEST(DaemonCommands, GetmoduleForwardsExactTextAndAnswerVerbatim)
{
  zt::Root root;
  root.write("/etc/registry.xml",
             "<registry>\n"
             "<module id=\"7\" num=\"1\" class=\"6\" name=\"Notify\" socket=\"/tmp/testd.socket\" />\n"
             "<element id=\"101\" module=\"7\" num=\"1\" class=\"6\" type=\"1\" name=\"m1\" "
             "socket=\"/tmp/testd.socket\" state=\"6\" value=\"\" />\n"
             "</registry>\n");
  zt::Sim sim(root, {"--only", "registryd"});
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();

  struct Case {
    const char *command;
    const char *forwarded;
  };
  const Case cases[] = {
      {"<getmodule id=\"7\" />", "<getmodule id=\"7\"  />"},
      {"<getmodule id=\"7\" shortcut=\"1\" />", "<getmodule id=\"7\"  shortcut=\"1\" />"},
      {"<getmodule shortcut=\"1\" id=\"7\" />", "<getmodule id=\"7\"  shortcut=\"1\" />"},
      {"<getmodule id=\"99\" />", "<getmodule id=\"99\"  />"},
      // A value stays inside its own attribute of the forwarded command.
      {"<getmodule id='7\" shortcut=\"x' />", "<getmodule id=\"7&quot; shortcut=&quot;x\"  />"},
  };
  for (const auto &c : cases) {
    sim.clear_journal();
    std::string reply = d.exchange(c.command);
    ASSERT_TRUE(sim.wait_journal(1)) << c.command;
    auto lines = sim.journal_of("registryd");
    ASSERT_EQ(lines.size(), 1u) << c.command;
    EXPECT_EQ(lines[0], c.forwarded) << c.command;
    // The same command sent straight to registryd gives the same answer.
    std::string direct = zt::exchange(root, "/tmp/registryd.socket", c.forwarded);
    EXPECT_FALSE(direct.empty()) << c.command;
    EXPECT_EQ(reply, direct) << c.command;
  }
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonCommands, GetmoduleWithRegistrydDown)
{
  zt::Root root;
  zt::Sim sim(root, {"--except", "registryd"});
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  EXPECT_EQ(d.exchange("<getmodule id=\"7\" />"), "<error type='module is not loaded' />");
  EXPECT_EQ(d.exchange("<getmodule id=\"7\" shortcut=\"1\" />"),
            "<error type='module is not loaded' />");
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonCommands, GetmoduleWithRegistrydMisbehaving)
{
  zt::Root root;
  zt::Sim sim(root, {"--only", "registryd"});
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  for (const char *mode : {"close", "silent"}) {
    sim.fault("registryd", mode);
    EXPECT_EQ(zt::exchange(root, kSocket, "<getmodule id=\"7\" />", std::chrono::seconds(20)),
              "<error type='module is not loaded' />")
        << mode;
  }
  sim.fault("registryd", "none");
  EXPECT_EQ(d.exchange("<test />"), "<error type='Test ok' />");
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonCommands, StopLetsTheCommandInProgressFinish)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  std::string reply;
  std::thread client([&] {
    reply = zt::exchange(root, kSocket, "<hold />", std::chrono::seconds(20));
  });
  ASSERT_TRUE(zt::wait_for([&] { return root.exists("/tmp/testd.held"); }));
  d.proc->signal(SIGTERM);
  // The agent loop has ended and the lock is gone while the command still
  // runs; the server thread is not torn down under it.
  EXPECT_TRUE(zt::wait_for([&] { return !root.exists(kLock); }));
  root.write("/tmp/testd.release", "");
  client.join();
  EXPECT_EQ(reply, "<error type='released' />");
  EXPECT_EQ(d.proc->wait(std::chrono::seconds(10)), 0);
  std::string err = d.proc->err();
  EXPECT_EQ(err.substr(err.size() - 12), "testd stop.\n");
}

}  // namespace
