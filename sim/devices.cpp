// The stand-ins of the daemons that serve elements: phantomd (virtual
// devices), opticd (cameras), baseiod (the board's inputs and outputs),
// mainsd (power outlets), and busstate (the CAN bus).
//
// Their elements live in registryd's table (registry_* in sim.h), so that
// the element list, getelement of registryd and the floor map show what
// they were told. A device family is one row: its add and delete commands
// and the class and type of its elements. An add with an id changes that
// device (or makes it with that id), without one makes a new device; every
// attribute but id is kept under its own name. An add whose id names
// something else is refused; a delete is always acknowledged (as the
// gateway's callers expect) and removes only a device of its own family. Anything else they are sent
// (getelement, getmodule, ctlmodule, save, ...) is acknowledged, as before.
#include "sim.h"

#include <cstdlib>
#include <map>

namespace sim {

namespace {

constexpr const char *kPhantomdSocket = "/tmp/phantomd.socket";
constexpr const char *kOpticdSocket = "/tmp/opticd.socket";

struct Family {
  const char *add, *del;
  int clas, type;      // codes of zundb: 5 virtual, 4 device
  const char *socket;  // the daemon that serves it
};

constexpr Family kFamilies[] = {
    {"addtimer", "deltimer", 5, 1, kPhantomdSocket},   {"addping", "delping", 5, 2, kPhantomdSocket},
    {"addtrigger", "deltrigger", 5, 4, kPhantomdSocket}, {"addsnmpget", "delsnmpget", 5, 5, kPhantomdSocket},
    {"addcamera", "delcamera", 4, 3, kOpticdSocket},
};

constexpr int kPowerOutput = 2;  // output type of mainsd's outlets

// An element id as the gateway's lookup read it: 0x hexadecimal, 0 octal,
// else decimal; -1 when absent or not a number.
int element_id(const Element &e, const char *key)
{
  const std::string *text = e.find(key);
  if (text == nullptr)
    return -1;
  char *end = nullptr;
  long v = std::strtol(text->c_str(), &end, 0);
  return end == text->c_str() || v < 0 || v > 0x7fffffff ? -1 : static_cast<int>(v);
}

const Family *family_of(const std::string &command)
{
  for (const Family &f : kFamilies)
    if (command == f.add || command == f.del)
      return &f;
  return nullptr;
}

// <addX id ... />: a device changed or made.
int cmd_add(const Command &cmd, std::string &reply)
{
  const Family *f = family_of(cmd.root.name);
  int rc = registry_put_device(element_id(cmd.root, "id"), f->clas, f->type, f->socket, cmd.root.attrs);
  reply = rc == 0 ? kNoError : error_reply("no such element");
  return 0;
}

// <delX id />: the device deleted when it is of this family.
int cmd_del(const Command &cmd, std::string &reply)
{
  const Family *f = family_of(cmd.root.name);
  int id = element_id(cmd.root, "id");
  if (id < 0) {
    reply = error_reply("some parameters are not specified");
    return 0;
  }
  registry_del_device(id, f->clas, f->type);
  reply = kNoError;
  return 0;
}

// <updateelement element="N" ... />: the element's settings, an output
// switched by its value. Always acknowledged, like the real daemons do.
int cmd_updateelement(const Command &cmd, std::string &reply)
{
  registry_update_element(element_id(cmd.root, "element"), cmd.root.attrs);
  reply = kNoError;
  return 0;
}

// <fulloff />: every power outlet off.
int cmd_fulloff(const Command &, std::string &reply)
{
  registry_outputs_off(kPowerOutput);
  reply = kNoError;
  return 0;
}

// The CAN bus: what ctlcan set, per interface `if`.
std::mutex g_can_lock;
std::map<std::string, Attrs> g_can;

// <ctlcan if mode />: kept for that interface.
int cmd_ctlcan(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_can_lock);
  Attrs &kept = g_can[cmd.root.get("if")];
  for (const auto &[k, v] : cmd.root.attrs)
    if (k != "if")
      attrs_set(kept, k, v);
  reply = kNoError;
  return 0;
}

// <getcan if />: <can if="N" mode="..." />; an interface that no ctlcan
// named has nothing to tell and is acknowledged.
int cmd_getcan(const Command &cmd, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_can_lock);
  auto it = g_can.find(cmd.root.get("if"));
  if (it == g_can.end()) {
    reply = kNoError;
    return 0;
  }
  reply = "<can";
  append_attr(reply, "if", it->first);
  for (const auto &[k, v] : it->second)
    append_attr(reply, k, v);
  reply += " />";
  return 0;
}

constexpr CommandRow kPhantomd[] = {
    {"addtimer", cmd_add},   {"deltimer", cmd_del},   {"addping", cmd_add},
    {"delping", cmd_del},    {"addtrigger", cmd_add}, {"deltrigger", cmd_del},
    {"addsnmpget", cmd_add}, {"delsnmpget", cmd_del}, {"updateelement", cmd_updateelement},
};
constexpr CommandRow kOpticd[] = {
    {"addcamera", cmd_add},
    {"delcamera", cmd_del},
    {"updateelement", cmd_updateelement},
};
constexpr CommandRow kBaseiod[] = {
    {"updateelement", cmd_updateelement},
};
constexpr CommandRow kMainsd[] = {
    {"updateelement", cmd_updateelement},
    {"fulloff", cmd_fulloff},
};
constexpr CommandRow kBusstate[] = {
    {"ctlcan", cmd_ctlcan},
    {"getcan", cmd_getcan},
};

}  // namespace

const CommandTable phantomd_table = make_table(kPhantomd, reply_no_error);
const CommandTable opticd_table = make_table(kOpticd, reply_no_error);
const CommandTable baseiod_table = make_table(kBaseiod, reply_no_error);
const CommandTable mainsd_table = make_table(kMainsd, reply_no_error);
const CommandTable busstate_table = make_table(kBusstate, reply_no_error);

}  // namespace sim
