// heraldd's SNMP tables under test: heraldd as the SNMP master agent on a
// loopback port, or as the AgentX subagent of Debian's snmpd, read and
// written with Debian's tools (v2c; community public reads, private writes).
#pragma once
#include "heraldd_fixture.h"

#include <string>
#include <vector>

namespace ht {

inline const std::string kMibs = ZUN_SOURCE_DIR "/mibs";
inline const std::string kMib = "APPLIANCE-NOTIFIER-MIB";
// The rows of the three tables: a column's instance is ROW.COLUMN.ID.
inline const std::string kMailRow = ".1.3.6.1.4.1.99999.2.1.1";
inline const std::string kTrapRow = ".1.3.6.1.4.1.99999.2.2.1";
inline const std::string kSmsRow = ".1.3.6.1.4.1.99999.2.3.1";
inline const std::string kCommunities = "rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n";
// Tool options that name objects by the module in mibs/.
inline const std::vector<std::string> kNamed = {"-m", "+" + kMib, "-M", "+" + kMibs};

// An SNMP agent on a loopback port as Debian's tools see it.
struct Agent {
  const zt::Root &root;
  int port;

  // TOOL -v2c -c COMMUNITY OPTIONS 127.0.0.1:PORT ARGS (numeric names
  // unless the options load the module).
  zt::RunResult run(const std::string &tool, const std::string &community, const std::vector<std::string> &args,
                    const std::vector<std::string> &options = {"-On"}) const
  {
    std::vector<std::string> argv = {"-v2c", "-c", community, "-t", "5", "-r", "1"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("127.0.0.1:" + std::to_string(port));
    argv.insert(argv.end(), args.begin(), args.end());
    return zt::snmp_tool(root, tool, argv);
  }

  // Standard output of a read (community public).
  std::string read(const std::string &tool, const std::vector<std::string> &args,
                   const std::vector<std::string> &options = {"-On"}) const
  {
    return run(tool, "public", args, options).out;
  }

  // snmpset with community private; "" and the error text, or the output.
  zt::RunResult set(const std::vector<std::string> &args) const { return run("snmpset", "private", args); }
};

// What snmpset writes for a request that the agent refused.
inline std::string set_error(const std::string &reason, const std::string &oid)
{
  return "Error in packet.\nReason: " + reason + "\nFailed object: " + oid + "\n\n";
}

// heraldd as the SNMP master agent (-m) on a free loopback port.
class MasterHeraldd : public Heraldd {
public:
  MasterHeraldd() : agent_{root(), zt::free_udp_port()}
  {
    root().write("/etc/snmp/heraldd.conf",
                 "agentaddress udp:127.0.0.1:" + std::to_string(agent_.port) + "\n" + kCommunities);
  }
  bool start() { return Heraldd::start({"-m"}); }
  const Agent &agent() const { return agent_; }

private:
  Agent agent_;
};

// Debian's snmpd as the AgentX master of heraldd (its socket where
// heraldd's settings point: root/tmp/agentx).
class Snmpd : public zt::Snmpd {
public:
  explicit Snmpd(const zt::Root &root) : zt::Snmpd(root, root.file("/tmp/agentx")), agent_{root, port()} {}
  const Agent &agent() const { return agent_; }

private:
  Agent agent_;
};

}  // namespace ht
