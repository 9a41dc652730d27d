// heraldd's SNMP tables under test: heraldd as the SNMP master agent on a
// loopback port, or as the AgentX subagent of Debian's snmpd, read and
// written with Debian's tools (v2c; community public reads, private writes).
#pragma once
#include "heraldd_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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

// BER: a tag, the length, the content.
inline std::string ber(unsigned char tag, const std::string &content)
{
  std::string out(1, static_cast<char>(tag));
  if (content.size() < 128)
    return out + static_cast<char>(content.size()) + content;
  return out + "\x82" + static_cast<char>(content.size() >> 8) + static_cast<char>(content.size() & 0xff) + content;
}

// A v2c SET of one INTEGER, its content bytes as given (so any length),
// sent as raw BER to the agent at 127.0.0.1:port: the error-status of the
// answer, or -1 when none came.
inline int raw_set(int port, const std::string &community, const std::string &dotted_oid, const std::string &integer)
{
  std::string oid;
  std::vector<unsigned long> ids;
  for (size_t at = 1; at < dotted_oid.size();) {
    size_t dot = dotted_oid.find('.', at);
    ids.push_back(std::stoul(dotted_oid.substr(at, dot - at)));
    at = dot == std::string::npos ? dotted_oid.size() : dot + 1;
  }
  oid += static_cast<char>(ids[0] * 40 + ids[1]);
  for (size_t i = 2; i < ids.size(); i++) {
    std::string base128(1, static_cast<char>(ids[i] & 0x7f));
    for (unsigned long v = ids[i] >> 7; v != 0; v >>= 7)
      base128.insert(base128.begin(), static_cast<char>(0x80 | (v & 0x7f)));
    oid += base128;
  }
  std::string varbind = ber(0x30, ber(0x06, oid) + ber(0x02, integer));
  std::string pdu = ber(0xA3, ber(0x02, "\x2A") + ber(0x02, std::string(1, '\0')) + ber(0x02, std::string(1, '\0')) +
                                  ber(0x30, varbind));
  std::string message = ber(0x30, ber(0x02, "\x01") + ber(0x04, community) + pdu);
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval wait{1, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  unsigned char reply[2048];
  ssize_t n = -1;
  for (int attempt = 0; attempt < 5 && n < 0; attempt++)  // as the tools retry
    if (sendto(s, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr) > 0)
      n = recv(s, reply, sizeof reply, 0);
  close(s);
  // The answer: SEQUENCE { version, community, GetResponse { request-id,
  // error-status, ... } }, walked over the headers (short lengths only).
  size_t at = 0;
  auto skip_header = [&] { at += (reply[at + 1] & 0x80) ? 2 + (reply[at + 1] & 0x7f) : 2; };
  auto skip_whole = [&] { at += 2 + reply[at + 1]; };
  if (n < 20)
    return -1;
  skip_header();  // message
  skip_whole();   // version
  skip_whole();   // community
  skip_header();  // PDU
  skip_whole();   // request-id
  return at + 2 < static_cast<size_t>(n) && reply[at] == 0x02 && reply[at + 1] == 1 ? reply[at + 2] : -1;
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
