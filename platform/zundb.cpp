// Element database client: every call is one command to registryd
// (/tmp/registryd.socket) and one reply.
//
// Commands (values XML-escaped, numbers decimal) and their replies:
//
//   <dbaddmodule kind="K" num="N" count="C" class="TEXT" type="TEXT" name="TEXT"
//                state="TEXT" socket="PATH" />
//   <dbaddelement module="M" num="N" class="TEXT" type="TEXT" name="TEXT"
//                 state="TEXT" value="TEXT" socket="PATH" />
//       -> <error type="no error" id="NEW ID" />
//   <dbupdate id="E" state="TEXT" value="TEXT" />   (state and value)
//   <dbupdate id="E" name="TEXT" />                 (name; both forms may meet)
//   <dbdelelement id="E" />
//   <dbdelmodule id="M" />                          (also drops its elements)
//       -> <error type="no error" />
//   <dbmodulesocket id="M" />   -> <module id="M" socket="PATH" />
//   <dbelementsocket id="E" />  -> <element id="E" socket="PATH" />
//                                  (the element's own socket, else its module's)
//   <dbtype id="N" />           -> <item id="N" kind="K" class="C" type="T" />
//                                  (kind 1 element, 2 module, 3 group; class and
//                                  type codes of an element, 0 otherwise)
//
// Any failure is answered <error type="TEXT" /> with another text, e.g.
// "element is not founded" or "module is not founded".
//
// Texts of the codes. Element classes and their types:
//   1 "sensor"    1 "temperature", 2 "humidity", 3 "voltage", 4 "current"
//   2 "input"     1 "dry contact", 2 "smoke", 3 "leak"
//   3 "output"    1 "relay", 2 "power output"
//   4 "device"    1 "ibutton", 2 "camera", 3 "ip camera", 4 "gsm modem"
//   5 "virtual"   1 "timer", 2 "ping", 3 "logic", 4 "trigger", 5 "snmp get"
//   6 "notifier"  1 "mail", 2 "trap", 3 "sms"
// Module class 1 "internal"; module internal kinds 1 "board",
// 2 "notifier list", 3 "readers".
// Element states (the same for every class): 0 "", 1 "normal", 2 "low alarm",
// 3 "high warning", 4 "high alarm", 5 "on", 6 "off", 7 "not connected",
// 8 "pulse", 9 "low warning".
#include "zundb.h"

#include "uds.h"
#include "xmlhelpers.h"
#include "zun_text.h"

#include <cstdlib>
#include <cstring>

namespace {

// ---- code texts --------------------------------------------------------------

struct CodeText {
  int code;
  const char *text;
};

constexpr CodeText kElementClasses[] = {
    {1, "sensor"}, {2, "input"}, {3, "output"}, {4, "device"}, {5, "virtual"}, {6, "notifier"},
};

constexpr CodeText kSensorTypes[] = {{1, "temperature"}, {2, "humidity"}, {3, "voltage"}, {4, "current"}};
constexpr CodeText kInputTypes[] = {{1, "dry contact"}, {2, "smoke"}, {3, "leak"}};
constexpr CodeText kOutputTypes[] = {{1, "relay"}, {2, "power output"}};
constexpr CodeText kDeviceTypes[] = {{1, "ibutton"}, {2, "camera"}, {3, "ip camera"}, {4, "gsm modem"}};
constexpr CodeText kVirtualTypes[] = {{1, "timer"}, {2, "ping"}, {3, "logic"}, {4, "trigger"}, {5, "snmp get"}};
constexpr CodeText kNotifierTypes[] = {{1, "mail"}, {2, "trap"}, {3, "sms"}};

struct TypeTable {
  int clas;
  const CodeText *rows;
  size_t count;
};

template <size_t N>
constexpr TypeTable types_of(int clas, const CodeText (&rows)[N])
{
  return {clas, rows, N};
}

constexpr TypeTable kTypes[] = {
    types_of(1, kSensorTypes),  types_of(2, kInputTypes),   types_of(3, kOutputTypes),
    types_of(4, kDeviceTypes),  types_of(5, kVirtualTypes), types_of(6, kNotifierTypes),
};

constexpr CodeText kStates[] = {
    {0, ""},       {1, "normal"}, {2, "low alarm"},     {3, "high warning"}, {4, "high alarm"},
    {5, "on"},     {6, "off"},    {7, "not connected"}, {8, "pulse"},        {9, "low warning"},
};

constexpr CodeText kModuleClasses[] = {{1, "internal"}};
constexpr CodeText kModuleKinds[] = {{1, "board"}, {2, "notifier list"}, {3, "readers"}};

template <size_t N>
const char *text_of(const CodeText (&rows)[N], int code)
{
  for (const auto &r : rows)
    if (r.code == code)
      return r.text;
  return "";
}

const char *text_in(const CodeText *rows, size_t count, int code)
{
  for (size_t i = 0; i < count; i++)
    if (rows[i].code == code)
      return rows[i].text;
  return "";
}

int code_in(const CodeText *rows, size_t count, const char *text)
{
  if (text == nullptr || text[0] == '\0')
    return 0;
  for (size_t i = 0; i < count; i++)
    if (std::strcmp(rows[i].text, text) == 0)
      return rows[i].code;
  return 0;
}

const TypeTable *types_for(int clas)
{
  for (const auto &t : kTypes)
    if (t.clas == clas)
      return &t;
  return nullptr;
}

// ---- exchange ----------------------------------------------------------------

constexpr size_t kCommandSize = 4096;
constexpr size_t kValueSize = 1024;  // one escaped value

// A command under construction. Values are escaped into a fixed area and
// appended; a command that does not fit whole is never sent.
struct Command {
  char buf[kCommandSize];
  BoundedText text{buf, sizeof buf};

  void attr(const char *name, const char *value)
  {
    char esc[kValueSize];
    helpers_xml_name(value ? value : "", esc, sizeof esc);
    text.appendf(" %s=\"%s\"", name, esc);
  }
  void attr(const char *name, int value) { text.appendf(" %s=\"%d\"", name, value); }
};

// Sends the command; the reply is then in cmd->buf. 0 on success.
int send(Command *cmd)
{
  cmd->text.append(" />");
  if (cmd->text.truncated())
    return -1;
  return udsclient_exchange(REGISTRYD_SOCKET, cmd->buf, sizeof cmd->buf) == 0 ? 0 : -1;
}

// Decodes the five XML entities of a value in place.
void unescape(char *s)
{
  static constexpr CodeText kEntities[] = {{'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}, {'\'', "&apos;"}};
  char *out = s;
  while (*s != '\0') {
    bool done = false;
    if (*s == '&') {
      for (const auto &e : kEntities) {
        size_t len = std::strlen(e.text);
        if (std::strncmp(s, e.text, len) == 0) {
          *out++ = static_cast<char>(e.code);
          s += len;
          done = true;
          break;
        }
      }
    }
    if (!done)
      *out++ = *s++;
  }
  *out = '\0';
}

// The value of the attribute `name` in a reply (decoded), or false.
bool reply_attr(const char *reply, const char *name, char *value, size_t size)
{
  const char *cursor = reply;
  char key[64];
  while (zunutils_xml_get_param(&cursor, key, sizeof key, value, size, '"') == 0) {
    if (std::strcmp(key, name) == 0) {
      unescape(value);
      return true;
    }
  }
  value[0] = '\0';
  return false;
}

// True when the reply is the error element with "no error".
bool reply_ok(const char *reply)
{
  if (std::strncmp(reply, "<error", 6) != 0)
    return false;
  char type[64];
  return reply_attr(reply, "type", type, sizeof type) && std::strcmp(type, "no error") == 0;
}

// A decimal attribute of the reply, or false.
bool reply_int(const char *reply, const char *name, int *out)
{
  char value[32];
  if (!reply_attr(reply, name, value, sizeof value) || value[0] == '\0')
    return false;
  char *end = nullptr;
  int32_t v = zun_strtol32(value, &end, 10);
  if (*end != '\0')
    return false;
  *out = v;
  return true;
}

// Sends a command whose reply is "no error" with the new id.
int send_for_id(Command *cmd, int *id)
{
  if (send(cmd) != 0 || !reply_ok(cmd->buf))
    return -1;
  int v = 0;
  if (!reply_int(cmd->buf, "id", &v))
    return -1;
  *id = v;
  return 0;
}

int send_for_ok(Command *cmd)
{
  return send(cmd) == 0 && reply_ok(cmd->buf) ? 0 : -1;
}

// Socket lookups: the reply's socket attribute into the item's buffer.
int send_for_socket(Command *cmd, zundb_item *item)
{
  if (item->socket == nullptr)
    return -1;
  size_t size = item->socket_size ? item->socket_size : 32;
  item->socket[0] = '\0';
  char path[512];
  if (send(cmd) != 0 || !reply_attr(cmd->buf, "socket", path, sizeof path) || path[0] == '\0')
    return -1;
  if (strlcpy(item->socket, path, size) >= size) {
    item->socket[0] = '\0';  // a cut path would name another socket
    return -1;
  }
  return 0;
}

}  // namespace

void zundb_item_init(zundb_item *item)
{
  std::memset(item, 0, sizeof *item);
}

int zundb_module_add(zundb_item *item)
{
  Command cmd;
  cmd.text.append("<dbaddmodule");
  cmd.attr("kind", item->kind);
  cmd.attr("num", item->module_num);
  cmd.attr("count", item->count);
  cmd.attr("class", item->clas);
  cmd.attr("type", item->type);
  cmd.attr("name", item->name);
  cmd.attr("state", item->state);
  cmd.attr("socket", item->socket);
  return send_for_id(&cmd, &item->module_id);
}

int zundb_element_add(zundb_item *item)
{
  Command cmd;
  cmd.text.append("<dbaddelement");
  cmd.attr("module", item->module_id);
  cmd.attr("num", item->element_num);
  cmd.attr("class", item->clas);
  cmd.attr("type", item->type);
  cmd.attr("name", item->name);
  cmd.attr("state", item->state);
  cmd.attr("value", item->value);
  cmd.attr("socket", item->socket);
  return send_for_id(&cmd, &item->element_id);
}

int zundb_element_update(zundb_item *item)
{
  if (item->state == nullptr && item->name == nullptr)
    return -1;  // nothing to change
  Command cmd;
  cmd.text.append("<dbupdate");
  cmd.attr("id", item->element_id);
  if (item->state != nullptr) {
    cmd.attr("state", item->state);
    cmd.attr("value", item->value);
  }
  if (item->name != nullptr)
    cmd.attr("name", item->name);
  return send_for_ok(&cmd);
}

int zundb_element_delete(zundb_item *item)
{
  Command cmd;
  cmd.text.append("<dbdelelement");
  cmd.attr("id", item->element_id);
  return send_for_ok(&cmd);
}

int zundb_module_delete(zundb_item *item)
{
  Command cmd;
  cmd.text.append("<dbdelmodule");
  cmd.attr("id", item->module_id);
  return send_for_ok(&cmd);
}

int zundb_module_socket(zundb_item *item)
{
  Command cmd;
  cmd.text.append("<dbmodulesocket");
  cmd.attr("id", item->module_num);
  return send_for_socket(&cmd, item);
}

int zundb_element_socket(zundb_item *item)
{
  Command cmd;
  cmd.text.append("<dbelementsocket");
  cmd.attr("id", item->element_num);
  return send_for_socket(&cmd, item);
}

const char *zunelement_clas2str(int clas)
{
  return text_of(kElementClasses, clas);
}

const char *zunelement_type2str(int clas, int type)
{
  const TypeTable *t = types_for(clas);
  return t ? text_in(t->rows, t->count, type) : "";
}

const char *zunelement_state2str(int state, int /*clas: every class shares the texts*/)
{
  return text_of(kStates, state);
}

int zunelement_str2state(const char *text)
{
  return code_in(kStates, sizeof kStates / sizeof kStates[0], text);
}

int zunelement_str2clas(const char *text)
{
  return code_in(kElementClasses, sizeof kElementClasses / sizeof kElementClasses[0], text);
}

int zunelement_str2type(int clas, const char *text)
{
  const TypeTable *t = types_for(clas);
  return t ? code_in(t->rows, t->count, text) : 0;
}

const char *zunmodule_clas2str(int clas)
{
  return text_of(kModuleClasses, clas);
}

const char *zunmodule_internal2str(int kind)
{
  return text_of(kModuleKinds, kind);
}

int zunelement_type_by_id(int id, int *kind, int *clas, int *type)
{
  int k = 0, c = 0, t = 0;
  Command cmd;
  cmd.text.append("<dbtype");
  cmd.attr("id", id);
  int rc = -1;
  if (send(&cmd) == 0 && std::strncmp(cmd.buf, "<item", 5) == 0 && reply_int(cmd.buf, "kind", &k) &&
      k >= ZUNDB_KIND_ELEMENT && k <= ZUNDB_KIND_GROUP) {
    reply_int(cmd.buf, "class", &c);
    reply_int(cmd.buf, "type", &t);
    rc = 0;
  } else {
    k = 0;
  }
  if (kind)
    *kind = k;
  if (clas)
    *clas = c;
  if (type)
    *type = t;
  return rc;
}
