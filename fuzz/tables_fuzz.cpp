// Fuzz target for heraldd's notifier tables under SNMP sets: an arbitrary
// list of variable bindings, of any type and length, set on the three tables
// while two notifiers of each kind exist.
//
// The set goes through the agent's own request processing: a PDU sent on a
// client session of the agent's internal callback transport reaches
// handle_snmp_packet as a request from the network does, so the agent runs
// every phase on one request record as a master agent (reserve 1, reserve 2,
// action, commit, free; free or undo after a failed phase) through the table
// helper, the table-array helper and the tables' access method, and answers
// with the response a manager would get. (The values arrive as the SNMP
// library builds variables, an INTEGER as a long that it cuts to 32 bits
// only when positive: numbers from 2^31 to 2^32-1 and below -2^31 reach the
// tables, as 2^31 does from the daemon's transports.) The agent's access
// control, which has no configuration
// here, is passed over as for the requests an AgentX master forwards: every
// set reaches the tables.
//
// Input: varbinds, one after another, until the input ends (at most 64; a
// varbind cut short is dropped).
//   byte 0  bits 0-1: the table (0 mails, 1 traps, 2 SMS, 3 .4 beside them,
//           which is no table); bits 2-7 modulo 6, the OID's shape:
//           0 ROOT.1.COLUMN.INDEX  1 ROOT.1.COLUMN  2 ROOT.1.COLUMN.INDEX.INDEX
//           3 ROOT.2.COLUMN.INDEX  4 ROOT.1         5 ROOT
//   byte 1  the column
//   byte 2  the index: bits 6-7 0: the id of one of the table's notifiers
//           (bits 0-5 modulo their count), 1: of any list's, 2: the next 4
//           bytes as a sub-identifier, 3: the next 8 bytes
//   byte 3  the type, modulo the size of TYPES below (0 INTEGER, 1 OCTET
//           STRING, 2 OBJECT IDENTIFIER, 3 NULL, 4 Counter32, ...)
//   2 bytes the value's length (big-endian), then the value: a number's
//           bytes big-endian (at most 8 used, sign-extended for a signed
//           type), an OID's one sub-identifier per byte, any other type's as
//           they are.
//
// Checked: nothing crashes or reads past a buffer; the agent answers; a set
// it refuses changes no notifier, and a notifier that no varbind names never
// changes; every notifier's description stays well-formed XML, and its
// settings line one well-formed line.
#include "daemon.h"
#include "notifier.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/snmpCallbackDomain.h>

#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The agent's internal callback transport, opened by init_agent (declared
// in no installed header).
extern "C" int callback_master_num;

namespace {

// In the tables' order under .1.3.6.1.4.1.99999.2.
notifier_list *const LISTS[] = {&zunmaillist, &zuntraplist, &zunsmslist};
constexpr size_t PER_LIST = 2;
constexpr size_t MAX_VARBINDS = 64;
constexpr size_t MAX_OID_VALUE = 128;

enum class value_kind { signed_number, unsigned_number, counter64, real, real64, objid, bytes, none };

struct asn_type {
  u_char type;
  value_kind kind;
};

constexpr asn_type TYPES[] = {
    {ASN_INTEGER, value_kind::signed_number},
    {ASN_OCTET_STR, value_kind::bytes},
    {ASN_OBJECT_ID, value_kind::objid},
    {ASN_NULL, value_kind::none},
    {ASN_COUNTER, value_kind::unsigned_number},
    {ASN_GAUGE, value_kind::unsigned_number},
    {ASN_TIMETICKS, value_kind::unsigned_number},
    {ASN_IPADDRESS, value_kind::bytes},
    {ASN_OPAQUE, value_kind::bytes},
    {ASN_COUNTER64, value_kind::counter64},
    {ASN_BIT_STR, value_kind::bytes},
    {ASN_NSAP, value_kind::bytes},
    {ASN_UINTEGER, value_kind::unsigned_number},
    {SNMP_NOSUCHOBJECT, value_kind::none},
    {SNMP_NOSUCHINSTANCE, value_kind::none},
    {SNMP_ENDOFMIBVIEW, value_kind::none},
    {ASN_OPAQUE_FLOAT, value_kind::real},
    {ASN_OPAQUE_DOUBLE, value_kind::real64},
    {ASN_OPAQUE_I64, value_kind::counter64},
    {ASN_OPAQUE_U64, value_kind::counter64},
    {ASN_OPAQUE_COUNTER64, value_kind::counter64},
};

// Reads the input front to back; a read past its end fails.
struct reader {
  const uint8_t *at;
  const uint8_t *end;
  bool take(size_t n, const uint8_t *&out)
  {
    if (static_cast<size_t>(end - at) < n)
      return false;
    out = at;
    at += n;
    return true;
  }
  bool byte(uint8_t &out)
  {
    const uint8_t *p;
    if (!take(1, p))
      return false;
    out = *p;
    return true;
  }
};

uint64_t big_endian(const uint8_t *p, size_t n)
{
  uint64_t v = 0;
  for (size_t i = 0; i < n; i++)
    v = (v << 8) | p[i];
  return v;
}

// The ids of every list's notifiers, per list.
struct notifier_ids {
  std::vector<uint32_t> of[std::size(LISTS)];
  std::vector<uint32_t> all;
};

void collect_id(notifier &n, void *ids) { static_cast<std::vector<uint32_t> *>(ids)->push_back(n.id); }

// Decodes one varbind into the PDU; the sub-identifiers that name a row go
// to `named`. False at the end of the input.
bool add_varbind(reader &in, const notifier_ids &ids, netsnmp_pdu *pdu, std::vector<oid> &named)
{
  uint8_t where, column, index_kind, type_byte;
  const uint8_t *len_bytes;
  if (!in.byte(where) || !in.byte(column) || !in.byte(index_kind))
    return false;
  oid index;
  const uint8_t *raw;
  const std::vector<uint32_t> &own = (where & 3) < std::size(LISTS) ? ids.of[where & 3] : ids.all;
  switch (index_kind >> 6) {
  case 0:
    index = own[(index_kind & 0x3f) % own.size()];
    break;
  case 1:
    index = ids.all[(index_kind & 0x3f) % ids.all.size()];
    break;
  case 2:
    if (!in.take(4, raw))
      return false;
    index = static_cast<oid>(big_endian(raw, 4));
    break;
  default:
    if (!in.take(8, raw))
      return false;
    index = static_cast<oid>(big_endian(raw, 8));
    break;
  }
  if (!in.byte(type_byte) || !in.take(2, len_bytes))
    return false;
  size_t len = std::min<size_t>(big_endian(len_bytes, 2), static_cast<size_t>(in.end - in.at));
  const uint8_t *value = in.at;
  in.at += len;

  std::vector<oid> name = {1, 3, 6, 1, 4, 1, 99999, 2, static_cast<oid>((where & 3) + 1)};
  switch ((where >> 2) % 6) {
  case 0:
    name.insert(name.end(), {1, column, index});
    break;
  case 1:
    name.insert(name.end(), {1, column});
    break;
  case 2:
    name.insert(name.end(), {1, column, index, index});
    break;
  case 3:
    name.insert(name.end(), {2, column, index});
    break;
  case 4:
    name.push_back(1);
    break;
  }
  if (name.size() > 11)
    named.insert(named.end(), name.begin() + 11, name.end());

  const asn_type &t = TYPES[type_byte % std::size(TYPES)];
  size_t used = std::min<size_t>(len, 8);
  uint64_t number = big_endian(value, used);
  if (t.kind == value_kind::signed_number && used > 0 && used < 8 && (value[0] & 0x80))
    number |= ~uint64_t{0} << (8 * used);
  long as_long = static_cast<long>(number);
  counter64 c64{static_cast<u_long>(number >> 32), static_cast<u_long>(number & 0xffffffff)};
  float real = 0;
  double real64 = 0;
  std::memcpy(&real, value, std::min(len, sizeof real));
  std::memcpy(&real64, value, std::min(len, sizeof real64));
  std::vector<oid> objid(value, value + std::min(len, MAX_OID_VALUE));

  const void *data = value;
  size_t size = len;
  auto take = [&](const auto &v) {
    data = &v;
    size = sizeof v;
  };
  switch (t.kind) {
  case value_kind::signed_number:
  case value_kind::unsigned_number:
    take(as_long);
    break;
  case value_kind::counter64:
    take(c64);
    break;
  case value_kind::real:
    take(real);
    break;
  case value_kind::real64:
    take(real64);
    break;
  case value_kind::objid:
    data = objid.data();
    size = objid.size() * sizeof(oid);
    break;
  case value_kind::none:
    data = nullptr;
    size = 0;
    break;
  case value_kind::bytes:
    break;
  }
  snmp_pdu_add_variable(pdu, name.data(), name.size(), t.type, data, size);
  return true;
}

bool well_formed(const std::string &text)
{
  XML_Parser p = XML_ParserCreate(nullptr);
  bool ok = XML_Parse(p, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(p);
  return ok;
}

struct seen {
  uint32_t id;
  std::string description;
  std::string settings;
  bool operator==(const seen &) const = default;
};

// The settings replay reads the file a line at a time: a notifier's line
// must be one line, well-formed on its own.
bool one_line(const std::string &text)
{
  return !text.empty() && text.find('\n') == text.size() - 1 && well_formed(text);
}

void look_at(notifier &n, void *out)
{
  seen s{n.id, notifier_describe(n), {}};
  notifier_settings_line(n, s.settings);
  if (!well_formed(s.description) || !one_line(s.settings))
    std::abort();
  static_cast<std::vector<seen> *>(out)->push_back(std::move(s));
}

// Every notifier as it is described and saved, in list order.
std::vector<seen> snapshot()
{
  std::vector<seen> all;
  for (notifier_list *list : LISTS)
    notifier_list_each(*list, look_at, &all);
  return all;
}

// Fresh notifiers with their defaults for every input: what one set did
// never carries over into the next. (Their ids count down from one input to
// the next, as ids the element database did not give do: an input names
// them by their place in the lists.)
notifier_ids renew_notifiers()
{
  notifier_ids ids;
  for (size_t i = 0; i < std::size(LISTS); i++) {
    std::vector<uint32_t> old;
    notifier_list_each(*LISTS[i], collect_id, &old);
    for (uint32_t id : old)
      notifier_list_delete(*LISTS[i], id);
    for (size_t k = 0; k < PER_LIST; k++) {
      notifier *n = notifier_list_add(*LISTS[i], static_cast<int32_t>(k + 1));
      if (n == nullptr)
        std::abort();
      ids.of[i].push_back(n->id);
      ids.all.push_back(n->id);
    }
  }
  return ids;
}

// Sends a request on the agent's callback transport; the response.
netsnmp_pdu *ask(netsnmp_session *client, netsnmp_pdu *pdu)
{
  static const char COMMUNITY[] = "private";
  pdu->version = SNMP_VERSION_2c;
  pdu->flags |= UCD_MSG_FLAG_ALWAYS_IN_VIEW;  // else dropped: no community is configured
  pdu->community = static_cast<u_char *>(std::malloc(sizeof COMMUNITY - 1));
  std::memcpy(pdu->community, COMMUNITY, sizeof COMMUNITY - 1);
  pdu->community_len = sizeof COMMUNITY - 1;
  netsnmp_pdu *response = nullptr;
  if (snmp_synch_response(client, pdu, &response) != STAT_SUCCESS || response == nullptr ||
      response->command != SNMP_MSG_RESPONSE)
    std::abort();  // the agent answers every request
  return response;
}

struct setup {
  std::string root;
  netsnmp_session *client = nullptr;
  setup()
  {
    // A root of its own: no element database, no log daemon, no mail program.
    char folder[] = "/tmp/tfuzz.XXXXXX";
    if (mkdtemp(folder) == nullptr)
      std::abort();
    root = folder;
    setenv("APPLIANCE_ROOT", folder, 1);
    daemon_socket = "/tmp/heraldd.socket";  // as the frame sets it before the start-up
    init_agent("heraldd-fuzz");              // a master agent: the set runs all its phases here
    for (notifier_list *list : LISTS)
      if (notifier_list_create(*list) != 0 && list->rows == nullptr)
        std::abort();  // no module without an element database; the table is what counts
    client = netsnmp_callback_open(callback_master_num, nullptr, nullptr, nullptr);
    if (client == nullptr)
      std::abort();
    client->version = SNMP_VERSION_2c;
    // The tables serve this agent: each answers a get of a notifier's id
    // (else every set would be refused before a table sees it).
    notifier_ids ids = renew_notifiers();
    for (size_t i = 0; i < std::size(LISTS); i++) {
      netsnmp_pdu *get = snmp_pdu_create(SNMP_MSG_GET);
      const oid name[] = {1, 3, 6, 1, 4, 1, 99999, 2, i + 1, 1, 1, ids.of[i][0]};
      snmp_add_null_var(get, name, std::size(name));
      netsnmp_pdu *response = ask(client, get);
      const netsnmp_variable_list *v = response->variables;
      if (v == nullptr || v->type != ASN_INTEGER || static_cast<uint32_t>(*v->val.integer) != ids.of[i][0])
        std::abort();
      snmp_free_pdu(response);
    }
  }
  ~setup()
  {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static setup once;
  notifier_ids ids = renew_notifiers();
  std::vector<seen> before = snapshot();

  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_SET);
  reader in{data, data + size};
  std::vector<oid> named;
  for (size_t n = 0; n < MAX_VARBINDS && add_varbind(in, ids, pdu, named); n++) {
  }
  size_t count = 0;
  for (netsnmp_variable_list *v = pdu->variables; v != nullptr; v = v->next_variable)
    count++;

  netsnmp_pdu *response = ask(once.client, pdu);
  long status = response->errstat;
  long index = response->errindex;
  snmp_free_pdu(response);
  if (index < 0 || static_cast<size_t>(index) > count || (status == SNMP_ERR_NOERROR && index != 0))
    std::abort();

  std::vector<seen> after = snapshot();
  if (after.size() != before.size())
    std::abort();
  for (size_t i = 0; i < before.size(); i++) {
    bool is_named = std::find(named.begin(), named.end(), before[i].id) != named.end();
    if ((status != SNMP_ERR_NOERROR || !is_named) && after[i] != before[i])
      std::abort();
  }
  return 0;
}
