// The SNMP agent loop of the frame: as master agent on a loopback port it
// answers SNMP requests while the server thread answers on the socket.
#include <gtest/gtest.h>

#include <unistd.h>

#include "harness.h"
#include "testd_fixture.h"

using namespace frame_test;

namespace {

// usmUserSpinLock.0 and vacmViewSpinLock.0: objects every master agent serves.
const char *kObjects[] = {".1.3.6.1.6.3.15.1.2.1.0", ".1.3.6.1.6.3.16.1.5.1.0"};

zt::RunResult snmpget(const zt::Root &root, int port, const char *community, const char *oid,
                      const char *retries)
{
  return zt::snmp_tool(root, "snmpget",
                       {"-v2c", "-c", community, "-On", "-t", "1", "-r", retries,
                        "127.0.0.1:" + std::to_string(port), oid});
}

TEST(DaemonSnmp, MasterAgentServesBesideTheSocket)
{
  if (access("/usr/bin/snmpget", X_OK) != 0)
    GTEST_SKIP() << "snmpget is not installed (package snmp)";
  zt::Root root;
  int port = zt::free_udp_port();
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
