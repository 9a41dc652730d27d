// heraldd as the AgentX subagent of Debian's snmpd (master agentx on a
// socket under the root): its tables walked, read and written through
// snmpd, which brings every phase of a set in a request of its own.
#include "snmp_fixture.h"

#include <gtest/gtest.h>

namespace {

using ht::kMailRow;
using ht::kNoError;
using ht::kTrapRow;

TEST(SnmpAgentx, TablesServedThroughSnmpd)
{
  ht::Heraldd h;
  ht::Snmpd snmpd(h.root());
  ASSERT_TRUE(snmpd.ready()) << h.root().read("/var/tmp/snmpd/log");
  ASSERT_TRUE(h.start()) << h.proc().err();
  ASSERT_EQ(h.cmd("<addmail name=\"Ops\" server=\"smtp.example.com\" />"), kNoError);  // 104
  ASSERT_EQ(h.cmd("<addtrap name=\"NMS\" comunity=\"public\" />"), kNoError);          // 105
  const ht::Agent &a = snmpd.agent();
  ASSERT_TRUE(zt::wait_for([&] { return a.read("snmpget", {kTrapRow + ".5.105"}) != ""; },
                           std::chrono::seconds(10)))
      << h.proc().err();
  EXPECT_NE(h.proc().err().find("AgentX subagent connected"), std::string::npos) << h.proc().err();

  EXPECT_EQ(a.read("snmpwalk", {kTrapRow}),
            kTrapRow + ".1.105 = INTEGER: 105\n" + kTrapRow + ".2.105 = INTEGER: 103\n" + kTrapRow +
                ".3.105 = INTEGER: 1\n" + kTrapRow + ".4.105 = STRING: \"trap\"\n" + kTrapRow +
                ".5.105 = STRING: \"NMS\"\n" + kTrapRow + ".6.105 = STRING: \"off\"\n" + kTrapRow +
                ".7.105 = STRING: \"6\"\n" + kTrapRow + ".8.105 = \"\"\n" + kTrapRow + ".9.105 = INTEGER: 25\n" +
                kTrapRow + ".10.105 = STRING: \"1\"\n" + kTrapRow + ".11.105 = STRING: \"public\"\n");
  EXPECT_EQ(a.read("snmpget", {kMailRow + ".8.104"}, ht::kNamed),
            "APPLIANCE-NOTIFIER-MIB::mailNotifierServer.104 = STRING: \"smtp.example.com\"\n");

  struct Case {
    std::string oid, type, value, out, err;
  } cases[] = {
      {kMailRow + ".5.104", "s", "Night shift", kMailRow + ".5.104 = STRING: \"Night shift\"\n", ""},
      {kTrapRow + ".9.105", "i", "162", kTrapRow + ".9.105 = INTEGER: 162\n", ""},
      {kTrapRow + ".9.105", "s", "162", "",
       ht::set_error("wrongType (The set datatype does not match the data type the agent expects)",
                     kTrapRow + ".9.105")},
      {kTrapRow + ".11.105", "s", std::string(33, 'c'), "",
       ht::set_error("wrongLength (The set value has an illegal length from what the agent expects)",
                     kTrapRow + ".11.105")},
      {kMailRow + ".5.105", "s", "x", "",
       ht::set_error("noCreation (That table does not support row creation or that object can not ever be "
                     "created)",
                     kMailRow + ".5.105")},
  };
  for (const Case &c : cases) {
    zt::RunResult r = a.set({c.oid, c.type, c.value});
    EXPECT_EQ(r.out, c.out) << c.oid;
    EXPECT_EQ(r.err, c.err) << c.oid;
  }
  // A list with an OID of the table that is no column, after a good one or
  // before it, is refused whole; the subagent goes on.
  for (bool first : {false, true}) {
    std::vector<std::string> list = {kMailRow + ".5.104", "s", "Day shift"};
    list.insert(first ? list.begin() : list.end(), {kMailRow + ".15.104", "s", "y"});
    EXPECT_EQ(a.set(list).err, ht::set_error("notWritable (That object does not support modification)",
                                             kMailRow + ".15.104"));
  }
  EXPECT_EQ(h.registry().back(), "<dbupdate id=\"104\" name=\"Night shift\" />");
  EXPECT_EQ(a.read("snmpget", {kMailRow + ".5.104", kTrapRow + ".9.105", kTrapRow + ".11.105"}),
            kMailRow + ".5.104 = STRING: \"Night shift\"\n" + kTrapRow + ".9.105 = INTEGER: 162\n" + kTrapRow +
                ".11.105 = STRING: \"public\"\n");
  EXPECT_EQ(h.stop(), 0);
}

}  // namespace
