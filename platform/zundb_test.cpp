// The element database client against appliance-sim's registryd, and the
// code texts.
#include "zundb.h"

#include "harness.h"
#include "uds.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

namespace {

// ---- texts -----------------------------------------------------------------------

TEST(ZundbTexts, StatesInOrder)
{
  const char *want[] = {"", "normal", "low alarm", "high warning", "high alarm", "on", "off", "not connected",
                        "pulse", "low warning"};
  for (int code = 0; code < 10; code++) {
    for (int clas = 0; clas <= 6; clas++)
      EXPECT_STREQ(zunelement_state2str(code, clas), want[code]) << code << " " << clas;
    EXPECT_EQ(zunelement_str2state(want[code]), code);
  }
  EXPECT_STREQ(zunelement_state2str(10, 4), "");
  EXPECT_STREQ(zunelement_state2str(-1, 4), "");
  EXPECT_EQ(zunelement_str2state("Normal"), 0);
  EXPECT_EQ(zunelement_str2state("bogus"), 0);
  EXPECT_EQ(zunelement_str2state(nullptr), 0);
}

TEST(ZundbTexts, ClassesAndTypesRoundTrip)
{
  struct Row {
    int clas, type;
    const char *clas_text, *type_text;
  };
  const Row rows[] = {
      {3, 1, "output", "relay"},     {3, 2, "output", "power output"}, {4, 1, "device", "ibutton"},
      {4, 2, "device", "camera"},    {4, 3, "device", "ip camera"},    {4, 4, "device", "gsm modem"},
      {5, 3, "virtual", "logic"},    {5, 1, "virtual", "timer"},       {6, 1, "notifier", "mail"},
      {6, 2, "notifier", "trap"},    {6, 3, "notifier", "sms"},        {1, 1, "sensor", "temperature"},
  };
  for (const auto &r : rows) {
    EXPECT_STREQ(zunelement_clas2str(r.clas), r.clas_text);
    EXPECT_STREQ(zunelement_type2str(r.clas, r.type), r.type_text);
    EXPECT_EQ(zunelement_str2clas(r.clas_text), r.clas);
    EXPECT_EQ(zunelement_str2type(r.clas, r.type_text), r.type);
  }
  EXPECT_STREQ(zunelement_clas2str(0), "");
  EXPECT_STREQ(zunelement_clas2str(7), "");
  EXPECT_STREQ(zunelement_type2str(6, 4), "");
  EXPECT_STREQ(zunelement_type2str(9, 1), "");
  EXPECT_EQ(zunelement_str2clas("bogus"), 0);
  EXPECT_EQ(zunelement_str2type(6, "relay"), 0);
  EXPECT_STREQ(zunmodule_clas2str(1), "internal");
  EXPECT_STREQ(zunmodule_clas2str(2), "");
  EXPECT_STREQ(zunmodule_internal2str(2), "notifier list");
  EXPECT_STREQ(zunmodule_internal2str(3), "readers");
  EXPECT_STREQ(zunmodule_internal2str(9), "");
}

TEST(ZundbTexts, ItemInitClearsEverything)
{
  zundb_item item;
  std::memset(&item, 0x5a, sizeof item);
  zundb_item_init(&item);
  EXPECT_EQ(item.kind, 0);
  EXPECT_EQ(item.module_id, 0);
  EXPECT_EQ(item.element_id, 0);
  EXPECT_EQ(item.name, nullptr);
  EXPECT_EQ(item.socket, nullptr);
  EXPECT_EQ(item.socket_size, 0u);
}

// ---- through registryd -------------------------------------------------------------

class Zundb : public ::testing::Test {
protected:
  void SetUp() override
  {
    root.write("/etc/registry.xml",
               "<registry><module id=\"200\" num=\"1\" class=\"1\" name=\"Board\" socket=\"/tmp/baseiod.socket\" />"
               "<element id=\"201\" module=\"200\" num=\"1\" class=\"3\" type=\"2\" name=\"Out\" state=\"off\" />"
               "<group id=\"205\" name=\"G\" /></registry>");
    setenv("APPLIANCE_ROOT", root.path().c_str(), 1);
    udsclient_set_timeout_ms(2000);
  }
  void TearDown() override
  {
    udsclient_set_timeout_ms(0);
    unsetenv("APPLIANCE_ROOT");
  }
  zt::Root root;
};

TEST_F(Zundb, ModuleAndElementLifeCycle)
{
  zt::Sim sim(root, {"--only", "registryd"});
  ASSERT_TRUE(sim.ok());

  char sock[] = "/tmp/warderd.socket";
  zundb_item m;
  zundb_item_init(&m);
  m.kind = 3;
  m.count = 1;
  m.module_id = -1;
  m.clas = zunmodule_clas2str(1);
  m.type = zunmodule_internal2str(3);
  m.name = "Readers";
  m.state = "normal";
  m.socket = sock;
  ASSERT_EQ(zundb_module_add(&m), 0);
  EXPECT_EQ(m.module_id, 206);

  zundb_item e;
  zundb_item_init(&e);
  e.module_id = m.module_id;
  e.element_num = 1;
  e.clas = zunelement_clas2str(4);
  e.type = zunelement_type2str(4, 1);
  e.name = "iButton \"front\" & <door>";
  e.state = zunelement_state2str(7, 4);
  e.value = "";
  e.socket = sock;
  ASSERT_EQ(zundb_element_add(&e), 0);
  EXPECT_EQ(e.element_id, 207);

  // The commands as registryd receives them, values escaped.
  std::vector<std::string> cmds = sim.journal_of("registryd");
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[0], "<dbaddmodule kind=\"3\" num=\"0\" count=\"1\" class=\"internal\" type=\"readers\" "
                     "name=\"Readers\" state=\"normal\" socket=\"/tmp/warderd.socket\" />");
  EXPECT_EQ(cmds[1], "<dbaddelement module=\"206\" num=\"1\" class=\"device\" type=\"ibutton\" "
                     "name=\"iButton &quot;front&quot; &amp; &lt;door&gt;\" state=\"not connected\" value=\"\" "
                     "socket=\"/tmp/warderd.socket\" />");
  EXPECT_EQ(zt::exchange(root, "registryd", "<getelement id=\"207\" />"),
            "<element id=\"207\" module=\"206\" num=\"1\" clas=\"device\" type=\"ibutton\" "
            "name=\"iButton &quot;front&quot; &amp; &lt;door&gt;\" state=\"not connected\" value=\"\" />");

  zundb_item u;
  zundb_item_init(&u);
  u.element_id = 207;
  u.state = zunelement_state2str(1, 4);
  u.value = "Alice";
  EXPECT_EQ(zundb_element_update(&u), 0);
  zundb_item_init(&u);
  u.element_id = 207;
  u.name = "Door";
  EXPECT_EQ(zundb_element_update(&u), 0);
  EXPECT_EQ(zt::exchange(root, "registryd", "<getelement id=\"207\" />"),
            "<element id=\"207\" module=\"206\" num=\"1\" clas=\"device\" type=\"ibutton\" name=\"Door\" "
            "state=\"normal\" value=\"Alice\" />");
  zundb_item_init(&u);
  u.element_id = 207;
  EXPECT_LT(zundb_element_update(&u), 0);  // nothing to change
  u.element_id = 999;
  u.name = "x";
  EXPECT_LT(zundb_element_update(&u), 0);

  int kind = -1, clas = -1, type = -1;
  EXPECT_EQ(zunelement_type_by_id(207, &kind, &clas, &type), 0);
  EXPECT_EQ(kind, ZUNDB_KIND_ELEMENT);
  EXPECT_EQ(clas, 4);
  EXPECT_EQ(type, 1);

  EXPECT_EQ(zundb_element_delete(&e), 0);
  EXPECT_LT(zundb_element_delete(&e), 0);
  EXPECT_EQ(zundb_module_delete(&m), 0);
  EXPECT_LT(zundb_module_delete(&m), 0);
  EXPECT_LT(zunelement_type_by_id(207, &kind, &clas, &type), 0);
  EXPECT_EQ(kind, 0);
}

TEST_F(Zundb, SocketLookups)
{
  zt::Sim sim(root, {"--only", "registryd"});
  ASSERT_TRUE(sim.ok());
  struct Case {
    bool module;
    int id;
    size_t size;
    int rc;
    const char *path;
  };
  const Case cases[] = {
      {true, 200, 32, 0, "/tmp/baseiod.socket"},
      {false, 201, 32, 0, "/tmp/baseiod.socket"},  // the module's socket
      {false, 201, 0, 0, "/tmp/baseiod.socket"},   // 0: 32 bytes
      {false, 201, 10, -1, ""},                     // a cut path names nothing
      {true, 201, 32, -1, ""},                      // an element is no module
      {false, 100, 32, -1, ""},                     // the system element has no daemon
      {true, 999, 32, -1, ""},
  };
  for (const auto &c : cases) {
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    zundb_item item;
    zundb_item_init(&item);
    item.socket = buf;
    item.socket_size = c.size;
    if (c.module)
      item.module_num = c.id;
    else
      item.element_num = c.id;
    int rc = c.module ? zundb_module_socket(&item) : zundb_element_socket(&item);
    EXPECT_EQ(rc == 0 ? 0 : -1, c.rc) << c.id;
    EXPECT_STREQ(buf, c.path) << c.id;
    size_t size = c.size ? c.size : 32;
    EXPECT_EQ(buf[size], 'x') << "written past the buffer, id " << c.id;
  }
}

TEST_F(Zundb, TypeByIdOfEachKind)
{
  zt::Sim sim(root, {"--only", "registryd"});
  ASSERT_TRUE(sim.ok());
  struct Case {
    int id, rc, kind, clas, type;
  };
  const Case cases[] = {
      {201, 0, ZUNDB_KIND_ELEMENT, 3, 2},
      {200, 0, ZUNDB_KIND_MODULE, 0, 0},
      {205, 0, ZUNDB_KIND_GROUP, 0, 0},
      {100, 0, ZUNDB_KIND_ELEMENT, 0, 0},
      {204, -1, 0, 0, 0},
  };
  for (const auto &c : cases) {
    int kind = -1, clas = -1, type = -1;
    EXPECT_EQ(zunelement_type_by_id(c.id, &kind, &clas, &type) == 0 ? 0 : -1, c.rc) << c.id;
    EXPECT_EQ(kind, c.kind) << c.id;
    EXPECT_EQ(clas, c.clas) << c.id;
    EXPECT_EQ(type, c.type) << c.id;
  }
}

TEST_F(Zundb, FailsWhenRegistrydIsAwayOrMisbehaves)
{
  zundb_item item;
  zundb_item_init(&item);
  item.name = "x";
  // No stand-in at all.
  EXPECT_LT(zundb_module_add(&item), 0);
  EXPECT_LT(zundb_element_add(&item), 0);
  int kind = -1;
  EXPECT_LT(zunelement_type_by_id(100, &kind, nullptr, nullptr), 0);
  EXPECT_EQ(kind, 0);

  zt::Sim sim(root, {"--only", "registryd"});
  ASSERT_TRUE(sim.ok());
  for (const char *mode : {"malformed", "close", "silent"}) {
    sim.fault("registryd", mode);
    item.element_id = 0;
    EXPECT_LT(zundb_element_add(&item), 0) << mode;
    EXPECT_EQ(item.element_id, 0) << mode;
  }
  sim.fault("registryd", "none");
  EXPECT_EQ(zundb_element_add(&item), 0);
  EXPECT_EQ(item.element_id, 206);  // the failed attempts were not carried out
}

}  // namespace
