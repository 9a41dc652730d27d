// The SNMP agent loop of the frame: as master agent on a loopback port it
// answers SNMP requests while the server thread answers on the socket.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"
#include "testd_fixture.h"

using namespace frame_test;

namespace {

// A UDP port on the loopback that is free at the moment.
int free_udp_port()
{
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

// usmUserSpinLock.0 and vacmViewSpinLock.0: objects every master agent serves.
const char *kObjects[] = {".1.3.6.1.6.3.15.1.2.1.0", ".1.3.6.1.6.3.16.1.5.1.0"};

// snmpget kept to the root: no configuration, its own files under var/tmp.
zt::RunResult snmpget(const zt::Root &root, int port, const char *community, const char *oid,
                      const char *retries)
{
  std::map<std::string, std::string> env = {{"PATH", "/usr/bin:/bin"}, {"MIBS", ""},
                                            {"HOME", root.path()},
                                            {"SNMPCONFPATH", root.file("/var/tmp")},
                                            {"SNMP_PERSISTENT_DIR", root.file("/var/tmp")}};
  return zt::run("/usr/bin/snmpget",
                 {"snmpget", "-v2c", "-c", community, "-On", "-t", "1", "-r", retries,
                  "127.0.0.1:" + std::to_string(port), oid},
                 env);
}

TEST(DaemonSnmp, MasterAgentServesBesideTheSocket)
{
  if (access("/usr/bin/snmpget", X_OK) != 0)
    GTEST_SKIP() << "snmpget is not installed (package snmp)";
  zt::Root root;
  int port = free_udp_port();
  ASSERT_GT(port, 0);
  root.write("/etc/snmp/testd.conf", "agentaddress udp:127.0.0.1:" + std::to_string(port) +
                                         "\nrocommunity public 127.0.0.1\n");
  Testd d(root, {"-m"});
  ASSERT_TRUE(d.ready()) << d.proc->err();

  for (const char *oid : kObjects) {
    auto r = snmpget(root, port, "public", oid, "2");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(std::string(oid) + " = INTEGER: ", 0), 0u) << r.out << r.err;
    // The socket is served at the same time.
    EXPECT_EQ(d.exchange("<test />"), "<error type='Test ok' />");
  }
  // A community the agent does not know gets no answer.
  auto refused = snmpget(root, port, "wrong", kObjects[0], "0");
  EXPECT_NE(refused.status, 0);

  EXPECT_EQ(d.stop(), 0);
  EXPECT_FALSE(root.exists(kLock));
  std::string err = d.proc->err();
  EXPECT_EQ(err.substr(err.size() - 12), "testd stop.\n");
}

TEST(DaemonSnmp, SubagentWithoutMasterStillServesTheSocket)
{
  zt::Root root;
  root.write("/etc/snmp/testd.conf", "agentXSocket unix:" + root.file("/tmp/agentx") + "\n");
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  EXPECT_EQ(d.exchange("<updatemodule />"), "<error type='no custom parameters' />");
  EXPECT_EQ(d.stop(), 0);
}

}  // namespace
