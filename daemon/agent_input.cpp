// The master agent's requests as they arrive: an INTEGER value that lies
// outside 32 bits must reach the tables as such, so that they refuse it.
//
// On a host whose long has 64 bits the SNMP library folds such a value into
// 32 bits while it decodes the request (2^32 becomes 0, -2^31-1 becomes
// -2^31+1), before any handler can see it; on a 32-bit board it refuses the
// request as malformed. So each datagram or stream read of the agent's SNMP
// transports is looked at before the library decodes it: the value of every
// variable binding that is an INTEGER beyond 32 bits is rewritten in place,
// with the same length, as 2^31, which the library keeps as it is and a
// table refuses (wrongValue). Nothing else of a request is touched; values
// within 32 bits, however they are encoded, stay as they are.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmpTCPDomain.h>
#include <net-snmp/library/snmpTCPIPv6Domain.h>
#include <net-snmp/library/snmpUDPIPv6Domain.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <utility>

#include "frame_internal.h"

// The library's list of open sessions (declared in its headers as internal).
extern "C" struct session_list *Sessions;

namespace {

constexpr unsigned char TAG_INTEGER = 0x02;
constexpr unsigned char TAG_OID = 0x06;
constexpr unsigned char TAG_SEQUENCE = 0x30;
constexpr unsigned char CONSTRUCTED = 0x20;
constexpr int MAX_DEPTH = 8;  // message, PDU, bindings, binding: 4 are enough

// One BER element: its tag, and its content [content, end).
struct element {
  unsigned char tag;
  unsigned char *content;
  unsigned char *end;
};

// The element at p, within [p, limit); false when it does not fit.
bool element_at(unsigned char *p, unsigned char *limit, element &e)
{
  if (limit - p < 2)
    return false;
  e.tag = p[0];
  size_t len = p[1];
  p += 2;
  if (len & 0x80) {
    size_t bytes = len & 0x7f;
    if (bytes == 0 || bytes > 4 || static_cast<size_t>(limit - p) < bytes)
      return false;
    len = 0;
    for (size_t i = 0; i < bytes; i++)
      len = (len << 8) | *p++;
  }
  if (static_cast<size_t>(limit - p) < len)
    return false;
  e.content = p;
  e.end = p + len;
  return true;
}

// An INTEGER's content that a signed 32-bit number cannot hold (leading
// bytes that only repeat the sign do not count).
bool beyond_32_bits(const unsigned char *content, size_t len)
{
  while (len > 1 && ((content[0] == 0x00 && content[1] < 0x80) || (content[0] == 0xff && content[1] >= 0x80))) {
    content++;
    len--;
  }
  return len > 4;
}

void fold_integers(unsigned char *p, unsigned char *limit, int depth)
{
  element e;
  while (depth < MAX_DEPTH && element_at(p, limit, e)) {
    element name, value;
    if (e.tag == TAG_SEQUENCE && element_at(e.content, e.end, name) && name.tag == TAG_OID &&
        element_at(name.end, e.end, value) && value.end == e.end && value.tag == TAG_INTEGER) {
      size_t len = static_cast<size_t>(value.end - value.content);
      if (beyond_32_bits(value.content, len)) {  // a binding: its value made 2^31
        std::memset(value.content, 0, len);
        value.content[len - 4] = 0x80;
      }
    } else if (e.tag & CONSTRUCTED) {
      fold_integers(e.content, e.end, depth + 1);
    }
    p = e.end;
  }
}

// The transports wrapped, with the receive function each had.
std::array<std::pair<netsnmp_transport *, int (*)(netsnmp_transport *, void *, int, void **, int *)>, 16> g_wrapped{};

int receive(netsnmp_transport *t, void *buf, int size, void **opaque, int *olength)
{
  for (const auto &[transport, original] : g_wrapped) {
    if (transport != t)
      continue;
    int n = original(t, buf, size, opaque, olength);
    if (n > 0)
      fold_integers(static_cast<unsigned char *>(buf), static_cast<unsigned char *>(buf) + n, 0);
    return n;
  }
  return -1;
}

// SNMP over UDP or TCP, IPv4 or IPv6 (not the library's internal callback
// transport, nor AgentX).
constexpr oid UDP[] = {1, 3, 6, 1, 6, 1, 1};
constexpr oid UDP6[] = {TRANSPORT_DOMAIN_UDP_IPV6};
constexpr oid TCP[] = {TRANSPORT_DOMAIN_TCP_IP};
constexpr oid TCP6[] = {TRANSPORT_DOMAIN_TCP_IPV6};

bool carries_snmp(const netsnmp_transport *t)
{
  for (std::span<const oid> domain : {std::span<const oid>(UDP), std::span<const oid>(UDP6),
                                      std::span<const oid>(TCP), std::span<const oid>(TCP6)})
    if (t->domain != nullptr && static_cast<size_t>(t->domain_length) == domain.size() &&
        netsnmp_oid_equals(t->domain, domain.size(), domain.data(), domain.size()) == 0)
      return true;
  return false;
}

}  // namespace

void frame_guard_agent_input(void)
{
  size_t used = 0;
  for (session_list *s = Sessions; s != nullptr && used < g_wrapped.size(); s = s->next) {
    netsnmp_transport *t = s->transport;
    if (t == nullptr || t->f_recv == receive || !carries_snmp(t))
      continue;
    g_wrapped[used++] = {t, t->f_recv};
    t->f_recv = receive;
  }
}
