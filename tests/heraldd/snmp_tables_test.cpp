// heraldd's notifier tables through its own master agent, read and written
// with Debian's snmpget, snmpgetnext, snmpwalk and snmpset: every column's
// type and content, the set phases' checks per table, the element database's
// name update, nothing saved or fired by a set, and walks that meet notifiers
// being added and deleted at the same time. The MIB module passes smilint and
// names the columns.
#include "snmp_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

namespace {

using ht::kMailRow;
using ht::kNoError;
using ht::kSmsRow;
using ht::kTrapRow;

// One notifier of each kind: mail 104, SMS 105, trap 106 (modules 101-103).
const char *const kNotifiers[] = {
    "<addmail name=\"Ops\" server=\"smtp.example.com\" port=\"587\" login=\"ops\" password=\"pw\" "
    "to=\"a@x.org;b@x.org\" from=\"box@x.org\" message=\"Alarm\" />",
    "<addsms name=\"Pager\" to_phone=\"+491701234567\" message=\"Hi\" />",
    "<addtrap name=\"NMS\" server=\"192.0.2.9\" port=\"162\" version=\"2c\" comunity=\"public\" />",
};

const std::string kWalk = R"(.1.3.6.1.4.1.99999.2.1.1.1.104 = INTEGER: 104
.1.3.6.1.4.1.99999.2.1.1.2.104 = INTEGER: 101
.1.3.6.1.4.1.99999.2.1.1.3.104 = INTEGER: 1
.1.3.6.1.4.1.99999.2.1.1.4.104 = STRING: "mail"
.1.3.6.1.4.1.99999.2.1.1.5.104 = STRING: "Ops"
.1.3.6.1.4.1.99999.2.1.1.6.104 = STRING: "off"
.1.3.6.1.4.1.99999.2.1.1.7.104 = STRING: "6"
.1.3.6.1.4.1.99999.2.1.1.8.104 = STRING: "smtp.example.com"
.1.3.6.1.4.1.99999.2.1.1.9.104 = INTEGER: 587
.1.3.6.1.4.1.99999.2.1.1.10.104 = STRING: "ops"
.1.3.6.1.4.1.99999.2.1.1.11.104 = ""
.1.3.6.1.4.1.99999.2.1.1.12.104 = STRING: "a@x.org;b@x.org"
.1.3.6.1.4.1.99999.2.1.1.13.104 = STRING: "box@x.org"
.1.3.6.1.4.1.99999.2.1.1.14.104 = STRING: "Alarm"
.1.3.6.1.4.1.99999.2.2.1.1.106 = INTEGER: 106
.1.3.6.1.4.1.99999.2.2.1.2.106 = INTEGER: 103
.1.3.6.1.4.1.99999.2.2.1.3.106 = INTEGER: 1
.1.3.6.1.4.1.99999.2.2.1.4.106 = STRING: "trap"
.1.3.6.1.4.1.99999.2.2.1.5.106 = STRING: "NMS"
.1.3.6.1.4.1.99999.2.2.1.6.106 = STRING: "off"
.1.3.6.1.4.1.99999.2.2.1.7.106 = STRING: "6"
.1.3.6.1.4.1.99999.2.2.1.8.106 = STRING: "192.0.2.9"
.1.3.6.1.4.1.99999.2.2.1.9.106 = INTEGER: 162
.1.3.6.1.4.1.99999.2.2.1.10.106 = STRING: "2c"
.1.3.6.1.4.1.99999.2.2.1.11.106 = STRING: "public"
.1.3.6.1.4.1.99999.2.3.1.1.105 = INTEGER: 105
.1.3.6.1.4.1.99999.2.3.1.2.105 = INTEGER: 102
.1.3.6.1.4.1.99999.2.3.1.3.105 = INTEGER: 1
.1.3.6.1.4.1.99999.2.3.1.4.105 = STRING: "sms"
.1.3.6.1.4.1.99999.2.3.1.5.105 = STRING: "Pager"
.1.3.6.1.4.1.99999.2.3.1.6.105 = STRING: "off"
.1.3.6.1.4.1.99999.2.3.1.7.105 = STRING: "6"
.1.3.6.1.4.1.99999.2.3.1.8.105 = STRING: "+491701234567"
.1.3.6.1.4.1.99999.2.3.1.9.105 = STRING: "Hi"
)";

// A set of one column: what snmpset answers and what the notifier's
// description holds afterwards (its attribute `attr`).
struct SetCase {
  std::string label, oid, type, value;
  std::string error;   // the refusal's reason ("" when accepted)
  std::string attr, after;
};

std::string repeat(char c, size_t n)
{
  return std::string(n, c);
}

// heraldd as master agent holding the three notifiers.
class SnmpTables : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(h.start()) << h.proc().err();
    for (const char *command : kNotifiers)
      ASSERT_EQ(h.cmd(command), kNoError) << command;
  }

  // A clean stop, so that the sanitizer builds' leak check runs.
  void TearDown() override
  {
    if (h.proc().running()) {
      EXPECT_EQ(h.stop(), 0);
    }
  }

  // A field of the notifier's description.
  std::string field(uint32_t id, const std::string &name)
  {
    std::string d = h.cmd("<getelement element=\"" + std::to_string(id) + "\" />");
    std::string key = " " + name + "=\"";
    size_t at = d.find(key);
    if (at == std::string::npos)
      return "<no " + name + " in " + d + ">";
    at += key.size();
    return d.substr(at, d.find('"', at) - at);
  }

  // Each case's set, its answer, and the notifier's field afterwards.
  void run_sets(uint32_t id, const std::vector<SetCase> &cases)
  {
    for (const SetCase &c : cases) {
      zt::RunResult r = h.agent().set({c.oid, c.type, c.value});
      if (c.error.empty()) {
        EXPECT_EQ(r.status, 0) << c.label << ": " << r.err;
        EXPECT_EQ(r.out.rfind(c.oid + " = ", 0), 0u) << c.label << ": " << r.out;
        EXPECT_EQ(r.err, "") << c.label;
      } else {
        EXPECT_NE(r.status, 0) << c.label;
        EXPECT_EQ(r.out, "") << c.label;
        EXPECT_EQ(r.err, ht::set_error(c.error, c.oid)) << c.label;
      }
      EXPECT_EQ(field(id, c.attr), c.after) << c.label;
    }
  }

  size_t registry_lines() { return h.registry().size(); }

  ht::MasterHeraldd h;
};

TEST_F(SnmpTables, WalkShowsEveryColumnOfEveryTable)
{
  const ht::Agent &a = h.agent();
  EXPECT_EQ(a.read("snmpwalk", {".1.3.6.1.4.1.99999"}), kWalk);
  // The same, bulk by bulk.
  EXPECT_EQ(a.read("snmpbulkwalk", {".1.3.6.1.4.1.99999.2"}), kWalk);
}

TEST_F(SnmpTables, GetAndGetNextPerColumn)
{
  const ht::Agent &a = h.agent();
  struct Case {
    std::string tool, oid, out;
  } cases[] = {
      {"snmpget", kMailRow + ".7.104", kMailRow + ".7.104 = STRING: \"6\"\n"},
      {"snmpget", kTrapRow + ".9.106", kTrapRow + ".9.106 = INTEGER: 162\n"},
      {"snmpget", kSmsRow + ".8.105", kSmsRow + ".8.105 = STRING: \"+491701234567\"\n"},
      // Each table serves its own kind only.
      {"snmpget", kMailRow + ".5.105", kMailRow + ".5.105 = No Such Instance currently exists at this OID\n"},
      {"snmpget", kSmsRow + ".10.105", kSmsRow + ".10.105 = No Such Object available on this agent at this OID\n"},
      {"snmpgetnext", ".1.3.6.1.4.1.99999.2", kMailRow + ".1.104 = INTEGER: 104\n"},
      {"snmpgetnext", kMailRow + ".14.104", kTrapRow + ".1.106 = INTEGER: 106\n"},
      {"snmpgetnext", kTrapRow + ".4.106", kTrapRow + ".5.106 = STRING: \"NMS\"\n"},
      {"snmpgetnext", kSmsRow + ".8.105", kSmsRow + ".9.105 = STRING: \"Hi\"\n"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(a.read(c.tool, {c.oid}), c.out) << c.tool << " " << c.oid;
}

TEST_F(SnmpTables, ColumnsAreNamedByTheModule)
{
  EXPECT_EQ(h.agent().read("snmpwalk", {ht::kMib + "::trapNotifierTable"}, ht::kNamed),
            "APPLIANCE-NOTIFIER-MIB::trapNotifierId.106 = INTEGER: 106\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierModule.106 = INTEGER: 103\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierNum.106 = INTEGER: 1\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierType.106 = STRING: \"trap\"\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierName.106 = STRING: \"NMS\"\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierState.106 = STRING: \"off\"\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierValue.106 = STRING: \"6\"\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierServer.106 = STRING: \"192.0.2.9\"\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierPort.106 = INTEGER: 162\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierVersion.106 = STRING: \"2c\"\n"
            "APPLIANCE-NOTIFIER-MIB::trapNotifierCommunity.106 = STRING: \"public\"\n");
  EXPECT_EQ(h.agent().read("snmpget", {ht::kMib + "::mailNotifierTo.104", ht::kMib + "::smsNotifierToPhone.105"},
                           ht::kNamed),
            "APPLIANCE-NOTIFIER-MIB::mailNotifierTo.104 = STRING: \"a@x.org;b@x.org\"\n"
            "APPLIANCE-NOTIFIER-MIB::smsNotifierToPhone.105 = STRING: \"+491701234567\"\n");
}

const std::string kWrongLength = "wrongLength (The set value has an illegal length from what the agent expects)";
const std::string kWrongType = "wrongType (The set datatype does not match the data type the agent expects)";
const std::string kReadOnly = "(readOnly) The two parties used do not have access to use the specified SNMP PDU.";
const std::string kWrongValue = "wrongValue (The set value is illegal or unsupported in some way)";
const std::string kCommitFailed = "commitFailed";
const std::string kNoCreation =
    "noCreation (That table does not support row creation or that object can not ever be created)";

TEST_F(SnmpTables, MailSetsAreCheckedAgainstTheFieldWidths)
{
  const std::string row = kMailRow;
  run_sets(104, {
               {"name of 65 bytes", row + ".5.104", "s", repeat('n', 65), kWrongLength, "name", "Ops"},
               {"name of 64 bytes, kept as 63", row + ".5.104", "s", repeat('n', 64), "", "name", repeat('n', 63)},
               {"server of 129 bytes", row + ".8.104", "s", repeat('s', 129), kWrongLength, "server", "smtp.example.com"},
               {"server of 128 bytes", row + ".8.104", "s", repeat('s', 128), "", "server", repeat('s', 127)},
               {"port as text", row + ".9.104", "s", "25", kWrongType, "port", "587"},
               {"port, any integer", row + ".9.104", "i", "-7", "", "port", "-7"},
               {"login", row + ".10.104", "s", "nms", "", "login", "nms"},
               {"login of 65 bytes", row + ".10.104", "s", repeat('l', 65), kWrongLength, "login", "nms"},
               {"password", row + ".11.104", "s", "secret", "", "password", "secret"},
               {"password as integer", row + ".11.104", "i", "5", kWrongType, "password", "secret"},
               {"to", row + ".12.104", "s", "c@x.org, d@x.org", "", "to", "c@x.org, d@x.org"},
               {"to of 321 bytes", row + ".12.104", "s", repeat('t', 321), kWrongLength, "to", "c@x.org, d@x.org"},
               {"a recipient sendmail would take for an option", row + ".12.104", "s", "ops@x.y,-Hid>/tmp/f",
                kWrongValue, "to", "c@x.org, d@x.org"},
               {"from", row + ".13.104", "s", "nms@x.org", "", "from", "nms@x.org"},
               {"message of 1024 bytes", row + ".14.104", "s", repeat('m', 1024), "", "message", repeat('m', 1023)},
               {"message of 1025 bytes", row + ".14.104", "s", repeat('m', 1025), kWrongLength, "message", repeat('m', 1023)},
               {"value: SNMP fires nothing", row + ".7.104", "s", "5", kReadOnly, "state", "off"},
               {"no notifier with that id", row + ".5.999", "s", "x", kNoCreation, "name", repeat('n', 63)},
               // Only text that XML carries: the settings file must load again.
               {"name not UTF-8", row + ".5.104", "x", "FFFE", kWrongValue, "name", repeat('n', 63)},
               {"name with a NUL", row + ".5.104", "x", "6162006364", kWrongValue, "name", repeat('n', 63)},
               {"server with a control character", row + ".8.104", "x", "730173", kWrongValue, "server",
                repeat('s', 127)},
               {"login cut inside a character", row + ".10.104", "x", "6FC3", kWrongValue, "login", "nms"},
               {"message as overlong UTF-8", row + ".14.104", "x", "C0AF", kWrongValue, "message", repeat('m', 1023)},
               {"name in UTF-8", row + ".5.104", "s", "Grüße ✓", "", "name", "Grüße ✓"},
  });
  // A set is not saved: the settings file has not been written.
  EXPECT_FALSE(h.root().exists(ht::SETTINGS));
}

TEST_F(SnmpTables, TrapAndSmsSetsAreCheckedAgainstTheFieldWidths)
{
  run_sets(106, {
               {"port as text", kTrapRow + ".9.106", "s", "162", kWrongType, "port", "162"},
               {"port", kTrapRow + ".9.106", "i", "1162", "", "port", "1162"},
               {"version", kTrapRow + ".10.106", "s", "3", "", "version", "3"},
               {"version of 4 bytes, kept as 3", kTrapRow + ".10.106", "s", "2cxx", "", "version", "2cx"},
               {"version of 5 bytes", kTrapRow + ".10.106", "s", "12345", kWrongLength, "version", "2cx"},
               {"community of 33 bytes", kTrapRow + ".11.106", "s", repeat('c', 33), kWrongLength, "comunity", "public"},
               {"community", kTrapRow + ".11.106", "s", "private", "", "comunity", "private"},
               {"server", kTrapRow + ".8.106", "s", "nms.example.com", "", "server", "nms.example.com"},
               {"a server snmptrap would take for an option", kTrapRow + ".8.106", "s", "-Lf/tmp/f", kWrongValue,
                "server", "nms.example.com"},
               {"num is read-only", kTrapRow + ".3.106", "i", "5", kReadOnly, "num", "1"},
  });
  run_sets(105, {
               {"phones of 161 bytes", kSmsRow + ".8.105", "s", repeat('1', 161), kWrongLength, "to_phone", "+491701234567"},
               {"phones", kSmsRow + ".8.105", "s", "+4911;+4922", "", "to_phone", "+4911;+4922"},
               {"message of 512 bytes", kSmsRow + ".9.105", "s", repeat('m', 512), "", "message", repeat('m', 511)},
               {"message of 513 bytes", kSmsRow + ".9.105", "s", repeat('m', 513), kWrongLength, "message", repeat('m', 511)},
               {"type is read-only", kSmsRow + ".4.105", "s", "mail", kReadOnly, "type", "sms"},
               {"an id of the trap table", kSmsRow + ".5.106", "s", "x", kNoCreation, "name", "Pager"},
  });
}

// A set whose list names something of a table that is no column, before or
// after a good one, is refused whole and the daemon goes on.
TEST_F(SnmpTables, AListWithAnOidThatIsNoColumnChangesNothing)
{
  const std::string notWritable = "notWritable (That object does not support modification)";
  const std::string name = kMailRow + ".5.104";
  for (const std::string &bad : {kMailRow + ".15.104", kMailRow + ".0.104", std::string(".1.3.6.1.4.1.99999.2.1.2.0"),
                                 kTrapRow + ".12.106"}) {
    for (bool first : {false, true}) {
      std::vector<std::string> list = {name, "s", "x"};
      list.insert(first ? list.begin() : list.end(), {bad, "s", "y"});
      EXPECT_EQ(h.agent().set(list).err, ht::set_error(notWritable, bad)) << bad << first;
      ASSERT_EQ(h.cmd("<test />"), "<error type='Test ok' />") << bad;
      EXPECT_EQ(field(104, "name"), "Ops") << bad;
    }
  }
}

// Numbers beyond 32 bits, which snmpset cuts itself, sent as raw BER.
TEST_F(SnmpTables, APortBeyond32BitsIsRefused)
{
  const struct {
    std::string label, integer;  // the INTEGER's content bytes
    int error;                   // error-status of the answer
    std::string after;
  } rows[] = {
      {"2^32", std::string("\x01\0\0\0\0", 5), 10, "587"},
      {"2^31", std::string("\0\x80\0\0\0", 5), 10, "587"},
      {"-2^31-1", std::string("\xFF\x7F\xFF\xFF\xFF", 5), 10, "587"},
      {"-2^32-1", std::string("\xFE\xFF\xFF\xFF\xFF", 5), 10, "587"},
      {"2^31-1", "\x7F\xFF\xFF\xFF", 0, "2147483647"},
      {"-2^31", std::string("\x80\0\0\0", 4), 0, "-2147483648"},
      {"162 in five bytes", std::string("\0\0\0\0\xA2", 5), 0, "162"},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(ht::raw_set(h.agent().port, "private", kMailRow + ".9.104", r.integer), r.error) << r.label;
    EXPECT_EQ(field(104, "port"), r.after) << r.label;
  }
}

// The master agent listens where its configuration says, and nowhere else
// (no SMUX on TCP port 199).
TEST_F(SnmpTables, TheAgentListensOnlyWhereConfigured)
{
  char port[8];
  std::snprintf(port, sizeof port, "%04X", h.agent().port);
  const std::vector<std::string> configured = {std::string("udp 0100007F:") + port};
  // (The agent opens its address a moment after the daemon answers commands.)
  zt::wait_for([&] { return zt::inet_sockets(h.proc().pid()) == configured; });
  EXPECT_EQ(zt::inet_sockets(h.proc().pid()), configured);
}

TEST_F(SnmpTables, EveryReadOnlyColumnRefusesASet)
{
  struct Column {
    std::string row;
    int column;
    uint32_t id;
  } columns[] = {{kMailRow, 1, 104}, {kMailRow, 2, 104}, {kMailRow, 3, 104}, {kMailRow, 4, 104},
                 {kMailRow, 6, 104}, {kTrapRow, 1, 106}, {kTrapRow, 7, 106}, {kSmsRow, 2, 105},
                 {kSmsRow, 6, 105},  {kSmsRow, 7, 105}};
  for (const Column &c : columns) {
    std::string oid = c.row + "." + std::to_string(c.column) + "." + std::to_string(c.id);
    EXPECT_EQ(h.agent().set({oid, "i", "1"}).err, ht::set_error(kReadOnly, oid));
  }
  EXPECT_EQ(h.agent().read("snmpwalk", {".1.3.6.1.4.1.99999"}), kWalk);
}

TEST_F(SnmpTables, NameSetReachesTheElementDatabaseAndNothingElse)
{
  size_t before = registry_lines();
  // A request whose second value fails changes nothing, not even the first.
  zt::RunResult mixed = h.agent().set({kMailRow + ".5.104", "s", "Night shift", kMailRow + ".9.104", "s", "25"});
  EXPECT_EQ(mixed.err, ht::set_error(kWrongType, kMailRow + ".9.104"));
  EXPECT_EQ(field(104, "name"), "Ops");
  EXPECT_EQ(registry_lines(), before);

  zt::RunResult r = h.agent().set({kMailRow + ".5.104", "s", "Night shift", kMailRow + ".9.104", "i", "25"});
  EXPECT_EQ(r.out, kMailRow + ".5.104 = STRING: \"Night shift\"\n" + kMailRow + ".9.104 = INTEGER: 25\n");
  std::vector<std::string> reg = h.registry();
  ASSERT_EQ(reg.size(), before + 1);
  EXPECT_EQ(reg.back(), "<dbupdate id=\"104\" name=\"Night shift\" />");
  // The same name again is no change.
  EXPECT_EQ(h.agent().set({kTrapRow + ".5.106", "s", "NMS"}).status, 0);
  EXPECT_EQ(registry_lines(), before + 1);
  // Nothing was fired: the value is still at rest.
  EXPECT_EQ(h.agent().read("snmpget", {kMailRow + ".7.104"}), kMailRow + ".7.104 = STRING: \"6\"\n");
}

TEST_F(SnmpTables, ASetIsLostAtRestartWithoutSave)
{
  ASSERT_EQ(h.cmd("<save />"), "<error type='no error' />");
  ASSERT_EQ(h.agent().set({kSmsRow + ".9.105", "s", "Changed"}).status, 0);
  EXPECT_EQ(field(105, "message"), "Changed");
  ASSERT_EQ(h.stop(), 0);
  ASSERT_TRUE(h.start()) << h.proc().err();
  // Everything comes back with new ids: the modules 107-109, then the
  // notifiers in the order of the settings file (mail, trap, SMS).
  EXPECT_EQ(h.agent().read("snmpwalk", {kSmsRow + ".9"}), kSmsRow + ".9.112 = STRING: \"Hi\"\n");
}

// A notifier deleted while its new name, set over SNMP, is on its way to a
// slow element database: the set holds only the notifier's lock there (not
// the list's), the deletion waits for it, and both end well: the set
// answered with the new name, the element unregistered after its update,
// the row gone. (The stand-in database serves one exchange at a time, so the
// deletion's own exchange comes after the update in any case.)
TEST_F(SnmpTables, ADeletionWaitsForANameUpdateInProgress)
{
  ASSERT_EQ(h.cmd("<addmail name=\"Doomed\" />"), kNoError);  // 107
  h.sim().fault("registryd", "slow");
  zt::RunResult set;
  std::thread setter([&] { set = h.agent().set({kMailRow + ".5.107", "s", "Renamed"}); });
  bool updating = zt::wait_for([&] {
    std::vector<std::string> reg = h.registry();
    return !reg.empty() && reg.back() == "<dbupdate id=\"107\" name=\"Renamed\" />";
  }, std::chrono::seconds(10));
  h.sim().fault("registryd", "none");
  std::string deleted = zt::exchange(h.root(), ht::SOCKET, "<delmail id=\"107\" />", std::chrono::seconds(20));
  setter.join();
  ASSERT_TRUE(updating);
  EXPECT_EQ(deleted, kNoError);
  EXPECT_EQ(set.out, kMailRow + ".5.107 = STRING: \"Renamed\"\n") << set.err;
  EXPECT_EQ(h.registry().back(), "<dbdelelement id=\"107\" />");
  EXPECT_EQ(h.agent().read("snmpget", {kMailRow + ".5.107"}),
            kMailRow + ".5.107 = No Such Instance currently exists at this OID\n");
}

// A command thread adds mail notifiers and deletes them again in a loop
// (about 20 alive at a time, so that walks spend most of their time on rows
// that are going away) while walks and sets go on: no walk meets a half-gone
// row (the sanitizer builds see every access), every stable row reads whole,
// and a set for a deleted notifier is refused.
TEST_F(SnmpTables, WalksAndSetsMeetNotifiersBeingAddedAndDeleted)
{
  constexpr uint32_t kFirst = 107, kAlive = 60;  // ids go on from 107, one per notifier added
  std::atomic<bool> done{false};
  std::atomic<uint32_t> last{0};
  std::atomic<int> churned{0}, failed{0};
  std::thread churn([&] {
    for (uint32_t id = kFirst; !done && id < kFirst + 100000; id++) {
      if (h.cmd("<addmail name=\"churn\" />") != kNoError)
        failed++;
      last = id;
      if (id >= kFirst + kAlive && h.cmd("<delmail id=\"" + std::to_string(id - kAlive) + "\" />") != kNoError)
        failed++;
      churned++;
    }
  });
  int walks = 0;
  for (; walks < 25; walks++) {
    std::string walk = h.agent().read("snmpwalk", {".1.3.6.1.4.1.99999.2"});
    // Every line but those of churned notifiers is the stable walk's.
    std::istringstream lines(walk);
    std::string stable, line;
    while (std::getline(lines, line))
      if (line.find(".104 = ") != std::string::npos || line.find(".105 = ") != std::string::npos ||
          line.find(".106 = ") != std::string::npos)
        stable += line + "\n";
      else
        EXPECT_EQ(line.rfind(kMailRow + ".", 0), 0u) << line;
    EXPECT_EQ(stable, kWalk) << walk;
    // A new name for a notifier that is about to go (its setter talks to
    // the element database while the deletion waits for it): set, or
    // refused when it went first.
    std::string oid = kMailRow + ".5." + std::to_string(last.load() - kAlive + 1 + walks % 8 * 8);
    zt::RunResult set = h.agent().set({oid, "s", "renamed"});
    EXPECT_TRUE(set.status == 0 || set.err == ht::set_error(kNoCreation, oid) ||
                set.err == ht::set_error(kCommitFailed, oid))
        << set.out << set.err;
  }
  done = true;
  churn.join();
  EXPECT_GT(churned.load(), 0);
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(h.cmd("<test />"), "<error type='Test ok' />");
  EXPECT_EQ(h.stop(), 0);
}

TEST(SnmpMib, ModulePassesSmilint)
{
  zt::Root root;
  zt::RunResult r = zt::run("/usr/bin/smilint",
                            {"smilint", "-l", "9", "-i", "index-element-accessible", "-i",
                             "notification-not-reversible", ht::kMibs + "/APPLIANCE-NOTIFIER-MIB.txt"},
                            {{"PATH", "/usr/bin:/bin"}, {"HOME", root.path()}, {"SMIPATH", ht::kMibs}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
}

}  // namespace
