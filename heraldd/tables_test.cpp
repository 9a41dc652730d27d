// The notifier tables' registration as the list creation runs it: its texts
// in the SNMP library's log and debug output, and a second registration
// refused. (The tables' requests are tested through the daemon, in
// tests/heraldd.)
#include "tables.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "notifier.h"

namespace {

std::string g_log;

int collect(int, int, void *serverarg, void *)
{
  g_log += static_cast<const snmp_log_message *>(serverarg)->msg;
  return 0;
}

TEST(NotifierTables, RegistrationTexts)
{
  // No element database under an empty root: the module is refused after
  // the table was registered.
  char root[] = "/tmp/zt.XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  setenv("APPLIANCE_ROOT", root, 1);
  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, collect, nullptr);
  snmp_enable_calllog();
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  init_agent("tables_test");

  snmp_set_do_debugging(1);
  debug_register_tokens("trace,initialize_table_zunsms");
  EXPECT_EQ(notifier_list_create(zunsmslist), -1);
  snmp_set_do_debugging(0);
  // Among the library's own traces: ours, a line number, then the text.
  const std::string trace = "trace: zunsms_list_create(): zunsmslist, ";
  const std::string registering = ":\ninitialize_table_zunsms: Registering table zunsms as a table array\n";
  size_t at = g_log.find(trace);
  ASSERT_NE(at, std::string::npos) << g_log;
  size_t line_end = g_log.find_first_not_of("0123456789", at + trace.size());
  EXPECT_GT(line_end, at + trace.size());
  EXPECT_EQ(g_log.compare(line_end, registering.size(), registering), 0) << g_log.substr(at, 200);

  g_log.clear();
  EXPECT_EQ(initialize_table_zunsms(), -1);
  EXPECT_EQ(g_log, "initialize_table_handler called again\n");
  g_log.clear();
  EXPECT_EQ(notifier_list_create(zunmaillist), -1);
  EXPECT_EQ(initialize_table_zunmails(), -1);
  EXPECT_EQ(g_log, "initialize_table_handler called again\n");

  snmp_shutdown("tables_test");
  rmdir(root);
}

}  // namespace
