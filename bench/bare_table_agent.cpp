// The yardstick of the table benchmark: the three notifier tables (same
// identifiers, columns, types and contents as heraldd serves for the
// benchmark's settings file) on the same library's table-array helper, in a
// bare agent: rows built once in a container, values copied out as they
// are; no daemon around it, no locks, no element database.
//
//   bare_table_agent [-m]   master agent (settings: SNMPCONFPATH's
//                           bare_table_agent.conf), else AgentX subagent
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/table_array.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "heraldd_settings.h"

extern "C" void init_vacm_vars(void);
extern "C" void init_usmUser(void);

namespace {

struct value {
  bool integer;
  long number;
  std::string text;
};

struct row {
  netsnmp_index index;
  oid index_oid[1];
  std::vector<value> columns;  // column 1 first
};

struct table {
  oid root[9];
  netsnmp_table_array_callbacks cb;
};

table g_tables[3] = {
    {{1, 3, 6, 1, 4, 1, 99999, 2, 1}, {}},
    {{1, 3, 6, 1, 4, 1, 99999, 2, 2}, {}},
    {{1, 3, 6, 1, 4, 1, 99999, 2, 3}, {}},
};

volatile sig_atomic_t g_running = 1;

void on_stop(int)
{
  g_running = 0;
}

value number(long n)
{
  return {true, n, {}};
}

value text(const std::string &t)
{
  return {false, 0, t};
}

// The columns heraldd shows for the notifiers of heraldd_settings.h.
std::vector<value> columns(int kind, long id, long num)
{
  static const long modules[] = {101, 103, 102};
  static const char *types[] = {"mail", "trap", "sms"};
  std::vector<value> c = {number(id), number(modules[kind]), number(num), text(types[kind])};
  switch (kind) {
  case 0:
    c.insert(c.end(), {text("Mail " + std::to_string(num)), text("off"), text("6"), text("smtp.example.com"),
                       number(25), text("ops"), text("secret"), text("a@example.com;b@example.com"),
                       text("box@example.com"), text("Alarm on the appliance")});
    break;
  case 1:
    c.insert(c.end(), {text("Trap"), text("off"), text("6"), text("192.0.2.1"), number(162), text("3"),
                       text("public")});
    break;
  default:
    c.insert(c.end(), {text("Pager"), text("off"), text("6"), text("+491701234567"), text("Alarm")});
    break;
  }
  return c;
}

int get_value(netsnmp_request_info *request, netsnmp_index *index, netsnmp_table_request_info *info)
{
  const row &r = *reinterpret_cast<row *>(index);
  if (info->colnum < 1 || info->colnum > r.columns.size())
    return SNMP_ERR_GENERR;
  const value &v = r.columns[info->colnum - 1];
  if (v.integer) {
    int32_t n = static_cast<int32_t>(v.number);
    snmp_set_var_typed_value(request->requestvb, ASN_INTEGER, &n, sizeof n);
  } else {
    snmp_set_var_typed_value(request->requestvb, ASN_OCTET_STR, v.text.data(), v.text.size());
  }
  return SNMP_ERR_NOERROR;
}

void register_table(int kind, long first_id)
{
  table &t = g_tables[kind];
  netsnmp_container *rows = netsnmp_container_find("table_container");
  for (long n = 1; n <= PER_KIND; n++) {
    auto *r = new row;
    r->index_oid[0] = static_cast<oid>(first_id + n - 1);
    r->index = {1, r->index_oid};
    r->columns = columns(kind, first_id + n - 1, n);
    CONTAINER_INSERT(rows, r);
  }
  auto *info = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  netsnmp_table_helper_add_index(info, ASN_INTEGER);
  info->min_column = 1;
  info->max_column = static_cast<unsigned>(columns(kind, 0, 0).size());
  t.cb.get_value = get_value;
  t.cb.container = rows;
  netsnmp_handler_registration *reg = netsnmp_create_handler_registration(
      "bare", netsnmp_table_array_helper_handler, t.root, 9, HANDLER_CAN_RONLY);
  netsnmp_table_container_register(reg, info, &t.cb, rows, 1);
}

}  // namespace

int main(int argc, char **argv)
{
  bool master = argc > 1 && std::strcmp(argv[1], "-m") == 0;
  snmp_enable_stderrlog();
  if (!master)
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  init_agent("bare_table_agent");
  register_table(0, 104);
  register_table(1, 104 + PER_KIND);
  register_table(2, 104 + 2 * PER_KIND);
  if (master) {
    init_vacm_vars();
    init_usmUser();
  }
  init_snmp("bare_table_agent");
  if (master)
    init_master_agent();
  signal(SIGTERM, on_stop);
  signal(SIGINT, on_stop);
  snmp_log(LOG_INFO, "bare_table_agent is up and running.\n");
  while (g_running)
    agent_check_and_process(1);
  snmp_shutdown("bare_table_agent");
  return 0;
}
