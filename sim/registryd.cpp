// registryd stand-in: the element database in memory.
//
// Items: modules, elements and groups share one id space (an id names one
// thing), logics have ids of their own. The system element 100 always
// exists with state "normal". New ids are given in increasing order from
// 101, or from one above the highest seeded id.
//
// Seed: $APPLIANCE_ROOT/etc/registry.xml,
//   <registry>
//     <module id="" num="" class="" name="" socket="" />
//     <element id="" module="" num="" class="" type="" name="" socket="" state="" value="" />
//     <group id="" name="" />
//   </registry>
// numbers as decimal text (class and type are codes; an element's state is
// its text, "normal" when absent). A module may also carry kind="" (its
// internal kind code) and count="".
//
// Commands: the platform's element-database calls (db... commands, see
// zundb.cpp) and the gateway's commands (getmodule, getelement, getgroup,
// setelement, updateelement, updatemodule, addgroup, delgroup, ctlmodule,
// the logic commands, dump, save).
//
// An element keeps two attribute lists besides its fields: its place on the
// floor map (setelement: x, y, fpi, gpi, cpi, width, height, view, size) and
// its settings (updateelement, and the add commands of the daemons that
// serve it). They are kept apart because a camera's picture width is not its
// width on the map; a description writes the place first and then the
// settings whose names the place does not already use.
#include "sim.h"

#include "xmlhelpers.h"
#include "zundb.h"

#include "zunutils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

constexpr int kSystemId = 100;
constexpr int kSensorClass = 1;
constexpr int kOutputClass = 3;

struct Module {
  int id = 0;
  int num = 0;
  int kind = 0;
  int count = 0;
  std::string clas, type;  // class and kind texts
  std::string name, socket, state = "normal";
  std::vector<std::pair<std::string, std::string>> extra;  // updatemodule
};

struct Item {  // an element
  int id = 0;
  int module = 0;
  int num = 0;
  int clas = 0;
  int type = 0;
  std::string name, socket, state = "normal", value;
  Attrs pos;    // setelement: the place on the floor map
  Attrs extra;  // updateelement and the serving daemon's settings
};

struct Group {
  int id = 0;
  std::vector<std::pair<std::string, std::string>> attrs;  // name, descr, ...
};

struct Logic {
  int id = 0;
  std::string name, logic, timeout;
};

struct Db {
  std::mutex lock;
  std::map<int, Module> modules;
  std::map<int, Item> elements;
  std::map<int, Group> groups;
  std::map<int, Logic> logics;
  int next_id = kSystemId + 1;
  int next_logic = 1;
  bool logics_on = true;
  std::string logics_off_timeout;
  unsigned saves = 0;
};

Db g_db;

void system_element(Db &db)
{
  if (db.elements.count(kSystemId))
    return;
  Item sys;
  sys.id = kSystemId;
  sys.name = "System";
  db.elements[kSystemId] = sys;
}

// The id is free when no module, element or group holds it.
bool id_taken(const Db &db, int id)
{
  return db.modules.count(id) || db.elements.count(id) || db.groups.count(id);
}

int new_id(Db &db)
{
  while (id_taken(db, db.next_id))
    db.next_id++;
  return db.next_id++;
}

int id_of(const Element &e, const char *key = "id")
{
  return static_cast<int>(parse_long(e.get(key), -1));
}

// ---- replies ---------------------------------------------------------------

std::string module_xml(const Module &m, bool open = false)
{
  std::string out = "<module";
  append_attr(out, "id", std::to_string(m.id));
  append_attr(out, "num", std::to_string(m.num));
  append_attr(out, "clas", m.clas);
  append_attr(out, "type", m.type);
  append_attr(out, "name", m.name);
  append_attr(out, "state", m.state);
  append_attr(out, "count", std::to_string(m.count));
  append_attr(out, "socket", m.socket);
  for (const auto &kv : m.extra)
    append_attr(out, kv.first, kv.second);
  out += open ? ">" : " />";
  return out;
}

bool named_in(const Attrs &list, const std::string &key)
{
  return std::any_of(list.begin(), list.end(), [&](const auto &kv) { return kv.first == key; });
}

// Settings that are kept but never described: the element list and the
// floor map reach every session, and the gateway hides secrets only in the
// element's own description.
bool is_secret(const std::string &key)
{
  return key == "password" || key == "auth_pass" || key == "priv_pass";
}

std::string element_xml(const Item &e)
{
  std::string out = "<element";
  append_attr(out, "id", std::to_string(e.id));
  append_attr(out, "module", std::to_string(e.module));
  append_attr(out, "num", std::to_string(e.num));
  append_attr(out, "clas", zunelement_clas2str(e.clas));
  append_attr(out, "type", zunelement_type2str(e.clas, e.type));
  append_attr(out, "name", e.name);
  append_attr(out, "state", e.state);
  append_attr(out, "value", e.value);
  for (const auto &kv : e.pos)
    append_attr(out, kv.first, kv.second);
  for (const auto &kv : e.extra)
    if (!named_in(e.pos, kv.first) && !is_secret(kv.first))
      append_attr(out, kv.first, kv.second);
  out += " />";
  return out;
}

std::string group_xml(const Group &g)
{
  std::string out = "<group";
  append_attr(out, "id", std::to_string(g.id));
  for (const auto &kv : g.attrs)
    append_attr(out, kv.first, kv.second);
  out += " />";
  return out;
}

std::string logic_xml(const Logic &l)
{
  std::string out = "<logic";
  append_attr(out, "id", std::to_string(l.id));
  append_attr(out, "name", l.name);
  append_attr(out, "logic", l.logic);
  append_attr(out, "timeout", l.timeout);
  out += " />";
  return out;
}

std::string id_reply(int id)
{
  return "<error type=\"no error\" id=\"" + std::to_string(id) + "\" />";
}

// ---- the platform's element-database commands ------------------------------

// <dbaddmodule kind num count class type name state socket />
int cmd_dbaddmodule(const Command &cmd, std::string &reply)
{
  const Element &a = cmd.root;
  std::lock_guard<std::mutex> hold(g_db.lock);
  Module m;
  m.id = new_id(g_db);
  m.num = static_cast<int>(parse_long(a.get("num"), 0));
  m.kind = static_cast<int>(parse_long(a.get("kind"), 0));
  m.count = static_cast<int>(parse_long(a.get("count"), 0));
  m.clas = a.get("class", zunmodule_clas2str(1));
  m.type = a.get("type", zunmodule_internal2str(m.kind));
  m.name = a.get("name");
  m.socket = a.get("socket");
  if (a.has("state") && !a.get("state").empty())
    m.state = a.get("state");
  g_db.modules[m.id] = m;
  reply = id_reply(m.id);
  return 0;
}

// <dbaddelement module num class type name state value socket />
int cmd_dbaddelement(const Command &cmd, std::string &reply)
{
  const Element &a = cmd.root;
  std::lock_guard<std::mutex> hold(g_db.lock);
  Item e;
  e.module = static_cast<int>(parse_long(a.get("module"), 0));
  if (e.module > 0 && !g_db.modules.count(e.module)) {
    reply = error_reply("module is not founded");
    return 0;
  }
  e.id = new_id(g_db);
  e.num = static_cast<int>(parse_long(a.get("num"), 0));
  e.clas = zunelement_str2clas(a.get("class").c_str());
  e.type = zunelement_str2type(e.clas, a.get("type").c_str());
  e.name = a.get("name");
  e.state = a.get("state");
  e.value = a.get("value");
  e.socket = a.get("socket");
  g_db.elements[e.id] = e;
  reply = id_reply(e.id);
  return 0;
}

// <dbupdate id state value /> or <dbupdate id name />
int cmd_dbupdate(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  auto it = g_db.elements.find(id_of(cmd.root));
  if (it == g_db.elements.end()) {
    reply = error_reply("element is not founded");
    return 0;
  }
  if (cmd.root.has("state"))
    it->second.state = cmd.root.get("state");
  if (cmd.root.has("value"))
    it->second.value = cmd.root.get("value");
  if (cmd.root.has("name"))
    it->second.name = cmd.root.get("name");
  reply = kNoError;
  return 0;
}

// <dbdelelement id />; the system element stays.
int cmd_dbdelelement(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  int id = id_of(cmd.root);
  if (id == kSystemId || g_db.elements.erase(id) == 0) {
    reply = error_reply("element is not founded");
    return 0;
  }
  reply = kNoError;
  return 0;
}

// <dbdelmodule id />: the module and the elements still in it.
int cmd_dbdelmodule(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  int id = id_of(cmd.root);
  if (g_db.modules.erase(id) == 0) {
    reply = error_reply("module is not founded");
    return 0;
  }
  std::erase_if(g_db.elements, [id](const auto &kv) { return kv.second.module == id; });
  reply = kNoError;
  return 0;
}

// <dbmodulesocket id /> -> <module id socket />
int cmd_dbmodulesocket(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  auto it = g_db.modules.find(id_of(cmd.root));
  if (it == g_db.modules.end() || it->second.socket.empty()) {
    reply = error_reply("module is not founded");
    return 0;
  }
  reply = "<module";
  append_attr(reply, "id", std::to_string(it->first));
  append_attr(reply, "socket", it->second.socket);
  reply += " />";
  return 0;
}

// The socket serving an element: its own, else its module's.
std::string element_socket(const Db &db, const Item &e)
{
  if (!e.socket.empty())
    return e.socket;
  auto m = db.modules.find(e.module);
  return m == db.modules.end() ? std::string() : m->second.socket;
}

// <dbelementsocket id /> -> <element id socket />
int cmd_dbelementsocket(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  auto it = g_db.elements.find(id_of(cmd.root));
  std::string socket = it == g_db.elements.end() ? std::string() : element_socket(g_db, it->second);
  if (socket.empty()) {
    reply = error_reply("element is not founded");
    return 0;
  }
  reply = "<element";
  append_attr(reply, "id", std::to_string(it->first));
  append_attr(reply, "socket", socket);
  reply += " />";
  return 0;
}

// <dbtype id /> -> <item id kind class type /> (kind 1 element, 2 module,
// 3 group; class and type codes of an element, 0 otherwise)
int cmd_dbtype(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  int id = id_of(cmd.root);
  int kind = 0, clas = 0, type = 0;
  if (auto e = g_db.elements.find(id); e != g_db.elements.end()) {
    kind = ZUNDB_KIND_ELEMENT;
    clas = e->second.clas;
    type = e->second.type;
  } else if (g_db.modules.count(id)) {
    kind = ZUNDB_KIND_MODULE;
  } else if (g_db.groups.count(id)) {
    kind = ZUNDB_KIND_GROUP;
  } else {
    reply = error_reply("item is not founded");
    return 0;
  }
  char buf[128];
  std::snprintf(buf, sizeof buf, "<item id=\"%d\" kind=\"%d\" class=\"%d\" type=\"%d\" />", id, kind, clas, type);
  reply = buf;
  return 0;
}

// ---- the gateway's commands ---------------------------------------------------

// <getmodule k="KEY" />: every module.
// <getmodule shortcut="1" id="N" mode period />: the module with its elements.
int cmd_getmodule(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  if (!cmd.root.has("id")) {
    reply.clear();
    for (const auto &[id, m] : g_db.modules)
      reply += module_xml(m);
    return 0;
  }
  auto it = g_db.modules.find(id_of(cmd.root));
  if (it == g_db.modules.end()) {
    reply = error_reply("module is not founded");
    return 0;
  }
  reply = module_xml(it->second, true);
  for (const auto &[id, e] : g_db.elements)
    if (e.module == it->first)
      reply += element_xml(e);
  reply += "</module>";
  return 0;
}

// <getelement id="N" />: the element; <getelement k="KEY" />: every element;
// <getelement k id element period mode /> (sent to the element's socket):
// the element named by `element`, else by `id`.
int cmd_getelement(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  const char *key = cmd.root.has("element") ? "element" : cmd.root.has("id") ? "id" : nullptr;
  if (key == nullptr) {
    reply.clear();
    for (const auto &[id, e] : g_db.elements)
      reply += element_xml(e);
    return 0;
  }
  auto it = g_db.elements.find(id_of(cmd.root, key));
  reply = it == g_db.elements.end() ? error_reply("element is not founded") : element_xml(it->second);
  return 0;
}

// Attributes that name the command's target, not a setting.
bool is_address(const std::string &name)
{
  return name == "id" || name == "element" || name == "k";
}

// An output's value is its switch: "1"/"on" and "0"/"off" set state and
// value, "pulse" (a pulse sent) the state only; any other value is kept as
// told.
void switch_output(Item &e, const std::string &v)
{
  constexpr std::pair<const char *, const char *> kSwitch[] = {
      {"0", "off"}, {"off", "off"}, {"1", "on"}, {"on", "on"}, {"pulse", "pulse"},
  };
  for (const auto &[value, state] : kSwitch)
    if (v == value) {
      e.state = state;
      if (v != "pulse")
        e.value = e.state == "on" ? "1" : "0";
      return;
    }
  e.value = v;
}

// Applies settings to an element: name, state and value are its fields,
// the rest its settings.
void apply_attrs(Item &e, const Attrs &attrs)
{
  for (const auto &[k, v] : attrs) {
    if (is_address(k))
      continue;
    if (k == "name")
      e.name = v;
    else if (k == "state")
      e.state = v;
    else if (k == "value" && e.clas == kOutputClass)
      switch_output(e, v);
    else if (k == "value")
      e.value = v;
    else
      attrs_set(e.extra, k, v);
  }
}

// <setelement id x y fpi gpi cpi width height view size />: place on the map.
int cmd_setelement(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  auto it = g_db.elements.find(id_of(cmd.root));
  if (it == g_db.elements.end()) {
    reply = error_reply("element is not founded");
    return 0;
  }
  for (const auto &[k, v] : cmd.root.attrs)
    if (!is_address(k))
      attrs_set(it->second.pos, k, v);
  reply = kNoError;
  return 0;
}

// <updateelement id element name ... />: settings of an element served here.
int cmd_updateelement(const Command &cmd, std::string &reply)
{
  int rc = registry_update_element(id_of(cmd.root, cmd.root.has("element") ? "element" : "id"), cmd.root.attrs);
  reply = rc == 0 ? kNoError : error_reply("element is not founded");
  return 0;
}

// <updatemodule id size interval relval relmask />
int cmd_updatemodule(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  auto it = g_db.modules.find(id_of(cmd.root));
  if (it == g_db.modules.end()) {
    reply = error_reply("module is not founded");
    return 0;
  }
  for (const auto &[k, v] : cmd.root.attrs)
    if (!is_address(k))
      attrs_set(it->second.extra, k, v);
  reply = kNoError;
  return 0;
}

// <getgroup k="KEY" />: every group; <getgroup id="N" />: one.
int cmd_getgroup(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  if (!cmd.root.has("id")) {
    reply.clear();
    for (const auto &[id, g] : g_db.groups)
      reply += group_xml(g);
    return 0;
  }
  auto it = g_db.groups.find(id_of(cmd.root));
  reply = it == g_db.groups.end() ? error_reply("group is not founded") : group_xml(it->second);
  return 0;
}

// <addgroup id name descr image elements modules ignore smask notifiers />:
// without id (or an unknown one) a new group, else a change of that group.
int cmd_addgroup(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  int id = id_of(cmd.root);
  auto it = g_db.groups.find(id);
  if (it == g_db.groups.end()) {
    Group g;
    g.id = new_id(g_db);
    it = g_db.groups.emplace(g.id, g).first;
  }
  for (const auto &[k, v] : cmd.root.attrs)
    if (!is_address(k))
      attrs_set(it->second.attrs, k, v);
  reply = id_reply(it->first);
  return 0;
}

int cmd_delgroup(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  reply = g_db.groups.erase(id_of(cmd.root)) ? kNoError : error_reply("group is not founded");
  return 0;
}

// <getlogic  /> every logic, <getlogic  id="N"  /> one; the list carries
// whether the logics run.
int cmd_getlogic(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  if (cmd.root.has("id")) {
    auto it = g_db.logics.find(id_of(cmd.root));
    reply = it == g_db.logics.end() ? error_reply("logic is not founded") : logic_xml(it->second);
    return 0;
  }
  reply = std::string("<logics state=\"") + (g_db.logics_on ? "on" : "off") + "\">";
  for (const auto &[id, l] : g_db.logics)
    reply += logic_xml(l);
  reply += "</logics>";
  return 0;
}

// <addlogic id logic name timeout />: new without id, else changed.
int cmd_addlogic(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  int id = id_of(cmd.root);
  auto it = g_db.logics.find(id);
  if (it == g_db.logics.end()) {
    if (cmd.root.has("id")) {
      reply = error_reply("logic is not founded");
      return 0;
    }
    Logic l;
    l.id = g_db.next_logic++;
    it = g_db.logics.emplace(l.id, l).first;
  }
  if (cmd.root.has("logic"))
    it->second.logic = cmd.root.get("logic");
  if (cmd.root.has("name"))
    it->second.name = cmd.root.get("name");
  if (cmd.root.has("timeout"))
    it->second.timeout = cmd.root.get("timeout");
  reply = id_reply(it->first);
  return 0;
}

int cmd_dellogic(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  reply = g_db.logics.erase(id_of(cmd.root)) ? kNoError : error_reply("logic is not founded");
  return 0;
}

int cmd_offlogics(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  g_db.logics_on = false;
  g_db.logics_off_timeout = cmd.root.get("timeout");
  reply = kNoError;
  return 0;
}

int cmd_onlogics(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  g_db.logics_on = true;
  g_db.logics_off_timeout.clear();
  reply = kNoError;
  return 0;
}

// <dump id txt />: the database, as elements or (with txt) as text lines
// "id;module;class;type;name;state;value".
int cmd_dump(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  bool txt = cmd.root.has("txt");
  int only = cmd.root.has("id") ? id_of(cmd.root) : -1;
  reply.clear();
  if (!txt) {
    for (const auto &[id, m] : g_db.modules)
      if (only < 0 || only == id)
        reply += module_xml(m);
  }
  for (const auto &[id, e] : g_db.elements) {
    if (only >= 0 && only != id && only != e.module)
      continue;
    if (!txt) {
      reply += element_xml(e);
      continue;
    }
    char line[64];
    std::snprintf(line, sizeof line, "%d;%d;", e.id, e.module);
    reply += line;
    reply += std::string(zunelement_clas2str(e.clas)) + ";" + zunelement_type2str(e.clas, e.type) + ";" +
             e.name + ";" + e.state + ";" + e.value + "\r\n";
  }
  if (!txt) {
    for (const auto &[id, g] : g_db.groups)
      if (only < 0 || only == id)
        reply += group_xml(g);
  }
  return 0;
}

int cmd_save(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  g_db.saves++;
  reply = kNoError;
  return 0;
}

constexpr CommandRow kRows[] = {
    {"dbaddmodule", cmd_dbaddmodule},
    {"dbaddelement", cmd_dbaddelement},
    {"dbupdate", cmd_dbupdate},
    {"dbdelelement", cmd_dbdelelement},
    {"dbdelmodule", cmd_dbdelmodule},
    {"dbmodulesocket", cmd_dbmodulesocket},
    {"dbelementsocket", cmd_dbelementsocket},
    {"dbtype", cmd_dbtype},
    {"getmodule", cmd_getmodule},
    {"getelement", cmd_getelement},
    {"setelement", cmd_setelement},
    {"updateelement", cmd_updateelement},
    {"updatemodule", cmd_updatemodule},
    {"getgroup", cmd_getgroup},
    {"addgroup", cmd_addgroup},
    {"delgroup", cmd_delgroup},
    {"getlogic", cmd_getlogic},
    {"addlogic", cmd_addlogic},
    {"dellogic", cmd_dellogic},
    {"offlogics", cmd_offlogics},
    {"onlogics", cmd_onlogics},
    {"dump", cmd_dump},
    {"save", cmd_save},
};

// ---- seed ----------------------------------------------------------------------

int seed_int(const Element &e, const char *key, int dflt)
{
  return static_cast<int>(parse_long(e.get(key), dflt));
}

}  // namespace

const CommandTable registryd_table = make_table(kRows, reply_no_error);

int registry_seed(const std::string &path)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  system_element(g_db);
  FILE *f = std::fopen(path.c_str(), "re");
  if (f == nullptr)
    return 0;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 22))
    text.append(buf, n);
  std::fclose(f);

  // The command parser is lenient (a command's root is enough); a seed is
  // taken only whole, so that a cut file never starts a half database.
  xml_channel whole = {};
  Command doc;
  if (helpers_xml_parse_string(&whole, text.data(), text.size()) != 0 || !parse_command(text, &doc) ||
      doc.root.name != "registry")
    return -1;
  int count = 0, highest = kSystemId;
  for (const Element &c : doc.children) {
    int id = seed_int(c, "id", -1);
    if (id <= 0)
      continue;
    if (c.name == "module") {
      Module m;
      m.id = id;
      m.num = seed_int(c, "num", 0);
      m.kind = seed_int(c, "kind", 0);
      m.clas = zunmodule_clas2str(seed_int(c, "class", 1));
      m.type = zunmodule_internal2str(m.kind);
      m.count = seed_int(c, "count", 0);
      m.name = c.get("name");
      m.socket = c.get("socket");
      g_db.modules[id] = m;
    } else if (c.name == "element") {
      Item e;
      e.id = id;
      e.module = seed_int(c, "module", 0);
      e.num = seed_int(c, "num", 0);
      e.clas = seed_int(c, "class", 0);
      e.type = seed_int(c, "type", 0);
      e.name = c.get("name");
      e.socket = c.get("socket");
      e.state = c.get("state", "normal");
      e.value = c.get("value");
      g_db.elements[id] = e;
    } else if (c.name == "group") {
      Group g;
      g.id = id;
      for (const auto &[k, v] : c.attrs)
        if (k != "id")
          g.attrs.emplace_back(k, v);
      g_db.groups[id] = g;
    } else {
      continue;
    }
    count++;
    highest = std::max(highest, id);
  }
  system_element(g_db);
  g_db.next_id = highest + 1;
  return count;
}

int registry_update_element(int id, const Attrs &attrs)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  auto it = g_db.elements.find(id);
  if (it == g_db.elements.end())
    return -1;
  apply_attrs(it->second, attrs);
  return 0;
}

int registry_put_device(int id, int clas, int type, const char *socket, const Attrs &attrs)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  auto it = g_db.elements.find(id);
  if (it != g_db.elements.end() && (it->second.clas != clas || it->second.type != type))
    return -1;
  if (it == g_db.elements.end()) {
    if (id >= 0 && id_taken(g_db, id))
      return -1;
    Item e;
    e.id = id >= 0 ? id : new_id(g_db);
    e.clas = clas;
    e.type = type;
    auto m = std::find_if(g_db.modules.begin(), g_db.modules.end(),
                          [&](const auto &kv) { return kv.second.socket == socket; });
    if (m != g_db.modules.end())
      e.module = m->first;
    else
      e.socket = socket;
    for (const auto &[eid, other] : g_db.elements)
      if (other.module == e.module)
        e.num = std::max(e.num, other.num);
    e.num++;
    it = g_db.elements.emplace(e.id, e).first;
  }
  apply_attrs(it->second, attrs);
  return 0;
}

int registry_del_device(int id, int clas, int type)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  auto it = g_db.elements.find(id);
  if (it == g_db.elements.end() || it->second.clas != clas || it->second.type != type)
    return -1;
  g_db.elements.erase(it);
  return 0;
}

void registry_outputs_off(int type)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  for (auto &[id, e] : g_db.elements)
    if (e.clas == kOutputClass && e.type == type)
      switch_output(e, "off");
}

namespace {

// The range a sensor of each type drifts in, and its largest step.
struct Drift {
  int type;
  double low, high, step;
};
constexpr Drift kDrift[] = {
    {1, 15, 35, 0.3},    // temperature, degrees
    {2, 20, 80, 1.0},    // humidity, percent
    {3, 210, 240, 1.0},  // voltage, volts
    {4, 0, 16, 0.2},     // current, amperes
};

// A threshold setting's value; false when the element has none.
bool threshold(const Item &e, const char *name, double *out)
{
  for (const auto &[k, v] : e.extra)
    if (k == name && !v.empty()) {
      char *end = nullptr;
      *out = std::strtod(v.c_str(), &end);
      return end != v.c_str();
    }
  return false;
}

// The bands in order of weight: a later band that holds wins.
struct Band {
  const char *setting, *state;
  bool below;
};
constexpr Band kBands[] = {
    {"low_warning", "low warning", true},
    {"high_warning", "high warning", false},
    {"low_alarm", "low alarm", true},
    {"high_alarm", "high alarm", false},
};

void follow_thresholds(Item &e, double v)
{
  bool any = false;
  const char *state = "normal";
  for (const Band &b : kBands) {
    double t;
    if (!threshold(e, b.setting, &t))
      continue;
    any = true;
    if (b.below ? v < t : v > t)
      state = b.state;
  }
  if (any)
    e.state = state;
}

}  // namespace

void registry_wander(void)
{
  std::lock_guard<std::mutex> hold(g_db.lock);
  for (auto &[id, e] : g_db.elements) {
    if (e.clas != kSensorClass)
      continue;
    for (const Drift &d : kDrift) {
      if (d.type != e.type)
        continue;
      char *end = nullptr;
      double v = std::strtod(e.value.c_str(), &end);
      if (end == e.value.c_str())
        v = (d.low + d.high) / 2;
      double step = d.step * (static_cast<double>(zunutils_random_below(201)) - 100) / 100;
      v = std::clamp(v + step, d.low, d.high);
      char text[32];
      std::snprintf(text, sizeof text, "%.1f", v);
      e.value = text;
      follow_thresholds(e, v);
    }
  }
}

}  // namespace sim
